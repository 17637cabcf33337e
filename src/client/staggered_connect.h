#pragma once
// Connecting to a server that has several addresses (a name with an IPv6
// and an IPv4 address, say): the attempts start one after the other, a
// short delay apart, and the first connection made wins, the way browsers
// do it (RFC 8305). A user whose IPv6 route is broken then waits a quarter
// of a second, not a whole time-out, and one whose first address does not
// listen is not told "connection refused" while another address answers.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace parlivo {

// One address of a server, either family, with its port. Either system
// address converts to it.
struct Endpoint {
  Endpoint() = default;
  Endpoint(const sockaddr_in& in) : length(sizeof in) { std::memcpy(&address, &in, sizeof in); }
  Endpoint(const sockaddr_in6& in) : length(sizeof in) { std::memcpy(&address, &in, sizeof in); }
  int family() const { return address.ss_family; }

  sockaddr_storage address{};
  socklen_t length = 0;
};

// The pause before the next address is tried while earlier attempts are
// still under way (RFC 8305's recommended "Connection Attempt Delay").
inline constexpr int kConnectStaggerMs = 250;

// Starts one connection attempt on a new non-blocking socket with
// TCP_NODELAY set: the socket (`connected` tells whether it is made
// already, as on loopback it may be), or -1 with `error` in plain words.
int StartConnecting(const Endpoint& endpoint, bool& connected, std::string& error);

// The resolver's addresses in the order to try them: the families take
// turns, starting with the resolver's first choice, each in its own order.
std::vector<Endpoint> InterleaveFamilies(const std::vector<Endpoint>& resolved);

// Connects to the first of `endpoints` that answers within `timeoutMs`,
// starting the attempts `staggerMs` apart in their order (the next one at
// once when an attempt fails). Returns the connected socket (non-blocking,
// TCP_NODELAY set; the other attempts closed), or -1 with `error` in plain
// words: the last failure, or "timed out".
int ConnectFirstAnswering(const std::vector<Endpoint>& endpoints, int timeoutMs, std::string& error,
                          int staggerMs = kConnectStaggerMs);

}  // namespace parlivo
