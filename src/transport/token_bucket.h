#pragma once
// TokenBucket: how much a client may send, in bytes or in packets.
//
// The bucket fills at `perSecond` tokens a second up to `burst`. Taking may
// drive it below zero (a packet larger than what is left still goes through
// whole); the sender then waits until the debt is paid back. The server
// reads from a client only while its buckets hold tokens, so a client over
// its budget is slowed by TCP, never dropped. Times are milliseconds on a
// steady clock, passed in, so the bucket is a plain value, testable
// without waiting.

#include <algorithm>
#include <cstdint>

namespace parlivo {

struct TokenRate {
  double perSecond = 0;
  double burst = 0;
};

class TokenBucket {
 public:
  TokenBucket() = default;
  // A full bucket at `nowMs`.
  TokenBucket(const TokenRate& rate, std::int64_t nowMs) : tokens_(rate.burst), lastMs_(nowMs) {}

  // Adds what `rate` gave since the last refill, up to the burst.
  void refill(const TokenRate& rate, std::int64_t nowMs) {
    if (nowMs <= lastMs_) return;
    tokens_ = std::min(rate.burst, tokens_ + rate.perSecond * static_cast<double>(nowMs - lastMs_) / 1000.0);
    lastMs_ = nowMs;
  }
  void take(double amount) { tokens_ -= amount; }
  bool available() const { return tokens_ > 0; }
  double tokens() const { return tokens_; }
  // Milliseconds until the bucket holds tokens again (0 when it does now).
  std::int64_t msUntilAvailable(const TokenRate& rate) const {
    if (tokens_ > 0) return 0;
    if (rate.perSecond <= 0) return INT64_MAX;
    return static_cast<std::int64_t>(-tokens_ * 1000.0 / rate.perSecond) + 1;
  }

 private:
  double tokens_ = 0;
  std::int64_t lastMs_ = 0;
};

}  // namespace parlivo
