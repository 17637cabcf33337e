#include "client/chat_connection.h"

#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "encoding/text_codec.h"
#include "tls/tls_stream.h"
#include "transport/packet_ids.h"

namespace parlivo {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes written before the consumed front of the send queue is dropped.
constexpr std::size_t kCompactAfter = 64 * 1024;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

std::string ErrnoText(int error) {
  switch (error) {
    case ECONNREFUSED: return "connection refused";
    case ETIMEDOUT: return "timed out";
    case ECONNRESET: return "connection reset by peer";
    case EPIPE: return "connection closed by peer";
    case EHOSTUNREACH: return "host unreachable";
    case ENETUNREACH: return "network unreachable";
    case EADDRNOTAVAIL: return "no local address available";
    case EMFILE:
    case ENFILE: return "too many open files";
    default: return std::strerror(error);
  }
}

std::string LookupErrorText(const std::string& host, int status, int error) {
  if (status == 0 || status == EAI_NONAME || status == EAI_NODATA || status == EAI_ADDRFAMILY)
    return "host not found: " + host;
  if (status == EAI_SYSTEM) return "cannot look up " + host + ": " + ErrnoText(error);
  return "cannot look up " + host + ": " + ::gai_strerror(status);
}

ChatConnection::ChatConnection() = default;
ChatConnection::~ChatConnection() { close(); }

ChatConnection::ChatConnection(ChatConnection&& other) noexcept { *this = std::move(other); }

ChatConnection& ChatConnection::operator=(ChatConnection&& other) noexcept {
  if (this == &other) return *this;
  close();
  answerPings = other.answerPings;
  fd_ = std::exchange(other.fd_, -1);
  connecting_ = std::exchange(other.connecting_, false);
  peerClosed_ = std::exchange(other.peerClosed_, false);
  sendShut_ = std::exchange(other.sendShut_, false);
  out_ = std::move(other.out_);
  outStart_ = std::exchange(other.outStart_, 0);
  reader_ = std::move(other.reader_);
  inbox_ = std::move(other.inbox_);
  error_ = std::move(other.error_);
  pingsAnswered_ = std::exchange(other.pingsAnswered_, 0);
  bytesWritten_ = std::exchange(other.bytesWritten_, 0);
  bytesRead_ = std::exchange(other.bytesRead_, 0);
  tlsContext_ = std::move(other.tlsContext_);
  peerCheck_ = std::move(other.peerCheck_);
  tls_ = std::move(other.tls_);
  fingerprint_ = std::move(other.fingerprint_);
  return *this;
}

std::vector<Endpoint> ChatConnection::Resolve(const std::string& host, std::uint16_t port, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (status != 0 || found == nullptr) {
    error = LookupErrorText(host, status, errno);
    if (found != nullptr) ::freeaddrinfo(found);
    return {};
  }
  std::vector<Endpoint> endpoints;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
    Endpoint endpoint;
    std::memcpy(&endpoint.address, entry->ai_addr, std::min<std::size_t>(entry->ai_addrlen, sizeof endpoint.address));
    endpoint.length = entry->ai_addrlen;
    endpoints.push_back(endpoint);
  }
  ::freeaddrinfo(found);
  if (endpoints.empty()) error = "host not found: " + host;
  return InterleaveFamilies(endpoints);
}

bool ChatConnection::connect(const std::string& host, std::uint16_t port, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string reason;
  const std::vector<Endpoint> endpoints = Resolve(host, port, reason);
  if (endpoints.empty()) return fail(reason);
  return connect(endpoints, MillisecondsLeft(deadline));
}

bool ChatConnection::connect(const std::vector<Endpoint>& endpoints, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string reason;
  const int fd = ConnectFirstAnswering(endpoints, MillisecondsLeft(deadline), reason);
  if (fd < 0) return fail(reason);
  if (!adopt(fd)) return false;
  while (securing()) {
    pollfd entry{fd_, static_cast<short>(tls_->wantsWrite() ? POLLOUT : POLLIN), 0};
    const int ready = ::poll(&entry, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return fail(ErrnoText(errno));
    if (ready == 0) return fail("timed out in the TLS handshake");
    if (!flush()) return false;
  }
  return true;
}

bool ChatConnection::adopt(int fd) {
  startAfresh();
  fd_ = fd;
  return connected();
}

void ChatConnection::startAfresh() {
  close();
  error_.clear();
  peerClosed_ = false;
  sendShut_ = false;
  reader_ = PacketReader();
  inbox_.clear();
  bytesWritten_ = 0;
  bytesRead_ = 0;
}

bool ChatConnection::startConnect(const Endpoint& address) {
  startAfresh();
  bool made = false;
  std::string reason;
  fd_ = StartConnecting(address, made, reason);
  if (fd_ < 0) return fail(reason);
  connecting_ = !made;
  if (made) return connected();
  return true;
}

bool ChatConnection::finishConnect() {
  if (!connecting_) return fd_ >= 0;
  int pending = 0;
  socklen_t length = sizeof pending;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) return fail(ErrnoText(errno));
  if (pending != 0) return fail(ErrnoText(pending));
  // Writable without an error can still mean "not yet" after a spurious wake-up.
  sockaddr_storage peer{};
  socklen_t peerLength = sizeof peer;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
    if (errno == ENOTCONN) return true;
    return fail(ErrnoText(errno));
  }
  connecting_ = false;
  return connected();
}

