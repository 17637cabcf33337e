#pragma once
// Helpers for tests that run the Qt event loop.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace parlivo::testing {

// Runs the event loop until `done()` holds or `timeoutMs` has passed;
// returns whether it holds.
template <typename Predicate>
bool PumpUntil(Predicate done, int timeoutMs = 3000) {
  const QDeadlineTimer deadline(timeoutMs);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QEventLoop loop;
    QTimer::singleShot(2, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

// Runs the event loop for `ms` milliseconds.
inline void PumpFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace parlivo::testing
