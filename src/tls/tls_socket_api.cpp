#include "tls/tls_socket_api.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <climits>

#include "tls/bio_method.h"
#include "transport/platform/winsock_errors.h"
#include "transport/socket_error_text.h"
#include "transport/steady_time.h"

namespace parlivo {
namespace {

// The inner layer's socket as an OpenSSL BIO: ciphertext goes through its
// recv and send, "would block" becomes a retry, other failures are kept
// for the caller to report with the inner layer's own code.
struct Channel {
  SocketApi* api = nullptr;
  SocketHandle socket = kInvalidSocket;
  int error = 0;
};

int ChannelWrite(BIO* bio, const char* data, int length) {
  auto* channel = static_cast<Channel*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  const int sent = channel->api->send(channel->socket, data, length, 0);
  if (sent >= 0) return sent;
  if (const int error = channel->api->lastError(); error == WSAEWOULDBLOCK) {
    BIO_set_retry_write(bio);
  } else {
    channel->error = error;
  }
  return -1;
}

int ChannelRead(BIO* bio, char* data, int length) {
  auto* channel = static_cast<Channel*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  const int received = channel->api->recv(channel->socket, data, length, 0);
  if (received >= 0) return received;  // 0: the peer's end of stream
  if (const int error = channel->api->lastError(); error == WSAEWOULDBLOCK) {
    BIO_set_retry_read(bio);
  } else {
    channel->error = error;
  }
  return -1;
}

const BIO_METHOD* ChannelMethod() {
  static BIO_METHOD* const method = MakeBioMethod("parlivo socket", ChannelWrite, ChannelRead);
  return method;
}

constexpr SocketEvents kWatchedWhileHandshaking = kCanRead | kCanWrite | kPeerClosed;

}  // namespace

struct TlsSocketApi::Session {
  ~Session() { SSL_free(ssl); }  // frees the BIO with it
  SSL* ssl = nullptr;
  Channel channel;
  Registration outer;
  bool established = false;
  bool ended = false;  // kPeerClosed was told
  int error = 0;       // why it ended, for later calls
  std::int64_t deadlineMs = 0;
};

TlsSocketApi::TlsSocketApi(SocketApi& inner) : inner_(inner) {
  readSoonTimer_.setSingleShot(true);
  readSoonTimer_.setInterval(0);
  QObject::connect(&readSoonTimer_, &QTimer::timeout, [this] { sayReadSoon(); });
  QObject::connect(&handshakeTimer_, &QTimer::timeout, [this] { expireHandshakes(); });
}

TlsSocketApi::~TlsSocketApi() = default;

int TlsSocketApi::pass(int result) {
  if (result == kSocketError) lastError_ = inner_.lastError();
  return result;
}

int TlsSocketApi::fail(int code) {
  lastError_ = code;
  return kSocketError;
}

TlsSocketApi::Session* TlsSocketApi::find(SocketHandle s) {
  if (sessions_.empty()) return nullptr;
  const auto it = sessions_.find(s);
  return it == sessions_.end() ? nullptr : it->second.get();
}

std::size_t TlsSocketApi::handshaking() const {
  return static_cast<std::size_t>(std::count_if(sessions_.begin(), sessions_.end(), [](const auto& entry) {
    return !entry.second->established && !entry.second->ended;
  }));
}

SocketHandle TlsSocketApi::socket(int family, int type, int protocol) {
  const SocketHandle s = inner_.socket(family, type, protocol);
  if (s == kInvalidSocket) lastError_ = inner_.lastError();
  return s;
}

int TlsSocketApi::encryptAccepted(SocketHandle s) {
  if (!context_) return fail(10045);
  listeners_.insert(s);
  return 0;
}

SocketHandle TlsSocketApi::accept(SocketHandle s, SockAddrStorage* peer) {
  const SocketHandle accepted = inner_.accept(s, peer);
  if (accepted == kInvalidSocket) {
    lastError_ = inner_.lastError();
    return accepted;
  }
  const auto listener = listeners_.find(s);
  if (listener == listeners_.end()) return accepted;

  auto session = std::make_unique<Session>();
  ERR_clear_error();
  session->ssl = context_ ? SSL_new(context_->get()) : nullptr;
  BIO* bio = session->ssl != nullptr ? BIO_new(ChannelMethod()) : nullptr;
  if (bio == nullptr) {
    // Out of memory: the peer is turned away like any accept that fails.
    ERR_clear_error();
    inner_.closesocket(accepted);
    return static_cast<SocketHandle>(fail(10055));
  }
  session->channel = Channel{&inner_, accepted, 0};
  BIO_set_data(bio, &session->channel);
  SSL_set_bio(session->ssl, bio, bio);
  SSL_set_accept_state(session->ssl);
  session->deadlineMs = SteadyNowMs() + handshakeMs;
  // This layer watches the new socket itself until the handshake is done;
  // the caller's own watch only says what to pass on.
  inner_.watch(accepted, this, kWatchedWhileHandshaking);
  sessions_[accepted] = std::move(session);
  if (!handshakeTimer_.isActive()) handshakeTimer_.start(std::clamp(handshakeMs / 4, 50, 1000));
  return accepted;
}

int TlsSocketApi::watch(SocketHandle s, SocketWatcher* watcher, SocketEvents events) {
  if (watcher == nullptr) events = 0;
  Session* session = find(s);
  if (session == nullptr) return pass(inner_.watch(s, watcher, events));
  const bool readingResumed = (events & kCanRead) != 0 && (session->outer.events & kCanRead) == 0;
  session->outer = Registration{watcher, events};
  if (session->ended) return 0;
  watchInner(s, *session);
  if (readingResumed && session->established && SSL_pending(session->ssl) > 0) readSoon(s);
  return 0;
}

void TlsSocketApi::watchInner(SocketHandle s, const Session& session) {
  // While the handshake runs this layer needs every notice; afterwards it
  // needs what the caller asked for, and kCanWrite to finish a record.
  SocketEvents events = kWatchedWhileHandshaking;
  if (session.established) events = kCanWrite | (session.outer.events & (kCanRead | kPeerClosed));
  if (session.outer.events == 0) events = 0;
  inner_.watch(s, this, events);
}

int TlsSocketApi::ioctlFionread(SocketHandle s, std::uint32_t* count) {
  Session* session = find(s);
  if (session == nullptr) return pass(inner_.ioctlFionread(s, count));
  *count = 0;
  if (!session->established || session->ended) return 0;
  if (SSL_pending(session->ssl) == 0) {
    // Decrypt the next record if it is all there: a record not yet whole
    // has no plain bytes to give.
    char probe;
    ERR_clear_error();
    if (SSL_peek(session->ssl, &probe, 1) <= 0) {
      const int reason = SSL_get_error(session->ssl, 0);
      ERR_clear_error();
      if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) readSoon(s);  // the end is said there
      return 0;
    }
  }
  // The record at hand and whatever more ciphertext the socket holds: more
  // than the plain bytes it will give (a record's overhead is counted in),
  // but a reader that takes it all reads every record that has come, as it
  // reads every byte of a plain socket, and relays them in one pass.
  std::uint32_t raw = 0;
  if (inner_.ioctlFionread(s, &raw) != 0) raw = 0;
  *count = static_cast<std::uint32_t>(SSL_pending(session->ssl)) + raw;
  return 0;
}

