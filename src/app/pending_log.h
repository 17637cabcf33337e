#pragma once
// PendingLog: the printed log lines that the output has not taken yet, held
// within a fixed number of bytes.
//
// While the output takes what it is given, this stays nearly empty. While
// nobody reads it (a paused terminal, a pager left alone), lines collect
// here up to the capacity; beyond it new lines are dropped, whole, and
// counted. Once the output has taken enough to make room, one line saying
// how many were dropped goes in before any later line, so the reader knows
// where the gap is.
//
// Pure bytes: no descriptor, no clock.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace parlivo {

class PendingLog {
 public:
  // What the log of an unread output may hold.
  static constexpr std::size_t kDefaultCapacity = 1 << 20;

  explicit PendingLog(std::size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

  // Adds `line` and a newline, or drops it when it does not fit, or when
  // lines were dropped and the output has not made room since (no line may
  // come before the one about them).
  void Append(std::string_view line);
  // What waits to be written, oldest first.
  std::string_view Front() const { return std::string_view(buffer_).substr(start_); }
  // The output took the first `bytes` of Front(); the line about dropped
  // lines goes in now if it fits.
  void Consume(std::size_t bytes);
  bool Empty() const { return start_ == buffer_.size(); }
  std::size_t Size() const { return buffer_.size() - start_; }
  // The bytes held, written ones not yet moved out included: what the log
  // costs in memory, less than twice the capacity.
  std::size_t Held() const { return buffer_.size(); }
  // Lines dropped that no line in the buffer reports yet.
  std::uint64_t Dropped() const { return dropped_; }

 private:
  bool Fits(std::size_t bytes) const { return Size() + bytes <= capacity_; }
  // Puts the line about the drops in when it fits.
  void ReportDrops();

  std::size_t capacity_;
  std::string buffer_;
  std::size_t start_ = 0;  // bytes at the front already written
  std::uint64_t dropped_ = 0;
};

// "37 log lines dropped: the output was not being read".
std::string DroppedLinesNotice(std::uint64_t count);

}  // namespace parlivo
