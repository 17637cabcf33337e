#pragma once
// Start and end of the sockets library for the program's lifetime: created
// before any socket object exists and destroyed after the last one is gone.
// The start asks for interface version 1.1; its result is ignored, as a
// library that fails to start shows itself in the first socket call.

#include "transport/platform/socket_api.h"

namespace parlivo {

class TransportModule {
 public:
  explicit TransportModule(SocketApi& api) : api_(api) { api_.startup(kVersion); }
  ~TransportModule() { api_.cleanup(); }
  TransportModule(const TransportModule&) = delete;
  TransportModule& operator=(const TransportModule&) = delete;

  static constexpr std::uint16_t kVersion = 0x0101;

 private:
  SocketApi& api_;
};

}  // namespace parlivo
