#pragma once
// Role: what the clients of one kind do with their connections in a
// parlivo-bench run, what they count, and which part of the report is
// theirs. The pool (client_pool.h) asks a client's role what to poll for
// and hands it every event once the client is connected. By default a
// client writes what waits, reads what came, and gives each packet to
// OnPacket; the hooks below let a role add to that.

#include <cstddef>
#include <cstdint>
#include <string>

#include "bench_options.h"
#include "bench_report.h"
#include "client_pool.h"
#include "run_state.h"

namespace parlivo::bench {

class Role {
 public:
  Role(const BenchOptions& options, RunState& run, ClientPool& pool) : options_(options), run_(run), pool_(pool) {}
  virtual ~Role() = default;
  Role(const Role&) = delete;
  Role& operator=(const Role&) = delete;

  // Adds this role's clients to the pool, named and placed in their rooms.
  virtual void AddClients() = 0;
  // Whether the client asks to read now.
  virtual bool Reads(PoolClient& /*client*/) { return true; }
  // Whether the client may write what it has queued.
  virtual bool MayWrite(const PoolClient& /*client*/) const { return true; }
  // Poll reported `revents` on a connected client.
  virtual void OnEvents(PoolClient& client, short revents);
  virtual void OnPacket(PoolClient& client, const ReceivedPacket& packet) = 0;
  // The client's connection ended (or was given up on) for `reason`.
  // Nothing happens for a client already gone.
  void Lost(PoolClient& client, const std::string& reason) {
    if (client.stage != Stage::Gone) OnLost(client, reason);
  }
  virtual void ConnectFailed(PoolClient& client, const std::string& reason) { Lost(client, "cannot connect: " + reason); }
  // False for a client that never reads: it cannot leave in order.
  virtual bool LeavesInOrder() const { return true; }
  // Writes this role's part of the report; `now` is the moment the report
  // is taken.
  virtual void Report(BenchReport& report, Clock::time_point now) = 0;
  // Marks the report failed for what this role alone can tell, when no
  // earlier reason did.
  virtual void Judge(BenchReport& /*report*/) const {}

 protected:
  virtual void OnLost(PoolClient& client, const std::string& reason) = 0;
  // After queued bytes went out on POLLOUT; false when that lost the
  // connection (already reported through Lost).
  virtual bool Flushed(PoolClient& /*client*/) { return true; }
  // The most the client reads now.
  virtual std::size_t ReadLimit(PoolClient& /*client*/) { return ChatConnection::kMaxReadPerCall; }
  // `bytes` arrived (perhaps none).
  virtual void Arrived(PoolClient& /*client*/, std::uint64_t /*bytes*/) {}
  // Every packet that arrived has been handled.
  virtual void AfterPackets(PoolClient& /*client*/) {}

  // The role's clients are the pool's `first_` onwards, `count_` of them.
  PoolClient& client(std::size_t slot) { return pool_[first_ + slot]; }
  const PoolClient& client(std::size_t slot) const { return pool_[first_ + slot]; }
  // Adds `count` clients to the pool as this role's.
  void Place(std::size_t count) {
    first_ = pool_.Add(*this, count);
    count_ = count;
  }

  const BenchOptions& options_;
  RunState& run_;
  ClientPool& pool_;
  std::size_t first_ = 0;
  std::size_t count_ = 0;  // none until AddClients
};

}  // namespace parlivo::bench
