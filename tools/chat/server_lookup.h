#pragma once
// Finding chat servers on the local network for parlivo-chat: a short
// browse on a Qt event loop of its own (the chat itself runs a poll loop).

#include <optional>
#include <string>

#include "discovery/found_servers.h"

namespace parlivo {

struct BrowseResult {
  FoundServers servers;
  std::string problem;  // why nothing could be looked for; empty when browsing worked
};

// Browses for `timeoutMs`, or until a server named `wanted` is found (when
// it is not empty) or, for a wanted name, until the responder has told all
// it knows. Needs a QCoreApplication.
BrowseResult BrowseServers(int timeoutMs, const std::string& wanted = {});

}  // namespace parlivo
