#include "transport/event_timer.h"

#include <algorithm>
#include <limits>

#include "timing/armed_timer.h"
#include "transport/unhandled_error.h"

namespace parlivo {

EventTimer::EventTimer(const void* owner, std::function<void()> onTick, std::uint32_t interval, bool enabled)
    : interval_(interval), enabled_(enabled) {
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout,
                   [owner, tick = std::move(onTick)] { RunGuarded(owner, tick); });
  update();
}

void EventTimer::setInterval(std::uint32_t interval) {
  interval_ = interval;
  update();
}

void EventTimer::setEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  update();
}

void EventTimer::update() { ArmTimer(timer_, enabled_, interval_, Rearm::Always); }

}  // namespace parlivo
