#pragma once
// Turns SIGINT and SIGTERM into a call on the event thread. The signal
// handler only writes one byte to a pipe; a notifier on the pipe's other
// end runs the callback from the event loop, where the whole program may
// be used safely. One instance at a time.

#include <QSocketNotifier>
#include <functional>
#include <memory>

namespace parlivo {

class TerminationSignals {
 public:
  explicit TerminationSignals(std::function<void()> onSignal);
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

 private:
  std::function<void()> onSignal_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace parlivo
