#include "transport/platform/posix_socket_api.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "transport/platform/socket_address.h"
#include "transport/platform/winsock_errors.h"

namespace parlivo {
namespace {

bool IsLoopback(in_addr address) { return (ntohl(address.s_addr) >> 24) == 127; }

std::string Dotted(in_addr address) {
  char text[INET_ADDRSTRLEN] = {};
  return inet_ntop(AF_INET, &address, text, sizeof text) ? text : "";
}

// The IPv4 addresses the resolver gives for `host`, in its order.
std::vector<in_addr> ResolveIPv4(const std::string& host) {
  std::vector<in_addr> result;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return result;
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next)
    result.push_back(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr);
  freeaddrinfo(list);
  return result;
}

// The first IPv4 address of an interface that is up and not loopback.
std::optional<in_addr> FirstInterfaceIPv4() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return std::nullopt;
  std::optional<in_addr> found;
  for (ifaddrs* entry = list; entry != nullptr && !found; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
    const in_addr address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
    if (!IsLoopback(address)) found = address;
  }
  freeifaddrs(list);
  return found;
}

// The IPv6 addresses of the interfaces that are up, in the system's order.
std::vector<SockAddrIn6> InterfaceIPv6() {
  std::vector<SockAddrIn6> found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET6) continue;
    if ((entry->ifa_flags & IFF_UP) == 0) continue;
    found.push_back(FromPosixAddress(*entry->ifa_addr).ipv6());
  }
  freeifaddrs(list);
  return found;
}

}  // namespace

PosixSocketApi::~PosixSocketApi() = default;

int PosixSocketApi::fail() {
  lastError_ = WinsockErrorFromErrno(errno);
  return kSocketError;
}

// Sends never raise SIGPIPE because they pass MSG_NOSIGNAL. Every
// connection holds a descriptor, and the usual soft limit (1024) would turn
// the thousandth client away: starting raises it to what the system allows
// this process. A failure to raise it only leaves the old limit in place.
int PosixSocketApi::startup(std::uint16_t) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  return 0;
}
int PosixSocketApi::cleanup() { return 0; }

std::uint32_t PosixSocketApi::maxSockets() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1u << 20;
  return static_cast<std::uint32_t>(std::min<rlim_t>(limit.rlim_cur, 1u << 20));
}

SocketHandle PosixSocketApi::socket(int family, int type, int protocol) {
  const int domain = family == kAfInet ? AF_INET : family == kAfInet6 ? AF_INET6 : family;
  const int kind = type == kSockStream ? SOCK_STREAM : type;
  const int s = ::socket(domain, kind | SOCK_CLOEXEC, protocol);
  if (s < 0) {
    fail();
    return kInvalidSocket;
  }
  return s;
}

int PosixSocketApi::bind(SocketHandle s, const SockAddrStorage& address) {
  // Winsock lets a server bind again at once to a port whose old connections
  // linger in TIME_WAIT; SO_REUSEADDR gives Linux the same behaviour while a
  // port held by a live listener still fails with "Address already in use".
  const int on = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_storage posix{};
  const socklen_t length = ToPosixAddress(address, posix);
  if (length == 0) {
    lastError_ = WinsockErrorFromErrno(EAFNOSUPPORT);
    return kSocketError;
  }
  return ::bind(s, reinterpret_cast<const sockaddr*>(&posix), length) == 0 ? 0 : fail();
}

int PosixSocketApi::listen(SocketHandle s, int backlog) {
  const int posixBacklog = backlog == kMaxListenBacklog ? SOMAXCONN : backlog;
  return ::listen(s, posixBacklog) == 0 ? 0 : fail();
}

SocketHandle PosixSocketApi::accept(SocketHandle s, SockAddrStorage* peer) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  const int accepted = ::accept4(s, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (accepted < 0) {
    fail();
    return kInvalidSocket;
  }
  if (peer != nullptr) *peer = FromPosixAddress(reinterpret_cast<const sockaddr&>(address));
  return accepted;
}

int PosixSocketApi::recv(SocketHandle s, void* buffer, int length, int flags) {
  const ssize_t n = ::recv(s, buffer, static_cast<std::size_t>(length), flags);
  return n < 0 ? fail() : static_cast<int>(n);
}

