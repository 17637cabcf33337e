#pragma once
// ChatConnection: one client connection to a chat server over TCP (IPv4 or
// IPv6), on a non-blocking POSIX socket. No Qt, no threads.
//
// It speaks the client side of the protocol: it queues packets and writes
// them as far as the socket accepts, keeping the rest for flush(); it reads
// whatever has arrived, cuts it into packets and hands them out in order.
// While answerPings is set, every ping (ID 9) is answered with a pong
// (ID 10) as soon as it is read; the ping is still handed out, so a caller
// may simply ignore it.
//
// Two ways to use it:
//  * blocking-style: connect() with a time-out, then waitPacket() for each
//    packet with a deadline (the chat tool and tests); or a socket connected
//    elsewhere (on a worker thread) handed over with adopt();
//  * inside a caller's own poll loop over many connections: startConnect(),
//    then poll fd() for reading, and for writing while wantsWrite(); call
//    finishConnect() when a connecting socket turns writable, flush() when a
//    connected one does, readAvailable() when it is readable (the load
//    generator).
//
// Errors never throw: the failing call returns false and error() says what
// happened in plain words ("connection refused", "host not found: x",
// "timed out", "connection closed by peer", a protocol error ...).
// The object owns its socket and closes it on close() or destruction.

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/client_packets.h"
#include "client/staggered_connect.h"

namespace parlivo {

class TlsContext;
class TlsStream;

class ChatConnection {
 public:
  // Most bytes one readAvailable() call takes, so that one busy connection
  // cannot starve the others of a shared poll loop.
  static constexpr std::size_t kMaxReadPerCall = 1 << 20;

  ChatConnection();
  ~ChatConnection();
  ChatConnection(ChatConnection&& other) noexcept;
  ChatConnection& operator=(ChatConnection&& other) noexcept;
  ChatConnection(const ChatConnection&) = delete;
  ChatConnection& operator=(const ChatConnection&) = delete;

  // Answer every received ping with a pong at once.
  bool answerPings = true;

  // Asked with the server's certificate fingerprint and the address the
  // connection was made to once a TLS handshake is done, before any packet
  // goes out: false ends the connection with `why` as its error (a server
  // whose key changed).
  using PeerCheck = std::function<bool(const std::string& fingerprint, const Endpoint& peer, std::string& why)>;
  // Speak TLS with `context` on the connections made from now on (null:
  // plain TCP). The handshake runs inside flush() and readAvailable(), so
  // both blocking-style and poll-loop callers drive it; packets sent
  // meanwhile wait for it.
  void useTls(std::shared_ptr<TlsContext> context, PeerCheck check = {});
  // Whether the TLS handshake is under way (connected, nothing sent yet).
  bool securing() const;
  // The server's certificate fingerprint once the handshake is done.
  const std::string& peerFingerprint() const { return fingerprint_; }

  // The addresses of `host` (an IPv4 or IPv6 address, "fe80::1%eth0", or a
  // host name) with `port`, both families, in the order to try them
  // (InterleaveFamilies); empty with `error` set ("host not found: x") when
  // there is none.
  static std::vector<Endpoint> Resolve(const std::string& host, std::uint16_t port, std::string& error);

  // Resolves, connects to the first address that answers (see
  // staggered_connect.h) and waits at most `timeoutMs` in all, the TLS
  // handshake and peer check included when TLS is on.
  bool connect(const std::string& host, std::uint16_t port, int timeoutMs);
  // The same with addresses resolved already (Resolve's order).
  bool connect(const std::vector<Endpoint>& endpoints, int timeoutMs);
  // Starts connecting without waiting. True when the connection is under way
  // or already made; connecting() tells which.
  bool startConnect(const Endpoint& address);
  // Takes over `fd`, a socket connected to the server (non-blocking), as
  // if connect() had made it (starting TLS when asked for). False when
  // TLS cannot start.
  bool adopt(int fd);
  // Completes a connection under way once its socket is writable (or shows
  // an error). False, with the socket closed, when the connection failed.
  bool finishConnect();
  bool connecting() const { return connecting_; }
  // A socket exists (connecting or connected) and the peer has not closed it.
  bool isOpen() const { return fd_ >= 0 && !peerClosed_; }
  bool peerClosed() const { return peerClosed_; }

