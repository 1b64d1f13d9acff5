#pragma once
// The sockets of "serve" below DCMTK: the listening socket, a peer's address,
// and the wait for a new connection's whole A-ASSOCIATE-RQ before DCMTK reads
// it (so that a slow or silent peer never holds the listening thread).
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace evenor {

// s a peer may take to send its whole A-ASSOCIATE-RQ once connected (the
// ARTIM timer); each connection waits for its own on a thread of its own.
inline constexpr int kAssociationRequestTimeout = 5;
// The largest A-ASSOCIATE-RQ taken, bytes after its 6-byte header. Usual ones
// are a few kB; 128 presentation contexts with several transfer syntaxes
// each stay below 64 kB.
inline constexpr std::uint32_t kMaxAssociationRequest = 131072;
// A request longer than this gets a larger receive buffer, so that it fits
// whole in it (the default holds some 64 kB).
inline constexpr std::uint32_t kPlainRequestBuffer = 32768;

// A listening TCP socket on address (an IPv4 or IPv6 address, not a name,
// which could stand for several or change; empty: every IPv4 interface) and
// port. -1 with error set when it cannot be made.
int ListenOn(const std::string& address, int port, std::string& error);

// The numeric address of a peer; an IPv4 peer of an IPv6 socket as IPv4.
std::string AddressText(const sockaddr_storage& address, socklen_t size);

// Wakes a reader of fd only once this many bytes are queued (at most 1 GiB).
void SetLowWater(int fd, std::size_t bytes);

// How the wait for a connection's A-ASSOCIATE-RQ ended.
enum class Greeting { Complete, Probe, Cut, Stalled, NotARequest, TooLarge, Stopping, Failed };

// Waits until the whole A-ASSOCIATE-RQ of a new connection is in its receive
// queue, peeking, not reading: DCMTK then reads it without ever waiting for
// the peer. At most kAssociationRequestTimeout s. length: the request's
// length after its header, once known; error: the system's text (Failed).
// Stopping when a stop was requested (StopRequested) meanwhile.
Greeting AwaitAssociationRequest(int fd, std::uint32_t& length, std::string& error);

}  // namespace evenor
