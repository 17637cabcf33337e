#pragma once
// One chat server found on the local network, and the DNS-SD service type
// under which servers announce themselves.

#include <cstdint>
#include <string>

namespace parlivo {

inline constexpr const char* kChatServiceType = "_parlivo._tcp";

struct FoundServer {
  std::string name;     // the service's instance name (UTF-8), unique on the network
  std::string host;     // the host's mDNS name, "box.local"
  std::string address;  // its IPv4 address, dotted: what a client connects to
  std::uint16_t port = 0;
  std::uint16_t tlsPort = 0;  // its encrypted port; 0: none announced
  bool operator==(const FoundServer&) const = default;
};

}  // namespace parlivo
