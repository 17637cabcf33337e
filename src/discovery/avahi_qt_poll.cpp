#include "discovery/avahi_qt_poll.h"

#include <sys/time.h>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <memory>

// Avahi declares these two types opaque; the poll implementation defines them.
struct AvahiWatch {
  int fd = -1;
  AvahiWatchEvent happened = static_cast<AvahiWatchEvent>(0);
  AvahiWatchCallback callback = nullptr;
  void* userdata = nullptr;
  std::unique_ptr<QSocketNotifier> readable;
  std::unique_ptr<QSocketNotifier> writable;
};

struct AvahiTimeout {
  AvahiTimeoutCallback callback = nullptr;
  void* userdata = nullptr;
  QTimer timer;
};

namespace parlivo {
namespace {

// Runs the watch's callback for `event`. The callback may free the watch:
// nothing here touches it afterwards.
void Fire(AvahiWatch* watch, AvahiWatchEvent event) {
  watch->happened = event;
  watch->callback(watch, watch->fd, event, watch->userdata);
}

void WatchUpdate(AvahiWatch* watch, AvahiWatchEvent events) {
  // A notifier for readable also wakes for a hang-up or an error (poll
  // reports those to every reader), which is how Avahi learns of them.
  const bool wantRead = (events & (AVAHI_WATCH_IN | AVAHI_WATCH_ERR | AVAHI_WATCH_HUP)) != 0;
  const bool wantWrite = (events & AVAHI_WATCH_OUT) != 0;
  if (wantRead && !watch->readable) {
    watch->readable = std::make_unique<QSocketNotifier>(watch->fd, QSocketNotifier::Read);
    QObject::connect(watch->readable.get(), &QSocketNotifier::activated, [watch] { Fire(watch, AVAHI_WATCH_IN); });
  }
  if (wantWrite && !watch->writable) {
    watch->writable = std::make_unique<QSocketNotifier>(watch->fd, QSocketNotifier::Write);
    QObject::connect(watch->writable.get(), &QSocketNotifier::activated, [watch] { Fire(watch, AVAHI_WATCH_OUT); });
  }
  if (watch->readable) watch->readable->setEnabled(wantRead);
  if (watch->writable) watch->writable->setEnabled(wantWrite);
}

AvahiWatch* WatchNew(const AvahiPoll*, int fd, AvahiWatchEvent events, AvahiWatchCallback callback, void* userdata) {
  auto* watch = new AvahiWatch;
  watch->fd = fd;
  watch->callback = callback;
  watch->userdata = userdata;
  WatchUpdate(watch, events);
  return watch;
}

AvahiWatchEvent WatchGetEvents(AvahiWatch* watch) { return watch->happened; }

// Safe from inside the watch's own callback: Qt lets a notifier be deleted
// while it emits, and Fire does not touch the watch after the callback.
void WatchFree(AvahiWatch* watch) { delete watch; }

// Milliseconds from now until the absolute time `when`; 0 when it has passed.
int MillisecondsUntil(const timeval& when) {
  timeval now{};
  gettimeofday(&now, nullptr);
  const std::int64_t micros =
      (static_cast<std::int64_t>(when.tv_sec) - now.tv_sec) * 1000000 + (when.tv_usec - now.tv_usec);
  return static_cast<int>(std::clamp<std::int64_t>((micros + 999) / 1000, 0, 24 * 3600 * 1000));
}

void TimeoutUpdate(AvahiTimeout* timeout, const timeval* when) {
  if (when == nullptr) {
    timeout->timer.stop();
    return;
  }
  timeout->timer.start(MillisecondsUntil(*when));
}

AvahiTimeout* TimeoutNew(const AvahiPoll*, const timeval* when, AvahiTimeoutCallback callback, void* userdata) {
  auto* timeout = new AvahiTimeout;
  timeout->callback = callback;
  timeout->userdata = userdata;
  timeout->timer.setSingleShot(true);
  QObject::connect(&timeout->timer, &QTimer::timeout,
                   [timeout] { timeout->callback(timeout, timeout->userdata); });
  TimeoutUpdate(timeout, when);
  return timeout;
}

// Safe from inside the timeout's own callback, like WatchFree.
void TimeoutFree(AvahiTimeout* timeout) { delete timeout; }

}  // namespace

AvahiQtPoll::AvahiQtPoll() {
  poll_.userdata = this;
  poll_.watch_new = WatchNew;
  poll_.watch_update = WatchUpdate;
  poll_.watch_get_events = WatchGetEvents;
  poll_.watch_free = WatchFree;
  poll_.timeout_new = TimeoutNew;
  poll_.timeout_update = TimeoutUpdate;
  poll_.timeout_free = TimeoutFree;
}

}  // namespace parlivo
