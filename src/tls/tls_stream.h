#pragma once
// TlsStream: the client's end of a TLS connection on a connected,
// non-blocking socket the caller owns and polls.
//
// The caller drives it from its own loop: handshake() until it says Done,
// then read() and write(), each of which may ask to wait for the socket to
// be readable or writable. No call blocks.

#include <cstddef>
#include <memory>
#include <string>

#include "tls/tls_identity.h"

typedef struct ssl_st SSL;

namespace parlivo {

class TlsStream {
 public:
  enum class Status { Done, WantRead, WantWrite, Closed, Failed };

  // A stream over `fd` (not owned) speaking as a client; null with `error`
  // set when OpenSSL cannot make one.
  static std::unique_ptr<TlsStream> Connect(const std::shared_ptr<TlsContext>& context, int fd, std::string& error);
  ~TlsStream();
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  // One step of the handshake.
  Status handshake();
  bool established() const { return established_; }
  // Whether the last step waits for the socket to take bytes.
  bool wantsWrite() const { return wantsWrite_; }

  // Plain bytes in and out: the count (> 0), or 0 with `status` saying why
  // nothing moved (WantRead/WantWrite: try again when the socket is ready).
  std::size_t read(void* buffer, std::size_t length, Status& status);
  std::size_t write(const void* data, std::size_t length, Status& status);
  // Whether bytes read from the socket wait inside, undecrypted or unread:
  // the socket will not say so again.
  bool buffered() const;
  // Says close_notify as far as the socket takes it now.
  void close();

  // "AB:CD:..." of the server's certificate, once the handshake is done.
  std::string peerFingerprint() const;
  // What went wrong, in plain words, after Failed.
  const std::string& error() const { return error_; }

 private:
  TlsStream(std::shared_ptr<TlsContext> context, SSL* ssl) : context_(std::move(context)), ssl_(ssl) {}
  Status settle(int result);

  std::shared_ptr<TlsContext> context_;
  SSL* ssl_;
  bool established_ = false;
  bool wantsWrite_ = false;
  std::string error_;
};

}  // namespace parlivo
