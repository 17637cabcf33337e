#pragma once
// A scriptable SocketApi for unit tests: no real sockets. Each handle has a
// FakeSocket whose fields say what the next calls return; every call is
// logged in `calls` as a short line ("send 7 100", "close 7", ...).

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "transport/platform/socket_api.h"

namespace parlivo::testing {

struct FakeSocket {
  std::string incoming;         // bytes that recv() hands out, in order
  bool peerClosed = false;      // recv() returns 0 once `incoming` is used up
  int recvError = 0;            // when set, the next recv() fails with it (once)
  int fionreadError = 0;        // when set, the next FIONREAD fails with it (once)
  std::deque<int> sendScript;   // per send(): n >= 0 takes at most n bytes, n < 0 fails with -n
  std::string sent;             // every byte send() took
  std::vector<int> sendSizes;   // the length of every send() call
  bool open = true;
  bool shutDown = false;
  bool lingerZero = false;
  SocketEvents watchedEvents = 0;   // what the last watch() asked for
  SocketWatcher* watcher = nullptr;  // who the last watch() named
  int family = 0;               // as socket() was asked for it
  SockAddrStorage bound{};      // what bind() was given
  bool v6Only = false;          // what setV6Only() set last
  bool writeArmed = false;      // a send did not take everything: kCanWrite is due when it can
  bool writable = true;         // what waitWritable() says of it
};

class FakeSocketApi : public SocketApi {
 public:
  std::map<SocketHandle, FakeSocket> sockets;
  std::vector<std::string> calls;
  int closeFailures = 0;             // this many closesocket() calls fail...
  int closeError = 10038;            // ...with this code (the descriptor is released all the same, as on Linux)
  int closedTwice = 0;               // closesocket() calls on a handle that was closed already
  int bindError = 0;                 // when set, bind() fails with it
  int inet6BindError = 0;            // when set, binding an IPv6 address fails with it (::1 switched off)
  int inet6SocketError = 0;          // when set, IPv6 sockets cannot be made: socket() fails with it
  int dualStackError = 0;            // when set, setV6Only(s, false) fails with it
  // The peers (numeric, either family) the next accepted connections
  // report, in order; 127.0.0.1 when none is left.
  std::deque<std::string> nextPeers;
  std::string ipv6Address;           // what hostAddress6() says
  int acceptError = 0;               // when set, the next accept() fails with it (once)
  // Connections waiting to be accepted. Each accept() takes one; with none
  // left it fails with "would block" and one more is waiting for the next
  // notice, so every accept notice brings one connection.
  int waitingConnections = 1;
  SocketHandle nextHandle = 100;
  std::uint32_t maxSocketsValue = 1024;  // what maxSockets() says
  // Called by each waitWritable() with its time-out, before it answers: a
  // test moves its clock there, as a real wait would take time.
  std::function<void(int timeoutMs)> onWait;

  FakeSocket& at(SocketHandle s) { return sockets[s]; }
  // Tells the watcher of `s` that it is ready, as the system would (for a
  // listening socket: kCanAccept); nothing when nobody watches it.
  void notify(SocketHandle s, SocketEvents event, int error = 0);

  int startup(std::uint16_t version) override;
  int cleanup() override;
  std::uint32_t maxSockets() override { return maxSocketsValue; }
  SocketHandle socket(int family, int type, int protocol) override;
  int bind(SocketHandle s, const SockAddrStorage& address) override;
  int listen(SocketHandle s, int backlog) override;
  SocketHandle accept(SocketHandle s, SockAddrStorage* peer) override;
  int recv(SocketHandle s, void* buffer, int length, int flags) override;
  int send(SocketHandle s, const void* buffer, int length, int flags) override;
  int shutdown(SocketHandle s, int how) override;
  int closesocket(SocketHandle s) override;
  int setLinger(SocketHandle s, std::uint16_t on, std::uint16_t seconds) override;
  int setNoDelay(SocketHandle s, bool on) override;
  int setV6Only(SocketHandle s, bool on) override;
  int ioctlFionread(SocketHandle s, std::uint32_t* count) override;
  int watch(SocketHandle s, SocketWatcher* watcher, SocketEvents events) override;
  int waitWritable(const std::vector<SocketHandle>& sockets, int timeoutMs, std::vector<bool>& writable) override;
  int lastError() override { return lastError_; }
  int gethostname(char* name, int length) override;
  std::string hostAddress(const std::string& hostName) override;
  std::string hostAddress6() override { return ipv6Address; }

 private:
  int fail(int code) {
    lastError_ = code;
    return kSocketError;
  }
  void log(const std::string& line) { calls.push_back(line); }

  int lastError_ = 0;
};

}  // namespace parlivo::testing