  // Queues one packet and writes as much as the socket accepts now. False
  // when the connection is unusable (error() says why).
  bool send(std::int32_t id, std::string_view payload);
  bool registerUser(std::string_view nick, std::string_view room);
  // Sends chat text (encoded for the wire).
  bool sendChat(std::string_view text);
  bool sendPrivate(std::string_view nick, std::string_view data);
  // Queues bytes exactly as given (a packet written in pieces, or one cut
  // short on purpose by a load tool) and writes as much as the socket accepts.
  bool sendBytes(std::string_view bytes);
  // Writes queued bytes as far as the socket accepts. False on an error.
  bool flush();
  // Whether the caller's poll loop should wait for writability: while
  // connecting, and while queued bytes wait.
  bool wantsWrite() const;
  std::size_t pendingOutput() const { return out_.size() - outStart_; }
  // Bytes the socket has taken since the connection was made; with
  // pendingOutput() it tells how far a queued packet has gone out.
  std::uint64_t bytesWritten() const { return bytesWritten_; }
  // Bytes read from the socket since the connection was made.
  std::uint64_t bytesRead() const { return bytesRead_; }

  // Reads what the socket holds (up to kMaxReadPerCall) and cuts it into
  // packets. False when the peer closed the connection, on a socket error
  // or a protocol error; packets cut before that are still handed out.
  bool readAvailable();
  // The same, taking at most `most` bytes (a reader that reads at a limited rate).
  bool readAvailable(std::size_t most);
  // The oldest packet read and not yet handed out.
  std::optional<ReceivedPacket> nextPacket();
  // The next packet, waiting at most `timeoutMs` for it (sending queued bytes
  // meanwhile); nullopt on time-out, close or error.
  std::optional<ReceivedPacket> waitPacket(int timeoutMs);
  // Waits at most `timeoutMs` until every queued byte is written.
  bool flushAll(int timeoutMs);

  int fd() const { return fd_; }
  const std::string& error() const { return error_; }
  std::uint64_t pingsAnswered() const { return pingsAnswered_; }

  // Ends the sending side (the peer reads an end of stream); queued bytes
  // not yet written are dropped. Reading goes on; pings are no longer
  // answered and send() fails from now on.
  void shutdownSend();
  bool sendShutDown() const { return sendShut_; }
  // Leaves in an orderly way: writes what is queued (waiting at most
  // `timeoutMs`), shuts down the sending side, reads until the peer closes or
  // the time is up, then closes. A peer that is still sending when we close
  // would otherwise see a reset instead of an orderly end.
  void leave(int timeoutMs);
  // Ends the connection abortively, the way a killed program's connection
  // ends: the peer sees a reset. Idempotent.
  void abort();
  // Closes the socket; queued bytes that were not written are dropped.
  // Packets already read can still be taken with nextPacket(). Idempotent.
  void close();

 private:
  bool fail(std::string reason);
  // Closes what there is and forgets the last connection's state.
  void startAfresh();
  void closeSocket();
  void takePackets();
  // The TCP connection is made: starts TLS when asked for.
  bool connected();
  // One step of the TLS handshake, the peer check once it is done. False
  // when the connection failed.
  bool advanceTls();
  // One read or write of the socket, through TLS when it is on: the count,
  // 0 when the socket has nothing or no room now, -1 when the peer closed
  // or the connection failed (error_ set).
  long readSome(char* buffer, std::size_t length);
  long writeSome(const char* data, std::size_t length);

  int fd_ = -1;
  bool connecting_ = false;
  bool peerClosed_ = false;
  bool sendShut_ = false;
  std::string out_;
  std::size_t outStart_ = 0;  // first byte of out_ not yet written
  PacketReader reader_;
  std::deque<ReceivedPacket> inbox_;
  std::string error_;
  std::uint64_t pingsAnswered_ = 0;
  std::uint64_t bytesWritten_ = 0;
  std::uint64_t bytesRead_ = 0;
  std::shared_ptr<TlsContext> tlsContext_;
  PeerCheck peerCheck_;
  std::unique_ptr<TlsStream> tls_;
  std::string fingerprint_;
};

// A plain-words text for a socket errno ("connection refused", "timed out", ...).
std::string ErrnoText(int error);
// Why looking up `host` failed, from getaddrinfo's status (and errno for
// EAI_SYSTEM): "host not found: x" only when the name has no address; a
// resolver that cannot be reached says so, as it may work again later.
std::string LookupErrorText(const std::string& host, int status, int error);

}  // namespace parlivo
