#pragma once
// The options given to parlivo-server on its command line. They take the
// place of the values in the settings file (which the next start saves,
// like a port typed in the window).

#include <cstdint>
#include <optional>
#include <string>

namespace parlivo {

class TfrmServer;

// Limits given for one run only: they win over the settings file's and are
// never written to it (a benchmark's --unlimited-input must not stay).
struct LimitOverrides {
  std::optional<std::uint32_t> memoryBudgetMiB;
  std::optional<bool> unlimitedInput;
  std::optional<std::uint32_t> maxClients;
  std::optional<std::uint32_t> maxClientsPerAddress;
};

struct ServerOptions {
  std::optional<std::uint16_t> port;
  std::optional<std::string> serviceName;  // UTF-8
  std::optional<bool> advertise;
  std::optional<std::string> allowFrom;
  std::optional<std::string> denyFrom;
  std::optional<bool> admitAny;
  // Any of the three turns the TLS port on; tls false turns it off.
  std::optional<bool> tls;
  std::optional<std::uint16_t> tlsPort;
  std::optional<std::string> tlsCertificate;
  std::optional<std::string> tlsKey;
  // True turns the TLS port on and keeps the plain port to this machine.
  std::optional<bool> tlsOnly;
  std::optional<std::string> listenAddress;  // "": every address
  LimitOverrides limits;
};

// Puts the given options into the form; call it after the settings are loaded.
void ApplyServerOptions(TfrmServer& form, const ServerOptions& options);

}  // namespace parlivo
