#pragma once
// Finds a server's IPv4 address without blocking the caller's event loop:
// a host name may take seconds to look up when a name server is slow, so
// the lookup runs on a worker thread and its result is taken up on the
// caller's thread.

#include <netinet/in.h>

#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace parlivo {

class HostLookup {
 public:
  // The address, or nullopt with the reason in plain words.
  using Done = std::function<void(std::optional<sockaddr_in> address, const std::string& error)>;

  HostLookup();
  ~HostLookup();
  HostLookup(const HostLookup&) = delete;
  HostLookup& operator=(const HostLookup&) = delete;

  // Starts looking up `host`; `done` runs later from the event loop, once,
  // unless cancel() or another start() comes first. The worker owns its
  // share of the result, so cancelling never waits for it.
  void start(const std::string& host, std::uint16_t port, Done done);
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
