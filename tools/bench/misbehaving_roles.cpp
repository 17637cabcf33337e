#include "misbehaving_roles.h"

#include "client/client_packets.h"
#include "encoding/text_codec.h"
#include "transport/packet_ids.h"

namespace parlivo::bench {
namespace {

// How long a churner whose name was still taken waits before it asks again.
constexpr auto kRegisterRetry = std::chrono::milliseconds(50);
// Flood texts one flooder queues per turn of the loop, at most.
constexpr int kMaxFloodPerTurn = 64;
constexpr auto kPongPeriod = std::chrono::seconds(1);

}  // namespace

void MisbehavingRole::AddClients() {
  Place(wanted_);
  for (std::size_t k = 0; k < count_; ++k) {
    client(k).nick = options_.prefix + "-" + name_ + "-" + std::to_string(k);
    client(k).room = "room-1";
  }
}

void MisbehavingRole::Start(Clock::time_point /*at*/) {
  for (std::size_t k = 0; k < count_ && !run_.done(); ++k) pool_.StartConnect(client(k));
}

void MisbehavingRole::LetGo(PoolClient& gone) {
  gone.connection.abort();
  gone.stage = Stage::Gone;
}

void SilentRole::OnEvents(PoolClient& silent, short revents) {
  ChatConnection& connection = silent.connection;
  // It registers as soon as it is connected, and never reads its answer.
  if (silent.stage == Stage::AwaitGreeting) {
    silent.stage = Stage::Silent;
    Silenced(silent);
    connection.registerUser(silent.nick, silent.room);
    revents = static_cast<short>(revents & ~POLLOUT);
  }
  if ((revents & POLLOUT) != 0) connection.flush();
  if ((revents & (POLLHUP | POLLERR)) != 0) Lost(silent, "closed by the server");
}

StalledReaders::StalledReaders(const BenchOptions& options, RunState& run, ClientPool& pool)
    : SilentRole(options, run, pool, options.stalled, "stalled") {}

void StalledReaders::OnLost(PoolClient& stalled, const std::string& /*reason*/) {
  LetGo(stalled);
  ++dropped_;
}

void StalledReaders::Report(BenchReport& report, Clock::time_point /*now*/) {
  report.stalled = options_.stalled;
  report.stalledDropped = dropped_;
}

StalledPongers::StalledPongers(const BenchOptions& options, RunState& run, ClientPool& pool)
    : SilentRole(options, run, pool, options.stalledPong, "pong"), nextPongAt_(wanted_) {}

void StalledPongers::Silenced(PoolClient& ponger) { nextPongAt_[ponger.slot] = Clock::now() + kPongPeriod; }

void StalledPongers::Advance(Clock::time_point now) {
  for (std::size_t k = 0; k < count_ && !run_.done(); ++k) {
    PoolClient& ponger = client(k);
    if (ponger.stage != Stage::Silent || now < nextPongAt_[k]) continue;
    nextPongAt_[k] = now + kPongPeriod;
    if (!ponger.connection.send(pidPong, {})) Lost(ponger, ponger.connection.error());
  }
}

void StalledPongers::OnLost(PoolClient& ponger, const std::string& /*reason*/) {
  ++dropped_;
  LetGo(ponger);
}

void StalledPongers::Report(BenchReport& report, Clock::time_point /*now*/) {
  report.stalledPong = options_.stalledPong;
  report.stalledPongDropped = dropped_;
}

void JoiningRole::OnPacket(PoolClient& joining, const ReceivedPacket& packet) {
  switch (packet.id) {
    case pidConnected:
      if (joining.stage != Stage::AwaitGreeting) return;
      Greeted(joining);
      joining.stage = Stage::Registering;
      if (!joining.connection.registerUser(joining.nick, joining.room)) Lost(joining, joining.connection.error());
      return;
    case pidAccessGranted:
      if (joining.stage != Stage::Registering) return;
      joining.stage = Stage::Registered;
      return Admitted(joining);
    case pidSameUserName:
    case pidAccessDenied:
      if (joining.stage == Stage::Registering) Refused(joining);
      return;
    case pidDisconnect: return Lost(joining, "the server asked it to disconnect");
    case pidKick: return Lost(joining, "kicked by the server");
    default: return;
  }
}

Churners::Churners(const BenchOptions& options, RunState& run, ClientPool& pool)
    : JoiningRole(options, run, pool, ChurnClients(options), "churn"), resetAt_(wanted_) {}

void Churners::Advance(Clock::time_point now) {
  for (std::size_t k = 0; k < count_ && !run_.done(); ++k) {
    PoolClient& churner = client(k);
    if (churner.stage == Stage::Refused && now >= resetAt_[k]) {
      churner.stage = Stage::Registering;
      if (!churner.connection.registerUser(churner.nick, churner.room)) Lost(churner, churner.connection.error());
      continue;
    }
    if (churner.stage == Stage::Registered && now >= resetAt_[k]) {
      churner.connection.abort();
      ++resets_;
      churner.stage = Stage::Idle;
    }
    if (churner.stage == Stage::Idle) {
      churner.connection = ChatConnection();
      pool_.StartConnect(churner);
    }
  }
}

void Churners::Admitted(PoolClient& churner) {
  ++rejoins_;
  // Each churner stays this long, so that together they reset --churn
  // connections a second.
  resetAt_[churner.slot] = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(ChurnClients(options_) / options_.churn));
}

