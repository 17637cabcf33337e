#pragma once
// What a nickname or a room may hold.
//
// Every relayed text names its sender as "[BC from NICK @ ROOM]: TEXT", and
// every client trusts that prefix. A name that holds the prefix's own
// separators (" @ ", "]: ") could make a text look like someone else's, a
// control character could break the line it is shown on, and a blank at
// either end or an invisible character makes a name that looks like
// another user's ("Watcher" and "Watcher" plus a no-break space). Names are
// bytes in the clients' code page (Windows-1252). The length bound keeps
// every packet that carries names (the roster above all) within a packet's
// limit and the roster the operator sees small; names of a few hundred
// bytes still pass. An empty name passes here: whether it may register is
// the same-name rule's business.

#include <cstddef>
#include <string_view>

namespace parlivo {

inline constexpr std::size_t kMaxNameBytes = 1024;

// Why `name` cannot be registered ("is longer than 1024 bytes", ...), or
// null when it can.
const char* NameFault(std::string_view name);

}  // namespace parlivo
