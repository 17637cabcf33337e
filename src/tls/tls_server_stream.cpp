#include "tls/tls_server_stream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "tls/bio_method.h"
#include "transport/platform/winsock_errors.h"

namespace parlivo {

struct TlsStreams::State {
  std::shared_ptr<TlsContext> context;
  int handshakeMs = kHandshakeMs;
  std::size_t open = 0;
  std::size_t handshaking = 0;
};

namespace {

// The socket as an OpenSSL BIO: ciphertext goes through the sockets
// layer's recv and send, "would block" becomes a retry, other failures are
// kept for the stream to report with the layer's own code.
struct Channel {
  SocketApi* api = nullptr;
  const SocketHandle* socket = nullptr;
  int error = 0;
};

int ChannelWrite(BIO* bio, const char* data, int length) {
  auto* channel = static_cast<Channel*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  const int sent = channel->api->send(*channel->socket, data, length, 0);
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
  const int received = channel->api->recv(*channel->socket, data, length, 0);
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

class TlsServerStream final : public ConnectionStream {
 public:
  // Takes `ssl` and `bio`, both fresh.
  TlsServerStream(std::shared_ptr<TlsStreams::State> state, SSL* ssl, BIO* bio, SocketApi& api,
                  const SocketHandle& socket, std::int64_t deadlineMs)
      : state_(std::move(state)), ssl_(ssl), channel_{&api, &socket, 0}, deadlineMs_(deadlineMs) {
    BIO_set_data(bio, &channel_);
    SSL_set_bio(ssl_, bio, bio);
    SSL_set_accept_state(ssl_);
    ++state_->open;
    ++state_->handshaking;
  }
  ~TlsServerStream() override {
    SSL_free(ssl_);  // frees the BIO with it
    --state_->open;
    if (Handshaking()) --state_->handshaking;
  }
  TlsServerStream(const TlsServerStream&) = delete;
  TlsServerStream& operator=(const TlsServerStream&) = delete;

  SocketEvents Notice(SocketEvents event, int& error) override {
    if (ended_) return 0;
    if (event == kPeerClosed || error != 0) {
      // The peer went away. A handshake that ends so is a failed one only
      // when the socket says why (a reset); otherwise it is a plain close.
      return End(error, error);
    }
    if (!established_) return Handshake(error);
    if (event == kCanRead) return CheckReadable(error);
    return event;
  }

  SocketEvents Interest(SocketEvents wanted) const override {
    // While the handshake runs the stream needs every notice; afterwards
    // what the owner asks for, and kCanWrite to finish a record.
    if (wanted == 0 || ended_) return 0;
    if (!established_) return kWatchedWhileHandshaking;
    return kCanWrite | (wanted & (kCanRead | kPeerClosed));
  }

  int Available(std::uint32_t& count) override {
    count = 0;
    if (!established_ || ended_) return 0;
    if (SSL_pending(ssl_) == 0) {
      // Decrypt the next record if it is all there: a record not yet whole
      // has no plain bytes to give.
      char probe;
      ERR_clear_error();
      if (SSL_peek(ssl_, &probe, 1) <= 0) {
        const int reason = SSL_get_error(ssl_, 0);
        ERR_clear_error();
        // The end, or a bad record: said by the next look (Buffered asks for it).
        if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) endAhead_ = true;
        return 0;
      }
    }
    // The record at hand and whatever more ciphertext the socket holds: more
    // than the plain bytes it will give (a record's overhead is counted in),
    // but a reader that takes it all reads every record that has come, as it
    // reads every byte of a plain socket, and relays them in one pass.
    std::uint32_t raw = 0;
    if (channel_.api->ioctlFionread(*channel_.socket, &raw) != 0) raw = 0;
    count = static_cast<std::uint32_t>(SSL_pending(ssl_)) + raw;
    return 0;
  }

  int Receive(void* buffer, int length) override {
    if (ended_) return error_ == 0 ? 0 : Fail(error_);
    if (!established_) return Fail(WSAEWOULDBLOCK);
    int total = 0;
    int reason = SSL_ERROR_NONE;
    ERR_clear_error();
    while (total < length) {
      const int got = SSL_read(ssl_, static_cast<char*>(buffer) + total, length - total);
      if (got <= 0) {
        reason = SSL_get_error(ssl_, got);
        break;
      }
      total += got;
    }
    ERR_clear_error();
    if (total > 0) return total;  // a failure after them is met by the next read
    switch (reason) {
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE: return Fail(WSAEWOULDBLOCK);
      case SSL_ERROR_ZERO_RETURN: return 0;
      default:
        if (channel_.error == 0 && reason == SSL_ERROR_SYSCALL) return 0;  // end of stream without close_notify
        return Fail(channel_.error != 0 ? channel_.error : kTlsProtocolError);
    }
  }

  int Send(const void* data, int length) override {
    if (ended_ && error_ != 0) return Fail(error_);
    if (!established_) return Fail(WSAEWOULDBLOCK);
    // Whole records while the socket takes them. A record the socket took
    // only in part stays with OpenSSL; the owner's next send starts with the
    // same bytes (its queue's front), which is what OpenSSL needs to finish it.
    int total = 0;
    int reason = SSL_ERROR_NONE;
    ERR_clear_error();
    while (total < length) {
      const int put = SSL_write(ssl_, static_cast<const char*>(data) + total, length - total);
      if (put <= 0) {
        reason = SSL_get_error(ssl_, put);
        break;
      }
      total += put;
    }
    ERR_clear_error();
    if (total > 0 || length == 0) return total;
    if (reason == SSL_ERROR_WANT_WRITE || reason == SSL_ERROR_WANT_READ) return Fail(WSAEWOULDBLOCK);
    return Fail(channel_.error != 0 ? channel_.error : kTlsProtocolError);
  }

  void SayEnd() override {
    if (!established_ || error_ != 0) return;
    // Says close_notify if the socket takes it now; a peer that misses it
    // still sees the end of the stream.
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
  }

  int LastError() const override { return lastError_; }
  bool Buffered() const override { return established_ && !ended_ && (endAhead_ || SSL_pending(ssl_) > 0); }
  bool Opened() const override { return established_; }
  std::int64_t OpeningDeadline() const override { return Handshaking() ? deadlineMs_ : 0; }
  int OpeningTimeoutError() const override { return kTlsHandshakeTimedOut; }

 private:
  bool Handshaking() const { return !established_ && !ended_; }

  int Fail(int code) {
    lastError_ = code;
    return kSocketError;
  }

  // The stream ends with `why` (0: an orderly close): the owner hears
  // kPeerClosed carrying it, and nothing more after that.
  SocketEvents End(int why, int& error) {
    if (Handshaking()) --state_->handshaking;
    ended_ = true;
    error_ = why;
    error = why;
    return kPeerClosed;
  }

  SocketEvents Handshake(int& error) {
    ERR_clear_error();
    const int result = SSL_do_handshake(ssl_);
    if (result == 1) {
      ERR_clear_error();
      --state_->handshaking;
      established_ = true;
      return kCanWrite;
    }
    const int reason = SSL_get_error(ssl_, result);
    ERR_clear_error();
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) return 0;
    return End(channel_.error != 0 ? channel_.error : kTlsHandshakeFailed, error);
  }