int TlsSocketApi::recv(SocketHandle s, void* buffer, int length, int flags) {
  Session* session = find(s);
  if (session == nullptr) return pass(inner_.recv(s, buffer, length, flags));
  if (session->ended) return session->error == 0 ? 0 : fail(session->error);
  if (!session->established) return fail(WSAEWOULDBLOCK);
  int total = 0;
  int reason = SSL_ERROR_NONE;
  ERR_clear_error();
  while (total < length) {
    const int got = SSL_read(session->ssl, static_cast<char*>(buffer) + total, length - total);
    if (got <= 0) {
      reason = SSL_get_error(session->ssl, got);
      break;
    }
    total += got;
  }
  ERR_clear_error();
  if (SSL_pending(session->ssl) > 0) readSoon(s);
  if (total > 0) return total;  // a failure after them is met by the next read
  switch (reason) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE: return fail(WSAEWOULDBLOCK);
    case SSL_ERROR_ZERO_RETURN: return 0;
    default:
      if (session->channel.error == 0 && reason == SSL_ERROR_SYSCALL) return 0;  // end of stream without close_notify
      return fail(session->channel.error != 0 ? session->channel.error : kTlsProtocolError);
  }
}

int TlsSocketApi::send(SocketHandle s, const void* buffer, int length, int flags) {
  Session* session = find(s);
  if (session == nullptr) return pass(inner_.send(s, buffer, length, flags));
  if (session->ended && session->error != 0) return fail(session->error);
  if (!session->established) return fail(WSAEWOULDBLOCK);
  // Whole records while the socket takes them. A record the socket took
  // only in part stays with OpenSSL; the caller's next send starts with the
  // same bytes (its queue's front), which is what OpenSSL needs to finish it.
  int total = 0;
  int reason = SSL_ERROR_NONE;
  ERR_clear_error();
  while (total < length) {
    const int put = SSL_write(session->ssl, static_cast<const char*>(buffer) + total, length - total);
    if (put <= 0) {
      reason = SSL_get_error(session->ssl, put);
      break;
    }
    total += put;
  }
  ERR_clear_error();
  if (total > 0 || length == 0) return total;
  if (reason == SSL_ERROR_WANT_WRITE || reason == SSL_ERROR_WANT_READ) return fail(WSAEWOULDBLOCK);
  return fail(session->channel.error != 0 ? session->channel.error : kTlsProtocolError);
}

