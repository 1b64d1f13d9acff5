#include "web/WebUsers.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/EvenorError.h"

namespace evenor {

namespace {

void InitSodium()
{
    static const int status = sodium_init();
    if (status < 0) throw EvenorError("the cryptographic library cannot be initialised");
}

std::map<std::string, std::string> ReadHashes(const std::string& path, bool mayBeMissing)
{
    std::map<std::string, std::string> hashes;
    std::ifstream in(path);
    if (!in) {
        if (mayBeMissing && errno == ENOENT) return hashes;
        throw EvenorError("Users file " + path + ": cannot be read (" + std::strerror(errno) + ")");
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.front() == '#') continue;
        const auto colon = line.find(':');
        const std::string name = line.substr(0, colon);
        if (colon == std::string::npos || !IsValidUserName(name) || line.compare(colon + 1, 10, "$argon2id$") != 0)
            throw EvenorError("Users file " + path + ", line " + std::to_string(number) +
                              ": not NAME:HASH with an Argon2id hash");
        hashes[name] = line.substr(colon + 1);
    }
    if (in.bad()) throw EvenorError("Users file " + path + ": cannot be read");
    return hashes;
}

}  // namespace

bool IsValidUserName(const std::string& name)
{
    if (name.empty() || name.size() > 64) return false;
    return std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-' || c == '@';
    });
}

WebUsers WebUsers::Load(const std::string& path)
{
    InitSodium();
    WebUsers users;
    users.hashes_ = ReadHashes(path, false);
    return users;
}

void WebUsers::AddUser(const std::string& path, const std::string& name, const std::string& password)
{
    InitSodium();
    if (!IsValidUserName(name))
        throw EvenorError("User name \"" + name + "\": use 1 to 64 letters, digits, '.', '_', '-' or '@'");
    if (password.size() < 8) throw EvenorError("The password must have at least 8 characters");
    auto hashes = ReadHashes(path, true);
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw EvenorError("The password cannot be hashed (out of memory)");
    hashes[name] = hash;

    std::ostringstream text;
    for (const auto& [user, userHash] : hashes) text << user << ':' << userHash << '\n';
    const std::string body = text.str();
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw EvenorError("Users file " + path + ": cannot be written (" + std::strerror(errno) + ")");
    bool ok = ::fchmod(fd, 0600) == 0 && ::write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size()) &&
              ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        std::remove(temporary.c_str());
        throw EvenorError("Users file " + path + ": cannot be written (" + reason + ")");
    }
}

bool WebUsers::Check(const std::string& name, const std::string& password) const
{
    // A hash of a password nobody has, checked for unknown names so that they
    // take as long as known ones.
    static const std::string decoy = [] {
        char hash[crypto_pwhash_STRBYTES];
        unsigned char random[32];
        randombytes_buf(random, sizeof random);
        if (crypto_pwhash_str(hash, reinterpret_cast<const char*>(random), sizeof random,
                              crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
            return std::string();
        return std::string(hash);
    }();
    const auto found = hashes_.find(name);
    const std::string& hash = found != hashes_.end() ? found->second : decoy;
    if (hash.empty()) return false;
    const bool match = crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
    return match && found != hashes_.end();
}

std::string WebSessions::Start(const std::string& user)
{
    InitSodium();
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    char hex[sizeof random * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, random, sizeof random);
    const std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    std::erase_if(sessions_, [&](const auto& entry) { return now - entry.second.LastUse > idleLimit_; });
    sessions_[hex] = Session{user, now};
    return hex;
}

std::optional<std::string> WebSessions::User(const std::string& token)
{
    const std::lock_guard lock(mutex_);
    const auto found = sessions_.find(token);
    if (found == sessions_.end()) return std::nullopt;
    const auto now = Clock::now();
    if (now - found->second.LastUse > idleLimit_) {
        sessions_.erase(found);
        return std::nullopt;
    }
    found->second.LastUse = now;
    return found->second.User;
}

void WebSessions::End(const std::string& token)
{
    const std::lock_guard lock(mutex_);
    sessions_.erase(token);
}

std::chrono::milliseconds LoginThrottle::Remaining(const std::string& address)
{
    const std::lock_guard lock(mutex_);
    const auto found = failures_.find(address);
    if (found == failures_.end()) return std::chrono::milliseconds(0);
    const auto left = found->second.Until - std::chrono::steady_clock::now();
    return std::max(std::chrono::milliseconds(0), std::chrono::ceil<std::chrono::milliseconds>(left));
}

std::chrono::milliseconds LoginThrottle::Failed(const std::string& address)
{
    const std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    // Many addresses: forget those whose wait is long over.
    if (failures_.size() > 10000)
        std::erase_if(failures_, [&](const auto& entry) { return now - entry.second.Until > max_ * 4; });
    Failures& failures = failures_[address];
    const int shift = std::min(failures.Count, 20);
    ++failures.Count;
    const std::chrono::milliseconds delay = std::min(max_, std::chrono::milliseconds(base_.count() << shift));
    failures.Until = now + delay;
    return delay;
}

void LoginThrottle::Succeeded(const std::string& address)
{
    const std::lock_guard lock(mutex_);
    failures_.erase(address);
}

}  // namespace evenor
