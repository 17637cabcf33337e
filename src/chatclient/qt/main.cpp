// parlivo-client: a chat client window for a Parlivo server.

#include <QApplication>
#include <QStringList>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <exception>

#include "chatclient/connect_values.h"
#include "chatclient/qt/chat_window.h"
#include "discovery/avahi_browser.h"

namespace {

// Whether Qt can open a window somewhere: a display, or a platform chosen by hand.
bool CanOpenWindow() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    if (!qEnvironmentVariableIsEmpty(name)) return true;
  }
  return false;
}

int Run(int argc, char** argv) {
  // The options are read before any window exists, so --help works anywhere.
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments.append(QString::fromLocal8Bit(argv[i]));
  const parlivo::ClientCommandLine command =
      parlivo::ParseClientCommandLine(arguments, parlivo::LoadRememberedValues(), PARLIVO_VERSION);
  if (command.exitStatus) {
    std::fputs(command.output.toLocal8Bit().constData(), stdout);
    std::fputs(command.error.toLocal8Bit().constData(), stderr);
    return *command.exitStatus;
  }
  if (!CanOpenWindow()) {
    std::fputs("parlivo-client: no display to open the window on (parlivo-chat chats from a terminal)\n", stderr);
    return 1;
  }
  QApplication app(argc, argv);
  QApplication::setOrganizationName("Mossfold");
  QApplication::setApplicationName("parlivo-client");
  QApplication::setApplicationVersion(PARLIVO_VERSION);
  // Lets the desktop match the window to the installed menu entry and its icon.
  QGuiApplication::setDesktopFileName("parlivo-client");
  parlivo::AvahiBrowser browser;
  parlivo::ChatWindow window(&browser);
  window.client().values = command.start.values;
  window.ShowValues();
  window.RestoreLayout();
  window.show();
  if (command.start.joinAtStart) {
    QTimer::singleShot(0, &window, [&window] { window.client().Connect(); });
  }
  return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  // A server that goes away mid-send must end the connection, not the program.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return Run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "parlivo-client: %s\n", error.what());
  } catch (...) {
    std::fputs("parlivo-client: unexpected error\n", stderr);
  }
  return 1;
}
