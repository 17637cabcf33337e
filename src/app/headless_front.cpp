#include "app/headless_front.h"

#include <QCoreApplication>
#include <QTimer>
#include <string>

#include "app/headless_desktop.h"
#include "app/log_line_text.h"
#include "app/main_form.h"
#include "app/settings_location.h"
#include "app/termination_signals.h"
#include "transport/platform/posix_socket_api.h"
#include "transport/transport_module.h"
#include "transport/unhandled_error.h"

namespace parlivo {

void HeadlessFront::LogAppended(const std::string& line) {
  const std::string text = LogLineText(line);
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void HeadlessFront::ServerWentOffline(bool restartPending) {
  if (restartPending) return;
  // Leave the event loop once the handler that reported this has returned.
  QTimer::singleShot(0, [] { QCoreApplication::exit(1); });
}

int RunHeadlessServer(std::optional<std::uint16_t> port) {
  PosixSocketApi api;
  TransportModule transport(api);
  HeadlessFront front(stdout);
  const UnhandledErrorHandler previous = SetUnhandledErrorHandler([](const void*, std::string_view message) {
    std::fprintf(stderr, "parlivo-server: %s\n", LogLineText(message).c_str());
    std::fflush(stderr);
  });

  int status = 0;
  {
    HeadlessDesktop desktop;
    TfrmServer form(api, front, desktop.Services(), FormEnvironment{DataHome(), ProgramFileName()});
    form.mChat.SetMaxLines(0);  // printed as it comes; the terminal keeps it
    form.FormCreate();
    if (port) form.edPort.Text = std::to_string(*port);
    RunGuarded(&form, [&] { form.sbRunClick(); });
    if (form.Server->Listen() || form.RestartPending()) {
      TerminationSignals termination([&form] {
        form.FormCloseQuery();
        QCoreApplication::exit(0);
      });
      status = QCoreApplication::exec();
    } else {
      status = 1;
    }
  }
  SetUnhandledErrorHandler(previous);
  return status;
}

}  // namespace parlivo