int TlsSocketApi::shutdown(SocketHandle s, int how) {
  if (Session* session = find(s); session != nullptr && session->established && session->error == 0) {
    // Says close_notify if the socket takes it now; a peer that misses it
    // still sees the end of the stream.
    ERR_clear_error();
    SSL_shutdown(session->ssl);
    ERR_clear_error();
  }
  return pass(inner_.shutdown(s, how));
}

int TlsSocketApi::closesocket(SocketHandle s) {
  listeners_.erase(s);
  sessions_.erase(s);
  return pass(inner_.closesocket(s));
}

int TlsSocketApi::waitWritable(const std::vector<SocketHandle>& sockets, int timeoutMs, std::vector<bool>& writable) {
  const int ready = inner_.waitWritable(sockets, timeoutMs, writable);
  if (ready <= 0) {
    if (ready < 0) lastError_ = inner_.lastError();
    return ready;
  }
  // A connection still in its handshake can take nothing yet.
  int count = 0;
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    if (const Session* session = find(sockets[i]); session != nullptr && !session->established) writable[i] = false;
    count += writable[i] ? 1 : 0;
  }
  return count;
}

void TlsSocketApi::SocketReady(SocketHandle s, SocketEvents event, int error) {
  Session* session = find(s);
  if (session == nullptr || session->ended) return;
  if (event == kPeerClosed || error != 0) {
    // The peer went away. A handshake that ends so is a failed one only
    // when the socket says why (a reset); otherwise it is a plain close.
    end(s, error);
    return;
  }
  if (!session->established) {
    continueHandshake(s);
    return;
  }
  if (event == kCanRead) {
    checkReadable(s);
  } else if (event == kCanWrite) {
    deliver(s, kCanWrite, 0);
  }
}

void TlsSocketApi::continueHandshake(SocketHandle s) {
  Session& session = *find(s);
  ERR_clear_error();
  const int result = SSL_do_handshake(session.ssl);
  if (result == 1) {
    ERR_clear_error();
    session.established = true;
    watchInner(s, session);
    // What the caller queued while the handshake ran may go out now, and a
    // first packet that came with the handshake's last bytes may be read.
    deliver(s, kCanWrite, 0);
    if (Session* still = find(s); still != nullptr && !still->ended && SSL_pending(still->ssl) > 0) readSoon(s);
    return;
  }
  const int reason = SSL_get_error(session.ssl, result);
  ERR_clear_error();
  if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) return;
  end(s, session.channel.error != 0 ? session.channel.error : kTlsHandshakeFailed);
}

void TlsSocketApi::checkReadable(SocketHandle s) {
  Session& session = *find(s);
  if (SSL_pending(session.ssl) == 0) {
    char probe;
    ERR_clear_error();
    const int got = SSL_peek(session.ssl, &probe, 1);
    if (got <= 0) {
      const int reason = SSL_get_error(session.ssl, got);
      ERR_clear_error();
      if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) return;  // a record not yet whole
      if (reason == SSL_ERROR_ZERO_RETURN || (reason == SSL_ERROR_SYSCALL && session.channel.error == 0)) {
        end(s, 0);
      } else {
        end(s, session.channel.error != 0 ? session.channel.error : kTlsProtocolError);
      }
      return;
    }
  }
  deliver(s, kCanRead, 0);
}

void TlsSocketApi::end(SocketHandle s, int error) {
  Session& session = *find(s);
  session.ended = true;
  session.error = error;
  inner_.watch(s, nullptr, 0);
  deliver(s, kPeerClosed, error);
}

void TlsSocketApi::deliver(SocketHandle s, SocketEvents event, int error) {
  const Session* session = find(s);
  if (session == nullptr || session->outer.watcher == nullptr || (session->outer.events & event) == 0) return;
  // The caller may close the socket in its handler: nothing of `session`
  // is used after this call.
  session->outer.watcher->SocketReady(s, event, error);
}

void TlsSocketApi::readSoon(SocketHandle s) {
  if (std::find(readSoon_.begin(), readSoon_.end(), s) == readSoon_.end()) readSoon_.push_back(s);
  if (!readSoonTimer_.isActive()) readSoonTimer_.start();
}

void TlsSocketApi::sayReadSoon() {
  std::vector<SocketHandle> due;
  due.swap(readSoon_);
  for (const SocketHandle s : due) {
    Session* session = find(s);
    if (session == nullptr || session->ended || !session->established) continue;
    if ((session->outer.events & kCanRead) == 0) continue;  // paused: said again when reading resumes
    checkReadable(s);
  }
}

void TlsSocketApi::expireHandshakes() {
  const std::int64_t now = SteadyNowMs();
  std::vector<SocketHandle> late;
  for (const auto& [s, session] : sessions_)
    if (!session->established && !session->ended && now >= session->deadlineMs) late.push_back(s);
  for (const SocketHandle s : late)
    if (Session* session = find(s); session != nullptr && !session->ended) end(s, kTlsHandshakeTimedOut);
  if (handshaking() == 0) handshakeTimer_.stop();
}

}  // namespace parlivo
