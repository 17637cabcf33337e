#include "loopback_peer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace parlivo::testing {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool WaitReadable(int fd, Clock::time_point deadline) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, MillisecondsLeft(deadline)) > 0;
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

bool LoopbackPeer::connect(std::uint16_t port) {
  close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  return fd_ >= 0 && ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool LoopbackPeer::sendAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string LoopbackPeer::receive(std::size_t count, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string result;
  char chunk[4096];
  while (result.size() < count && WaitReadable(fd_, deadline)) {
    const ssize_t n = ::recv(fd_, chunk, std::min(sizeof chunk, count - result.size()), 0);
    if (n <= 0) break;
    result.append(chunk, static_cast<std::size_t>(n));
  }
  return result;
}

int LoopbackPeer::waitForClose(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char chunk[4096];
  while (WaitReadable(fd_, deadline)) {
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n == 0) return 0;
    if (n < 0) return errno;
  }
  return -1;
}

int LoopbackPeer::pendingError(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0 || Clock::now() >= deadline) return error;
    ::poll(nullptr, 0, 5);
  }
}

void LoopbackPeer::resetOnClose() {
  const linger abortive{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

void LoopbackPeer::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

LoopbackListener::LoopbackListener() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd_, 16) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return;
  port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
  if (fd_ >= 0) ::close(fd_);
}

int LoopbackListener::accept(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  if (!WaitReadable(fd_, deadline)) return -1;
  return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

bool LocalhostResolves() {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo("localhost", nullptr, &hints, &found) != 0) return false;
  ::freeaddrinfo(found);
  return true;
}

}  // namespace parlivo::testing
