#pragma once
// The clients that misbehave on request (--stalled, --churn, --burst,
// --stalled-pong, --half-bodies, --flooders), one role each. They come
// after the well-behaved clients, all in room-1, start once every
// well-behaved client is registered and go on until the run ends. Each
// counts what the server did about it: what the run judges is still what
// the well-behaved clients receive, except that a burst client cut off
// means the server did not stay online.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "role.h"

namespace parlivo::bench {

class MisbehavingRole : public Role {
 public:
  // `count` clients named PREFIX-NAME-0, PREFIX-NAME-1, ...
  MisbehavingRole(const BenchOptions& options, RunState& run, ClientPool& pool, std::uint32_t count, const char* name)
      : Role(options, run, pool), wanted_(count), name_(name) {}

  void AddClients() override;
  // Every well-behaved client is registered, at `at`: every client of the
  // role starts connecting.
  virtual void Start(Clock::time_point at);
  // One turn of the loop, at `now`.
  virtual void Advance(Clock::time_point /*now*/) {}

 protected:
  // Closes the client's connection for good.
  void LetGo(PoolClient& client);

  std::uint32_t wanted_;
  const char* name_;
};

// Registers as soon as it is connected and never reads again.
class SilentRole : public MisbehavingRole {
 public:
  using MisbehavingRole::MisbehavingRole;
  bool Reads(PoolClient& /*client*/) override { return false; }
  void OnEvents(PoolClient& client, short revents) override;
  void OnPacket(PoolClient& /*client*/, const ReceivedPacket& /*packet*/) override {}

 protected:
  // It has just registered, and is silent from now on.
  virtual void Silenced(PoolClient& /*client*/) {}
};

// --stalled: what the server should do is let it go.
class StalledReaders : public SilentRole {
 public:
  StalledReaders(const BenchOptions& options, RunState& run, ClientPool& pool);
  bool LeavesInOrder() const override { return false; }
  void Report(BenchReport& report, Clock::time_point now) override;

 protected:
  void OnLost(PoolClient& client, const std::string& reason) override;

 private:
  std::uint32_t dropped_ = 0;
};

// --stalled-pong: never reads, but answers the pings it never read with a
// pong every second.
class StalledPongers : public SilentRole {
 public:
  StalledPongers(const BenchOptions& options, RunState& run, ClientPool& pool);
  void Advance(Clock::time_point now) override;
  void Report(BenchReport& report, Clock::time_point now) override;

 protected:
  void Silenced(PoolClient& client) override;
  void OnLost(PoolClient& client, const std::string& reason) override;

 private:
  std::vector<Clock::time_point> nextPongAt_;
  std::uint32_t dropped_ = 0;
};

// Registers once greeted and reads what comes; a kick or a request to
// disconnect ends it.
class JoiningRole : public MisbehavingRole {
 public:
  using MisbehavingRole::MisbehavingRole;
  void OnPacket(PoolClient& client, const ReceivedPacket& packet) override;

 protected:
  virtual void Greeted(PoolClient& /*client*/) {}
  // Its registration was granted.
  virtual void Admitted(PoolClient& /*client*/) {}
  // Its name was in use, or access denied.
  virtual void Refused(PoolClient& /*client*/) {}
};

// --churn: resets its connection after a while and comes back, so that
// together they reset --churn connections a second.
class Churners : public JoiningRole {
 public:
  Churners(const BenchOptions& options, RunState& run, ClientPool& pool);
  void Advance(Clock::time_point now) override;
  void Report(BenchReport& report, Clock::time_point now) override;

 protected:
  void Admitted(PoolClient& client) override;
  void Refused(PoolClient& client) override;
  void OnLost(PoolClient& client, const std::string& reason) override;

 private:
  std::vector<Clock::time_point> resetAt_;  // its next reset, or its next try to register
  std::uint64_t resets_ = 0;
  std::uint64_t rejoins_ = 0;
};

// --burst: well-behaved clients that all connect at once; each must be
// greeted in time, and losing one is a failure.
class BurstClients : public JoiningRole {
 public:
  BurstClients(const BenchOptions& options, RunState& run, ClientPool& pool);
  void Start(Clock::time_point at) override;
  void Advance(Clock::time_point now) override;
  void Report(BenchReport& report, Clock::time_point now) override;
  void Judge(BenchReport& report) const override;

 protected:
  void Greeted(PoolClient& client) override;
  void OnLost(PoolClient& client, const std::string& reason) override;

 private:
  Clock::time_point startedAt_;
  std::optional<Clock::time_point> allGreetedAt_;
  std::uint32_t greeted_ = 0;
  std::uint32_t lost_ = 0;
};

// --half-bodies: once registered, announces a text of --half-body-size
// bytes and sends only half of it.
class HalfBodies : public JoiningRole {
 public:
  HalfBodies(const BenchOptions& options, RunState& run, ClientPool& pool);
  void Report(BenchReport& report, Clock::time_point now) override;

 protected:
  void Admitted(PoolClient& client) override;
  bool Flushed(PoolClient& client) override;
  void OnLost(PoolClient& client, const std::string& reason) override;

 private:
  // Queues more of the half body; false when the connection failed.
  bool Feed(PoolClient& client);

  std::vector<std::optional<PacketStream>> streams_;
  std::vector<std::optional<Clock::time_point>> halfSentAt_;
  std::uint32_t dropped_ = 0;
  double dropSecondsSum_ = 0;
};

// --flooders: once registered, send --flood-size texts as fast as their
// sockets take them, until sending stops.
class Flooders : public JoiningRole {
 public:
  Flooders(const BenchOptions& options, RunState& run, ClientPool& pool);
  void Start(Clock::time_point at) override;
  bool MayWrite(const PoolClient& client) const override;
  // A turn of the send phase: every flooder queues what its socket takes.
  void Flood();
  void Freeze(Clock::time_point now);
  void Report(BenchReport& report, Clock::time_point now) override;

 protected:
  bool Flushed(PoolClient& client) override;
  void AfterPackets(PoolClient& client) override;
  void OnLost(PoolClient& client, const std::string& reason) override;

 private:
  void Feed(PoolClient& client);

  std::string packet_;  // one flood text, ready to send
  std::vector<WriteAccount> accounts_;
  std::optional<Clock::time_point> startedAt_;
  std::uint32_t dropped_ = 0;
};

}  // namespace parlivo::bench
