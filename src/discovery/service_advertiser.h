#pragma once
// Announces the running server on the local network (a DNS-SD service of
// type kChatServiceType), so that clients can list it without being told an
// address. Implementations: AvahiAdvertiser, and fakes in tests.
//
// The reports come from the event loop, or synchronously from inside
// Advertise when the failure is known at once (no responder running).

#include <cstdint>
#include <functional>
#include <string>

namespace parlivo {

class ServiceAdvertiser {
 public:
  virtual ~ServiceAdvertiser() = default;

  // Starts announcing `name` (UTF-8) on every interface with `port`,
  // replacing an earlier announcement. A TLS port, when the server has one,
  // goes with it as the TXT entry "tls=PORT".
  virtual void Advertise(const std::string& name, std::uint16_t port, std::uint16_t tlsPort = 0) = 0;
  // Ends the announcement; nothing happens when there is none.
  virtual void Withdraw() = 0;

  // The network knows the server under this name (another one when the
  // asked-for name was taken).
  std::function<void(const std::string& name)> OnAdvertised;
  // Announcing failed or stopped for `reason` (plain words); the server
  // keeps running unannounced.
  std::function<void(const std::string& reason)> OnNotAdvertised;
};

}  // namespace parlivo
