#pragma once
// OutgoingQueue: the bytes a connection has queued for its socket.
//
// The queue is a list of segments, sent front first. A segment either owns
// its bytes or refers to a shared, immutable packet: a large packet relayed
// to many connections (a big chat text) exists once in memory, not once per
// recipient. Small packets are appended to the owned segment at the end, so
// an ordinary queue is one contiguous buffer:
//
//   owned segment:  [ sent front | waiting bytes ............ ]
//                   0            position()                  size()
//
// A send consumes bytes at the front by moving the position. The sent front
// of the owned segment is dropped when everything has gone out, or once it
// is at least kCompactFront bytes and at least half of the storage: the
// waiting bytes are then moved down once. Every byte is therefore moved at
// most once more than it is sent, however the socket splits the queue:
// sending costs O(bytes sent), not O(bytes waiting) per send.
//
// The cap bounds the waiting bytes. A packet that would take them past it is
// refused whole and nothing is queued; deciding what to do with a peer that
// reads too slowly is the owner's business. The default is twice the largest
// packet a peer may announce, so one full-size packet always fits behind a
// backlog of the same size.
//
// A queue may report its waiting bytes to a MemoryBudget (setBudget): every
// owned byte appended is added to the budget's output and every byte sent or
// dropped taken off again, the last ones when the queue is destroyed. A
// shared packet counts once, however many queues hold it: from the moment
// the first queue with a budget takes it until the last holder lets it go.
// The budget then measures the memory really held, so a large text relayed
// to a hundred readers weighs one text, not a hundred. The cap, by
// contrast, is each queue's own view: a shared packet fills it in full.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "transport/memory_budget.h"
#include "transport/packet_framing.h"

namespace parlivo {

// A whole packet's wire bytes (header and payload), made once and queued
// for any number of connections. It counts against one memory budget, the
// first one a queue charges it to, until it is freed.
class SharedPacketBytes {
 public:
  explicit SharedPacketBytes(std::string wire) : wire_(std::move(wire)) {}
  ~SharedPacketBytes() {
    if (budget_ != nullptr) budget_->removeOutput(wire_.size());
  }
  SharedPacketBytes(const SharedPacketBytes&) = delete;
  SharedPacketBytes& operator=(const SharedPacketBytes&) = delete;

  const std::string& wire() const { return wire_; }
  // Counts the bytes in `budget`, unless a budget counts them already.
  void chargeTo(MemoryBudget* budget) const {
    if (budget_ != nullptr || budget == nullptr) return;
    budget_ = budget;
    budget_->addOutput(wire_.size());
  }

 private:
  std::string wire_;
  mutable MemoryBudget* budget_ = nullptr;
};
using SharedPacket = std::shared_ptr<const SharedPacketBytes>;
SharedPacket MakeSharedPacket(const OutgoingPacket& packet);

class OutgoingQueue {
 public:
  static constexpr std::size_t kDefaultCap = 2 * static_cast<std::size_t>(kMaxPacketSize);  // 32 MiB
  static constexpr std::size_t kCompactFront = 16384;
  // Storage a drained queue keeps for the next pass: a busy connection does
  // not allocate and copy its way up again every time. More than this (the
  // queue of a big message) is given back at once.
  static constexpr std::size_t kKeepCapacity = 64 * 1024;
  // Storage an idle queue keeps (see trimIdle).
  static constexpr std::size_t kIdleCapacity = 4096;

  explicit OutgoingQueue(std::size_t cap = kDefaultCap) : cap_(cap) {}
  ~OutgoingQueue() {
    if (budget_ != nullptr) budget_->removeOutput(ownedRemaining_);
  }
  OutgoingQueue(const OutgoingQueue&) = delete;
  OutgoingQueue& operator=(const OutgoingQueue&) = delete;

  // Reports the queue's bytes, from now on, to `budget`. Set once, on an
  // empty queue (a new connection's).
  void setBudget(MemoryBudget* budget) { budget_ = budget; }

  // Bytes waiting to be sent.
  std::size_t remaining() const { return remaining_; }
  // The waiting bytes of the front segment: what one send can take.
  std::string_view waiting() const;
  // The front segment's storage, sent front included, and its position
  // (for tests and accounting).
  std::size_t size() const;
  std::size_t position() const;

  std::size_t cap() const { return cap_; }
  void setCap(std::size_t cap) { cap_ = cap; }
  // Whether `bytes` more would still be within the cap.
  bool fits(std::size_t bytes) const { return bytes <= cap_ && remaining_ <= cap_ - bytes; }

  // Appends the packet's header and payload (see AppendPacket). Returns false,
  // queuing nothing, when the waiting bytes would pass the cap.
  bool append(const OutgoingPacket& packet);
  // Appends raw bytes; false, queuing nothing, past the cap.
  bool append(std::string_view bytes);
  // Queues a shared packet without copying it; false, queuing nothing, past the cap.
  bool append(const SharedPacket& packet);
  // Marks `count` waiting bytes of the front segment as sent and drops what
  // the rule above says.
  void consume(std::size_t count);
  // Drops everything and gives the memory back.
  void release();
  // Gives back storage above kIdleCapacity while nothing waits, so that
  // thousands of quiet connections do not each keep the memory of their
  // last burst (a long roster, say). Meant to run now and then, not per send.
  void trimIdle() {
    if (remaining_ == 0 && capacity() > kIdleCapacity) release();
  }

 private:
  struct Segment {
    std::string owned;
    SharedPacket shared;
    std::size_t position = 0;
    std::string_view bytes() const { return shared ? std::string_view(shared->wire()) : std::string_view(owned); }
  };
  // The owned segment at the end to append small packets to.
  std::string& tail();
  std::size_t capacity() const;
  void addedOwned(std::size_t bytes);

  std::vector<Segment> segments_;
  std::size_t head_ = 0;  // first segment not yet sent entirely
  std::size_t remaining_ = 0;
  // The waiting bytes of owned segments: what this queue counts in its budget.
  std::size_t ownedRemaining_ = 0;
  std::size_t cap_;
  MemoryBudget* budget_ = nullptr;
};

}  // namespace parlivo
