#pragma once
// AvahiBrowser: ServiceBrowser through the system's mDNS responder
// (avahi-daemon), on the Qt event loop.
//
// Every announcement of a chat server is resolved to its host, IPv4
// address and port before it is reported. A server announced on several
// interfaces or over both IP versions is one server: it is reported found
// at its first resolution and lost when its last announcement goes.

#include <map>
#include <set>
#include <string>
#include <tuple>

#include "discovery/avahi_qt_poll.h"
#include "discovery/service_browser.h"

struct AvahiClient;
struct AvahiServiceBrowser;
struct AvahiServiceResolver;

namespace parlivo {

class AvahiBrowser final : public ServiceBrowser {
 public:
  AvahiBrowser() = default;
  ~AvahiBrowser() override;
  AvahiBrowser(const AvahiBrowser&) = delete;
  AvahiBrowser& operator=(const AvahiBrowser&) = delete;

  void Start() override;
  void Stop() override;

  // The responder's reports; public only for the C callbacks.
  void ClientFailed(AvahiClient* client);
  void Browsed(int interface, int protocol, int event, const char* name, const char* type, const char* domain);
  void Resolved(AvahiServiceResolver* resolver, int event, const char* name, const char* host,
                const char* address, std::uint16_t port, std::uint16_t tlsPort);

 private:
  // One announcement: interface, protocol, name.
  using Announcement = std::tuple<int, int, std::string>;

  void Problem(const std::string& reason);

  AvahiQtPoll poll_;
  AvahiClient* client_ = nullptr;
  AvahiServiceBrowser* browser_ = nullptr;
  std::set<AvahiServiceResolver*> resolvers_;
  std::set<Announcement> announcements_;
};

}  // namespace parlivo
