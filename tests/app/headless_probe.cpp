// The headless server with signals raised during its start:
//   headless_probe PORT POINT SIGNAL COUNT
// raises COUNT times SIGNAL before the server is made (POINT 0), while the
// POINT-th log line is printed, or once the event loop runs (POINT -1).

#include <QCoreApplication>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/headless_front.h"
#include "app/termination_signals.h"

namespace {

int g_point, g_signal, g_count, g_lines = 0;

void RaiseAll() {
  for (int i = 0; i < g_count; ++i) std::raise(g_signal);
}

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
  g_point = std::atoi(argv[2]);
  g_signal = std::atoi(argv[3]);
  g_count = std::atoi(argv[4]);
  std::FILE* log = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, WriteLog, nullptr, nullptr});
  if (g_point == 0) RaiseAll();
  if (g_point < 0) QTimer::singleShot(0, RaiseAll);
  parlivo::ServerOptions options;
  options.port = static_cast<std::uint16_t>(std::atoi(argv[1]));
  options.advertise = false;
  return parlivo::RunHeadlessServer(termination, options, log);
}
