#include "app/termination_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>

#include "transport/unhandled_error.h"

namespace parlivo {
namespace {

constexpr std::array<int, 3> kSignals = {SIGTERM, SIGINT, SIGHUP};

int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_arrived = 0;

extern "C" void OnTerminationSignal(int signal) {
  if (g_arrived != 0) {
    // The second one: no more waiting for the clean stop.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  g_arrived = 1;
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

TerminationSignals::TerminationSignals() {
  assert(g_pipe[0] < 0 && "one TerminationSignals at a time");
  g_arrived = 0;
  if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) g_pipe[0] = g_pipe[1] = -1;
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal : kSignals) sigaddset(&action.sa_mask, signal);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    ::sigaction(kSignals[i], nullptr, &previous_[i]);
    // A signal the program was started with ignored stays ignored: that is
    // how nohup and the shell's background jobs keep a program running.
    if (previous_[i].sa_handler == SIG_IGN) continue;
    ::sigaction(kSignals[i], &action, nullptr);
  }
}

TerminationSignals::~TerminationSignals() {
  for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
  notifier_.reset();
  for (int& fd : g_pipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

bool TerminationSignals::Arrived() const { return g_arrived != 0; }

void TerminationSignals::Watch(std::function<void()> onSignal) {
  notifier_.reset();
  onSignal_ = std::move(onSignal);
  if (!onSignal_ || g_pipe[0] < 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
    char bytes[16];
    while (::read(g_pipe[0], bytes, sizeof bytes) > 0) {
    }
    notifier_->setEnabled(false);  // the first signal is the only one handed on
    RunGuarded(this, onSignal_);
  });
}

}  // namespace parlivo
