// The headless server with signals raised at chosen points of its start:
//   headless_probe PORT POINT SIGNAL COUNT
// POINT 0 raises before the server is made, POINT n > 0 while the n-th log
// line is printed, POINT -1 once the event loop runs; COUNT signals are
// raised there. The exit status is the server's.

#include <QCoreApplication>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/headless_front.h"
#include "app/termination_signals.h"

namespace {

int g_point = 0;
int g_signal = SIGTERM;
int g_count = 1;
int g_lines = 0;

void RaiseAll() {
  for (int i = 0; i < g_count; ++i) std::raise(g_signal);
}

// Output that passes the log on to standard output and raises the signals
// while the chosen line is written.
ssize_t WriteLog(void*, const char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i)
    if (data[i] == '\n' && ++g_lines == g_point) RaiseAll();
  return static_cast<ssize_t>(std::fwrite(data, 1, size, stdout));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  // As started from a terminal, whatever the test runner ignores.
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) std::signal(signal, SIG_DFL);
  parlivo::TerminationSignals termination;
  QCoreApplication app(argc, argv);
  const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
  g_point = std::atoi(argv[2]);
  g_signal = std::atoi(argv[3]);
  g_count = std::atoi(argv[4]);
  std::FILE* log = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, WriteLog, nullptr, nullptr});
  if (g_point == 0) RaiseAll();
  if (g_point < 0) QTimer::singleShot(0, RaiseAll);
  const int status = parlivo::RunHeadlessServer(termination, port, log);
  std::fclose(log);
  return status;
}
