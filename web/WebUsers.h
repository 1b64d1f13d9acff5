#pragma once
// The dashboard's users: a text file of "NAME:HASH" lines, HASH an Argon2id
// string (libsodium's crypto_pwhash_str, salt and cost inside it), and the
// sessions of the users logged in.
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace evenor {

// A user name: 1 to 64 letters, digits, '.', '_', '-' or '@'.
bool IsValidUserName(const std::string& name);

class WebUsers {
public:
    // Reads the file; throws EvenorError naming it when it cannot be read or
    // holds a line that is not NAME:HASH.
    static WebUsers Load(const std::string& path);
    // Adds the user or replaces the user's password; the file is written
    // whole under a temporary name (mode 0600) and renamed. Throws
    // EvenorError for an invalid name, a password shorter than 8 bytes or a
    // failure to write.
    static void AddUser(const std::string& path, const std::string& name, const std::string& password);

    // True when the name is known and the password matches. Unknown names
    // cost a hash too, so that the time does not tell which names exist.
    bool Check(const std::string& name, const std::string& password) const;
    bool Empty() const { return hashes_.empty(); }

private:
    std::map<std::string, std::string> hashes_;
};

// Sessions by a random token (256 bits); a session ends at logout or after
// IdleLimit without a request. Safe for concurrent use.
class WebSessions {
public:
    using Clock = std::chrono::steady_clock;
    explicit WebSessions(Clock::duration idleLimit = std::chrono::hours(8)) : idleLimit_(idleLimit) {}
    std::string Start(const std::string& user);
    // The user of a live session (and its idle time restarts); none otherwise.
    std::optional<std::string> User(const std::string& token);
    void End(const std::string& token);

private:
    struct Session {
        std::string User;
        Clock::time_point LastUse;
    };
    Clock::duration idleLimit_;
    std::mutex mutex_;
    std::map<std::string, Session> sessions_;
};

// Failed logins per client address: after each failure the address may not
// try again for a while, doubling with every failure (1 s, 2 s, ... up to
// maxDelay); a success clears it.
class LoginThrottle {
public:
    explicit LoginThrottle(std::chrono::milliseconds base = std::chrono::seconds(1),
                           std::chrono::milliseconds maxDelay = std::chrono::seconds(16))
        : base_(base), max_(maxDelay)
    {}
    // How long the address must still wait before it may try; 0 when it may.
    std::chrono::milliseconds Remaining(const std::string& address);
    // Counts a failure; returns the wait it imposes.
    std::chrono::milliseconds Failed(const std::string& address);
    void Succeeded(const std::string& address);

private:
    struct Failures {
        int Count = 0;
        std::chrono::steady_clock::time_point Until;
    };
    std::chrono::milliseconds base_, max_;
    std::mutex mutex_;
    std::map<std::string, Failures> failures_;
};

}  // namespace evenor
