#include "chatclient/host_lookup.h"

#include <mutex>
#include <thread>
#include <utility>

#include "client/chat_connection.h"

namespace parlivo {

// Written once by the worker, read by the owner's poll.
struct HostLookup::Result {
  std::mutex mutex;
  bool finished = false;
  std::optional<sockaddr_in> address;
  std::string error;
};

HostLookup::HostLookup() {
  poller_.setInterval(10);
  QObject::connect(&poller_, &QTimer::timeout, [this] { poll(); });
}

HostLookup::~HostLookup() { cancel(); }

void HostLookup::start(const std::string& host, std::uint16_t port, Done done) {
  cancel();
  result_ = std::make_shared<Result>();
  done_ = std::move(done);
  std::thread([result = result_, host, port] {
    std::string error;
    std::optional<sockaddr_in> address = ChatConnection::Resolve(host, port, error);
    const std::lock_guard lock(result->mutex);
    result->address = address;
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
  std::optional<sockaddr_in> address;
  std::string error;
  {
    const std::lock_guard lock(result_->mutex);
    if (!result_->finished) return;
    address = result_->address;
    error = result_->error;
  }
  Done done = std::exchange(done_, nullptr);
  cancel();
  if (done) done(address, error);
}

}  // namespace parlivo
