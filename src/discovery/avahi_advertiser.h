#pragma once
// AvahiAdvertiser: ServiceAdvertiser through the system's mDNS responder
// (avahi-daemon), reached with Avahi's client library over D-Bus on the Qt
// event loop.
//
// Advertise connects to the responder and registers the service; a name
// that another host already uses is replaced by Avahi's next alternative
// ("box #2"), and the new name is reported. Without a responder Advertise
// reports OnNotAdvertised at once. Withdraw (or destruction) removes the
// service and closes the connection to the responder.

#include <QTimer>
#include <cstdint>
#include <string>

#include "discovery/avahi_qt_poll.h"
#include "discovery/service_advertiser.h"

struct AvahiClient;
struct AvahiEntryGroup;

namespace parlivo {

class AvahiAdvertiser final : public ServiceAdvertiser {
 public:
  AvahiAdvertiser();
  ~AvahiAdvertiser() override;
  AvahiAdvertiser(const AvahiAdvertiser&) = delete;
  AvahiAdvertiser& operator=(const AvahiAdvertiser&) = delete;

  void Advertise(const std::string& name, std::uint16_t port, std::uint16_t tlsPort = 0) override;
  void Withdraw() override;

  // The responder's reports; public only for the C callbacks.
  void ClientChanged(AvahiClient* client, int state);
  void GroupChanged(AvahiEntryGroup* group, int state);

 private:
  void Register(AvahiClient* client);
  // Gives up: frees what was made once the current callback has returned,
  // and reports `reason`.
  void Fail(const std::string& reason);
  void Release();

  AvahiQtPoll poll_;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
  std::string name_;
  std::uint16_t port_ = 0;
  std::uint16_t tlsPort_ = 0;
  // Frees the client outside of Avahi's callbacks, which must not free it.
  QTimer release_;
};

}  // namespace parlivo
