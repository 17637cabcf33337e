#include "transport/listener.h"

#include <QtEndian>
#include <algorithm>
#include <utility>

#include "transport/platform/winsock_errors.h"

namespace parlivo {
namespace {

// Failures that say the system has no IPv6 (the family unsupported, or
// its addresses switched off): the port then listens on IPv4 alone.
bool MeansNoIPv6(int error) {
  return error == WSAEPROTONOSUPPORT || error == WSAEAFNOSUPPORT || error == WSAEADDRNOTAVAIL;
}

}  // namespace

Listener::Listener(SocketApi& api, ListenerOwner& owner) : api_(api), owner_(owner) {
  retry_.setSingleShot(true);
  QObject::connect(&retry_, &QTimer::timeout, [this] { Resume(); });
}

Listener::~Listener() { Close(); }

int Listener::OpenEverywhere(std::uint16_t port, int& noIPv6) {
  port_ = port;
  noIPv6 = 0;
  SockAddrIn6 any6;
  any6.family = kAfInet6;
  any6.port = qToBigEndian<std::uint16_t>(port);
  SockAddrIn any4;
  any4.family = kAfInet;
  any4.port = any6.port;
  bool dualStack = true;
  const int error = Open(any6, &dualStack);
  if (MeansNoIPv6(error)) {
    Close();
    noIPv6 = error;
    return Open(any4, nullptr);
  }
  // A socket that takes IPv6 alone leaves the port's IPv4 side to a second one.
  return error != 0 || dualStack ? error : Open(any4, nullptr);
}

int Listener::OpenLoopback(std::uint16_t port) {
  port_ = port;
  SockAddrIn loopback4;
  loopback4.family = kAfInet;
  loopback4.port = qToBigEndian<std::uint16_t>(port);
  loopback4.address = qToBigEndian<std::uint32_t>(0x7f000001);
  if (const int error = Open(loopback4, nullptr); error != 0) return error;
  SockAddrIn6 loopback6;
  loopback6.family = kAfInet6;
  loopback6.port = loopback4.port;
  loopback6.address[15] = 1;
  const std::size_t opened = sockets_.size();
  const int error = Open(loopback6, nullptr);
  if (!MeansNoIPv6(error)) return error;
  // No IPv6 here: the IPv4 loopback serves this machine alone.
  if (sockets_.size() > opened) {
    api_.closesocket(sockets_.back());
    sockets_.pop_back();
  }
  servesIPv6_ = false;
  return 0;
}

int Listener::OpenAt(const SockAddrStorage& address) {
  port_ = address.family == kAfInet6 ? qFromBigEndian(address.ipv6().port) : qFromBigEndian(address.ipv4().port);
  return Open(address, nullptr);
}

int Listener::Open(const SockAddrStorage& address, bool* dualStack) {
  const SocketHandle s = api_.socket(address.family, kSockStream, kIpProtoTcp);
  if (s == kInvalidSocket) return api_.lastError();
  sockets_.push_back(s);
  if (address.family == kAfInet6) {
    // Off, IPv4 peers come to this socket as mapped addresses; on (an IPv6
    // address of its own, or a system that cannot turn it off), the port's
    // IPv4 side stays free for an IPv4 socket.
    const bool both = dualStack != nullptr && api_.setV6Only(s, false) == 0;
    if (!both) api_.setV6Only(s, true);
    if (dualStack != nullptr) *dualStack = both;
  }
  if (api_.bind(s, address) != 0 || api_.listen(s, kListenBacklog) != 0) return api_.lastError();
  if (api_.watch(s, this, kCanAccept) != 0) return api_.lastError();
  servesIPv6_ = servesIPv6_ || address.family == kAfInet6;
  return 0;
}

int Listener::Close() {
  ++closes_;
  retry_.stop();
  pauseMs_ = 0;
  servesIPv6_ = false;
  int error = 0;
  for (const SocketHandle s : std::exchange(sockets_, {})) {
    api_.watch(s, nullptr, 0);
    if (api_.closesocket(s) != 0 && error == 0) error = api_.lastError();
  }
  return error;
}

void Listener::Watch(SocketEvents events) {
  for (const SocketHandle s : sockets_) api_.watch(s, events != 0 ? this : nullptr, events);
}

void Listener::SocketReady(SocketHandle socket, SocketEvents event, int error) {
  owner_.ListenerNotice([&] {
    if (error > 10000) {
      owner_.ListenerError(socket, error);
    } else if (event == kCanAccept) {
      AcceptBurst();
    }
  });
}

void Listener::AcceptBurst() {
  const std::uint64_t closes = closes_;
  // The notice does not say which listening socket is ready: each takes its
  // turn, and one with nothing waiting says so at once.
  const std::vector<SocketHandle> listening = sockets_;
  for (const SocketHandle s : listening) {
    for (int taken = 0; taken < kAcceptsPerNotice; ++taken) {
      const bool more = AcceptOne(s);
      if (closes_ != closes || retry_.isActive()) return;
      if (!more) break;
    }
  }
}

bool Listener::AcceptOne(SocketHandle listening) {
  SockAddrStorage peer;
  const SocketHandle accepted = api_.accept(listening, &peer);
  if (accepted == kInvalidSocket) {
    const int error = api_.lastError();
    // Nothing (more) was waiting: not a failure.
    if (error == WSAEWOULDBLOCK) return false;
    // The peer gave up before it was accepted: nothing is made for it.
    if (error == WSAECONNABORTED) return true;
    BackOff(error);
    return false;
  }
  pauseMs_ = 0;
  // Chat is interactive: without this a relay waits for the client's
  // delayed acknowledgement whenever an earlier packet is unacknowledged.
  api_.setNoDelay(accepted, true);
  return owner_.Accepted(*this, accepted, peer);
}

void Listener::BackOff(int errorCode) {
  // Out of descriptors, buffers or memory: the connections in service keep
  // being served, and the waiting ones stay in the system's queue until
  // accepting works again. The sockets are not watched meanwhile, so their
  // readiness does not spin the loop.
  pauseMs_ = NextPauseMs(pauseMs_);
  Watch(0);
  retry_.start(pauseMs_);
  owner_.AcceptPaused(errorCode);
}

int Listener::NextPauseMs(int pauseMs) {
  return pauseMs == 0 ? kAcceptRetryFirstMs : std::min(pauseMs * 2, kAcceptRetryMaxMs);
}

void Listener::Resume() {
  if (sockets_.empty()) return;
  Watch(kCanAccept);
  owner_.ListenerNotice([this] { AcceptBurst(); });
}

}  // namespace parlivo
