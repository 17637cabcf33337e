#pragma once
// The real sockets layer: POSIX sockets behind the Winsock-shaped SocketApi.
//
// Failures are translated from errno into Winsock codes (winsock_errors.h).
// Readiness comes from one QSocketNotifier per watched socket, on the event
// thread, and goes straight to the socket's watcher:
//   listening socket readable            -> kCanAccept
//   connection readable, bytes waiting   -> kCanRead
//   connection readable, nothing waiting -> kPeerClosed, carrying the pending
//                                           socket error if there is one
//                                           (e.g. 10054 for a reset)
// kPeerClosed is told once per socket. A second notifier watches for room
// to write, enabled only after a send that did not take all its bytes and
// only when kCanWrite was asked for; its first notice disables it again
// (kCanWrite, once per blocked send).

#include <QSocketNotifier>
#include <memory>
#include <unordered_map>

#include "transport/platform/socket_api.h"

namespace parlivo {

class PosixSocketApi final : public SocketApi {
 public:
  PosixSocketApi() = default;
  ~PosixSocketApi() override;

  int startup(std::uint16_t version) override;
  int cleanup() override;
  std::uint32_t maxSockets() override;
  SocketHandle socket(int family, int type, int protocol) override;
  int bind(SocketHandle s, const SockAddrStorage& address) override;
  int listen(SocketHandle s, int backlog) override;
  SocketHandle accept(SocketHandle s, SockAddrStorage* peer) override;
  int recv(SocketHandle s, void* buffer, int length, int flags) override;
  int send(SocketHandle s, const void* buffer, int length, int flags) override;
  int shutdown(SocketHandle s, int how) override;
  int closesocket(SocketHandle s) override;
  int setLinger(SocketHandle s, std::uint16_t on, std::uint16_t seconds) override;
  int setNoDelay(SocketHandle s, bool on) override;
  int setV6Only(SocketHandle s, bool on) override;
  int ioctlFionread(SocketHandle s, std::uint32_t* count) override;
  int watch(SocketHandle s, SocketWatcher* watcher, SocketEvents events) override;
  int waitWritable(const std::vector<SocketHandle>& sockets, int timeoutMs, std::vector<bool>& writable) override;
  int lastError() override { return lastError_; }
  int gethostname(char* name, int length) override;
  std::string hostAddress(const std::string& hostName) override;
  std::string hostAddress6() override;

 private:
  struct Registration {
    SocketWatcher* watcher = nullptr;
    SocketEvents events = 0;
    bool listening = false;
    bool closeSaid = false;  // kPeerClosed went out: the read notifier stays off
    std::unique_ptr<QSocketNotifier> notifier;
    std::unique_ptr<QSocketNotifier> writeNotifier;  // made at the first blocked send
  };

  // Records errno as the last error and returns kSocketError.
  int fail();
  void registerWatch(SocketHandle s, SocketWatcher* watcher, SocketEvents events);
  void cancel(SocketHandle s);
  void onReadable(SocketHandle s);
  void onWritable(SocketHandle s);
  // After a send on s that did not take everything: one kCanWrite to come.
  void armWrite(SocketHandle s);

  std::unordered_map<SocketHandle, Registration> registrations_;
  int lastError_ = 0;
};

}  // namespace parlivo
