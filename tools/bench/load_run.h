#pragma once
// LoadRun: one parlivo-bench run against a chat server.
//
// All clients live in this one process on non-blocking sockets, driven by a
// single poll loop. The run goes through phases:
//   connect   clients connect --connect-batch at a time (or all at once); a
//             client counts as connected once the server's greeting (ID 12)
//             arrives;
//   register  every client registers (ID 11) and the answers are counted
//             (18 granted, 16 name in use, 17 access denied);
//   send      the first K clients send M chat messages each, limited by a
//             window of unanswered messages or by a rate; every client counts
//             the relayed messages it receives;
//   hold      (--connect-only) nothing but answering pings until the end.
// Misbehaving clients (--churn, --stalled, --burst, --stalled-pong,
// --half-bodies, --flooders) start with the send or hold phase and go on
// until the run ends: churners reset their connection and come back,
// stalled clients register and never read again (some still send pongs),
// half-body clients hold a text cut off half-way, flooders send as fast as
// their socket takes it, and the burst connects all at once. What the run
// counts is still what the well-behaved clients receive; a well-behaved or
// burst client that is cut off means the server did not stay online.
// A well-behaved client cut off while chatting is counted and the run goes
// on with the others, so that a report can tell how many were dropped.
// Sending stops a little before the hard stop (up to 5 s), and senders then
// write nothing more. The server relays every text to every client, its
// sender included, and queues all copies at once, so a text is accepted
// once its sender received its echo; an accepted text that a client which
// kept reading never received is lost. A text sent but not accepted by the
// end may still sit in socket buffers of a sender the server slowed: it is
// in flight, not lost.
// The run ends when every sent text was accepted and reached every client
// still reading (and, without --slow-ok, every message was sent), when
// after sending stopped nothing arrives at those clients for a few seconds,
// when no well-behaved client is left, or at the hard stop, whichever comes
// first. Then every client leaves in an orderly way (see LeaveAll); the
// last part of --duration is kept for that, so the whole run ends within
// --duration.
//
// Every message text starts with a marker "pb RUN SENDER SEQ SENDNS " and is
// padded to the asked size. RUN is random per run, so relays of another run
// on the same server are not counted. A receiver counts a message when its
// sequence number is past the last one it saw from that sender (the relay
// keeps each sender's order); the sender's own copy gives the latency.

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench_options.h"
#include "bench_report.h"
#include "client/chat_connection.h"
#include "flow_accounting.h"
#include "tls/tls_identity.h"

namespace parlivo::bench {

// Exit statuses; the usage text lists them too.
enum ExitStatus : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitCannotConnect = 3 };

class LoadRun {
 public:
  explicit LoadRun(BenchOptions options);
  // Runs to the end; never throws for network trouble (that is in the report).
  BenchReport Run();

 private:
  using Clock = std::chrono::steady_clock;
  enum class Phase { Connect, Register, Send, Hold, Done };
  enum class Stage { Idle, Connecting, AwaitGreeting, Greeted, Registering, Registered, Refused, Silent, Gone };
  enum class Role { WellBehaved, Stalled, Churner, Burst, StalledPong, HalfBody, Flooder };

  struct Client {
    ChatConnection connection;
    Role role = Role::WellBehaved;
    Stage stage = Stage::Idle;
    std::string nick;
    std::string room;
    Clock::time_point greetingDeadline;
    Clock::time_point resetAt;  // a churner's next reset
    // As a sender.
    std::uint32_t sent = 0;
    std::uint32_t echoed = 0;
    Clock::time_point nextSendAt;
    SendLedger ledger;  // a sender's or flooder's texts: offered and sent
    HoldClock hold;     // while its socket does not take its bytes
    // A packet written in pieces (a big text, a half-sent body), and for a
    // half body when its half was out.
    std::optional<PacketStream> stream;
    std::optional<Clock::time_point> halfSentAt;
    Clock::time_point nextPongAt;  // a stalled client that still pongs
    // As a receiver: the next sequence number expected from each sender,
    // how many texts arrived from each, and the texts it skipped. A
    // sender's own nextSeq entry tells which of its texts were accepted.
    std::vector<std::uint32_t> nextSeq;
    std::vector<std::uint32_t> received;
    std::vector<SkippedTexts> skipped;
    std::optional<ReadBudget> readBudget;  // with --read-rate
  };

