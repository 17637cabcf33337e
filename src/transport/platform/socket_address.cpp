#include "transport/platform/socket_address.h"

#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

namespace parlivo {
namespace {

bool IsLinkLocal(const SockAddrIn6& address) {
  return address.address[0] == 0xfe && (address.address[1] & 0xc0) == 0x80;
}

// Neither a host's own loopback, nor unspecified, multicast or an IPv4
// address in disguise: an address another machine could use.
bool IsUnicastIPv6(const SockAddrIn6& address) {
  in6_addr posix{};
  std::memcpy(&posix, address.address, sizeof posix);
  return !IN6_IS_ADDR_LOOPBACK(&posix) && !IN6_IS_ADDR_UNSPECIFIED(&posix) && !IN6_IS_ADDR_MULTICAST(&posix) &&
         !IN6_IS_ADDR_V4MAPPED(&posix) && !IN6_IS_ADDR_V4COMPAT(&posix);
}

}  // namespace

socklen_t ToPosixAddress(const SockAddrStorage& address, sockaddr_storage& posix) {
  posix = sockaddr_storage{};
  if (address.family == kAfInet) {
    const SockAddrIn in = address.ipv4();
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = in.port;
    out.sin_addr.s_addr = in.address;
    std::memcpy(&posix, &out, sizeof out);
    return sizeof out;
  }
  if (address.family == kAfInet6) {
    const SockAddrIn6 in = address.ipv6();
    sockaddr_in6 out{};
    out.sin6_family = AF_INET6;
    out.sin6_port = in.port;
    out.sin6_flowinfo = in.flowInfo;
    std::memcpy(&out.sin6_addr, in.address, sizeof in.address);
    out.sin6_scope_id = in.scopeId;
    std::memcpy(&posix, &out, sizeof out);
    return sizeof out;
  }
  return 0;
}

SockAddrStorage FromPosixAddress(const sockaddr& posix) {
  if (posix.sa_family == AF_INET) {
    sockaddr_in in{};
    std::memcpy(&in, &posix, sizeof in);
    SockAddrIn out;
    out.family = kAfInet;
    out.port = in.sin_port;
    out.address = in.sin_addr.s_addr;
    return out;
  }
  if (posix.sa_family == AF_INET6) {
    sockaddr_in6 in{};
    std::memcpy(&in, &posix, sizeof in);
    SockAddrIn6 out;
    out.family = kAfInet6;
    out.port = in.sin6_port;
    out.flowInfo = in.sin6_flowinfo;
    std::memcpy(out.address, &in.sin6_addr, sizeof out.address);
    out.scopeId = in.sin6_scope_id;
    return out;
  }
  return {};
}

std::string AddressText(const SockAddrStorage& address) {
  SockAddrStorage shown = address;
  if (address.family == kAfInet6) {
    const SockAddrIn6 in6 = address.ipv6();
    in6_addr posix{};
    std::memcpy(&posix, in6.address, sizeof posix);
    if (IN6_IS_ADDR_V4MAPPED(&posix)) {
      SockAddrIn in;
      in.family = kAfInet;
      in.port = in6.port;
      std::memcpy(&in.address, in6.address + 12, sizeof in.address);
      shown = in;
    }
  }
  sockaddr_storage posix{};
  const socklen_t length = ToPosixAddress(shown, posix);
  char text[NI_MAXHOST] = {};
  if (length == 0 ||
      ::getnameinfo(reinterpret_cast<const sockaddr*>(&posix), length, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
    return {};
  return text;
}

std::optional<SockAddrStorage> ParseNumericAddress(const std::string& text, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (text.empty() || ::getaddrinfo(text.c_str(), service.c_str(), &hints, &found) != 0) return std::nullopt;
  std::optional<SockAddrStorage> address;
  if (found != nullptr && found->ai_addr != nullptr) address = FromPosixAddress(*found->ai_addr);
  ::freeaddrinfo(found);
  if (address && address->family == 0) address.reset();
  return address;
}

std::string EndpointText(const std::string& addressText, std::uint16_t port) {
  const bool ipv6 = addressText.find(':') != std::string::npos;
  return (ipv6 ? "[" + addressText + "]" : addressText) + ":" + std::to_string(port);
}

std::string ChooseAnnouncedIPv6(const std::vector<SockAddrIn6>& addresses, bool hasOtherAddress) {
  const SockAddrIn6* linkLocal = nullptr;
  for (const SockAddrIn6& address : addresses) {
    if (!IsUnicastIPv6(address)) continue;
    if (!IsLinkLocal(address)) return AddressText(address);
    if (linkLocal == nullptr) linkLocal = &address;
  }
  return linkLocal != nullptr && !hasOtherAddress ? AddressText(*linkLocal) : std::string();
}

std::string AddressGroup(const std::string& addressText) {
  const auto address = ParseNumericAddress(addressText, 0);
  if (!address || address->family != kAfInet6) return addressText;
  SockAddrIn6 network = address->ipv6();
  std::memset(network.address + 8, 0, 8);
  network.scopeId = 0;
  return AddressText(network) + "/64";
}

bool IsLoopbackText(const std::string& addressText) {
  return addressText.rfind("127.", 0) == 0 || addressText == "::1";
}

}  // namespace parlivo
