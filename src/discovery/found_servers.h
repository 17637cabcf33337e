#pragma once
// FoundServers: the servers currently seen on the network, sorted by name,
// one entry per name. The browser's reports go in; the client's list and
// parlivo-chat read it, and look a typed name up in it.

#include <optional>
#include <string>
#include <vector>

#include "discovery/found_server.h"

namespace parlivo {

class FoundServers {
 public:
  // Adds the server, or replaces the entry of the same name. False when
  // nothing changed.
  bool Update(const FoundServer& server);
  // Removes the entry of that name. False when there was none.
  bool Remove(const std::string& name);
  void Clear() { servers_.clear(); }

  const std::vector<FoundServer>& servers() const { return servers_; }
  // The entry whose name is `name`; names are compared without regard to
  // ASCII case, as DNS compares them.
  std::optional<FoundServer> Find(const std::string& name) const;

 private:
  std::vector<FoundServer> servers_;
};

// "NAME<TAB>ADDRESS:PORT<TAB>HOST": one line of parlivo-chat --discover.
std::string FoundServerLine(const FoundServer& server);

}  // namespace parlivo
