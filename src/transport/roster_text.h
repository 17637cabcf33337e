#pragma once
// The roster text a newly registered client receives (ID 21): the names,
// each followed by CR LF, the last one too, in the order given.
//
// A client refuses a packet over the packet limit, so a roster that would
// not fit is cut after the last name that does: the client then sees fewer
// names rather than losing its connection.

#include <cstddef>
#include <string>
#include <vector>

namespace parlivo {

struct RosterPayload {
  std::string text;
  std::size_t listed = 0;  // how many of the names it holds
};

// The roster of `names`, at most `maxBytes` long.
RosterPayload RosterText(const std::vector<std::string>& names, std::size_t maxBytes);

}  // namespace parlivo
