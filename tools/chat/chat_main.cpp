// parlivo-chat: a command-line chat client for a Parlivo server.
//
// It connects, registers a nickname in a room, then runs one poll loop over
// standard input and the socket: typed lines go out as chat (or private
// data with /msg), and everything the server sends is shown as it comes.
// Texts travel in Windows-1252; the terminal side is UTF-8, so every text is
// converted at this edge, and control characters from the wire are shown as
// '?' so that no peer can drive the terminal.
//
// Standard input is only read once the server has let us in, so lines typed
// (or piped) early wait in the pipe instead of racing the registration.

#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/chat_connection.h"
#include "client/known_servers.h"
#include "client/server_address.h"
#include "encoding/codepage_1252.h"
#include "encoding/text_codec.h"
#include "server_lookup.h"
#include "tls/tls_identity.h"
#include "transport/packet_ids.h"
#include "transport/platform/socket_address.h"

namespace parlivo {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kConnectTimeoutMs = 5000;
constexpr int kRegisterTimeoutMs = 10000;
constexpr int kLeaveTimeoutMs = 2000;
constexpr std::size_t kMaxLineBytes = 64 * 1024;
// How long --discover listens, and how long a server's name is looked for.
constexpr int kDiscoverMs = 3000;

// Exit statuses; the usage text lists them too.
enum ExitStatus : int {
  kExitLeft = 0,     // we left: /quit or end of input
  kExitFailed = 1,   // could not connect, connection lost, or no answer
  kExitUsage = 2,    // bad arguments
  kExitRefused = 3,  // not let in: nickname in use or access denied
  kExitRemoved = 4,  // the server asked us to leave, or kicked us
};

constexpr const char* kUsage =
    "Usage: parlivo-chat [--tls] HOST[:PORT] NICK [ROOM]\n"
    "       parlivo-chat [--tls] '[IPV6]:PORT' NICK [ROOM]\n"
    "       parlivo-chat --discover\n"
    "       parlivo-chat --help\n"
    "\n"
    "Connects to a Parlivo chat server, joins as NICK in ROOM and chats.\n"
    "  HOST   server address (192.168.1.5, fd12::5, fe80::1%eth0; in brackets\n"
    "         when a port follows: [fd12::5]:4000), host name, or the name of a\n"
    "         server found on the local network (as --discover lists it; quote\n"
    "         it when it has blanks), looked for there only when it is no host\n"
    "         name the system knows. A name with several addresses is reached\n"
    "         through the first that answers.\n"
    "  PORT   server port, 65535 when omitted\n"
    "  NICK   your nickname\n"
    "  ROOM   the room to join; none when omitted\n"
    "  --tls  connect encrypted, to the server's TLS port (65534 when PORT is\n"
    "         omitted). The server's key fingerprint is shown and remembered\n"
    "         at the first connection (in ~/.config/parlivo/known_servers), for\n"
    "         the name given and the address reached; a server that shows\n"
    "         another key later under either is refused, and so is any\n"
    "         encrypted connection while that file cannot be read.\n"
    "\n"
    "--discover lists the servers announced on the local network within three\n"
    "seconds, one per line: NAME, ADDRESS:PORT and the host, separated by tabs,\n"
    "and tls=PORT after them for a server with a TLS port.\n"
    "\n"
    "Each line you type is sent as chat to everybody. Commands:\n"
    "  /msg NICK TEXT   send TEXT privately to NICK\n"
    "  /quit            leave (the end of input leaves too)\n"
    "  /help            show these commands\n"
    "  //TEXT           send a line that starts with '/'\n"
    "\n"
    "Exit status: 0 left normally, 1 connection failed or lost, 2 bad arguments,\n"
    "3 not let in (nickname in use or access denied), 4 asked to leave or kicked.\n";

constexpr const char* kCommands =
    "* Commands: /msg NICK TEXT (private), /quit (leave), /help, //TEXT (a line starting with '/').\n"
    "* Any other line is sent as chat to everybody.";

struct Arguments {
  bool tls = false;
  std::string host;
  std::uint16_t port = kDefaultServerPort;
  bool portGiven = false;
  std::string nick;  // UTF-8, as typed
  std::string room;
};

struct UsageError {
  std::string message;
};

void Say(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Complain(std::string_view line) {
  std::fprintf(stderr, "parlivo-chat: %.*s\n", static_cast<int>(line.size()), line.data());
}

// Windows-1252 bytes from the wire as UTF-8 safe for a terminal: control
// characters (C0, DEL and the five bytes that map to C1 controls) become '?'.
std::string ForTerminal(std::string_view text) {
  std::string safe(text);
  for (char& c : safe) {
    const auto byte = static_cast<unsigned char>(c);
    const bool c1 = byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D;
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F || c1) c = '?';
  }
  return Windows1252ToUtf8(safe);
}

bool HasControlCharacters(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// Parses the command line; throws UsageError.
Arguments ParseArguments(std::vector<std::string> args) {
  Arguments parsed;
  const auto tls = std::find(args.begin(), args.end(), "--tls");
  if (tls != args.end()) {
    parsed.tls = true;
    args.erase(tls);
  }
  for (const std::string& arg : args) {
    if (arg.size() > 1 && arg[0] == '-') throw UsageError{"unknown option " + arg};
  }
  if (args.size() < 2) throw UsageError{"missing arguments: HOST[:PORT] and NICK are needed"};
  if (args.size() > 3) throw UsageError{"too many arguments"};
  std::string error;
  const std::optional<ServerAddress> address = ParseServerAddress(args[0], error);
  if (!address) throw UsageError{error};
  parsed.host = address->host;
  parsed.port = address->port;
  parsed.portGiven = address->portGiven;
  if (parsed.tls && !parsed.portGiven) parsed.port = kDefaultTlsServerPort;
  parsed.nick = args[1];
  if (parsed.nick.empty()) throw UsageError{"the nickname must not be empty"};
  if (HasControlCharacters(parsed.nick)) throw UsageError{"the nickname must not contain control characters"};
  if (args.size() == 3) parsed.room = args[2];
  if (HasControlCharacters(parsed.room)) throw UsageError{"the room must not contain control characters"};
  return parsed;
}

// UTF-8 from the command line to Windows-1252, telling the user when
// characters were lost on the way.
std::string ToWire(const std::string& utf8, const char* what) {
  std::string wire = Utf8ToWindows1252(utf8);
  if (Windows1252ToUtf8(wire) != utf8) {
    Say(std::string("* Note: the ") + what + " has characters the server's code page lacks; they are sent as '?'.");
  }
  return wire;
}

class ChatSession {
 public:
  explicit ChatSession(Arguments arguments) : args_(std::move(arguments)) {}

  int run() {
    std::string error;
    if (!Locate(error)) {
      Complain("cannot connect to " + Target() + ": " + error);
      return kExitFailed;
    }
    if (args_.tls) {
      const std::shared_ptr<TlsContext> context = TlsContext::Client(error);
      if (!context) {
        Complain(error);
        return kExitFailed;
      }
      connection_.useTls(context, KnownServers().Check(pins_, [](const std::string& note) { Say("* " + note); }));
    }
    if (!connection_.connect(endpoints_, kConnectTimeoutMs)) {
      Complain("cannot connect to " + Target() + ": " + connection_.error());
      return kExitFailed;
    }
    Say("* Connected to " + Target() + (args_.tls ? ", encrypted." : "."));
    nickWire_ = ToWire(args_.nick, "nickname");
    roomWire_ = ToWire(args_.room, "room");
    if (!connection_.registerUser(nickWire_, roomWire_)) return Lost();
    registerDeadline_ = Clock::now() + std::chrono::milliseconds(kRegisterTimeoutMs);
    while (!exit_) step();
    // Whatever ended the session, leave in an orderly way: closing outright
    // while the server still sends (a ping) would reset the connection.
    connection_.leave(kLeaveTimeoutMs);
    return *exit_;
  }

 private:
  std::string Target() const { return ServerAddressText({args_.host, args_.port}); }

  // Finds the addresses of what the user typed, and the keys its server's
  // key is pinned under (the name the user chose and those addresses).
  //
  // What the resolver knows comes first: an address, or a host name from
  // the hosts file or DNS. Only a name it has no address for is looked for
  // among the servers announced on the local network, where anybody can
  // announce any name; the other order would let an announcement called
  // "localhost", or called like a real host, take the user elsewhere. A
  // name found that way is pinned as the server's name; its pin as a host
  // name, if the user has one from a time the resolver knew it, must
  // agree too.
  bool Locate(std::string& error) {
    pins_ = {KnownServerKey(args_.host, args_.port), {}};
    endpoints_ = ChatConnection::Resolve(args_.host, args_.port, error);
    if (endpoints_.empty()) {
      const BrowseResult found = BrowseServers(kDiscoverMs, args_.host);
      const std::optional<FoundServer> server = found.servers.Find(args_.host);
      if (!server) return false;
      Say("* Found " + server->name + " on the local network at " + EndpointText(server->address, server->port) + ".");
      pins_ = {KnownServiceKey(server->name), {pins_.chosen}};
      args_.host = server->address;
      if (!args_.portGiven) args_.port = args_.tls && server->tlsPort != 0 ? server->tlsPort : server->port;
      endpoints_ = ChatConnection::Resolve(args_.host, args_.port, error);
    }
    for (const Endpoint& endpoint : endpoints_) pins_.also.push_back(KnownAddressKey(endpoint));
    return !endpoints_.empty();
  }

  int Lost() {
    Complain("connection to the server lost: " + connection_.error());
    return kExitFailed;
  }

  // One round of the poll loop.
  void step() {
    pollfd fds[2] = {};
    fds[0] = {connection_.fd(), static_cast<short>(POLLIN | (connection_.wantsWrite() ? POLLOUT : 0)), 0};
    const bool readInput = joined_ && !inputClosed_;
    fds[1] = {readInput ? STDIN_FILENO : -1, POLLIN, 0};
    const int ready = ::poll(fds, 2, joined_ ? -1 : MillisecondsUntilRegisterDeadline());
    if (ready < 0 && errno == EINTR) return;
    if (ready < 0) {
      Complain(std::string("poll failed: ") + std::strerror(errno));
      exit_ = kExitFailed;
      return;
    }
    if (ready == 0 && !joined_) {
      Complain("the server did not answer the registration within " + std::to_string(kRegisterTimeoutMs / 1000) +
               " seconds");
      exit_ = kExitFailed;
      return;
    }
    if ((fds[0].revents & POLLOUT) != 0 && !connection_.flush()) {
      exit_ = Lost();
      return;
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) readServer();
    if (!exit_ && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) readTyping();
  }

  int MillisecondsUntilRegisterDeadline() const {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(registerDeadline_ - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }

  void readServer() {
    const bool open = connection_.readAvailable();
    while (!exit_) {
      std::optional<ReceivedPacket> packet = connection_.nextPacket();
      if (!packet) break;
      show(*packet);
    }
    if (!exit_ && !open) exit_ = Lost();
  }

  void show(const ReceivedPacket& packet) {
    switch (packet.id) {
      case pidMessage: Say(ForTerminal(DecodeText(packet.payload))); return;
      case pidPrivateData: Say("[private] " + ForTerminal(packet.payload)); return;
      case pidUserList: Say("* Users: " + Roster(packet.payload)); return;
      case pidUserJoined: Say("* " + Name(packet.payload) + " joined."); return;
      case pidUserLeft: Say("* " + Name(packet.payload) + " left."); return;
      case pidAccessGranted: Joined(); return;
      case pidSameUserName:
        Complain("the nickname " + args_.nick + " is already in use on this server");
        exit_ = kExitRefused;
        return;
      case pidAccessDenied:
        Complain("access denied: the server did not let " + args_.nick + " in");
        exit_ = kExitRefused;
        return;
      case pidDisconnect: Removed("the server asked us to disconnect; disconnected"); return;
      case pidKick: Removed("kicked by the server; disconnected"); return;
      case pidConnected:
      case pidPing:  // already answered by the connection
      case pidPong: return;
      default: Say("* (ignored a packet with ID " + std::to_string(packet.id) + ")"); return;
    }
  }

  static std::string Name(std::string_view wire) { return wire.empty() ? "(no name)" : ForTerminal(wire); }

  static std::string Roster(std::string_view payload) {
    const std::vector<std::string> names = ParseUserList(payload);
    if (names.empty()) return "(nobody)";
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ", ") + Name(name);
    return list;
  }

  void Joined() {
    joined_ = true;
    Say("* Joined as " + args_.nick + (args_.room.empty() ? "" : " in room " + args_.room) +
        ". Type /help for the commands.");
  }

  void Removed(const std::string& why) {
    Complain(why);
    exit_ = kExitRemoved;
  }

  void readTyping() {
    char chunk[4096];
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (got <= 0) {
      inputClosed_ = true;
      if (!pendingLine_.empty()) handleLine(std::exchange(pendingLine_, {}));
      if (!exit_) leave();
      return;
    }
    pendingLine_.append(chunk, static_cast<std::size_t>(got));
    for (std::size_t end; !exit_ && (end = pendingLine_.find('\n')) != std::string::npos;) {
      std::string line = pendingLine_.substr(0, end);
      pendingLine_.erase(0, end + 1);
      handleLine(std::move(line));
    }
    // Input without line breaks (a binary file piped in) is not chat: it is
    // dropped rather than held in memory without end.
    if (pendingLine_.size() > kMaxLineBytes) {
      pendingLine_.clear();
      skippingLongLine_ = true;
      Complain("line too long; dropped");
    }
  }

  void handleLine(std::string line) {
    if (std::exchange(skippingLongLine_, false)) return;  // the tail of a line that was too long
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) return;
    if (line.rfind("//", 0) == 0) return sendChat(line.substr(1));
    if (line[0] != '/') return sendChat(line);
    const std::string command = line.substr(0, line.find(' '));
    if (command == "/quit") return leave();
    if (command == "/help") return Say(kCommands);
    if (command == "/msg") return sendPrivate(line);
    Say("* Unknown command " + command + ". Type /help for the commands.");
  }

  void sendChat(const std::string& utf8) {
    if (!connection_.sendChat(Utf8ToWindows1252(utf8))) exit_ = Lost();
  }

  // "/msg NICK TEXT"
  void sendPrivate(const std::string& line) {
    const std::size_t nickStart = line.find_first_not_of(' ', 4);
    const std::size_t nickEnd = nickStart == std::string::npos ? nickStart : line.find(' ', nickStart);
    if (nickEnd == std::string::npos || nickEnd + 1 >= line.size()) {
      Say("* Usage: /msg NICK TEXT");
      return;
    }
    const std::string nick = line.substr(nickStart, nickEnd - nickStart);
    const std::string text = line.substr(nickEnd + 1);
    if (!connection_.sendPrivate(Utf8ToWindows1252(nick), Utf8ToWindows1252(text))) {
      exit_ = Lost();
      return;
    }
    Say("[private to " + nick + "] " + text);
  }

  void leave() {
    Say("* Leaving.");
    exit_ = kExitLeft;
  }

  Arguments args_;
  std::vector<Endpoint> endpoints_;  // where the typed name leads, in the order to try
  PinTarget pins_;
  ChatConnection connection_;
  std::string nickWire_;
  std::string roomWire_;
  Clock::time_point registerDeadline_;
  bool joined_ = false;
  bool inputClosed_ = false;
  std::string pendingLine_;
  bool skippingLongLine_ = false;  // the rest of an over-long line is dropped too
  std::optional<int> exit_;
};

// Prints the servers announced on the local network, one line each.
int Discover() {
  const BrowseResult found = BrowseServers(kDiscoverMs);
  for (const FoundServer& server : found.servers.servers()) Say(FoundServerLine(server));
  if (!found.problem.empty()) {
    Complain("cannot look for servers: " + found.problem);
  } else if (found.servers.servers().empty()) {
    Complain("no servers found on the local network");
  }
  return kExitLeft;
}

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitLeft;
    }
  }
  // Finding servers runs on Qt's event loop; the chat does not.
  QCoreApplication app(argc, argv);
  if (args.size() == 1 && args[0] == "--discover") return Discover();
  Arguments parsed;
  try {
    parsed = ParseArguments(args);
  } catch (const UsageError& error) {
    Complain(error.message);
    std::fputs("Try 'parlivo-chat --help' for more information.\n", stderr);
    return kExitUsage;
  }
  // A closed terminal or pipe must end us with a message, not a signal.
  std::signal(SIGPIPE, SIG_IGN);
  return ChatSession(std::move(parsed)).run();
}

}  // namespace
}  // namespace parlivo

int main(int argc, char** argv) {
  try {
    return parlivo::Main(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "parlivo-chat: unexpected error: %s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "parlivo-chat: unexpected error\n");
  }
  return parlivo::kExitFailed;
}
