#pragma once
// A millisecond timer on the event thread, with the enabled/interval pair
// the components are written against: it ticks every `interval` ms while it
// is enabled. An interval of 0 means not armed (a zero-interval Qt timer
// would fire continuously, so it is never started). Setting the interval or
// enabling restarts the period. Errors raised by the tick handler go to the
// central handler.

#include <QTimer>
#include <cstdint>
#include <functional>

namespace parlivo {

class EventTimer {
 public:
  // `owner` is reported as the sender of errors raised by `onTick`.
  EventTimer(const void* owner, std::function<void()> onTick, std::uint32_t interval, bool enabled);

  EventTimer(const EventTimer&) = delete;
  EventTimer& operator=(const EventTimer&) = delete;

  std::uint32_t interval() const { return interval_; }
  void setInterval(std::uint32_t interval);
  bool enabled() const { return enabled_; }
  void setEnabled(bool enabled);
  // True while ticks will actually come.
  bool isActive() const { return timer_.isActive(); }

 private:
  void update();

  QTimer timer_;
  std::uint32_t interval_;
  bool enabled_;
};

}  // namespace parlivo
