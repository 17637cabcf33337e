#pragma once
// AvahiQtPoll: Avahi's main-loop interface (AvahiPoll) over the Qt event
// loop of the thread that makes it. Avahi's watches become QSocketNotifiers
// and its timeouts single-shot QTimers, so the Avahi client library runs on
// the program's one event thread with no thread or poll loop of its own.
//
// Avahi may free a watch or a timeout from inside its own callback; the
// adapter never touches one after the callback returns. Everything made
// through the interface must be freed by Avahi (freeing its client) before
// the poll object goes away.

#include <avahi-common/watch.h>

namespace parlivo {

class AvahiQtPoll {
 public:
  AvahiQtPoll();
  AvahiQtPoll(const AvahiQtPoll&) = delete;
  AvahiQtPoll& operator=(const AvahiQtPoll&) = delete;

  const AvahiPoll* poll() const { return &poll_; }

 private:
  AvahiPoll poll_{};
};

}  // namespace parlivo
