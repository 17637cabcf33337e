#pragma once
// The program's handling of SIGTERM, SIGINT and SIGHUP, for a server that
// must stop cleanly (every client asked to leave, exit status 0) whenever
// one of them arrives, also in the middle of its start.
//
// Construction installs the handling at once; it needs no event loop, so
// the program makes this object first. The signal handler only notes the
// signal and writes one byte to a pipe. Watch() then hands the signal to
// the event loop: a notifier on the pipe's other end runs the callback
// there, where the whole program may be used safely; a signal that arrived
// before Watch() is handed on as soon as the loop runs. A second signal
// after the first ends the process at once, by that signal's default
// action: the way out when the clean stop hangs.
//
// A signal that was ignored when the object was made (nohup, a background
// job of a shell script) stays ignored. One instance at a time.
// Destruction restores the handling it replaced.

#include <signal.h>

#include <QSocketNotifier>
#include <array>
#include <functional>
#include <memory>

namespace parlivo {

class TerminationSignals {
 public:
  TerminationSignals();
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

  // Whether one of the signals has arrived since construction.
  bool Arrived() const;
  // Runs `onSignal` from the event loop when a signal has arrived (once).
  // Needs a QCoreApplication. An empty function stops watching; so must the
  // owner of anything `onSignal` uses before that goes away.
  void Watch(std::function<void()> onSignal);

 private:
  std::function<void()> onSignal_;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::array<struct sigaction, 3> previous_{};
};

}  // namespace parlivo