// Back at once, it may find its name still held by the connection it
// reset, until the server has noticed the reset: it asks again a moment
// later, as a real client would.
void Churners::Refused(PoolClient& churner) {
  churner.stage = Stage::Refused;
  resetAt_[churner.slot] = Clock::now() + kRegisterRetry;
}

// It comes back on the next turn.
void Churners::OnLost(PoolClient& churner, const std::string& /*reason*/) {
  churner.connection.abort();
  churner.stage = Stage::Idle;
}

void Churners::Report(BenchReport& report, Clock::time_point /*now*/) {
  report.churnPerSecond = options_.churn;
  report.churnResets = resets_;
  report.churnRejoins = rejoins_;
}

BurstClients::BurstClients(const BenchOptions& options, RunState& run, ClientPool& pool)
    : JoiningRole(options, run, pool, options.burst, "burst") {}

void BurstClients::Start(Clock::time_point at) {
  startedAt_ = at;
  JoiningRole::Start(at);
}

void BurstClients::Advance(Clock::time_point now) {
  for (std::size_t k = 0; k < count_ && !run_.done(); ++k) {
    PoolClient& burst = client(k);
    const bool waiting = burst.stage == Stage::Connecting || burst.stage == Stage::AwaitGreeting;
    if (waiting && now > burst.greetingDeadline) {
      Lost(burst, "not greeted within " + std::to_string(kGreetingTimeout.count()) + " s");
    }
  }
}

void BurstClients::Greeted(PoolClient& /*burst*/) {
  if (++greeted_ == options_.burst) allGreetedAt_ = Clock::now();
}

// A burst client is a well-behaved one that arrived late: losing it is a
// failure.
void BurstClients::OnLost(PoolClient& burst, const std::string& reason) {
  burst.stage = Stage::Gone;
  burst.connection.shutdownSend();
  ++lost_;
  run_.Stop(kExitFailed, "burst client " + burst.nick + " lost: " + reason);
}

void BurstClients::Report(BenchReport& report, Clock::time_point /*now*/) {
  report.burst = options_.burst;
  report.burstGreeted = greeted_;
  if (allGreetedAt_) report.burstSeconds = Seconds(*allGreetedAt_ - startedAt_);
  if (lost_ > 0) report.serverStayedOnline = false;
}

void BurstClients::Judge(BenchReport& report) const {
  if (report.exitStatus == kExitOk && report.burstGreeted < report.burst) {
    report.exitStatus = kExitFailed;
    report.error = "only " + std::to_string(report.burstGreeted) + " of " + std::to_string(report.burst) +
                   " burst clients were greeted";
  }
}

HalfBodies::HalfBodies(const BenchOptions& options, RunState& run, ClientPool& pool)
    : JoiningRole(options, run, pool, options.halfBodies, "half"), streams_(wanted_), halfSentAt_(wanted_) {}

