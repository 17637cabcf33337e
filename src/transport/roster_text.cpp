#include "transport/roster_text.h"

namespace parlivo {

RosterPayload RosterText(const std::vector<std::string>& names, std::size_t maxBytes) {
  RosterPayload roster;
  for (const std::string& name : names) {
    if (roster.text.size() + name.size() + 2 > maxBytes) break;
    roster.text.append(name).append("\r\n");
    ++roster.listed;
  }
  return roster;
}

}  // namespace parlivo
