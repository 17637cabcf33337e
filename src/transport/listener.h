#pragma once
// Listener: the listening sockets of one port, and the taking of the
// connections that arrive on them.
//
// It opens the port on every address of both families (one IPv6 socket
// that takes IPv4 peers too; two where the system cannot; IPv4 alone where
// it has no IPv6), on one address, or on loopback only. It watches its
// sockets itself and, on each notice, takes a burst of waiting connections
// and hands each to its owner, who admits it or not and gives it the
// listener's stream maker (the TLS port's makes TLS streams). An accept that
// fails for lack of resources pauses the listener: the connections waiting
// stay in the system's queue, and it tries again after a pause that
// doubles up to kAcceptRetryMaxMs.

#include <QTimer>
#include <cstdint>
#include <functional>
#include <vector>

#include "transport/platform/connection_stream.h"
#include "transport/platform/socket_api.h"

namespace parlivo {

class Listener;

// What a listener asks of the one that owns it. Every call comes on the
// event thread from inside the listener's notice (see ListenerNotice).
class ListenerOwner {
 public:
  // A notice of one of `listener`'s sockets is to be handled: `work` does
  // it, run inside whatever the owner counts as one of its handlers.
  virtual void ListenerNotice(const std::function<void()>& work) = 0;
  // A connection came in: `socket` (non-blocking, not watched) from `peer`.
  // The owner takes the socket over. False ends the burst.
  virtual bool Accepted(Listener& listener, SocketHandle socket, const SockAddrStorage& peer) = 0;
  // An accept failed for lack of resources (`errorCode`): the listener has
  // paused.
  virtual void AcceptPaused(int errorCode) = 0;
  // An error notice of a listening socket.
  virtual void ListenerError(SocketHandle socket, int errorCode) = 0;

 protected:
  ~ListenerOwner() = default;
};

class Listener final : private SocketWatcher {
 public:
  // The system's maximum backlog.
  static constexpr int kListenBacklog = kMaxListenBacklog;
  // The first pause after a failed accept, and the longest.
  static constexpr int kAcceptRetryFirstMs = 50;
  static constexpr int kAcceptRetryMaxMs = 1000;
  // Connections taken from the system's queue for one notice: a burst gets
  // in quickly, and the connections in service do not wait long behind it.
  static constexpr int kAcceptsPerNotice = 64;

  // `api` and `owner` must outlive the listener.
  Listener(SocketApi& api, ListenerOwner& owner);
  // Closes what is still open.
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // The streams of the connections taken here; empty: the socket itself.
  StreamMaker streams;

  // Each opens the port and starts watching, 0 on success; on a failure the
  // Winsock code, with the sockets opened so far still held (Last() names
  // the one that failed) for the caller to report and Close().
  // Every address of both families; `noIPv6` gets the error that said the
  // system has no IPv6 (the port then listens on IPv4 alone), else 0.
  int OpenEverywhere(std::uint16_t port, int& noIPv6);
  // 127.0.0.1, and ::1 where the system has IPv6.
  int OpenLoopback(std::uint16_t port);
  // The one address given.
  int OpenAt(const SockAddrStorage& address);
  // Closes every socket: 0, or the Winsock code of the first close that failed.
  int Close();

  // Pauses taking connections after a failure (`errorCode`), telling the owner.
  void BackOff(int errorCode);
  // The pause after a failed accept, given the one before it (0: none).
  static int NextPauseMs(int pauseMs);
  // The pause in force since the last failed accept; 0 once one succeeds.
  int PauseMs() const { return pauseMs_; }

  std::uint16_t Port() const { return port_; }
  const std::vector<SocketHandle>& Sockets() const { return sockets_; }
  SocketHandle First() const { return sockets_.empty() ? kInvalidSocket : sockets_.front(); }
  SocketHandle Last() const { return sockets_.empty() ? kInvalidSocket : sockets_.back(); }
  // Whether one of its sockets takes IPv6 peers.
  bool ServesIPv6() const { return servesIPv6_; }

 private:
  void SocketReady(SocketHandle socket, SocketEvents event, int error) override;
  int Open(const SockAddrStorage& address, bool* dualStack);
  void Watch(SocketEvents events);
  void AcceptBurst();
  // Takes one connection from `listening`; false when there was none (or
  // the accept failed, which backs off) or the owner wants no more.
  bool AcceptOne(SocketHandle listening);
  void Resume();

  SocketApi& api_;
  ListenerOwner& owner_;
  std::vector<SocketHandle> sockets_;
  std::uint16_t port_ = 0;
  bool servesIPv6_ = false;
  QTimer retry_;
  int pauseMs_ = 0;
  std::uint64_t closes_ = 0;  // counts closes, so that a burst notices one
};

}  // namespace parlivo
