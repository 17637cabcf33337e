#include "discovery/found_servers.h"

#include <algorithm>

namespace parlivo {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) { return Lower(x) == Lower(y); });
}

}  // namespace

bool FoundServers::Update(const FoundServer& server) {
  const auto same = std::find_if(servers_.begin(), servers_.end(),
                                 [&](const FoundServer& entry) { return SameName(entry.name, server.name); });
  if (same != servers_.end()) {
    if (*same == server) return false;
    servers_.erase(same);
  }
  const auto before = std::find_if(servers_.begin(), servers_.end(),
                                   [&](const FoundServer& entry) { return server.name < entry.name; });
  servers_.insert(before, server);
  return true;
}

bool FoundServers::Remove(const std::string& name) {
  const auto same = std::find_if(servers_.begin(), servers_.end(),
                                 [&](const FoundServer& entry) { return SameName(entry.name, name); });
  if (same == servers_.end()) return false;
  servers_.erase(same);
  return true;
}

std::optional<FoundServer> FoundServers::Find(const std::string& name) const {
  for (const FoundServer& entry : servers_) {
    if (SameName(entry.name, name)) return entry;
  }
  return std::nullopt;
}

std::string FoundServerLine(const FoundServer& server) {
  return server.name + "\t" + server.address + ":" + std::to_string(server.port) + "\t" + server.host +
         (server.tlsPort != 0 ? "\ttls=" + std::to_string(server.tlsPort) : "");
}

}  // namespace parlivo
