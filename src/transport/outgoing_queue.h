#pragma once
// OutgoingQueue: the bytes a connection has queued for its socket.
//
//   storage:  [ sent front | waiting bytes ............ ]
//             0            position()                  size()
//
// Packets are appended at the end; a send consumes bytes at the front by
// moving the position. The sent front is dropped when everything has gone
// out, or once it is at least kCompactFront bytes and at least half of the
// storage: the waiting bytes are then moved down once. Every byte is
// therefore moved at most once more than it is sent, however the socket
// splits the queue: sending costs O(bytes sent), not O(bytes waiting) per
// send.
//
// The cap bounds the waiting bytes. A packet that would take them past it is
// refused whole and nothing is queued; deciding what to do with a peer that
// reads too slowly is the owner's business. The default is twice the largest
// packet a peer may announce, so one full-size packet always fits behind a
// backlog of the same size.
//
// A queue may report its waiting bytes to a MemoryBudget (setBudget): every
// byte appended is added to the budget's output and every byte sent or
// dropped taken off again, the last ones when the queue is destroyed.

#include <cstddef>
#include <string>
#include <string_view>

#include "transport/memory_budget.h"
#include "transport/packet_framing.h"

namespace parlivo {

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
    if (budget_ != nullptr) budget_->removeOutput(remaining());
  }
  OutgoingQueue(const OutgoingQueue&) = delete;
  OutgoingQueue& operator=(const OutgoingQueue&) = delete;

  // Reports the waiting bytes, from now on, to `budget` (null: to none).
  void setBudget(MemoryBudget* budget) {
    if (budget_ != nullptr) budget_->removeOutput(remaining());
    budget_ = budget;
    if (budget_ != nullptr) budget_->addOutput(remaining());
  }

  // Bytes waiting to be sent.
  std::size_t remaining() const { return bytes_.size() - position_; }
  std::string_view waiting() const { return std::string_view(bytes_).substr(position_); }
  // The storage as a whole, sent front included (for tests and accounting).
  std::size_t size() const { return bytes_.size(); }
  std::size_t position() const { return position_; }
  bool empty() const { return bytes_.empty(); }

  std::size_t cap() const { return cap_; }
  void setCap(std::size_t cap) { cap_ = cap; }
  // Whether `bytes` more would still be within the cap.
  bool fits(std::size_t bytes) const { return bytes <= cap_ && remaining() <= cap_ - bytes; }

  // Appends the packet's header and payload (see AppendPacket). Returns false,
  // queuing nothing, when the waiting bytes would pass the cap.
  bool append(const OutgoingPacket& packet);
  // Appends raw bytes; false, queuing nothing, past the cap.
  bool append(std::string_view bytes);
  // Marks `count` waiting bytes as sent and drops the sent front when the
  // rule above says so.
  void consume(std::size_t count);
  // Drops everything and gives the memory back.
  void release();
  // Gives back storage above kIdleCapacity while nothing waits, so that
  // thousands of quiet connections do not each keep the memory of their
  // last burst (a long roster, say). Meant to run now and then, not per send.
  void trimIdle() {
    if (remaining() == 0 && bytes_.capacity() > kIdleCapacity) release();
  }

 private:
  std::string bytes_;
  std::size_t position_ = 0;
  std::size_t cap_;
  MemoryBudget* budget_ = nullptr;
};

}  // namespace parlivo
