#pragma once
// ClientPool: every connection of a parlivo-bench run, in this one process
// on non-blocking sockets, driven by a single poll loop. The pool connects
// its clients, polls them, finishes their connects and hands every other
// event to the role the client plays (role.h); at the end it has them all
// leave in an orderly way. Clients keep the order in which roles added
// them, and are polled and served in that order.

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/chat_connection.h"
#include "flow_accounting.h"
#include "run_state.h"
#include "tls/tls_identity.h"

namespace parlivo::bench {

class Role;

// A client that is not greeted this long after it started connecting has
// failed to connect.
inline constexpr auto kGreetingTimeout = std::chrono::seconds(5);

// Where a client is with its connection and its registration.
enum class Stage { Idle, Connecting, AwaitGreeting, Greeted, Registering, Registered, Refused, Silent, Gone };

struct PoolClient {
  ChatConnection connection;
  Role* role = nullptr;
  std::size_t slot = 0;  // its number among the clients of its role
  Stage stage = Stage::Idle;
  std::string nick;
  std::string room;
  Clock::time_point greetingDeadline;
};

class ClientPool {
 public:
  explicit ClientPool(RunState& run) : run_(run) {}

  // Where every client connects to, and through TLS when `tls` is set.
  void Target(const Endpoint& address, std::shared_ptr<TlsContext> tls);
  // Adds `count` clients that play `role`; returns the index of the first.
  std::size_t Add(Role& role, std::size_t count);
  PoolClient& operator[](std::size_t index) { return clients_[index]; }
  const PoolClient& operator[](std::size_t index) const { return clients_[index]; }
  std::size_t size() const { return clients_.size(); }

  // Starts connecting; a failure goes to the client's role.
  void StartConnect(PoolClient& client);
  // Waits up to `timeoutMs` for events and serves them; stops serving once
  // the run is done.
  void PollOnce(int timeoutMs);
  // Pings answered by the connections still in the pool.
  std::uint64_t PingsAnswered() const;
  // Every client shuts down its sending side and waits, until `deadline`,
  // for the server to close the connection; then all are closed.
  void LeaveAll(Clock::time_point deadline);

 private:
  void HandleEvents(PoolClient& client, short revents);

  RunState& run_;
  Endpoint address_{};
  std::shared_ptr<TlsContext> tls_;  // one for every client
  std::vector<PoolClient> clients_;
  std::vector<pollfd> pollSet_;
  std::vector<std::size_t> pollClients_;
};

// Queues the next pieces of `stream` on `connection` while less than a
// piece waits unsent. False when the connection failed; `finished` tells
// whether every piece is queued now.
bool QueueStream(ChatConnection& connection, PacketStream& stream, bool& finished);

// A sender's or flooder's texts (offered and sent) and the time its socket
// did not take its bytes.
struct WriteAccount {
  SendLedger ledger;
  HoldClock hold;

  // Brings both up to date after the socket took bytes; the hold clock
  // stops counting once sending is frozen or the client is gone.
  void AfterWrite(const PoolClient& client, bool frozen);
  // Sending is frozen at `now`: what was written by then counts.
  void Freeze(const ChatConnection& connection, Clock::time_point now);
};

}  // namespace parlivo::bench
