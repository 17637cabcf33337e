#include "tls/tls_stream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "tls/bio_method.h"

namespace parlivo {
namespace {

// The socket as a BIO. OpenSSL's own writes with write(), which raises
// SIGPIPE once the server has gone; a client must hear an error instead.
int SocketOf(BIO* bio) { return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio))); }

int SocketWrite(BIO* bio, const char* data, int length) {
  BIO_clear_retry_flags(bio);
  const ssize_t sent = ::send(SocketOf(bio), data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
  return static_cast<int>(sent);
}

int SocketRead(BIO* bio, char* data, int length) {
  BIO_clear_retry_flags(bio);
  const ssize_t got = ::recv(SocketOf(bio), data, static_cast<std::size_t>(length), 0);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
  return static_cast<int>(got);
}

const BIO_METHOD* SocketMethod() {
  static BIO_METHOD* const method = MakeBioMethod("parlivo client socket", SocketWrite, SocketRead);
  return method;
}

}  // namespace

std::unique_ptr<TlsStream> TlsStream::Connect(const std::shared_ptr<TlsContext>& context, int fd, std::string& error) {
  ERR_clear_error();
  SSL* ssl = SSL_new(context->get());
  BIO* bio = ssl != nullptr ? BIO_new(SocketMethod()) : nullptr;
  if (bio == nullptr) {
    SSL_free(ssl);
    error = "cannot start TLS: " + TakeTlsErrorText();
    return nullptr;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
  SSL_set_bio(ssl, bio, bio);
  SSL_set_connect_state(ssl);
  return std::unique_ptr<TlsStream>(new TlsStream(context, ssl));
}

TlsStream::~TlsStream() { SSL_free(ssl_); }

TlsStream::Status TlsStream::settle(int result) {
  const int reason = SSL_get_error(ssl_, result);
  wantsWrite_ = reason == SSL_ERROR_WANT_WRITE;
  switch (reason) {
    case SSL_ERROR_WANT_READ: ERR_clear_error(); return Status::WantRead;
    case SSL_ERROR_WANT_WRITE: ERR_clear_error(); return Status::WantWrite;
    case SSL_ERROR_ZERO_RETURN: ERR_clear_error(); return Status::Closed;
    case SSL_ERROR_SYSCALL:
      if (errno == 0 || ERR_peek_error() != 0) break;
      error_ = std::strerror(errno);
      ERR_clear_error();
      return Status::Failed;  // a reset or a broken pipe: the peer is gone
    default: break;
  }
  const std::string detail = TakeTlsErrorText();
  if (error_.empty()) error_ = detail.empty() ? "the connection ended" : detail;
  return Status::Failed;
}

TlsStream::Status TlsStream::handshake() {
  if (established_) return Status::Done;
  ERR_clear_error();
  errno = 0;
  const int result = SSL_do_handshake(ssl_);
  if (result == 1) {
    established_ = true;
    wantsWrite_ = false;
    return Status::Done;
  }
  const Status status = settle(result);
  if (status == Status::Failed) error_ = "TLS handshake failed: " + error_;
  if (status == Status::Closed) {
    error_ = "TLS handshake failed: the server closed the connection";
    return Status::Failed;
  }
  return status;
}

std::size_t TlsStream::read(void* buffer, std::size_t length, Status& status) {
  ERR_clear_error();
  errno = 0;
  const int got = SSL_read(ssl_, buffer, static_cast<int>(std::min<std::size_t>(length, INT_MAX)));
  if (got > 0) {
    status = Status::Done;
    return static_cast<std::size_t>(got);
  }
  status = settle(got);
  return 0;
}

std::size_t TlsStream::write(const void* data, std::size_t length, Status& status) {
  ERR_clear_error();
  errno = 0;
  const int put = SSL_write(ssl_, data, static_cast<int>(std::min<std::size_t>(length, INT_MAX)));
  if (put > 0) {
    status = Status::Done;
    wantsWrite_ = false;
    return static_cast<std::size_t>(put);
  }
  status = settle(put);
  return 0;
}

bool TlsStream::buffered() const { return SSL_has_pending(ssl_) == 1; }

void TlsStream::close() {
  if (!established_) return;
  ERR_clear_error();
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

std::string TlsStream::peerFingerprint() const {
  X509* certificate = SSL_get0_peer_certificate(ssl_);
  return CertificateFingerprint(certificate);
}

}  // namespace parlivo