int PosixSocketApi::send(SocketHandle s, const void* buffer, int length, int flags) {
  const ssize_t n = ::send(s, buffer, static_cast<std::size_t>(length), flags | MSG_NOSIGNAL);
  if (n < 0) {
    const int code = fail();
    if (errno == EAGAIN || errno == EWOULDBLOCK) armWrite(s);
    return code;
  }
  // A short send means the socket's buffer is full: the next one would
  // block, so the notice is armed now rather than after a wasted call.
  if (n < length) armWrite(s);
  return static_cast<int>(n);
}

int PosixSocketApi::shutdown(SocketHandle s, int how) {
  const int posixHow = how == kShutdownBoth ? SHUT_RDWR : how;
  return ::shutdown(s, posixHow) == 0 ? 0 : fail();
}

int PosixSocketApi::closesocket(SocketHandle s) {
  if (registrations_.count(s) != 0) cancel(s);
  return ::close(s) == 0 ? 0 : fail();
}

int PosixSocketApi::setLinger(SocketHandle s, std::uint16_t on, std::uint16_t seconds) {
  const linger value{on, seconds};
  return ::setsockopt(s, SOL_SOCKET, SO_LINGER, &value, sizeof value) == 0 ? 0 : fail();
}

int PosixSocketApi::setNoDelay(SocketHandle s, bool on) {
  const int value = on ? 1 : 0;
  return ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) == 0 ? 0 : fail();
}

int PosixSocketApi::setV6Only(SocketHandle s, bool on) {
  const int value = on ? 1 : 0;
  return ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &value, sizeof value) == 0 ? 0 : fail();
}

int PosixSocketApi::ioctlFionread(SocketHandle s, std::uint32_t* count) {
  int waiting = 0;
  if (::ioctl(s, FIONREAD, &waiting) != 0) return fail();
  *count = waiting > 0 ? static_cast<std::uint32_t>(waiting) : 0;
  return 0;
}

int PosixSocketApi::watch(SocketHandle s, SocketWatcher* watcher, SocketEvents events) {
  if (events == 0 || watcher == nullptr) {
    cancel(s);
    return 0;
  }
  // A socket already watched by this watcher only changes what it asks for
  // (reading paused or resumed): no system call, no new notifier.
  if (const auto it = registrations_.find(s); it != registrations_.end() && it->second.watcher == watcher) {
    Registration& entry = it->second;
    entry.events = events;
    const bool wantsReadiness = (events & (entry.listening ? kCanAccept : (kCanRead | kPeerClosed))) != 0;
    entry.notifier->setEnabled(wantsReadiness && !entry.closeSaid);
    if ((events & kCanWrite) == 0 && entry.writeNotifier) entry.writeNotifier->setEnabled(false);
    return 0;
  }
  const int flags = ::fcntl(s, F_GETFL);
  if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) return fail();
  registerWatch(s, watcher, events);
  return 0;
}

int PosixSocketApi::waitWritable(const std::vector<SocketHandle>& sockets, int timeoutMs,
                                 std::vector<bool>& writable) {
  std::vector<pollfd> polled(sockets.size());
  for (std::size_t i = 0; i < sockets.size(); ++i) polled[i] = pollfd{sockets[i], POLLOUT, 0};
  writable.assign(sockets.size(), false);
  const int ready = ::poll(polled.data(), polled.size(), timeoutMs);
  if (ready < 0) return fail();
  // A socket in error counts as writable: the send that follows reports it.
  for (std::size_t i = 0; i < sockets.size(); ++i) writable[i] = polled[i].revents != 0;
  return ready;
}

int PosixSocketApi::gethostname(char* name, int length) {
  if (length <= 0) {
    lastError_ = WinsockErrorFromErrno(EFAULT);
    return kSocketError;
  }
  if (::gethostname(name, static_cast<std::size_t>(length)) != 0) return fail();
  name[length - 1] = '\0';
  return 0;
}

