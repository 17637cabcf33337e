#include "chatclient/host_lookup.h"

#include <unistd.h>

#include <mutex>
#include <thread>
#include <utility>

#include "client/chat_connection.h"
#include "client/staggered_connect.h"

namespace parlivo {

// Written once by the worker, read by the owner's poll. A socket nobody
// took is closed with the last share.
struct HostLookup::Result {
  std::mutex mutex;
  bool finished = false;
  int fd = -1;
  std::vector<Endpoint> resolved;
  std::string error;
  ~Result() {
    if (fd >= 0) ::close(fd);
  }
};

HostLookup::HostLookup() {
  poller_.setInterval(10);
  QObject::connect(&poller_, &QTimer::timeout, [this] { poll(); });
}

HostLookup::~HostLookup() { cancel(); }

void HostLookup::start(const std::string& host, std::uint16_t port, int timeoutMs, Done done) {
  cancel();
  result_ = std::make_shared<Result>();
  done_ = std::move(done);
  std::thread([result = result_, host, port, timeoutMs] {
    std::string error;
    std::vector<Endpoint> endpoints = ChatConnection::Resolve(host, port, error);
    const int fd = endpoints.empty() ? -1 : ConnectFirstAnswering(endpoints, timeoutMs, error);
    const std::lock_guard lock(result->mutex);
    result->fd = fd;
    result->resolved = std::move(endpoints);
    result->error = std::move(error);
    result->finished = true;
  }).detach();
  poller_.start();
}

void HostLookup::cancel() {
  poller_.stop();
  result_.reset();
  done_ = nullptr;
}

void HostLookup::poll() {
  if (!result_) return;
  int fd = -1;
  std::vector<Endpoint> resolved;
  std::string error;
  {
    const std::lock_guard lock(result_->mutex);
    if (!result_->finished) return;
    fd = std::exchange(result_->fd, -1);
    resolved = result_->resolved;
    error = result_->error;
  }
  Done done = std::exchange(done_, nullptr);
  cancel();
  if (done) {
    done(fd, resolved, error);
  } else if (fd >= 0) {
    ::close(fd);
  }
}

}  // namespace parlivo