void ChatConnection::useTls(std::shared_ptr<TlsContext> context, PeerCheck check) {
  tlsContext_ = std::move(context);
  peerCheck_ = std::move(check);
}

bool ChatConnection::securing() const { return tls_ && !tls_->established(); }

bool ChatConnection::wantsWrite() const {
  if (connecting_) return true;
  // During the handshake only what OpenSSL has to say counts: the packets
  // queued meanwhile cannot go out yet, and polling for them would spin.
  if (securing()) return tls_->wantsWrite();
  return pendingOutput() > 0;
}

bool ChatConnection::connected() {
  fingerprint_.clear();
  if (tlsContext_) {
    std::string reason;
    tls_ = TlsStream::Connect(tlsContext_, fd_, reason);
    if (!tls_) return fail(reason);
  }
  return flush();
}

bool ChatConnection::advanceTls() {
  switch (tls_->handshake()) {
    case TlsStream::Status::Done: break;
    case TlsStream::Status::WantRead:
    case TlsStream::Status::WantWrite: return true;
    default: return fail(tls_->error());
  }
  fingerprint_ = tls_->peerFingerprint();
  if (!peerCheck_) return true;
  // The key is checked for the address the connection really reached.
  Endpoint peer;
  peer.length = sizeof peer.address;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer.address), &peer.length) != 0) return fail(ErrnoText(errno));
  std::string why;
  if (!peerCheck_(fingerprint_, peer, why)) return fail(why);
  return true;
}

long ChatConnection::writeSome(const char* data, std::size_t length) {
  if (!tls_) {
    for (;;) {
      const ssize_t sent = ::send(fd_, data, length, MSG_NOSIGNAL);
      if (sent >= 0) return sent;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      fail(ErrnoText(errno));
      return -1;
    }
  }
  TlsStream::Status status;
  const std::size_t sent = tls_->write(data, length, status);
  if (sent > 0 || status == TlsStream::Status::WantRead || status == TlsStream::Status::WantWrite)
    return static_cast<long>(sent);
  fail(status == TlsStream::Status::Closed ? "connection closed by peer" : tls_->error());
  return -1;
}

long ChatConnection::readSome(char* buffer, std::size_t length) {
  if (!tls_) {
    for (;;) {
      const ssize_t got = ::recv(fd_, buffer, length, 0);
      if (got > 0) return got;
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
      error_ = got == 0 ? "connection closed by peer" : ErrnoText(errno);
      return -1;
    }
  }
  TlsStream::Status status;
  const std::size_t got = tls_->read(buffer, length, status);
  if (got > 0 || status == TlsStream::Status::WantRead || status == TlsStream::Status::WantWrite)
    return static_cast<long>(got);
  error_ = status == TlsStream::Status::Closed || tls_->error().empty() ? "connection closed by peer" : tls_->error();
  return -1;
}

bool ChatConnection::send(std::int32_t id, std::string_view payload) {
  return sendBytes(BuildPacket(id, payload));
}

bool ChatConnection::sendBytes(std::string_view bytes) {
  if (fd_ < 0) return fail(error_.empty() ? "not connected" : error_);
  if (sendShut_) {
    error_ = "the sending side is shut down";
    return false;
  }
  out_ += bytes;
  return flush();
}

bool ChatConnection::registerUser(std::string_view nick, std::string_view room) {
  return send(pidRegisterUser, RegistrationPayload(nick, room));
}

bool ChatConnection::sendChat(std::string_view text) { return send(pidMessage, EncodeText(text)); }

bool ChatConnection::sendPrivate(std::string_view nick, std::string_view data) {
  return send(pidPrivateData, PrivateDataPayload(nick, data));
}

bool ChatConnection::flush() {
  if (fd_ < 0) return false;
  if (connecting_) return true;
  if (securing() && (!advanceTls() || securing())) return fd_ >= 0;
  while (pendingOutput() > 0) {
    const long sent = writeSome(out_.data() + outStart_, pendingOutput());
    if (sent < 0) return false;
    if (sent == 0) break;
    outStart_ += static_cast<std::size_t>(sent);
    bytesWritten_ += static_cast<std::uint64_t>(sent);
  }
  if (outStart_ == out_.size()) {
    out_.clear();
    outStart_ = 0;
  } else if (outStart_ >= kCompactAfter) {
    out_.erase(0, outStart_);
    outStart_ = 0;
  }
  return true;
}

