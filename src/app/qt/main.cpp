// parlivo-server: the chat relay server's program entry.

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "app/access_policy.h"
#include "app/headless_front.h"
#include "app/qt/main_window.h"
#include "app/server_options.h"
#include "app/settings_location.h"
#include "app/str_to_int.h"
#include "app/termination_signals.h"
#include "discovery/avahi_advertiser.h"
#include "transport/platform/posix_socket_api.h"
#include "transport/platform/socket_address.h"
#include "transport/transport_module.h"
#include "transport/unhandled_error.h"

namespace {

constexpr const char* kUsage =
    "Usage: parlivo-server [--headless] [--port N] [--name NAME] [--no-advertise]\n"
    "                      [--allow RANGES] [--deny RANGES] [--admit-any]\n"
    "                      [--listen ADDRESS] [--tls-port N] [--tls-cert FILE --tls-key FILE]\n"
    "                      [limits]\n"
    "\n"
    "Parlivo Server relays chat between the chat clients of a local network.\n"
    "Without options it opens the operator's window, where Run starts the\n"
    "server; without a display it runs as with --headless.\n"
    "\n"
    "  --headless   run without a window: start the server at once and print\n"
    "               the event log to standard output, one line per entry.\n"
    "               SIGTERM, SIGINT or SIGHUP asks every client to leave and\n"
    "               stops; a second one ends the program at once.\n"
    "  --port N     use port N (1-65535) instead of the saved port\n"
    "  --name NAME  the name chat clients list the server under on the local\n"
    "               network (default: the host's name)\n"
    "  --no-advertise  do not announce the server on the local network\n"
    "               (--advertise turns it on again)\n"
    "  --listen ADDRESS  listen on this one local address (IPv4 or IPv6, like\n"
    "               192.168.1.5, fd12::5 or fe80::1%eth0; :: is every IPv6\n"
    "               address, 0.0.0.0 every IPv4 one) instead of every address\n"
    "               of both families; \"\" listens on every address again\n"
    "\n"
    "Who may connect. By default only the local network: loopback, private\n"
    "(10/8, 172.16/12, 192.168/16, fc00::/7), link-local (169.254/16, fe80::/10)\n"
    "and carrier-grade NAT (100.64/10) addresses. Others are closed at once.\n"
    "  --allow RANGES  admit these ranges as well (\"203.0.113.0/24,2001:db8::/32\";\n"
    "               \"\" clears the saved list)\n"
    "  --deny RANGES   refuse these ranges, whatever else admits them\n"
    "  --admit-any  admit every address (--local-only undoes it)\n"
    "\n"
    "Encrypted chat: a TLS port beside the plain one (off by default; any of\n"
    "these turns it on, --no-tls turns it off):\n"
    "  --tls-port N    the TLS port (default: the port after --port)\n"
    "  --tls-only      no chat in clear on the network: the plain port listens\n"
    "               on this machine only (127.0.0.1, ::1); --no-tls-only undoes it\n"
    "  --tls-cert FILE --tls-key FILE  a PEM certificate (chain) and its key;\n"
    "               without them a key and a self-signed certificate are made\n"
    "               at first use, ~/.local/share/Mossfold/parlivo-server/\n"
    "               parlivo-server_tls.key (mode 0600) and .crt. The log gives\n"
    "               its SHA-256 fingerprint, which clients pin.\n"
    "\n"
    "  --help       show this text\n"
    "  --version    show the version\n"
    "\n"
    "Limits for this run (the [Limits] section of the settings file holds\n"
    "the ones that last):\n"
    "  --memory-budget MIB    memory for queued output and partial packets of\n"
    "                         all clients together (default 256); past half of\n"
    "                         it, senders are slowed instead of readers dropped\n"
    "  --max-clients N        clients served at once (default: the descriptor\n"
    "                         limit less 32); more are refused at connect\n"
    "  --max-per-address N    clients from one address (default 0: no limit;\n"
    "                         loopback is never limited)\n"
    "  --unlimited-input      no per-client input rate (for benchmarks)\n"

