#include "cli/ServeSocket.h"

#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "qa/IntakeWorkers.h"

namespace evenor {

int ListenOn(const std::string& address, int port, std::string& error)
{
    addrinfo hints{};
    hints.ai_family = address.empty() ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV | AI_NUMERICHOST;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int failed = ::getaddrinfo(address.empty() ? nullptr : address.c_str(), service.c_str(), &hints, &found);
        failed != 0) {
        error = failed == EAI_NONAME ? "not an IPv4 or IPv6 address" : ::gai_strerror(failed);
        return -1;
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, ::freeaddrinfo);
    for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
        const int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) {
            error = std::strerror(errno);
            continue;
        }
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, at->ai_addr, at->ai_addrlen) == 0 && ::listen(fd, 64) == 0) return fd;
        error = std::strerror(errno);
        ::close(fd);
    }
    return -1;
}

std::string AddressText(const sockaddr_storage& address, socklen_t size)
{
    char host[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), size, host, sizeof host, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return "unknown";
    const std::string text = host;
    return text.starts_with("::ffff:") && text.find('.') != std::string::npos ? text.substr(7) : text;
}

void SetLowWater(int fd, std::size_t bytes)
{
    const int value = static_cast<int>(std::min<std::size_t>(bytes, 1 << 30));
    ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &value, sizeof value);
}

Greeting AwaitAssociationRequest(int fd, std::uint32_t& length, std::string& error)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(kAssociationRequestTimeout);
    std::vector<unsigned char> bytes(6);
    std::size_t need = 6;  // the header first: type, reserved, 32-bit length
    bool seenAny = false;
    for (;;) {
        // Woken only once `need` bytes are there, or the peer closed.
        SetLowWater(fd, need);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return Greeting::Stalled;
        pollfd watched{fd, POLLIN | POLLRDHUP, 0};
        const int ready = ::poll(&watched, 1, static_cast<int>(std::min<long long>(left, 250)));
        if (ready < 0 && errno != EINTR) {
            error = std::strerror(errno);
            return Greeting::Failed;
        }
        if (StopRequested()) return Greeting::Stopping;
        if (ready <= 0) continue;
        bytes.resize(need);
        const ssize_t got = ::recv(fd, bytes.data(), need, MSG_PEEK | MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (got < 0) {
            if (!seenAny && errno == ECONNRESET) return Greeting::Probe;
            error = std::strerror(errno);
            return Greeting::Failed;
        }
        if (got == 0) return seenAny ? Greeting::Cut : Greeting::Probe;
        seenAny = true;
        if (bytes[0] != 0x01) return Greeting::NotARequest;
        if (need == 6 && got >= 6) {
            length = std::uint32_t{bytes[2]} << 24 | std::uint32_t{bytes[3]} << 16 | std::uint32_t{bytes[4]} << 8 |
                     std::uint32_t{bytes[5]};
            if (length > kMaxAssociationRequest) return Greeting::TooLarge;
            if (length > kPlainRequestBuffer) {
                const int room = static_cast<int>(4 * kMaxAssociationRequest);
                ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
            }
            need = 6 + length;
            continue;
        }
        if (static_cast<std::size_t>(got) >= need) return Greeting::Complete;
        if ((watched.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return Greeting::Cut;
        // Woken with less than asked for (the kernel caps the low-water mark).
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace evenor
