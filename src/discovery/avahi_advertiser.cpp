#include "discovery/avahi_advertiser.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>

#include "discovery/found_server.h"

namespace parlivo {
namespace {

void OnClientState(AvahiClient* client, AvahiClientState state, void* self) {
  static_cast<AvahiAdvertiser*>(self)->ClientChanged(client, state);
}

void OnGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
  static_cast<AvahiAdvertiser*>(self)->GroupChanged(group, state);
}

std::string ErrorText(int error) { return avahi_strerror(error); }

// Why no responder answered, in words an operator can act on.
std::string ConnectFailure(int error) {
  if (error == AVAHI_ERR_NO_DAEMON) return "no mDNS responder running (start avahi-daemon)";
  return "the mDNS responder cannot be reached: " + ErrorText(error);
}

}  // namespace

AvahiAdvertiser::AvahiAdvertiser() {
  release_.setSingleShot(true);
  release_.setInterval(0);
  QObject::connect(&release_, &QTimer::timeout, [this] { Release(); });
}

AvahiAdvertiser::~AvahiAdvertiser() { Release(); }

void AvahiAdvertiser::Advertise(const std::string& name, std::uint16_t port, std::uint16_t tlsPort) {
  Release();
  name_ = name;
  port_ = port;
  tlsPort_ = tlsPort;
  int error = 0;
  // The state callback runs for the first time inside avahi_client_new,
  // before client_ is set: it works with the client it is handed.
  AvahiClient* client = avahi_client_new(poll_.poll(), static_cast<AvahiClientFlags>(0), OnClientState, this, &error);
  if (client == nullptr) {
    if (OnNotAdvertised) OnNotAdvertised(ConnectFailure(error));
    return;
  }
  client_ = client;
}

void AvahiAdvertiser::Withdraw() { Release(); }

void AvahiAdvertiser::Release() {
  release_.stop();
  // Freeing the client frees its entry group, which withdraws the service.
  group_ = nullptr;
  if (client_ != nullptr) avahi_client_free(client_);
  client_ = nullptr;
}

void AvahiAdvertiser::Fail(const std::string& reason) {
  release_.start();
  if (OnNotAdvertised) OnNotAdvertised(reason);
}

void AvahiAdvertiser::ClientChanged(AvahiClient* client, int state) {
  switch (state) {
    case AVAHI_CLIENT_S_RUNNING: Register(client); return;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
      // The host's own name is being (re)registered: the service goes out
      // again once the responder runs.
      if (group_ != nullptr) avahi_entry_group_reset(group_);
      return;
    case AVAHI_CLIENT_FAILURE: Fail("the mDNS responder failed: " + ErrorText(avahi_client_errno(client))); return;
    default: return;
  }
}

void AvahiAdvertiser::Register(AvahiClient* client) {
  if (group_ == nullptr) {
    group_ = avahi_entry_group_new(client, OnGroupState, this);
    if (group_ == nullptr) {
      Fail("the mDNS responder refused a service entry: " + ErrorText(avahi_client_errno(client)));
      return;
    }
  }
  if (!avahi_entry_group_is_empty(group_)) return;
  const std::string tls = "tls=" + std::to_string(tlsPort_);
  for (;;) {
    const int result = avahi_entry_group_add_service(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                     static_cast<AvahiPublishFlags>(0), name_.c_str(),
                                                     kChatServiceType, nullptr, nullptr, port_,
                                                     tlsPort_ != 0 ? tls.c_str() : nullptr, nullptr);
    if (result == AVAHI_ERR_COLLISION) {
      // Taken on this very responder: try Avahi's next name.
      char* next = avahi_alternative_service_name(name_.c_str());
      name_ = next;
      avahi_free(next);
      continue;
    }
    if (result < 0) {
      Fail("the mDNS responder refused the service \"" + name_ + "\": " + ErrorText(result));
      return;
    }
    break;
  }
  const int committed = avahi_entry_group_commit(group_);
  if (committed < 0) Fail("the mDNS responder did not publish the service: " + ErrorText(committed));
}

void AvahiAdvertiser::GroupChanged(AvahiEntryGroup* group, int state) {
  if (group != group_ && group_ != nullptr) return;
  switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
      if (OnAdvertised) OnAdvertised(name_);
      return;
    case AVAHI_ENTRY_GROUP_COLLISION: {
      // Another host announces the same name: take the next one.
      char* next = avahi_alternative_service_name(name_.c_str());
      name_ = next;
      avahi_free(next);
      avahi_entry_group_reset(group);
      Register(avahi_entry_group_get_client(group));
      return;
    }
    case AVAHI_ENTRY_GROUP_FAILURE:
      Fail("the mDNS responder dropped the service: " +
           ErrorText(avahi_client_errno(avahi_entry_group_get_client(group))));
      return;
    default: return;
  }
}

}  // namespace parlivo