void HalfBodies::Admitted(PoolClient& half) {
  // No pong from now on: it would land inside the unfinished body.
  half.connection.answerPings = false;
  streams_[half.slot] = PacketStream::HalfBody(options_.halfBodySize);
  if (!Feed(half)) Lost(half, half.connection.error());
}

bool HalfBodies::Feed(PoolClient& half) {
  std::optional<PacketStream>& stream = streams_[half.slot];
  if (!stream) return true;
  bool finished = false;
  if (!QueueStream(half.connection, *stream, finished)) return false;
  if (finished) {
    stream.reset();
    halfSentAt_[half.slot] = Clock::now();
  }
  return true;
}

bool HalfBodies::Flushed(PoolClient& half) {
  if (Feed(half)) return true;
  Lost(half, half.connection.error());
  return false;
}

void HalfBodies::OnLost(PoolClient& half, const std::string& /*reason*/) {
  ++dropped_;
  if (const auto sentAt = halfSentAt_[half.slot]) dropSecondsSum_ += Seconds(Clock::now() - *sentAt);
  LetGo(half);
}

void HalfBodies::Report(BenchReport& report, Clock::time_point /*now*/) {
  report.halfBodies = options_.halfBodies;
  report.halfBodiesDropped = dropped_;
  if (dropped_ > 0) report.halfBodyDropSeconds = dropSecondsSum_ / dropped_;
}

Flooders::Flooders(const BenchOptions& options, RunState& run, ClientPool& pool)
    : JoiningRole(options, run, pool, options.flooders, "flood"), accounts_(wanted_) {
  std::string flood = "flood ";
  flood.resize(options_.floodSize, 'x');
  packet_ = BuildPacket(pidMessage, EncodeText(flood));
}

void Flooders::Start(Clock::time_point at) {
  startedAt_ = at;
  JoiningRole::Start(at);
}

bool Flooders::MayWrite(const PoolClient& /*flooder*/) const { return !run_.frozen(); }

void Flooders::Flood() {
  for (std::size_t k = 0; k < count_ && run_.phase == Phase::Send; ++k) Feed(client(k));
}

void Flooders::Feed(PoolClient& flooder) {
  if (flooder.stage != Stage::Registered) return;
  ChatConnection& connection = flooder.connection;
  WriteAccount& account = accounts_[flooder.slot];
  for (int k = 0; k < kMaxFloodPerTurn && connection.pendingOutput() == 0; ++k) {
    if (!connection.sendBytes(packet_)) return Lost(flooder, connection.error());
    account.ledger.Offered(connection.bytesWritten() + connection.pendingOutput());
  }
  account.AfterWrite(flooder, run_.frozen());
}

bool Flooders::Flushed(PoolClient& flooder) {
  Feed(flooder);
  accounts_[flooder.slot].AfterWrite(flooder, run_.frozen());
  return true;
}

// An answered ping may have pushed out queued text as well.
void Flooders::AfterPackets(PoolClient& flooder) {
  if (flooder.stage != Stage::Gone) accounts_[flooder.slot].AfterWrite(flooder, run_.frozen());
}

void Flooders::Freeze(Clock::time_point now) {
  for (std::size_t k = 0; k < count_; ++k) accounts_[k].Freeze(client(k).connection, now);
}

void Flooders::OnLost(PoolClient& flooder, const std::string& /*reason*/) {
  ++dropped_;
  accounts_[flooder.slot].hold.Observe(false, Clock::now());
  LetGo(flooder);
}

void Flooders::Report(BenchReport& report, Clock::time_point now) {
  report.flooders = options_.flooders;
  report.floodersDropped = dropped_;
  std::uint64_t bytes = 0;
  for (std::size_t k = 0; k < count_; ++k) {
    const ChatConnection& connection = client(k).connection;
    accounts_[k].ledger.Written(connection.bytesWritten());
    report.floodTextsSent += accounts_[k].ledger.sent();
    bytes += connection.bytesWritten();
    report.floodHeldBackSeconds += Seconds(accounts_[k].hold.Total(now));
  }
  if (options_.flooders > 0 && startedAt_) {
    const double flooding = Seconds(run_.frozenAt.value_or(now) - *startedAt_);
    if (flooding > 0) report.floodBytesPerSecond = static_cast<double>(bytes) / flooding;
  }
}

}  // namespace parlivo::bench