    "\n"
    "The options and window position live in\n"
    "  ~/.local/share/Mossfold/parlivo-server/parlivo-server_<port>.ini\n"
    "(keys Advertise, ServiceName, AllowFrom, DenyFrom, AdmitAny, ListenAddress\n"
    "among them);\n"
    "the options given here are saved there at the start.\n"
    "Exit status: 0 after a signal, 1 when the server cannot listen and no\n"
    "automatic restart is left, 2 for bad arguments.\n";

struct Options {
  bool headless = false;
  parlivo::ServerOptions server;
};

// Reads a count option: a whole number from `least` up; nullopt (and a
// message) for anything else.
std::optional<std::uint32_t> CountOption(const QCommandLineParser& parser, const QCommandLineOption& option,
                                         std::int32_t least, bool& bad) {
  if (!parser.isSet(option)) return std::nullopt;
  const QByteArray text = parser.value(option).toLocal8Bit();
  std::int32_t number = 0;
  if (!parlivo::TryStrToInt(text.toStdString(), number) || number < least) {
    std::fprintf(stderr, "parlivo-server: --%s needs a whole number of at least %d, not \"%s\"\n",
                 qPrintable(option.names().first()), least, text.constData());
    bad = true;
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(number);
}

// Reads an address range list option; false (after saying why) when it
// holds something that is no range.
bool TakeRanges(const QCommandLineParser& parser, const QCommandLineOption& option, const char* name,
                std::optional<std::string>& into) {
  if (!parser.isSet(option)) return true;
  const std::string text = parser.values(option).join(',').toStdString();
  std::string error;
  if (!parlivo::ParseAddressRanges(text, error)) {
    std::fprintf(stderr, "parlivo-server: %s: %s\n", name, error.c_str());
    return false;
  }
  into = text;
  return true;
}

// Parses the arguments; returns an exit status when the program should end now.
// The options may come in any order; "--port=N" works as well as "--port N".
std::optional<int> Parse(int argc, char** argv, Options& options) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments.append(QString::fromLocal8Bit(argv[i]));
  QCommandLineParser parser;
  const QCommandLineOption help({"h", "help"}, "");
  const QCommandLineOption version("version", "");
  const QCommandLineOption headless("headless", "");
  const QCommandLineOption port("port", "", "N");
  const QCommandLineOption name("name", "", "NAME");
  const QCommandLineOption advertise("advertise", "");
  const QCommandLineOption noAdvertise("no-advertise", "");
  const QCommandLineOption allow("allow", "", "RANGES");
  const QCommandLineOption deny("deny", "", "RANGES");
  const QCommandLineOption admitAny("admit-any", "");
  const QCommandLineOption localOnly("local-only", "");
  const QCommandLineOption memoryBudget("memory-budget", "", "MIB");
  const QCommandLineOption maxClients("max-clients", "", "N");
  const QCommandLineOption maxPerAddress("max-per-address", "", "N");
  const QCommandLineOption unlimitedInput("unlimited-input", "");
  const QCommandLineOption listen("listen", "", "ADDRESS");
  const QCommandLineOption tlsPort("tls-port", "", "N");
  const QCommandLineOption tlsCert("tls-cert", "", "FILE");
  const QCommandLineOption tlsKey("tls-key", "", "FILE");
  const QCommandLineOption noTls("no-tls", "");
  const QCommandLineOption tlsOnly("tls-only", "");
  const QCommandLineOption noTlsOnly("no-tls-only", "");
  parser.addOptions({help, version, headless, port, name, advertise, noAdvertise, allow, deny, admitAny, localOnly,
                     memoryBudget, maxClients, maxPerAddress, unlimitedInput, listen, tlsPort, tlsCert, tlsKey,
                     noTls, tlsOnly, noTlsOnly});
  if (!parser.parse(arguments)) {
    std::fprintf(stderr, "parlivo-server: %s (see --help)\n", qPrintable(parser.errorText()));
    return 2;
  }
  if (parser.isSet(help)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (parser.isSet(version)) {
    std::printf("parlivo-server %s\n", PARLIVO_VERSION);
    return 0;
  }
  if (!parser.positionalArguments().isEmpty()) {
    std::fprintf(stderr, "parlivo-server: unknown argument \"%s\" (see --help)\n",
                 qPrintable(parser.positionalArguments().first()));
    return 2;
  }
  options.headless = parser.isSet(headless);
  if (parser.isSet(port)) {
    const QByteArray text = parser.value(port).toLocal8Bit();
    std::int32_t number = 0;
    if (!parlivo::TryStrToInt(text.toStdString(), number) || number < 1 || number > 65535) {
      std::fprintf(stderr, "parlivo-server: --port needs a number from 1 to 65535, not \"%s\"\n", text.constData());
      return 2;
    }
    options.server.port = static_cast<std::uint16_t>(number);
  }
  if (parser.isSet(tlsPort)) {
    const QByteArray text = parser.value(tlsPort).toLocal8Bit();
    std::int32_t number = 0;
    if (!parlivo::TryStrToInt(text.toStdString(), number) || number < 1 || number > 65535) {
      std::fprintf(stderr, "parlivo-server: --tls-port needs a number from 1 to 65535, not \"%s\"\n",
                   text.constData());
      return 2;
    }
    options.server.tlsPort = static_cast<std::uint16_t>(number);
  }
  if (parser.isSet(tlsCert) != parser.isSet(tlsKey)) {
    std::fprintf(stderr, "parlivo-server: --tls-cert and --tls-key go together\n");
    return 2;
  }
  if (parser.isSet(tlsCert)) {
    options.server.tlsCertificate = parser.value(tlsCert).toLocal8Bit().toStdString();
    options.server.tlsKey = parser.value(tlsKey).toLocal8Bit().toStdString();
  }
  if (parser.isSet(noTls)) options.server.tls = false;
  if (parser.isSet(tlsOnly) && (parser.isSet(noTls) || parser.isSet(noTlsOnly))) {
    std::fprintf(stderr, "parlivo-server: --tls-only goes against --no-tls and --no-tls-only\n");
    return 2;
  }
  if (parser.isSet(tlsOnly) || parser.isSet(noTlsOnly)) options.server.tlsOnly = parser.isSet(tlsOnly);
  if (parser.isSet(name)) options.server.serviceName = parser.value(name).toStdString();
  if (parser.isSet(advertise) || parser.isSet(noAdvertise)) options.server.advertise = !parser.isSet(noAdvertise);
  if (parser.isSet(admitAny) || parser.isSet(localOnly)) options.server.admitAny = !parser.isSet(localOnly);
  if (!TakeRanges(parser, allow, "--allow", options.server.allowFrom) ||
      !TakeRanges(parser, deny, "--deny", options.server.denyFrom))
    return 2;
  if (parser.isSet(listen)) {
    const std::string text = parser.value(listen).toStdString();
    if (!text.empty() && !parlivo::ParseNumericAddress(text, 0)) {
      std::fprintf(stderr, "parlivo-server: --listen needs a local IPv4 or IPv6 address, not \"%s\"\n", text.c_str());
      return 2;
    }
    options.server.listenAddress = text;
  }
  bool bad = false;
  options.server.limits.memoryBudgetMiB = CountOption(parser, memoryBudget, 1, bad);
  options.server.limits.maxClients = CountOption(parser, maxClients, 1, bad);
  options.server.limits.maxClientsPerAddress = CountOption(parser, maxPerAddress, 0, bad);
  if (parser.isSet(unlimitedInput)) options.server.limits.unlimitedInput = true;
  if (bad) return 2;
  return std::nullopt;
}

// Whether a window can be shown to somebody: an X or Wayland display, or a
// Qt platform chosen by hand that draws somewhere (not offscreen/minimal).
bool HasDisplay() {
  const auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
  };
  if (set("DISPLAY") || set("WAYLAND_DISPLAY")) return true;
  const std::string platform = set("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
  return !platform.empty() && platform.rfind("offscreen", 0) != 0 && platform.rfind("minimal", 0) != 0;
}

// The window, until it closes. Start-up order: sockets library, the
// shell-restart message of the tray icon, the application, the window
// (which loads the settings); teardown runs in reverse.
int RunWindow(int& argc, char** argv, const Options& options) {
  parlivo::PosixSocketApi api;
  parlivo::TransportModule transport(api);
  parlivo::RegisterShellRestartMessage();
  QApplication app(argc, argv);
  QApplication::setApplicationName("Parlivo Server");
  // Lets the desktop match the window to the installed menu entry and its icon.
  QGuiApplication::setDesktopFileName("parlivo-server");
  QApplication::setQuitOnLastWindowClosed(false);  // hiding into the tray is not quitting
  parlivo::AvahiAdvertiser advertiser;
  parlivo::MainWindow window(api, parlivo::FormEnvironment{parlivo::DataHome(), parlivo::ProgramFileName()}, nullptr,
                             &advertiser);
  QApplication::setWindowIcon(window.windowIcon());
  parlivo::ApplyServerOptions(window.form(), options.server);
  window.ControlsChanged();
  parlivo::SetUnhandledErrorHandler([&window](const void*, std::string_view message) {
    window.ShowError(message);
  });
  window.ShowAtStartup();
  const int status = QApplication::exec();
  parlivo::SetUnhandledErrorHandler({});
  return status;
}

int Run(int argc, char** argv) {
  Options options;
  if (const auto status = Parse(argc, argv, options)) return *status;
  if (!options.headless && HasDisplay()) return RunWindow(argc, argv, options);
  if (!options.headless) std::fputs("parlivo-server: no display; running without a window (--headless).\n", stderr);
  // Before anything else, so that a signal at any point of the start still
  // stops the server cleanly.
  parlivo::TerminationSignals termination;
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName("Parlivo Server");
  return parlivo::RunHeadlessServer(termination, options.server);
}

}  // namespace

int main(int argc, char** argv) {
  // Errors during the event loop are handled there; this catches what
  // start-up or teardown may raise, so the program ends with a message.
  try {
    return Run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "parlivo-server: %s\n", error.what());
  } catch (...) {
    std::fputs("parlivo-server: unexpected error\n", stderr);
  }
  return 1;
}
