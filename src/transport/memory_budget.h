#pragma once
// MemoryBudget: the memory the server may hold for its clients, all
// together: output queued for every connection and the partial packets
// received so far. One budget, not one per client: a thousand queues under
// their own caps could still hold gigabytes.
//
//   0 ........ lowWater ........ highWater ........ inputCeiling .... limit
//              (limit/4)         (limit/2)          (limit*3/4)
//
// Output: once queued output passes the high-water mark the server holds
// senders back (stops reading them, so TCP slows them) until it falls to
// the low-water mark. Input: bytes are read only while queued output and
// partial input together stay under the input ceiling; the rest of the
// limit is headroom for what one last packet's relay adds. A large packet
// reserves its whole announced size before its body is read, and all such
// reservations together stay within half the limit: a client that
// announces 16 MiB and stops half-way holds what it reserved, not more, and
// clients that wait for a reservation are not the ones stalling. The
// counts are kept by the owners of the bytes (the send queues, the server's
// receive path), which report every change.

#include <cstddef>

namespace parlivo {

class MemoryBudget {
 public:
  static constexpr std::size_t kDefaultLimit = std::size_t{256} << 20;  // 256 MiB

  explicit MemoryBudget(std::size_t limit = kDefaultLimit) : limit_(limit) {}

  std::size_t limit() const { return limit_; }
  void setLimit(std::size_t limit) { limit_ = limit; }
  std::size_t highWater() const { return limit_ / 2; }
  std::size_t lowWater() const { return limit_ / 4; }
  std::size_t inputCeiling() const { return limit_ / 4 * 3; }

  std::size_t output() const { return output_; }
  std::size_t input() const { return input_; }
  std::size_t used() const { return output_ + input_; }

  void addOutput(std::size_t bytes) { output_ += bytes; }
  void removeOutput(std::size_t bytes) { output_ -= bytes < output_ ? bytes : output_; }
  void addInput(std::size_t bytes) { input_ += bytes; }
  void removeInput(std::size_t bytes) { input_ -= bytes < input_ ? bytes : input_; }

  // Whether senders are to be held back, with the marks' hysteresis: starts
  // above the high-water mark, ends at or below the low-water mark.
  bool holdingSenders() const { return holding_; }
  // Re-evaluates holdingSenders; true when it changed.
  bool update() {
    const bool holding = holding_ ? output_ > lowWater() : output_ > highWater();
    if (holding == holding_) return false;
    holding_ = holding;
    return true;
  }
  // Whether `more` bytes of partial input still fit.
  bool inputFits(std::size_t more) const { return used() + more <= inputCeiling(); }
  // Whether a reservation of `more` bytes for a large packet still fits.
  bool reservationFits(std::size_t more) const { return input_ + more <= highWater() && inputFits(more); }

 private:
  std::size_t limit_;
  std::size_t output_ = 0;
  std::size_t input_ = 0;
  bool holding_ = false;
};

}  // namespace parlivo
