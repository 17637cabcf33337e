#pragma once
// A sockets layer for benchmarks that never touches the network: every send
// is taken whole, and receives hand out whatever `incoming` holds.

#include <cstring>
#include <string>

#include "transport/platform/socket_api.h"

namespace parlivo::bench {

class NullSocketApi final : public SocketApi {
 public:
  std::string incoming;
  std::size_t bytesSent = 0;

  int startup(std::uint16_t) override { return 0; }
  int cleanup() override { return 0; }
  SocketHandle socket(int, int, int) override { return 3; }
  int bind(SocketHandle, const SockAddrStorage&) override { return 0; }
  int listen(SocketHandle, int) override { return 0; }
  SocketHandle accept(SocketHandle, SockAddrStorage*) override { return kInvalidSocket; }
  int recv(SocketHandle, void* buffer, int length, int) override {
    const std::size_t n = std::min(incoming.size(), static_cast<std::size_t>(length));
    std::memcpy(buffer, incoming.data(), n);
    incoming.erase(0, n);
    return static_cast<int>(n);
  }
  int send(SocketHandle, const void*, int length, int) override {
    bytesSent += static_cast<std::size_t>(length);
    return length;
  }
  int shutdown(SocketHandle, int) override { return 0; }
  int closesocket(SocketHandle) override { return 0; }
  int setLinger(SocketHandle, std::uint16_t, std::uint16_t) override { return 0; }
  int setNoDelay(SocketHandle, bool) override { return 0; }
  int setV6Only(SocketHandle, bool) override { return 0; }
  int ioctlFionread(SocketHandle, std::uint32_t* count) override {
    *count = static_cast<std::uint32_t>(incoming.size());
    return 0;
  }
  int watch(SocketHandle, SocketWatcher*, SocketEvents) override { return 0; }
  std::uint32_t maxSockets() override { return 1u << 20; }
  int waitWritable(const std::vector<SocketHandle>&, int, std::vector<bool>& writable) override {
    writable.clear();
    return 0;
  }
  int lastError() override { return 0; }
  int gethostname(char* name, int) override {
    name[0] = '\0';
    return 0;
  }
  std::string hostAddress(const std::string&) override { return {}; }
  std::string hostAddress6() override { return {}; }
};

}  // namespace parlivo::bench