  void Advance();
  void AdvanceConnect();
  void AdvanceRegister();
  void AdvanceSend();
  void SendFrom(std::uint32_t sender);
  // Queues the next pieces of a client's packet stream; false when the
  // connection failed.
  bool FeedStream(Client& client);
  void FeedFlood(std::size_t index);
  // Brings a sender's or flooder's ledger and hold clock up to date after
  // its socket took bytes.
  void AfterWrite(Client& client);
  bool Writes(std::size_t index) const;
  void Freeze();
  bool Complete() const;
  // Sent, accepted and lost texts so far (see DeliveryTally).
  DeliveryTally Tally() const;
  void WriteTimeline();
  void PollOnce();
  int PollTimeoutMs() const;
  void HandleEvents(std::size_t index, short revents);
  void HandlePacket(std::size_t index, const ReceivedPacket& packet);
  void HandleChat(std::size_t index, const std::string& payload);
  void Connected(std::size_t index);
  // Misbehaving clients.
  void StartExtras();
  void StartMeasuring();
  void AdvanceExtras();
  void StartConnect(std::size_t index);
  void HandleExtraPacket(std::size_t index, const ReceivedPacket& packet);
  void ExtraLost(std::size_t index, const std::string& reason);
  void ConnectFailed(std::size_t index, const std::string& reason);
  void Lost(std::size_t index, const std::string& reason);
  void OnDeadline();
  void Stop(int exitStatus, std::string error);
  void Progress();
  void LeaveAll();
  BenchReport Finish();

  BenchOptions options_;
  std::string marker_;  // "pb RUN "
  Endpoint address_{};
  std::shared_ptr<TlsContext> tlsContext_;  // with --tls: one for every client
  std::vector<Client> clients_;
  Phase phase_ = Phase::Connect;
  Clock::time_point start_;
  Clock::time_point deadline_;  // when the phases stop
  std::optional<Clock::time_point> connectedAt_;   // every client greeted
  std::optional<Clock::time_point> registeredAt_;  // every registration answered
  Clock::time_point end_;       // when leaving must be over: start + --duration
  Clock::time_point nextProgress_;
  Clock::time_point sendStart_;
  Clock::time_point sendEnd_;  // senders write nothing after this (the drain)
  std::optional<Clock::time_point> frozenAt_;
  Clock::time_point lastDelivery_;
  Clock::time_point lastArrival_;  // bytes last arrived at a well-behaved client
  std::size_t nextToConnect_ = 0;
  std::size_t inFlight_ = 0;  // connecting or waiting for the greeting
  std::uint32_t connected_ = 0;
  std::uint32_t answered_ = 0;
  std::uint32_t registered_ = 0;
  std::uint32_t nameInUse_ = 0;
  std::uint32_t accessDenied_ = 0;
  std::uint32_t connectionsLost_ = 0;
  std::uint64_t churnResets_ = 0;
  std::uint64_t churnRejoins_ = 0;
  std::uint32_t stalledDropped_ = 0;
  std::uint32_t burstGreeted_ = 0;
  std::uint32_t burstLost_ = 0;
  std::uint32_t stalledPongDropped_ = 0;
  std::uint32_t halfBodiesDropped_ = 0;
  double halfBodyDropSecondsSum_ = 0;
  std::uint32_t floodersDropped_ = 0;
  std::string floodPacket_;  // one flood text, ready to send
  // Deliveries to well-behaved clients not cut off (deliveries_ counts all).
  std::uint64_t keptDeliveries_ = 0;
  std::string firstLoss_;  // why the first well-behaved client was cut off
  std::FILE* timeline_ = nullptr;
  Clock::time_point nextTimeline_;
  double lastHeldMs_ = 0;
  Clock::time_point extrasStart_;
  // CPU use at the start of the send (or hold) phase.
  Clock::time_point measureStart_;
  std::optional<double> serverCpuAtStart_;
  double benchCpuAtStart_ = 0;
  std::optional<Clock::time_point> burstGreetedAt_;
  std::uint64_t messagesSent_ = 0;
  std::uint64_t deliveries_ = 0;
  std::uint64_t outOfOrder_ = 0;
  std::vector<double> latenciesMs_;
  std::vector<pollfd> pollSet_;
  std::vector<std::size_t> pollClients_;
  int exitStatus_ = kExitOk;
  std::string error_;
};

}  // namespace parlivo::bench
