#pragma once
// Socket addresses of either family as text, and back, through the
// system's own conversions (getnameinfo, getaddrinfo): what the server
// shows for a peer, reads from --listen and announces to users.

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "transport/platform/socket_api.h"

namespace parlivo {

// The numeric text of an address: "192.0.2.7", "2001:db8::7" or, for a
// link-local one, "fe80::1%eth0". An IPv4 address in its IPv6-mapped form
// (how a dual-stack socket reports IPv4 peers) is shown as that IPv4
// address. Empty for an address of no known family.
std::string AddressText(const SockAddrStorage& address);

// Reads a numeric address of either family ("192.0.2.7", "::",
// "fe80::1%eth0") and puts `port` into it; no name is looked up. nullopt
// when the text is no such address.
std::optional<SockAddrStorage> ParseNumericAddress(const std::string& text, std::uint16_t port);

// The machine an address (as AddressText gives it) stands for, as a key
// for limits per machine: an IPv4 address whole, an IPv6 address by its
// /64 network ("2001:db8:1:2::/64"), because a host picks its own addresses
// within that network (and changes them, for privacy) at will. Text that
// is no address is its own key.
std::string AddressGroup(const std::string& addressText);

// Whether an address as AddressText gives it is this machine's loopback.
bool IsLoopbackText(const std::string& addressText);

// An address in the text users type to reach a port: "192.0.2.7:4000",
// "[2001:db8::7]:4000".
std::string EndpointText(const std::string& addressText, std::uint16_t port);

// The same address as the system's structure; returns its length (0 for
// an unknown family).
socklen_t ToPosixAddress(const SockAddrStorage& address, sockaddr_storage& posix);
SockAddrStorage FromPosixAddress(const sockaddr& posix);

// Which IPv6 address of the host to announce (see SocketApi::hostAddress6):
// the first global or unique-local of `addresses`; a link-local one only
// when `hasOtherAddress` is false (no IPv4 address but loopback). Empty
// when none qualifies.
std::string ChooseAnnouncedIPv6(const std::vector<SockAddrIn6>& addresses, bool hasOtherAddress);

}  // namespace parlivo
