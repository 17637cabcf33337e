#pragma once
// A plain blocking TCP peer on 127.0.0.1 for loopback tests: it plays the
// other end of a connection that the code under test owns. Every wait is
// bounded by a time-out.

#include <cstdint>
#include <string>
#include <string_view>

namespace parlivo::testing {

class LoopbackPeer {
 public:
  LoopbackPeer() = default;
  explicit LoopbackPeer(int fd) : fd_(fd) {}
  ~LoopbackPeer() { close(); }
  LoopbackPeer(LoopbackPeer&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  LoopbackPeer& operator=(LoopbackPeer&&) = delete;

  // Connects to 127.0.0.1:port.
  bool connect(std::uint16_t port);
  bool sendAll(std::string_view bytes);
  // Reads until `count` bytes have come, the peer closed, or the time-out
  // passed; returns what came.
  std::string receive(std::size_t count, int timeoutMs = 3000);
  // Waits for the other end to close: 0 for an orderly close, the errno of a
  // failed read (ECONNRESET for an abortive close), -1 on time-out. Bytes
  // that arrive meanwhile are dropped.
  int waitForClose(int timeoutMs = 3000);
  // The socket's pending error (SO_ERROR), waiting up to `timeoutMs` for
  // one to appear; 0 when none did.
  int pendingError(int timeoutMs = 1000);
  // Makes the next close abortive (zero linger): the other end sees a reset.
  void resetOnClose();
  void close();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// A listening socket on 127.0.0.1 with a port the system picks.
class LoopbackListener {
 public:
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  std::uint16_t port() const { return port_; }
  // Accepts one connection, waiting at most `timeoutMs`; -1 on failure.
  int accept(int timeoutMs = 3000);

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// Whether the name "localhost" resolves here. A bare system may have no
// hosts file entry for it; tests that reach the server by that name skip
// those cases there rather than fail.
bool LocalhostResolves();

}  // namespace parlivo::testing
