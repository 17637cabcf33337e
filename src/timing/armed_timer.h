#pragma once
// The enabled/interval pair of a window timer on a QTimer: the timer ticks
// every `intervalMs` while enabled. An interval of 0 means not armed (a
// zero-interval QTimer would fire continuously, so it is never started);
// intervals beyond what QTimer takes are cut to its largest.

#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <limits>

namespace parlivo {

enum class Rearm {
  Always,        // (re)starting restarts the period
  KeepPeriod,    // a running timer with the same interval keeps its period
};

inline void ArmTimer(QTimer& timer, bool enabled, std::uint32_t intervalMs, Rearm rearm) {
  if (!enabled || intervalMs == 0) {
    timer.stop();
    return;
  }
  const int ms = static_cast<int>(std::min<std::uint32_t>(intervalMs, std::numeric_limits<int>::max()));
  if (rearm == Rearm::KeepPeriod && timer.isActive() && timer.interval() == ms) return;
  timer.start(ms);
}

}  // namespace parlivo
