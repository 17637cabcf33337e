#pragma once
// Watches the local network for chat servers (DNS-SD services of type
// kChatServiceType). Implementations: AvahiBrowser, and fakes in tests.
// Reports come from the event loop (or from inside Start when the failure
// is known at once).

#include <functional>
#include <string>

#include "discovery/found_server.h"

namespace parlivo {

class ServiceBrowser {
 public:
  virtual ~ServiceBrowser() = default;

  // Starts watching; found servers are reported as they are resolved.
  virtual void Start() = 0;
  virtual void Stop() = 0;

  // A server appeared, or one of that name changed its address or port.
  std::function<void(const FoundServer& server)> OnFound;
  // The server of that name is gone.
  std::function<void(const std::string& name)> OnLost;
  // Everything on the network right now has been reported (more may come).
  std::function<void()> OnAllForNow;
  // Browsing is impossible (no responder running): plain words.
  std::function<void(const std::string& reason)> OnProblem;
};

}  // namespace parlivo
