#include "client_pool.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "role.h"

namespace parlivo::bench {
namespace {

constexpr int kMaxPollMs = 100;
// A packet written in pieces gets this much queued at a time.
constexpr std::size_t kStreamPiece = 256 * 1024;

}  // namespace

void ClientPool::Target(const Endpoint& address, std::shared_ptr<TlsContext> tls) {
  address_ = address;
  tls_ = std::move(tls);
}

std::size_t ClientPool::Add(Role& role, std::size_t count) {
  const std::size_t first = clients_.size();
  clients_.resize(first + count);
  for (std::size_t k = 0; k < count; ++k) {
    clients_[first + k].role = &role;
    clients_[first + k].slot = k;
  }
  return first;
}

void ClientPool::StartConnect(PoolClient& client) {
  client.greetingDeadline = Clock::now() + kGreetingTimeout;
  if (tls_) client.connection.useTls(tls_);
  if (!client.connection.startConnect(address_)) return client.role->ConnectFailed(client, client.connection.error());
  client.stage = client.connection.connecting() ? Stage::Connecting : Stage::AwaitGreeting;
}

void ClientPool::PollOnce(int timeoutMs) {
  pollSet_.clear();
  pollClients_.clear();
  for (std::size_t i = 0; i < clients_.size(); ++i) {
    PoolClient& client = clients_[i];
    const ChatConnection& connection = client.connection;
    if (connection.fd() < 0) continue;
    // A client that does not ask to read still sees a reset or close as
    // POLLHUP or POLLERR, which poll always reports.
    const short read = client.role->Reads(client) ? POLLIN : 0;
    const bool write = connection.connecting() || (client.role->MayWrite(client) && connection.wantsWrite());
    const short events = static_cast<short>(read | (write ? POLLOUT : 0));
    pollSet_.push_back({connection.fd(), events, 0});
    pollClients_.push_back(i);
  }
  const int ready = ::poll(pollSet_.data(), pollSet_.size(), timeoutMs);
  if (ready < 0 && errno != EINTR) run_.Stop(kExitFailed, std::string("poll failed: ") + std::strerror(errno));
  if (ready <= 0) return;
  for (std::size_t k = 0; k < pollSet_.size() && !run_.done(); ++k) {
    if (pollSet_[k].revents != 0) HandleEvents(clients_[pollClients_[k]], pollSet_[k].revents);
  }
}

void ClientPool::HandleEvents(PoolClient& client, short revents) {
  ChatConnection& connection = client.connection;
  if (connection.connecting()) {
    if ((revents & (POLLOUT | POLLERR | POLLHUP)) == 0) return;
    if (!connection.finishConnect()) return client.role->ConnectFailed(client, connection.error());
    if (connection.connecting()) return;
    client.stage = Stage::AwaitGreeting;
  }
  client.role->OnEvents(client, revents);
}

std::uint64_t ClientPool::PingsAnswered() const {
  std::uint64_t answered = 0;
  for (const PoolClient& client : clients_) answered += client.connection.pingsAnswered();
  return answered;
}

// Closing outright would reset connections to which the server is still
// writing (the roster updates about the others leaving), and the server
// would see errors instead of clients that left.
void ClientPool::LeaveAll(Clock::time_point deadline) {
  for (PoolClient& client : clients_) {
    if (!client.role->LeavesInOrder()) client.connection.abort();
    client.connection.shutdownSend();
  }
  while (Clock::now() < deadline) {
    pollSet_.clear();
    pollClients_.clear();
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      const ChatConnection& connection = clients_[i].connection;
      if (!connection.isOpen() || connection.connecting()) continue;
      pollSet_.push_back({connection.fd(), POLLIN, 0});
      pollClients_.push_back(i);
    }
    if (pollSet_.empty()) break;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const int ready = ::poll(pollSet_.data(), pollSet_.size(), static_cast<int>(std::clamp<long long>(left, 0, kMaxPollMs)));
    if (ready < 0 && errno != EINTR) break;
    for (std::size_t k = 0; ready > 0 && k < pollSet_.size(); ++k) {
      if (pollSet_[k].revents == 0) continue;
      ChatConnection& connection = clients_[pollClients_[k]].connection;
      // A connection that can no longer be read (closed, failed, or a
      // protocol error) is done leaving; polling it again would spin.
      if (!connection.readAvailable()) connection.close();
      while (connection.nextPacket()) {
      }
    }
  }
  clients_.clear();  // closes every connection
}

bool QueueStream(ChatConnection& connection, PacketStream& stream, bool& finished) {
  finished = false;
  while (connection.pendingOutput() < kStreamPiece) {
    if (stream.done()) {
      finished = true;
      return true;
    }
    if (!connection.sendBytes(stream.Next(kStreamPiece))) return false;
  }
  return true;
}

void WriteAccount::AfterWrite(const PoolClient& client, bool frozen) {
  ledger.Written(client.connection.bytesWritten());
  if (!frozen && client.stage != Stage::Gone) hold.Observe(client.connection.pendingOutput() > 0, Clock::now());
}

void WriteAccount::Freeze(const ChatConnection& connection, Clock::time_point now) {
  ledger.Written(connection.bytesWritten());
  hold.Observe(false, now);
}

}  // namespace parlivo::bench
