#pragma once
// The program's one error type. It carries the message text that the window's
// error box or the command line shows. Nothing else is thrown across module
// boundaries.
#include <stdexcept>
#include <string>

namespace evenor {

class EvenorError : public std::runtime_error {
public:
    explicit EvenorError(const std::string& message) : std::runtime_error(message), message_(message) {}
    explicit EvenorError(const char* message) : EvenorError(std::string(message)) {}

    // The whole message. Unlike what(), it keeps bytes after a NUL, which a
    // value taken from a file (a padded UID) may hold.
    const std::string& Message() const { return message_; }

private:
    std::string message_;
};

// An input/output failure with the operating system's error code; what() is the
// user-facing text ("Disk full", "File access denied", ...).
class InOutError : public EvenorError {
public:
    InOutError(int code, const std::string& message) : EvenorError(message), code_(code) {}
    int Code() const { return code_; }

private:
    int code_;
};

}  // namespace evenor
