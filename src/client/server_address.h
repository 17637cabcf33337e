#pragma once
// The server address a user gives a chat client: "HOST" or "HOST:PORT",
// where HOST is a host name, an IPv4 address or an IPv6 address; an IPv6
// address takes brackets when a port follows ("[fd12::5]:4000").

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace parlivo {

// The port a chat server listens on unless told otherwise.
inline constexpr std::uint16_t kDefaultServerPort = 65535;
// The TLS port a server uses when its operator named none: the one before
// the default port (a server takes the port after its plain one, and there
// is none after 65535).
inline constexpr std::uint16_t kDefaultTlsServerPort = 65534;

struct ServerAddress {
  std::string host;  // without brackets
  std::uint16_t port = kDefaultServerPort;
  bool portGiven = false;  // the port was written out, not the default
  bool operator==(const ServerAddress&) const = default;
};

// Splits "HOST[:PORT]" or "[IPV6][:PORT]" into host and port; text with
// more than one ':' and no brackets is an IPv6 address without a port
// ("fe80::1%eth0"). The host must not be empty; the port, when given, is a
// decimal number from 1 to 65535. On failure returns nullopt and sets
// `error` ("missing host in :80", "bad port in h:x (a number from 1 to
// 65535 is needed)", "missing ] in [::1").
std::optional<ServerAddress> ParseServerAddress(std::string_view text, std::string& error);

// "HOST:PORT" or "[IPV6]:PORT", the form ParseServerAddress reads back.
std::string ServerAddressText(const ServerAddress& address);

}  // namespace parlivo
