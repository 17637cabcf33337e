// parlivo-server: the chat relay server's program entry.

#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "app/headless_front.h"
#include "app/str_to_int.h"

namespace {

constexpr const char* kUsage =
    "Usage: parlivo-server --headless [--port N]\n"
    "\n"
    "Parlivo Server relays chat between the chat clients of a local network.\n"
    "\n"
    "  --headless   run without a window: start the server at once and print\n"
    "               the event log to standard output, one line per entry.\n"
    "               SIGINT or SIGTERM asks every client to leave and stops.\n"
    "  --port N     listen on port N (1-65535) instead of the saved port\n"
    "  --help       show this text\n"
    "  --version    show the version\n"
    "\n"
    "The options and window position live in\n"
    "  ~/.local/share/Mossfold/parlivo-server/parlivo-server_<port>.ini\n"
    "Exit status: 0 after a signal, 1 when the server cannot listen and no\n"
    "automatic restart is left, 2 for bad arguments.\n";

struct Options {
  bool headless = false;
  std::optional<std::uint16_t> port;
};

// Parses the arguments; returns an exit status when the program should end now.
std::optional<int> Parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("parlivo-server %s\n", PARLIVO_VERSION);
      return 0;
    }
    if (arg == "--headless") {
      options.headless = true;
    } else if (arg == "--port" && i + 1 < argc) {
      std::int32_t port = 0;
      if (!parlivo::TryStrToInt(argv[++i], port) || port < 1 || port > 65535) {
        std::fprintf(stderr, "parlivo-server: --port needs a number from 1 to 65535, not \"%s\"\n", argv[i]);
        return 2;
      }
      options.port = static_cast<std::uint16_t>(port);
    } else {
      std::fprintf(stderr, "parlivo-server: unknown argument \"%s\" (see --help)\n", arg.c_str());
      return 2;
    }
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const auto status = Parse(argc, argv, options)) return *status;
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName("Parlivo Server");
  if (!options.headless) {
    std::fputs("parlivo-server: this build has no window yet; starting without one (--headless).\n", stderr);
  }
  return parlivo::RunHeadlessServer(options.port);
}