  // Whether a whole record has come (kCanRead), the stream ended, or
  // neither yet (0).
  SocketEvents CheckReadable(int& error) {
    endAhead_ = false;
    if (SSL_pending(ssl_) > 0) return kCanRead;
    char probe;
    ERR_clear_error();
    const int got = SSL_peek(ssl_, &probe, 1);
    if (got > 0) return kCanRead;
    const int reason = SSL_get_error(ssl_, got);
    ERR_clear_error();
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) return 0;  // a record not yet whole
    if (reason == SSL_ERROR_ZERO_RETURN || (reason == SSL_ERROR_SYSCALL && channel_.error == 0)) return End(0, error);
    return End(channel_.error != 0 ? channel_.error : kTlsProtocolError, error);
  }

  std::shared_ptr<TlsStreams::State> state_;
  SSL* ssl_;
  Channel channel_;
  std::int64_t deadlineMs_;
  bool established_ = false;
  bool ended_ = false;     // kPeerClosed was told
  bool endAhead_ = false;  // a look found the end before any notice said so
  int error_ = 0;          // why it ended, for later calls
  int lastError_ = 0;
};

}  // namespace

TlsStreams::TlsStreams(std::shared_ptr<TlsContext> context) : state_(std::make_shared<State>()) {
  state_->context = std::move(context);
}

StreamMaker TlsStreams::Maker() const {
  return [state = state_](SocketApi& api, const SocketHandle& socket,
                          std::int64_t nowMs) -> std::unique_ptr<ConnectionStream> {
    ERR_clear_error();
    SSL* ssl = SSL_new(state->context->get());
    BIO* bio = ssl != nullptr ? BIO_new(ChannelMethod()) : nullptr;
    if (bio == nullptr) {  // out of memory
      SSL_free(ssl);
      ERR_clear_error();
      return nullptr;
    }
    return std::make_unique<TlsServerStream>(state, ssl, bio, api, socket, nowMs + state->handshakeMs);
  };
}

const std::shared_ptr<TlsContext>& TlsStreams::context() const { return state_->context; }
void TlsStreams::setHandshakeMs(int milliseconds) { state_->handshakeMs = milliseconds; }
std::size_t TlsStreams::sessions() const { return state_->open; }
std::size_t TlsStreams::handshaking() const { return state_->handshaking; }

}  // namespace parlivo
