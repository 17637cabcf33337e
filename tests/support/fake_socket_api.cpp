#include "fake_socket_api.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "transport/platform/socket_address.h"

namespace parlivo::testing {

namespace {
std::string Line(const char* name, SocketHandle s) { return std::string(name) + " " + std::to_string(s); }
}  // namespace

int FakeSocketApi::startup(std::uint16_t) {
  log("startup");
  return 0;
}

int FakeSocketApi::cleanup() {
  log("cleanup");
  return 0;
}

SocketHandle FakeSocketApi::socket(int family, int, int) {
  if (family == kAfInet6 && inet6SocketError != 0) {
    log("socket inet6 refused");
    fail(inet6SocketError);
    return kInvalidSocket;
  }
  const SocketHandle s = nextHandle++;
  sockets[s].family = family;
  log(Line("socket", s));
  return s;
}

int FakeSocketApi::bind(SocketHandle s, const SockAddrStorage& address) {
  at(s).bound = address;
  log(Line("bind", s));
  if (address.family == kAfInet6 && inet6BindError != 0) return fail(inet6BindError);
  return bindError != 0 ? fail(bindError) : 0;
}

int FakeSocketApi::listen(SocketHandle s, int) {
  log(Line("listen", s));
  return 0;
}

SocketHandle FakeSocketApi::accept(SocketHandle s, SockAddrStorage* peer) {
  if (acceptError != 0) {
    log(Line("accept", s));
    fail(std::exchange(acceptError, 0));
    return kInvalidSocket;
  }
  if (waitingConnections == 0) {
    log(Line("accept", s));
    waitingConnections = 1;
    fail(10035);
    return kInvalidSocket;
  }
  --waitingConnections;
  const SocketHandle accepted = nextHandle++;
  sockets[accepted];
  SockAddrIn loopback;
  loopback.family = kAfInet;
  loopback.address = 0x0100007F;  // 127.0.0.1 in network order
  SockAddrStorage from = loopback;
  if (!nextPeers.empty()) {
    if (const auto address = ParseNumericAddress(nextPeers.front(), 0)) from = *address;
    nextPeers.pop_front();
  }
  if (peer != nullptr) *peer = from;
  log(Line("accept", s));
  return accepted;
}

int FakeSocketApi::recv(SocketHandle s, void* buffer, int length, int) {
  FakeSocket& socket = at(s);
  log(Line("recv", s) + " " + std::to_string(length));
  if (socket.recvError != 0) return fail(std::exchange(socket.recvError, 0));
  if (socket.incoming.empty()) return socket.peerClosed ? 0 : fail(10035);
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length), socket.incoming.size());
  std::memcpy(buffer, socket.incoming.data(), n);
  socket.incoming.erase(0, n);
  return static_cast<int>(n);
}

int FakeSocketApi::send(SocketHandle s, const void* buffer, int length, int) {
  FakeSocket& socket = at(s);
  log(Line("send", s) + " " + std::to_string(length));
  socket.sendSizes.push_back(length);
  int take = length;
  if (!socket.sendScript.empty()) {
    const int script = socket.sendScript.front();
    socket.sendScript.pop_front();
    if (script < 0) {
      socket.writeArmed = socket.writeArmed || -script == 10035;
      return fail(-script);
    }
    take = std::min(take, script);
  }
  socket.sent.append(static_cast<const char*>(buffer), static_cast<std::size_t>(take));
  if (take < length) socket.writeArmed = true;
  return take;
}

int FakeSocketApi::shutdown(SocketHandle s, int) {
  at(s).shutDown = true;
  log(Line("shutdown", s));
  return 0;
}

int FakeSocketApi::closesocket(SocketHandle s) {
  log(Line("close", s));
  FakeSocket& socket = at(s);
  if (!socket.open) {
    ++closedTwice;
    return fail(10038);
  }
  // Linux releases the descriptor even when close reports an error.
  socket.open = false;
  if (closeFailures > 0) {
    --closeFailures;
    return fail(closeError);
  }
  return 0;
}

int FakeSocketApi::setLinger(SocketHandle s, std::uint16_t on, std::uint16_t seconds) {
  at(s).lingerZero = on != 0 && seconds == 0;
  log(Line("linger", s) + " " + std::to_string(on) + " " + std::to_string(seconds));
  return 0;
}

int FakeSocketApi::setNoDelay(SocketHandle s, bool) {
  log(Line("nodelay", s));
  return 0;
}

int FakeSocketApi::setV6Only(SocketHandle s, bool on) {
  log(Line("v6only", s) + (on ? " 1" : " 0"));
  if (!on && dualStackError != 0) return fail(dualStackError);
  at(s).v6Only = on;
  return 0;
}

int FakeSocketApi::ioctlFionread(SocketHandle s, std::uint32_t* count) {
  FakeSocket& socket = at(s);
  log(Line("fionread", s));
  if (socket.fionreadError != 0) return fail(std::exchange(socket.fionreadError, 0));
  *count = static_cast<std::uint32_t>(socket.incoming.size());
  return 0;
}

int FakeSocketApi::watch(SocketHandle s, SocketWatcher* watcher, SocketEvents events) {
  FakeSocket& socket = at(s);
  socket.watcher = events != 0 ? watcher : nullptr;
  socket.watchedEvents = watcher != nullptr ? events : 0;
  log(Line("watch", s) + " " + std::to_string(socket.watchedEvents));
  return 0;
}

void FakeSocketApi::notify(SocketHandle s, SocketEvents event, int error) {
  if (SocketWatcher* watcher = at(s).watcher) watcher->SocketReady(s, event, error);
}

int FakeSocketApi::waitWritable(const std::vector<SocketHandle>& handles, int timeoutMs,
                                std::vector<bool>& writable) {
  log("waitWritable " + std::to_string(handles.size()) + " " + std::to_string(timeoutMs));
  if (onWait) onWait(timeoutMs);
  writable.assign(handles.size(), false);
  int ready = 0;
  for (std::size_t i = 0; i < handles.size(); ++i) {
    writable[i] = at(handles[i]).writable;
    ready += writable[i] ? 1 : 0;
  }
  return ready;
}

int FakeSocketApi::gethostname(char* name, int length) {
  std::strncpy(name, "fakehost", static_cast<std::size_t>(length));
  return 0;
}

std::string FakeSocketApi::hostAddress(const std::string&) { return "192.0.2.10"; }

}  // namespace parlivo::testing
