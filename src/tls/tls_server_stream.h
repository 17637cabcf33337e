#pragma once
// The server's end of TLS: the stream of each connection accepted at the
// TLS port, and the maker that gives every such connection one.
//
// A TLS stream owns an OpenSSL session whose ciphertext travels through
// the sockets layer's recv and send, so that layer's write readiness and
// Winsock error codes stay in force. What the connection's owner sees:
//   handshake under way       nothing; sends would block (10035)
//   handshake done            kCanWrite (what was queued meanwhile goes out)
//   a whole record arrived    kCanRead; Available() counts its plain bytes
//   plain bytes left unread   Buffered(): the owner reads them by itself
//   peer's close_notify/FIN   kPeerClosed
//   handshake fails, or a     kPeerClosed carrying kTlsHandshakeFailed or
//   record is bad             kTlsProtocolError
//   handshake too slow        OpeningDeadline() passed: the owner ends it
//                             with kTlsHandshakeTimedOut
// Every failure is the connection's own; nothing of it reaches another.

#include <cstddef>
#include <memory>

#include "tls/tls_identity.h"
#include "transport/platform/connection_stream.h"

namespace parlivo {

class TlsStreams {
 public:
  // How long a client may take over its handshake before it is dropped.
  static constexpr int kHandshakeMs = 10000;

  // Streams that speak as the server `context` describes; it must not be null.
  explicit TlsStreams(std::shared_ptr<TlsContext> context);

  // The maker a TLS listener gives its connections. It shares this
  // object's state, and may outlive it.
  StreamMaker Maker() const;
  const std::shared_ptr<TlsContext>& context() const;
  // For handshakes that start from now on.
  void setHandshakeMs(int milliseconds);
  // TLS connections open now, and how many of them are still in their handshake.
  std::size_t sessions() const;
  std::size_t handshaking() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace parlivo
