#pragma once
// Finds a server and connects to it without blocking the caller's event
// loop: a host name may take seconds to look up when a name server is slow,
// and a name with several addresses is connected to by trying them in turn
// (staggered_connect.h), so both run on a worker thread and the result is
// taken up on the caller's thread.

#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/staggered_connect.h"

namespace parlivo {

class HostLookup {
 public:
  // The connected socket (the receiver owns it) and every address the
  // host was found at, or -1 with the reason in plain words.
  using Done = std::function<void(int fd, const std::vector<Endpoint>& resolved, const std::string& error)>;

  HostLookup();
  ~HostLookup();
  HostLookup(const HostLookup&) = delete;
  HostLookup& operator=(const HostLookup&) = delete;

  // Starts looking up `host` and connecting to `port` on it, for at most
  // `timeoutMs` in all; `done` runs later from the event loop, once, unless
  // cancel() or another start() comes first. The worker owns its share of
  // the result, so cancelling never waits for it; a socket it connects
  // after a cancel is closed.
  void start(const std::string& host, std::uint16_t port, int timeoutMs, Done done);
  void cancel();
  bool running() const { return result_ != nullptr; }

 private:
  struct Result;
  void poll();

  std::shared_ptr<Result> result_;
  Done done_;
  QTimer poller_;
};

}  // namespace parlivo
