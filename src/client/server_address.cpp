#include "client/server_address.h"

#include "transport/platform/socket_address.h"

namespace parlivo {
namespace {

std::optional<std::uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace

std::optional<ServerAddress> ParseServerAddress(std::string_view text, std::string& error) {
  ServerAddress parsed;
  std::string_view rest;  // what follows the host: empty or ":PORT"
  if (text.starts_with('[')) {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) {
      error = "missing ] in " + std::string(text);
      return std::nullopt;
    }
    parsed.host = std::string(text.substr(1, close - 1));
    rest = text.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) {
      error = "bad port in " + std::string(text) + " (a number from 1 to 65535 is needed)";
      return std::nullopt;
    }
  } else if (text.find(':') != text.rfind(':')) {
    parsed.host = std::string(text);  // an IPv6 address alone
  } else {
    const std::size_t colon = text.find(':');
    parsed.host = std::string(text.substr(0, colon));
    if (colon != std::string_view::npos) rest = text.substr(colon);
  }
  if (!rest.empty()) {
    const std::optional<std::uint16_t> port = ParsePort(rest.substr(1));
    if (!port) {
      error = "bad port in " + std::string(text) + " (a number from 1 to 65535 is needed)";
      return std::nullopt;
    }
    parsed.port = *port;
    parsed.portGiven = true;
  }
  if (parsed.host.empty()) {
    error = "missing host in " + std::string(text);
    return std::nullopt;
  }
  return parsed;
}

std::string ServerAddressText(const ServerAddress& address) { return EndpointText(address.host, address.port); }

}  // namespace parlivo
