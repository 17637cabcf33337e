#include "discovery/avahi_browser.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>

#include <algorithm>
#include <cstdlib>

namespace parlivo {
namespace {

void OnClientState(AvahiClient* client, AvahiClientState state, void* self) {
  if (state == AVAHI_CLIENT_FAILURE) static_cast<AvahiBrowser*>(self)->ClientFailed(client);
}

void OnBrowse(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
              const char* name, const char* type, const char* domain, AvahiLookupResultFlags, void* self) {
  static_cast<AvahiBrowser*>(self)->Browsed(interface, protocol, event, name, type, domain);
}

// The "tls=PORT" entry of a service's TXT record; 0 when there is none or
// it names no port.
std::uint16_t TlsPortOf(AvahiStringList* txt) {
  AvahiStringList* entry = avahi_string_list_find(txt, "tls");
  char* key = nullptr;
  char* value = nullptr;
  if (entry == nullptr || avahi_string_list_get_pair(entry, &key, &value, nullptr) != 0) return 0;
  std::uint16_t port = 0;
  if (value != nullptr) {
    char* end = nullptr;
    const long number = std::strtol(value, &end, 10);
    if (*value != '\0' && *end == '\0' && number >= 1 && number <= 65535) port = static_cast<std::uint16_t>(number);
  }
  avahi_free(key);
  avahi_free(value);
  return port;
}

void OnResolve(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
               const char* name, const char*, const char*, const char* host, const AvahiAddress* address,
               uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags, void* self) {
  char text[AVAHI_ADDRESS_STR_MAX] = {};
  if (event == AVAHI_RESOLVER_FOUND && address != nullptr) avahi_address_snprint(text, sizeof text, address);
  static_cast<AvahiBrowser*>(self)->Resolved(resolver, event, name, host, text, port, TlsPortOf(txt));
}

std::string Text(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

AvahiBrowser::~AvahiBrowser() { Stop(); }

void AvahiBrowser::Start() {
  Stop();
  int error = 0;
  client_ = avahi_client_new(poll_.poll(), static_cast<AvahiClientFlags>(0), OnClientState, this, &error);
  if (client_ == nullptr) {
    Problem(error == AVAHI_ERR_NO_DAEMON ? "no mDNS responder running (avahi-daemon)"
                                         : "the mDNS responder cannot be reached: " + std::string(avahi_strerror(error)));
    return;
  }
  browser_ = avahi_service_browser_new(client_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, kChatServiceType, nullptr,
                                       static_cast<AvahiLookupFlags>(0), OnBrowse, this);
  if (browser_ == nullptr) {
    const std::string reason = avahi_strerror(avahi_client_errno(client_));
    Stop();
    Problem("the mDNS responder cannot browse: " + reason);
  }
}

void AvahiBrowser::Stop() {
  // Freeing the client frees its browser and resolvers as well.
  if (client_ != nullptr) avahi_client_free(client_);
  client_ = nullptr;
  browser_ = nullptr;
  resolvers_.clear();
  announcements_.clear();
}

void AvahiBrowser::Problem(const std::string& reason) {
  if (OnProblem) OnProblem(reason);
}

void AvahiBrowser::ClientFailed(AvahiClient* client) {
  Problem("the mDNS responder failed: " + std::string(avahi_strerror(avahi_client_errno(client))));
}

void AvahiBrowser::Browsed(int interface, int protocol, int event, const char* name, const char* type,
                           const char* domain) {
  switch (event) {
    case AVAHI_BROWSER_NEW: {
      announcements_.insert({interface, protocol, Text(name)});
      // The IPv4 address is asked for whatever protocol carried the
      // announcement: it names the server without an interface, which a
      // link-local IPv6 address would need.
      AvahiServiceResolver* resolver =
          avahi_service_resolver_new(client_, interface, protocol, name, type, domain, AVAHI_PROTO_INET,
                                     static_cast<AvahiLookupFlags>(0), OnResolve, this);
      if (resolver != nullptr) resolvers_.insert(resolver);
      return;
    }
    case AVAHI_BROWSER_REMOVE: {
      const std::string gone = Text(name);
      announcements_.erase({interface, protocol, gone});
      const bool stillThere = std::any_of(announcements_.begin(), announcements_.end(),
                                          [&](const Announcement& entry) { return std::get<2>(entry) == gone; });
      if (!stillThere && OnLost) OnLost(gone);
      return;
    }
    case AVAHI_BROWSER_ALL_FOR_NOW:
      if (OnAllForNow) OnAllForNow();
      return;
    case AVAHI_BROWSER_FAILURE:
      Problem("browsing failed: " + std::string(avahi_strerror(avahi_client_errno(client_))));
      return;
    default: return;
  }
}

void AvahiBrowser::Resolved(AvahiServiceResolver* resolver, int event, const char* name, const char* host,
                            const char* address, std::uint16_t port, std::uint16_t tlsPort) {
  resolvers_.erase(resolver);
  avahi_service_resolver_free(resolver);  // Avahi allows this from inside its callback
  if (event != AVAHI_RESOLVER_FOUND) return;
  const std::string found = Text(name);
  // An announcement withdrawn while it was being resolved is not reported.
  const bool announced = std::any_of(announcements_.begin(), announcements_.end(),
                                     [&](const Announcement& entry) { return std::get<2>(entry) == found; });
  if (announced && OnFound) OnFound(FoundServer{found, Text(host), address, port, tlsPort});
}

}  // namespace parlivo
