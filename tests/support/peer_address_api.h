#pragma once
// The real sockets layer, except that a test can say which peer address
// the next accepted connections report: a loopback connection then stands
// for a client from any address (a public one, say) without a packet
// leaving the machine.

#include <deque>
#include <string>

#include "transport/platform/posix_socket_api.h"
#include "transport/platform/socket_address.h"

namespace parlivo::testing {

class PeerAddressApi final : public SocketApi {
 public:
  // Addresses (numeric, either family) for the next accepted connections, in order.
  std::deque<std::string> nextPeers;

  // What hostAddress6() says: none by default, so that what the server
  // announces does not depend on the machine's network.
  std::string ipv6Address;

  SocketHandle accept(SocketHandle s, SockAddrStorage* peer) override {
    const SocketHandle accepted = real_.accept(s, peer);
    if (accepted != kInvalidSocket && peer != nullptr && !nextPeers.empty()) {
      if (const auto address = ParseNumericAddress(nextPeers.front(), 0)) *peer = *address;
      nextPeers.pop_front();
    }
    return accepted;
  }

  int startup(std::uint16_t version) override { return real_.startup(version); }
  int cleanup() override { return real_.cleanup(); }
  std::uint32_t maxSockets() override { return real_.maxSockets(); }
  SocketHandle socket(int family, int type, int protocol) override { return real_.socket(family, type, protocol); }
  int bind(SocketHandle s, const SockAddrStorage& address) override { return real_.bind(s, address); }
  int listen(SocketHandle s, int backlog) override { return real_.listen(s, backlog); }
  int recv(SocketHandle s, void* buffer, int length, int flags) override {
    return real_.recv(s, buffer, length, flags);
  }
  int send(SocketHandle s, const void* buffer, int length, int flags) override {
    return real_.send(s, buffer, length, flags);
  }
  int shutdown(SocketHandle s, int how) override { return real_.shutdown(s, how); }
  int closesocket(SocketHandle s) override { return real_.closesocket(s); }
  int setLinger(SocketHandle s, std::uint16_t on, std::uint16_t seconds) override {
    return real_.setLinger(s, on, seconds);
  }
  int setNoDelay(SocketHandle s, bool on) override { return real_.setNoDelay(s, on); }
  int setV6Only(SocketHandle s, bool on) override { return real_.setV6Only(s, on); }
  int ioctlFionread(SocketHandle s, std::uint32_t* count) override { return real_.ioctlFionread(s, count); }
  int watch(SocketHandle s, SocketWatcher* watcher, SocketEvents events) override {
    return real_.watch(s, watcher, events);
  }
  int waitWritable(const std::vector<SocketHandle>& sockets, int timeoutMs, std::vector<bool>& writable) override {
    return real_.waitWritable(sockets, timeoutMs, writable);
  }
  int lastError() override { return real_.lastError(); }
  int gethostname(char* name, int length) override { return real_.gethostname(name, length); }
  std::string hostAddress(const std::string& hostName) override { return real_.hostAddress(hostName); }
  std::string hostAddress6() override { return ipv6Address; }

 private:
  PosixSocketApi real_;
};

}  // namespace parlivo::testing
