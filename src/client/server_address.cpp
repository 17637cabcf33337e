#include "client/server_address.h"

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
  const std::size_t colon = text.find(':');
  parsed.host = std::string(text.substr(0, colon));
  if (colon != std::string_view::npos) {
    const std::optional<std::uint16_t> port = ParsePort(text.substr(colon + 1));
    if (!port) {
      error = "bad port in " + std::string(text) + " (a number from 1 to 65535 is needed)";
      return std::nullopt;
    }
    parsed.port = *port;
  }
  if (parsed.host.empty()) {
    error = "missing host in " + std::string(text);
    return std::nullopt;
  }
  return parsed;
}

std::string ServerAddressText(const ServerAddress& address) {
  return address.host + ":" + std::to_string(address.port);
}

}  // namespace parlivo
