#pragma once
// TextSenders: the first --senders well-behaved clients, which besides
// reading send --messages chat texts each, held to a window of texts not
// yet echoed back or to a rate. Each text starts with the marker
// "pb RUN SENDER SEQ SENDNS " and is padded to --size; with --big-text a
// sender's first text is that big and goes out in pieces. The senders
// keep what they offered, what their sockets took and how long the server
// held them back, and the latency of each echo.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bench_options.h"
#include "bench_report.h"
#include "client_pool.h"
#include "run_state.h"

namespace parlivo::bench {

class Role;

class TextSenders {
 public:
  // Losses go to `role`, the role of the well-behaved clients.
  TextSenders(const BenchOptions& options, const RunState& run, ClientPool& pool, Role& role, std::string marker);

  // The senders are the pool's `first` onwards.
  void Place(std::size_t first, std::size_t count);
  bool IsSender(std::size_t slot) const { return slot < senders_.size(); }
  // Sending starts at `at`; rate-limited senders spread their first texts
  // over one period.
  void Start(Clock::time_point at);
  // Every sender queues what its window or rate allows.
  void Send();
  // Sender `slot`'s socket took queued bytes; false when the connection
  // was lost on the way.
  bool Flushed(std::size_t slot);
  void AfterWrite(std::size_t slot);
  // Sender `slot` got back its own text, sent at `sentNs`.
  void Echoed(std::size_t slot, std::uint64_t sentNs);
  void Lost(std::size_t slot, Clock::time_point now);
  void Freeze(Clock::time_point now);
  // Sender `slot` has every text out, or is gone, or sending is over.
  bool Finished(std::size_t slot) const;
  // Texts whose every byte sender `slot`'s socket took.
  std::uint64_t SentBy(std::size_t slot) const { return senders_[slot].account.ledger.sent(); }
  // When the next rate-limited text is due, if one is.
  std::optional<Clock::time_point> NextSendAt() const;

  std::uint64_t offered() const { return offered_; }
  unsigned HeldNow() const;
  double HeldMs(Clock::time_point now) const;
  std::uint64_t TextsSent() const;
  // Every sender still connected had its socket take all its texts.
  bool AllSent() const;
  void Report(BenchReport& report, Clock::time_point now);

 private:
  struct Sender {
    std::uint32_t sent = 0;
    std::uint32_t echoed = 0;
    Clock::time_point nextSendAt;
    WriteAccount account;
    // The big text while it is written in pieces.
    std::optional<PacketStream> stream;
  };

  void SendFrom(std::size_t slot);
  bool FeedStream(Sender& sender, ChatConnection& connection);

  const BenchOptions& options_;
  const RunState& run_;
  ClientPool& pool_;
  Role& role_;
  std::string marker_;  // "pb RUN "
  std::size_t first_ = 0;
  std::vector<Sender> senders_;
  std::uint64_t offered_ = 0;
  std::vector<double> latenciesMs_;
};

}  // namespace parlivo::bench
