#include "text_senders.h"

#include <algorithm>

#include "role.h"
#include "transport/packet_ids.h"

namespace parlivo::bench {
namespace {

// A sender stops adding messages while this much waits unsent in its queue.
constexpr std::size_t kMaxQueuedBytes = 4 * 1024 * 1024;

std::uint64_t NowNs() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

}  // namespace

TextSenders::TextSenders(const BenchOptions& options, const RunState& run, ClientPool& pool, Role& role,
                         std::string marker)
    : options_(options), run_(run), pool_(pool), role_(role), marker_(std::move(marker)) {}

void TextSenders::Place(std::size_t first, std::size_t count) {
  first_ = first;
  senders_.resize(count);
}

void TextSenders::Start(Clock::time_point at) {
  for (std::size_t s = 0; s < senders_.size(); ++s) {
    const double offset = options_.rate > 0 ? static_cast<double>(s) / options_.senders / options_.rate : 0;
    senders_[s].nextSendAt = at + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(offset));
  }
}

void TextSenders::Send() {
  for (std::size_t s = 0; s < senders_.size() && run_.phase == Phase::Send; ++s) SendFrom(s);
}

void TextSenders::SendFrom(std::size_t slot) {
  Sender& sender = senders_[slot];
  PoolClient& client = pool_[first_ + slot];
  if (client.stage == Stage::Gone) return;
  ChatConnection& connection = client.connection;
  const double interval = options_.rate > 0 ? 1.0 / options_.rate : 0;
  while (sender.sent < options_.messages && connection.pendingOutput() < kMaxQueuedBytes) {
    if (sender.stream) {
      if (!FeedStream(sender, connection)) return role_.Lost(client, connection.error());
      if (sender.stream) break;  // the rest goes out as the socket takes it
    }
    const auto now = Clock::now();
    if (options_.rate > 0 ? now < sender.nextSendAt : sender.sent - sender.echoed >= options_.window) break;
    std::string text = marker_ + std::to_string(slot) + " " + std::to_string(sender.sent) + " " +
                       std::to_string(NowNs()) + " ";
    if (options_.bigText > 0 && sender.sent == 0) {
      sender.stream = PacketStream::ChatText(text, options_.bigText);
      sender.account.ledger.Offered(connection.bytesWritten() + connection.pendingOutput() + sender.stream->length());
      connection.answerPings = false;
      if (!FeedStream(sender, connection)) return role_.Lost(client, connection.error());
    } else {
      text.resize(std::max<std::size_t>(text.size(), options_.size), 'x');
      if (!connection.sendChat(text)) return role_.Lost(client, connection.error());
      sender.account.ledger.Offered(connection.bytesWritten() + connection.pendingOutput());
    }
    ++sender.sent;
    ++offered_;
    if (options_.rate > 0) {
      sender.nextSendAt += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));
    }
  }
  AfterWrite(slot);
}

bool TextSenders::FeedStream(Sender& sender, ChatConnection& connection) {
  if (!sender.stream) return true;
  bool finished = false;
  if (!QueueStream(connection, *sender.stream, finished)) return false;
  if (!finished) return true;
  sender.stream.reset();
  // Pings were not answered while the packet was only partly queued (a
  // pong would have landed inside it); one answer now covers them.
  connection.answerPings = true;
  return connection.send(pidPong, {});
}

bool TextSenders::Flushed(std::size_t slot) {
  PoolClient& client = pool_[first_ + slot];
  if (!FeedStream(senders_[slot], client.connection)) {
    role_.Lost(client, client.connection.error());
    return false;
  }
  AfterWrite(slot);
  return true;
}

void TextSenders::AfterWrite(std::size_t slot) { senders_[slot].account.AfterWrite(pool_[first_ + slot], run_.frozen()); }

void TextSenders::Echoed(std::size_t slot, std::uint64_t sentNs) {
  ++senders_[slot].echoed;
  const std::uint64_t nowNs = NowNs();
  latenciesMs_.push_back(nowNs > sentNs ? static_cast<double>(nowNs - sentNs) / 1e6 : 0.0);
}

void TextSenders::Lost(std::size_t slot, Clock::time_point now) { senders_[slot].account.hold.Observe(false, now); }

void TextSenders::Freeze(Clock::time_point now) {
  for (std::size_t s = 0; s < senders_.size(); ++s) senders_[s].account.Freeze(pool_[first_ + s].connection, now);
}

bool TextSenders::Finished(std::size_t slot) const {
  const Sender& sender = senders_[slot];
  const PoolClient& client = pool_[first_ + slot];
  return client.stage == Stage::Gone || run_.frozen() ||
         (sender.sent >= options_.messages && !sender.stream && client.connection.pendingOutput() == 0);
}

std::optional<Clock::time_point> TextSenders::NextSendAt() const {
  std::optional<Clock::time_point> next;
  if (options_.rate <= 0) return next;
  for (const Sender& sender : senders_) {
    if (sender.sent < options_.messages) next = std::min(next.value_or(sender.nextSendAt), sender.nextSendAt);
  }
  return next;
}

unsigned TextSenders::HeldNow() const {
  unsigned held = 0;
  for (const Sender& sender : senders_) held += sender.account.hold.held() ? 1 : 0;
  return held;
}

double TextSenders::HeldMs(Clock::time_point now) const {
  double heldMs = 0;
  for (const Sender& sender : senders_) {
    heldMs += std::chrono::duration<double, std::milli>(sender.account.hold.Total(now)).count();
  }
  return heldMs;
}

std::uint64_t TextSenders::TextsSent() const {
  std::uint64_t sent = 0;
  for (const Sender& sender : senders_) sent += sender.account.ledger.sent();
  return sent;
}

bool TextSenders::AllSent() const {
  for (std::size_t s = 0; s < senders_.size(); ++s) {
    if (pool_[first_ + s].stage != Stage::Gone && senders_[s].account.ledger.sent() < options_.messages) return false;
  }
  return true;
}

void TextSenders::Report(BenchReport& report, Clock::time_point now) {
  report.senders = options_.senders;
  report.messagesPerSender = options_.messages;
  report.size = options_.size;
  report.bigText = options_.bigText;
  report.messagesSent = offered_;
  for (std::size_t s = 0; s < senders_.size(); ++s) {
    WriteAccount& account = senders_[s].account;
    account.ledger.Written(pool_[first_ + s].connection.bytesWritten());
    const double held = Seconds(account.hold.Total(now));
    report.heldBackSeconds += held;
    report.heldBackMaxSeconds = std::max(report.heldBackMaxSeconds, held);
    report.sendersHeldBack += account.hold.everHeld() ? 1 : 0;
  }
  report.latency = SummarizeLatency(latenciesMs_);
}

}  // namespace parlivo::bench
