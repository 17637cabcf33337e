#pragma once
// The bookkeeping that tells a slowed sender from a lost text, apart from
// sockets and the poll loop so that it can be checked on its own:
//   SendLedger    which of a sender's texts the socket took entirely (sent)
//                 and which it still holds back (offered only);
//   HoldClock     how long a sender had bytes it could not write;
//   ReadBudget    a token bucket for readers that read at a limited rate;
//   DeliveryTally which sent texts the server accepted (their sender got
//                 its echo), which were still in flight at the end, and
//                 which accepted ones a reader that kept reading never got;
//   PacketStream  a packet written in pieces, so that a text of many MiB
//                 never sits whole in the tool's memory, and can be cut off
//                 half-way on purpose.

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace parlivo::bench {

using FlowClock = std::chrono::steady_clock;

class SendLedger {
 public:
  // A text was queued; its last byte is byte `endOffset` of everything ever
  // queued on the connection (bytesWritten() + pendingOutput() right after).
  void Offered(std::uint64_t endOffset);
  // The socket has taken `written` bytes in all: every text that ends by
  // then counts as sent.
  void Written(std::uint64_t written);
  std::uint64_t offered() const { return offered_; }
  std::uint64_t sent() const { return sent_; }

 private:
  std::deque<std::uint64_t> unsentEnds_;
  std::uint64_t offered_ = 0;
  std::uint64_t sent_ = 0;
};

// Adds up the stretches during which a sender was held back.
class HoldClock {
 public:
  void Observe(bool held, FlowClock::time_point now);
  // Held-back time so far, the running stretch included.
  FlowClock::duration Total(FlowClock::time_point now) const;
  bool held() const { return held_; }
  bool everHeld() const { return everHeld_; }

 private:
  bool held_ = false;
  bool everHeld_ = false;
  FlowClock::time_point since_{};
  FlowClock::duration total_{};
};

// Lets a reader take `bytesPerSecond` on average, in portions of at most a
// tenth of a second's worth (64 KiB at least, so that a packet header and a
// short text always fit).
class ReadBudget {
 public:
  ReadBudget(double bytesPerSecond, FlowClock::time_point start);
  // Bytes the reader may take now.
  std::size_t Available(FlowClock::time_point now);
  void Spend(std::size_t bytes);
  std::size_t capacity() const { return static_cast<std::size_t>(capacity_); }

 private:
  double rate_;
  double capacity_;
  double tokens_;
  FlowClock::time_point last_;
};

// Texts of one sender that a reader skipped: numbers `from` to `to` - 1
// had not arrived when `to` did. The relay keeps each sender's order, so
// they never will.
struct SkippedTexts {
  std::uint32_t sender = 0;
  std::uint32_t from = 0;
  std::uint32_t to = 0;
};

// Deliveries a reader that kept reading did not get: for each sender, the
// texts it accepted (numbered below acceptedBySender[s]) that the reader
// neither received nor is still to receive. The reader has every text
// below nextFromSender[s] (one past the last it received) except those it
// skipped.
std::uint64_t MissingDeliveries(const std::vector<std::uint32_t>& acceptedBySender,
                                const std::vector<std::uint32_t>& nextFromSender,
                                const std::vector<SkippedTexts>& skipped);

// The server relays every text to every client, its sender included, and
// queues all copies at once: a text is accepted once its sender received
// its echo (or the echo of a later text of its, the order being kept).
// A sent text not accepted by the end is in flight (it may still sit in
// socket buffers), not lost; an accepted one that a reader which kept
// reading never got is lost. Add every sender before the first reader.
class DeliveryTally {
 public:
  // A sender whose socket took `sent` texts and which received the echo of
  // every text below `echoedUpTo` that was going to come back.
  void AddSender(std::uint64_t sent, std::uint32_t echoedUpTo);
  // A reader that kept reading to the end.
  void AddReader(const std::vector<std::uint32_t>& nextFromSender, const std::vector<SkippedTexts>& skipped);

  std::uint64_t sent() const { return sent_; }
  std::uint64_t accepted() const { return accepted_; }
  std::uint64_t inFlight() const { return sent_ - accepted_; }
  std::uint32_t readers() const { return readers_; }
  std::uint64_t due() const { return accepted_ * readers_; }
  std::uint64_t lost() const { return lost_; }

 private:
  std::vector<std::uint32_t> acceptedBySender_;
  std::uint64_t sent_ = 0;
  std::uint64_t accepted_ = 0;
  std::uint32_t readers_ = 0;
  std::uint64_t lost_ = 0;
};

class PacketStream {
 public:
  PacketStream() = default;
  // A chat packet (ID 8) whose text is `marker` padded with 'x' to `textBytes`
  // (rounded up to whole groups of 4): the same bytes as
  // BuildPacket(pidMessage, EncodeText(text)).
  static PacketStream ChatText(std::string_view marker, std::uint32_t textBytes);
  // A chat packet announcing `packetSize` bytes of which only the header
  // and half the payload are ever written.
  static PacketStream HalfBody(std::uint32_t packetSize);

  // The next piece, at most `most` bytes; empty once everything is out.
  std::string Next(std::size_t most);
  bool done() const { return produced_ >= stopAt_; }
  // Bytes this stream writes in all, and the packet's announced size.
  std::uint64_t length() const { return stopAt_; }
  std::uint64_t packetSize() const { return packetSize_; }

 private:
  std::string head_;   // header and the encoded start of the text
  std::string group_;  // the encoded filler group that repeats to the end
  std::uint64_t packetSize_ = 0;
  std::uint64_t stopAt_ = 0;
  std::uint64_t produced_ = 0;
};

}  // namespace parlivo::bench