std::string PosixSocketApi::hostAddress(const std::string& hostName) {
  // The resolver maps a Debian host's own name to 127.0.1.1, which no other
  // machine can reach: announce a non-loopback address whenever there is one.
  const std::vector<in_addr> resolved = ResolveIPv4(hostName);
  for (const in_addr address : resolved)
    if (!IsLoopback(address)) return Dotted(address);
  if (const auto address = FirstInterfaceIPv4()) return Dotted(*address);
  return resolved.empty() ? std::string() : Dotted(resolved.front());
}

std::string PosixSocketApi::hostAddress6() { return ChooseAnnouncedIPv6(InterfaceIPv6(), FirstInterfaceIPv4().has_value()); }

void PosixSocketApi::registerWatch(SocketHandle s, SocketWatcher* watcher, SocketEvents events) {
  cancel(s);
  int listening = 0;
  socklen_t length = sizeof listening;
  ::getsockopt(s, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length);

  Registration& entry = registrations_[s];
  entry.watcher = watcher;
  entry.events = events;
  entry.listening = listening != 0;
  entry.notifier = std::make_unique<QSocketNotifier>(s, QSocketNotifier::Read);
  QObject::connect(entry.notifier.get(), &QSocketNotifier::activated, [this, s] { onReadable(s); });
}

void PosixSocketApi::cancel(SocketHandle s) {
  const auto it = registrations_.find(s);
  if (it == registrations_.end()) return;
  // A notifier may be the one whose signal is running right now: disable it
  // at once and delete it once control is back in the event loop.
  for (auto* owned : {&it->second.notifier, &it->second.writeNotifier}) {
    if (!*owned) continue;
    QSocketNotifier* notifier = owned->release();
    notifier->setEnabled(false);
    notifier->deleteLater();
  }
  registrations_.erase(it);
}

void PosixSocketApi::armWrite(SocketHandle s) {
  const auto it = registrations_.find(s);
  if (it == registrations_.end() || (it->second.events & kCanWrite) == 0) return;
  Registration& entry = it->second;
  if (!entry.writeNotifier) {
    entry.writeNotifier = std::make_unique<QSocketNotifier>(s, QSocketNotifier::Write);
    QObject::connect(entry.writeNotifier.get(), &QSocketNotifier::activated, [this, s] { onWritable(s); });
  }
  entry.writeNotifier->setEnabled(true);
}

void PosixSocketApi::onWritable(SocketHandle s) {
  const auto it = registrations_.find(s);
  if (it == registrations_.end()) return;
  Registration& entry = it->second;
  entry.writeNotifier->setEnabled(false);
  // The watcher may cancel this registration: nothing of `entry` is used
  // after this call.
  entry.watcher->SocketReady(s, kCanWrite, 0);
}

void PosixSocketApi::onReadable(SocketHandle s) {
  const auto it = registrations_.find(s);
  if (it == registrations_.end()) return;
  Registration& entry = it->second;
  SocketWatcher* watcher = entry.watcher;

  SocketEvents event = kPeerClosed;
  int error = 0;
  if (entry.listening) {
    event = kCanAccept;
  } else {
    int waiting = 0;
    if (::ioctl(s, FIONREAD, &waiting) == 0 && waiting > 0) {
      event = kCanRead;
    } else {
      // Readable with nothing to read: the peer closed or the connection
      // failed. That is said once; the socket would stay readable forever.
      int pending = 0;
      socklen_t length = sizeof pending;
      ::getsockopt(s, SOL_SOCKET, SO_ERROR, &pending, &length);
      // EPIPE here means the peer's reset came after its orderly end of
      // stream (Linux reports a reset in that state so): the end of stream
      // came first, and that orderly end is what is told.
      if (pending != EPIPE) error = WinsockErrorFromErrno(pending);
      entry.notifier->setEnabled(false);
      entry.closeSaid = true;
    }
  }
  if ((entry.events & event) == 0) {
    // Not asked for: stop watching rather than spin on a readable socket.
    entry.notifier->setEnabled(false);
    return;
  }
  // The watcher may cancel or replace this registration: nothing of
  // `entry` is used after this call.
  watcher->SocketReady(s, event, error);
}

}  // namespace parlivo
