#pragma once
// NoticeThrottle: lets a kind of operator notice through at most once per
// interval and counts the occurrences it held back, so that the next notice
// can say how many there were. A flood of failed accepts or refused
// connections then costs the log one line a second, not one per event.

#include <cstdint>

namespace parlivo {

class NoticeThrottle {
 public:
  explicit NoticeThrottle(std::int64_t intervalMs = 1000) : intervalMs_(intervalMs) {}

  // Records one occurrence at `nowMs`; true when it is to be told now.
  // Occurrences not told are counted in `unsaid` until the next one that is.
  bool due(std::int64_t nowMs) {
    ++pending_;
    if (lastMs_ >= 0 && nowMs - lastMs_ < intervalMs_) return false;
    lastMs_ = nowMs;
    unsaid_ = pending_ - 1;
    pending_ = 0;
    return true;
  }
  // The occurrences held back before the one just told.
  int unsaid() const { return unsaid_; }

 private:
  std::int64_t intervalMs_;
  std::int64_t lastMs_ = -1;
  int pending_ = 0;
  int unsaid_ = 0;
};

}  // namespace parlivo
