#include "chatclient/relay_text.h"

namespace parlivo {

std::optional<RelayText> ParseRelayText(std::string_view relay) {
  constexpr std::string_view kStart = "[BC from ";
  constexpr std::string_view kAt = " @ ";
  constexpr std::string_view kEnd = "]: ";
  if (!relay.starts_with(kStart)) return std::nullopt;
  const std::size_t at = relay.find(kAt, kStart.size());
  if (at == std::string_view::npos) return std::nullopt;
  const std::size_t end = relay.find(kEnd, at + kAt.size());
  if (end == std::string_view::npos) return std::nullopt;
  RelayText parts;
  parts.nick = std::string(relay.substr(kStart.size(), at - kStart.size()));
  parts.room = std::string(relay.substr(at + kAt.size(), end - at - kAt.size()));
  parts.text = std::string(relay.substr(end + kEnd.size()));
  return parts;
}

}  // namespace parlivo
