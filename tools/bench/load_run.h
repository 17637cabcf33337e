#pragma once
// LoadRun: one parlivo-bench run against a chat server, through its phases.
//
// Every client lives in this one process (client_pool.h) and plays one
// role: the well-behaved clients whose experience is measured
// (well_behaved.h, text_senders.h) and those that misbehave on request
// (misbehaving_roles.h). The run goes through phases:
//   connect   the well-behaved clients connect --connect-batch at a time
//             (or all at once); a client counts as connected once the
//             server's greeting (ID 12) arrives;
//   register  every one of them registers (ID 11) and the answers are
//             counted (18 granted, 16 name in use, 17 access denied);
//   send      the first K clients send M chat messages each, limited by a
//             window of unanswered messages or by a rate; every client
//             counts the relayed messages it receives;
//   hold      (--connect-only) nothing but answering pings until the end.
// The misbehaving clients start with the send or hold phase and go on
// until the run ends.
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
// first. Then every client leaves in an orderly way (see
// ClientPool::LeaveAll); the last part of --duration is kept for that, so
// the whole run ends within --duration.
//
// Every message text starts with a marker "pb RUN SENDER SEQ SENDNS " and is
// padded to the asked size. RUN is random per run, so relays of another run
// on the same server are not counted.

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "bench_options.h"
#include "bench_report.h"
#include "client_pool.h"
#include "misbehaving_roles.h"
#include "run_state.h"
#include "well_behaved.h"

namespace parlivo::bench {

class LoadRun {
 public:
  explicit LoadRun(BenchOptions options);
  // Runs to the end; never throws for network trouble (that is in the report).
  BenchReport Run();

 private:
  void Advance();
  void AdvanceConnect();
  void AdvanceRegister();
  void AdvanceSend();
  void AdvanceMisbehaving();
  void Freeze();
  bool Complete() const;
  void StartMeasuring();
  void OnDeadline();
  int PollTimeoutMs() const;
  void Progress();
  void WriteTimeline();
  BenchReport Finish();

  BenchOptions options_;
  RunState run_;
  ClientPool pool_{run_};
  WellBehavedClients chat_;
  StalledReaders stalled_{options_, run_, pool_};
  Churners churners_{options_, run_, pool_};
  BurstClients burst_{options_, run_, pool_};
  StalledPongers pongers_{options_, run_, pool_};
  HalfBodies halfBodies_{options_, run_, pool_};
  Flooders flooders_{options_, run_, pool_};
  // The misbehaving roles in the order their clients follow the
  // well-behaved ones in the pool.
  std::vector<MisbehavingRole*> misbehaving_;
  Clock::time_point start_;
  Clock::time_point deadline_;  // when the phases stop
  Clock::time_point end_;       // when leaving must be over: start + --duration
  Clock::time_point sendEnd_;   // senders write nothing after this (the drain)
  std::optional<Clock::time_point> connectedAt_;  // every client greeted
  Clock::time_point nextProgress_;
  std::FILE* timeline_ = nullptr;
  Clock::time_point nextTimeline_;
  double lastHeldMs_ = 0;
  // CPU use at the start of the send (or hold) phase.
  Clock::time_point measureStart_;
  std::optional<double> serverCpuAtStart_;
  double benchCpuAtStart_ = 0;
};

}  // namespace parlivo::bench
