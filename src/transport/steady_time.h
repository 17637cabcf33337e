#pragma once
// Milliseconds on the steady clock: the time base of the transport's
// clocks (flow control, back-off, stop deadlines), which must not jump
// when the wall clock is set.

#include <chrono>
#include <cstdint>

namespace parlivo {

inline std::int64_t SteadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace parlivo
