#pragma once
// The program's one error type. It carries the message text that the window's
// error box or the command line shows. Nothing else is thrown across module
// boundaries.
#include <stdexcept>
#include <string>

namespace evenor {

class EvenorError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
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