bool ChatConnection::readAvailable() { return readAvailable(kMaxReadPerCall); }

bool ChatConnection::readAvailable(std::size_t most) {
  if (reader_.failed()) return false;
  if (fd_ < 0 || peerClosed_ || connecting_) return fd_ >= 0 && !peerClosed_;
  if (securing()) {
    // The handshake's bytes: once it is done, what was queued goes out and
    // the server's first packets may already wait.
    if (!flush()) return false;
    if (securing()) return true;
  }
  char chunk[64 * 1024];
  std::size_t total = 0;
  most = std::min(most, kMaxReadPerCall);
  // Through TLS, what the session already took from the socket is read
  // past `most`: the socket would not wake the caller for it again.
  while (total < most || (tls_ && tls_->buffered())) {
    const std::size_t ask = total < most ? std::min(sizeof chunk, most - total) : sizeof chunk;
    const long got = readSome(chunk, ask);
    if (got == 0) break;
    if (got < 0) {
      peerClosed_ = fd_ >= 0;
      break;
    }
    total += static_cast<std::size_t>(got);
    bytesRead_ += static_cast<std::uint64_t>(got);
    reader_.append(std::string_view(chunk, static_cast<std::size_t>(got)));
    if (reader_.failed()) break;
    // A short read emptied the socket: asking again would only hear "would
    // block" (a system call per read for nothing). Through TLS a read ends
    // with its record, whatever the socket still holds.
    if (!tls_ && static_cast<std::size_t>(got) < ask) break;
  }
  takePackets();
  if (reader_.failed()) {
    error_ = reader_.error();
    return false;
  }
  return fd_ >= 0 && !peerClosed_;
}

void ChatConnection::takePackets() {
  while (std::optional<ReceivedPacket> packet = reader_.next()) {
    if (packet->id == pidPing && answerPings && !peerClosed_ && !sendShut_ && send(pidPong, {})) ++pingsAnswered_;
    inbox_.push_back(std::move(*packet));
  }
}

std::optional<ReceivedPacket> ChatConnection::nextPacket() {
  if (inbox_.empty()) return std::nullopt;
  ReceivedPacket packet = std::move(inbox_.front());
  inbox_.pop_front();
  return packet;
}

std::optional<ReceivedPacket> ChatConnection::waitPacket(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (std::optional<ReceivedPacket> packet = nextPacket()) return packet;
    if (!isOpen() || reader_.failed()) return std::nullopt;
    pollfd entry{fd_, static_cast<short>(POLLIN | (wantsWrite() ? POLLOUT : 0)), 0};
    const int ready = ::poll(&entry, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    if (connecting_) {
      if (!finishConnect()) return std::nullopt;
      continue;
    }
    if ((entry.revents & POLLOUT) != 0 && !flush()) return std::nullopt;
    if ((entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !readAvailable()) return nextPacket();
  }
}

bool ChatConnection::flushAll(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (fd_ >= 0 && wantsWrite()) {
    pollfd entry{fd_, POLLOUT, 0};
    const int ready = ::poll(&entry, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    if (connecting_ ? !finishConnect() : !flush()) return false;
  }
  return fd_ >= 0;
}

void ChatConnection::shutdownSend() {
  if (fd_ < 0 || sendShut_) return;
  sendShut_ = true;
  out_.clear();
  outStart_ = 0;
  if (connecting_) return;
  if (tls_) tls_->close();
  ::shutdown(fd_, SHUT_WR);
}

void ChatConnection::leave(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  flushAll(timeoutMs);
  shutdownSend();
  while (isOpen() && !connecting_) {
    pollfd entry{fd_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || !readAvailable()) break;
  }
  close();
}

void ChatConnection::abort() {
  if (fd_ < 0) return;
  const linger abortive{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  closeSocket();
}

void ChatConnection::close() {
  if (fd_ < 0) return;
  // Bytes left unread make the close abortive (a reset); take them first so
  // that a peer sees an orderly end whenever it can.
  if (!connecting_ && !peerClosed_) readAvailable();
  if (fd_ < 0) return;
  closeSocket();
}

void ChatConnection::closeSocket() {
  tls_.reset();
  ::close(fd_);
  fd_ = -1;
  connecting_ = false;
  out_.clear();
  outStart_ = 0;
}

bool ChatConnection::fail(std::string reason) {
  error_ = std::move(reason);
  tls_.reset();
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  connecting_ = false;
  out_.clear();
  outStart_ = 0;
  return false;
}

}  // namespace parlivo
