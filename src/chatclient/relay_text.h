#pragma once
// Reading the server's relay text apart: the server sends every chat text
// to everybody as "[BC from NICK @ ROOM]: text" (Windows-1252 bytes, after
// decoding from the wire).

#include <optional>
#include <string>
#include <string_view>

namespace parlivo {

struct RelayText {
  std::string nick;
  std::string room;
  std::string text;
  bool operator==(const RelayText&) const = default;
};

// The parts of a relay text, or nullopt when `relay` does not have that
// form (a server that words its texts differently is shown as it came).
// The nickname ends at the first " @ " and the room at the first "]: "
// after it, so a text may hold either separator; a nickname or room that
// holds one of them cannot be told apart from its neighbour and is split
// at the first.
std::optional<RelayText> ParseRelayText(std::string_view relay);

}  // namespace parlivo
