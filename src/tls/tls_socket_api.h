#pragma once
// TlsSocketApi: TLS for the connections of chosen listening sockets, laid
// over another sockets layer, so that the server above it sees plain bytes
// and the same notices whichever port a client came in on.
//
// Sockets that are not TLS connections pass straight through. For a TLS
// connection the layer owns an OpenSSL session whose ciphertext travels
// through the inner layer's recv and send (so the inner layer's write
// readiness and error codes stay in force), and it watches the socket
// itself, turning the inner notices into the ones the caller asked for:
//   handshake under way       nothing; sends fail with 10035 ("would block")
//   handshake done            kCanWrite (what was queued meanwhile goes out)
//   a whole record arrived    kCanRead; ioctlFionread tells its plain size
//   plain bytes left unread   kCanRead again on the next loop pass, as a
//                             level-triggered socket would say
//   peer's close_notify/FIN   kPeerClosed
//   handshake fails, times    kPeerClosed carrying kTlsHandshakeFailed,
//   out, or a record is bad   kTlsHandshakeTimedOut or kTlsProtocolError
// After kPeerClosed the socket is no longer watched. Every failure is the
// connection's own; nothing of it reaches another socket.
//
// Everything runs on the event thread.

#include <QTimer>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tls/tls_identity.h"
#include "transport/platform/socket_api.h"

namespace parlivo {

class TlsSocketApi final : public SocketApi, private SocketWatcher {
 public:
  // How long a client may take over its handshake before it is dropped.
  static constexpr int kHandshakeMs = 10000;
  int handshakeMs = kHandshakeMs;

  // `inner` carries the bytes and must outlive this layer.
  explicit TlsSocketApi(SocketApi& inner);
  ~TlsSocketApi() override;

  // The identity for connections accepted from now on; null turns TLS off
  // (encryptAccepted then fails). Connections under way keep theirs.
  void setContext(std::shared_ptr<TlsContext> context) { context_ = std::move(context); }
  const std::shared_ptr<TlsContext>& context() const { return context_; }
  // TLS connections open now, and how many of them are still in their handshake.
  std::size_t sessions() const { return sessions_.size(); }
  std::size_t handshaking() const;

  int startup(std::uint16_t version) override { return inner_.startup(version); }
  int cleanup() override { return inner_.cleanup(); }
  std::uint32_t maxSockets() override { return inner_.maxSockets(); }
  SocketHandle socket(int family, int type, int protocol) override;
  int bind(SocketHandle s, const SockAddrStorage& address) override { return pass(inner_.bind(s, address)); }
  int listen(SocketHandle s, int backlog) override { return pass(inner_.listen(s, backlog)); }
  SocketHandle accept(SocketHandle s, SockAddrStorage* peer) override;
  int recv(SocketHandle s, void* buffer, int length, int flags) override;
  int send(SocketHandle s, const void* buffer, int length, int flags) override;
  int shutdown(SocketHandle s, int how) override;
  int closesocket(SocketHandle s) override;
  int setLinger(SocketHandle s, std::uint16_t on, std::uint16_t seconds) override {
    return pass(inner_.setLinger(s, on, seconds));
  }
  int setNoDelay(SocketHandle s, bool on) override { return pass(inner_.setNoDelay(s, on)); }
  int setV6Only(SocketHandle s, bool on) override { return pass(inner_.setV6Only(s, on)); }
  int ioctlFionread(SocketHandle s, std::uint32_t* count) override;
  int watch(SocketHandle s, SocketWatcher* watcher, SocketEvents events) override;
  int waitWritable(const std::vector<SocketHandle>& sockets, int timeoutMs, std::vector<bool>& writable) override;
  int encryptAccepted(SocketHandle s) override;
  int lastError() override { return lastError_; }
  int gethostname(char* name, int length) override { return pass(inner_.gethostname(name, length)); }
  std::string hostAddress(const std::string& hostName) override { return inner_.hostAddress(hostName); }
  std::string hostAddress6() override { return inner_.hostAddress6(); }

 private:
  struct Session;
  // What the caller asked to be told of a TLS connection.
  struct Registration {
    SocketWatcher* watcher = nullptr;
    SocketEvents events = 0;
  };

  int pass(int result);
  int fail(int code);
  Session* find(SocketHandle s);
  // A notice of the inner layer for a TLS connection's socket.
  void SocketReady(SocketHandle s, SocketEvents event, int error) override;
  void continueHandshake(SocketHandle s);
  void checkReadable(SocketHandle s);
  // The session ends with `error` (0: an orderly close): its socket is no
  // longer watched and the caller hears kPeerClosed once.
  void end(SocketHandle s, int error);
  void deliver(SocketHandle s, SocketEvents event, int error);
  // Plain bytes wait inside the session: say kCanRead on the next pass.
  void readSoon(SocketHandle s);
  void sayReadSoon();
  void expireHandshakes();
  void watchInner(SocketHandle s, const Session& session);

  SocketApi& inner_;
  std::shared_ptr<TlsContext> context_;
  std::unordered_map<SocketHandle, std::unique_ptr<Session>> sessions_;
  // The listening sockets whose connections speak TLS.
  std::unordered_set<SocketHandle> listeners_;
  std::vector<SocketHandle> readSoon_;
  QTimer readSoonTimer_;
  QTimer handshakeTimer_;
  int lastError_ = 0;
};

}  // namespace parlivo
