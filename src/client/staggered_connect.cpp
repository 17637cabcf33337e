#include "client/staggered_connect.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "client/chat_connection.h"

namespace parlivo {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point when) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
  return left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
}

}  // namespace

int StartConnecting(const Endpoint& endpoint, bool& connected, std::string& error) {
  connected = false;
  const int fd = ::socket(endpoint.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = "cannot create a socket: " + ErrnoText(errno);
    return -1;
  }
  // Chat lines are small and latency matters more than packing them.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length) == 0) {
    connected = true;
    return fd;
  }
  if (errno == EINPROGRESS) return fd;
  error = ErrnoText(errno);
  ::close(fd);
  return -1;
}

std::vector<Endpoint> InterleaveFamilies(const std::vector<Endpoint>& resolved) {
  if (resolved.empty()) return {};
  const int first = resolved.front().family();
  std::vector<Endpoint> preferred;
  std::vector<Endpoint> other;
  for (const Endpoint& endpoint : resolved) (endpoint.family() == first ? preferred : other).push_back(endpoint);
  std::vector<Endpoint> ordered;
  ordered.reserve(resolved.size());
  for (std::size_t i = 0; i < std::max(preferred.size(), other.size()); ++i) {
    if (i < preferred.size()) ordered.push_back(preferred[i]);
    if (i < other.size()) ordered.push_back(other[i]);
  }
  return ordered;
}

int ConnectFirstAnswering(const std::vector<Endpoint>& endpoints, int timeoutMs, std::string& error, int staggerMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<pollfd> attempts;  // under way, in the order they started
  std::size_t next = 0;
  Clock::time_point nextStart = Clock::now();
  error = endpoints.empty() ? "no address to connect to" : "";
  const auto closeAllBut = [&](int kept) {
    for (const pollfd& attempt : attempts)
      if (attempt.fd != kept) ::close(attempt.fd);
  };
  for (;;) {
    if (next < endpoints.size() && (attempts.empty() || Clock::now() >= nextStart)) {
      bool connected = false;
      const int fd = StartConnecting(endpoints[next++], connected, error);
      if (connected) {
        closeAllBut(-1);
        return fd;
      }
      if (fd >= 0) {
        attempts.push_back(pollfd{fd, POLLOUT, 0});
        nextStart = Clock::now() + std::chrono::milliseconds(staggerMs);
      }
      continue;
    }
    if (attempts.empty()) return -1;  // every address failed; `error` tells the last reason
    if (Clock::now() >= deadline) {
      closeAllBut(-1);
      error = "timed out";
      return -1;
    }
    const int wait = next < endpoints.size() ? std::min(MillisecondsUntil(nextStart), MillisecondsUntil(deadline))
                                             : MillisecondsUntil(deadline);
    const int ready = ::poll(attempts.data(), attempts.size(), wait);
    if (ready < 0 && errno != EINTR) {
      closeAllBut(-1);
      error = ErrnoText(errno);
      return -1;
    }
    if (ready <= 0) continue;
    for (std::size_t i = 0; i < attempts.size();) {
      if (attempts[i].revents == 0) {
        ++i;
        continue;
      }
      int pending = 0;
      socklen_t length = sizeof pending;
      ::getsockopt(attempts[i].fd, SOL_SOCKET, SO_ERROR, &pending, &length);
      sockaddr_storage peer{};
      socklen_t peerLength = sizeof peer;
      if (pending == 0 && ::getpeername(attempts[i].fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 &&
          errno == ENOTCONN) {
        ++i;  // woken before the connection was made: it is still under way
        continue;
      }
      if (pending == 0) {
        const int fd = attempts[i].fd;
        closeAllBut(fd);
        return fd;
      }
      // This address failed: the next one need not wait for its turn.
      error = ErrnoText(pending);
      ::close(attempts[i].fd);
      attempts.erase(attempts.begin() + static_cast<std::ptrdiff_t>(i));
      nextStart = Clock::now();
    }
  }
}

}  // namespace parlivo
