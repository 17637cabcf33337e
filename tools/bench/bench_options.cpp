#include "bench_options.h"

#include <charconv>
#include <functional>
#include <optional>
#include <string_view>

namespace parlivo::bench {

const char* const kBenchUsage =
    "Usage: parlivo-bench [OPTIONS]\n"
    "\n"
    "Load generator for a Parlivo chat server. Connects many clients from one\n"
    "process, registers them, lets some of them send chat and counts what the\n"
    "server relays to every client (the relay goes to everybody, the sender\n"
    "included). All clients answer the server's pings throughout.\n"
    "\n"
    "Options (defaults in brackets):\n"
    "  --host HOST        server address (IPv4 or IPv6) or host name [127.0.0.1]\n"
    "  --port PORT        server port [65535]\n"
    "  --clients N        clients to connect and register [10]\n"
    "  --rooms R          spread the clients over R rooms (room-1 .. room-R) [1]\n"
    "  --senders K        clients that send chat, at most N [1]\n"
    "  --messages M       messages per sender [100]\n"
    "  --size S           bytes of chat text per message, at least 64 [64]\n"
    "  --window W         a sender waits once W of its messages have not come\n"
    "                     back to it yet [8]\n"
    "  --rate X           instead of a window: X messages per second per sender\n"
    "  --duration SECS    hard stop for the whole run, decimals allowed; its last\n"
    "                     part (up to a third) is kept for the clients to leave [60]\n"
    "  --prefix P         nicknames are P-0, P-1, ... [bench]\n"
    "  --tls              every client speaks TLS (give the server's TLS port with\n"
    "                     --port); the server's key is not checked\n"
    "  --connect-only     only connect, register and answer pings until the\n"
    "                     duration is over; no chat\n"
    "  --server-pid PID   the server's process (on this machine): report how much\n"
    "                     CPU it used while the clients chatted (or held)\n"
    "  --connect-batch B  well-behaved clients connecting at the same time, or\n"
    "                     'all' for every one at once [4]\n"
    "\n"
    "Misbehaving clients, on top of the N well-behaved ones. They start when the\n"
    "sending starts (or, with --connect-only, once every client is registered):\n"
    "  --churn K          K clients per second reset their connection (as a killed\n"
    "                     program's connection ends) and connect and register again\n"
    "  --stalled S        S clients register and then never read anything again\n"
    "  --burst B          B more clients connect all at once; each must be greeted\n"
  "  --stalled-pong S   S clients register and never read again, but send a pong\n"
  "                     (ID 10) every second as if they were alive\n"
  "  --half-bodies H    H clients register, announce a text of --half-body-size\n"
  "                     bytes, send only half of it and hold (reading what comes)\n"
  "  --half-body-size B the size those texts announce, 1024 to 16777216 [16777216]\n"
  "  --flooders F       F clients send texts as fast as their socket takes them,\n"
  "                     reading promptly; the report gives their achieved rate\n"
  "  --flood-size B     bytes of each flood text, 64 to 1048576 [65536]\n"
  "\n"
  "Flow control:\n"
  "  --read-rate BPS    well-behaved clients read at most BPS bytes a second\n"
  "                     (a slow link or a slow machine); default: all they can\n"
  "  --big-text B       each sender's first text is B bytes, 64 to 11184548 (on\n"
  "                     the wire 1.5 times as much: 11184548 fills a 16 MiB packet)\n"
  "  --slow-ok          a sender the server slows down is no failure: the run\n"
  "                     sends until its sending time is over, texts unsent or in\n"
  "                     flight at the end are fine, and it fails only on lost\n"
  "                     texts and cut-off clients\n"
  "  --timeline FILE    write a CSV line every half second while chatting:\n"
  "                     seconds,server_rss_kib,held_back_ms,senders_held,\n"
  "                     texts_offered,texts_sent,deliveries (server_rss_kib needs\n"
  "                     --server-pid; held_back_ms adds up every sender's\n"
  "                     held-back time in that half second)\n"
    "  --json             print the report as one JSON line\n"
    "  --quiet            no progress lines on standard error\n"
    "  --help             show this text\n"
    "\n"
    "\n"
    "Phases: connect all clients, register all, then the senders send. Every\n"
    "message carries a marker with its sender, sequence number and send time;\n"
    "each client counts the relayed messages it receives, and each sender\n"
    "measures the time until its own message comes back (latency).\n"
    "The report gives clients connected and registered, pings answered,\n"
    "deliveries, deliveries per second, expected deliveries (senders x\n"
    "messages x clients), lost deliveries and latency p50/p99/max in ms; with\n"
    "misbehaving clients also their resets, rejoins and drops, the burst's\n"
    "greeting time, and whether the server stayed online (no well-behaved or\n"
    "burst client was cut off or asked to leave); with --server-pid the\n"
    "server's CPU share and deliveries per server CPU-second, and always the\n"
    "load generator's own CPU share (near 100% means it, not the server, is\n"
    "the limit).\n"
    "\n"
    "\n"
    "Texts are counted five ways: offered (queued by a sender), sent (the socket\n"
    "took every byte), accepted (the sender received its own text back: the\n"
    "server relays every text to every client, its sender included, and queues\n"
    "all copies at once), delivered (received by a well-behaved client) and lost\n"
    "(accepted, but never received by a client that kept reading to the end).\n"
    "A sent text not accepted by the end is in flight: a server that slows its\n"
    "senders may leave it in their socket buffers; that is no loss. A sender is\n"
    "held back while it has bytes its socket does not take; the report gives\n"
    "the total and the longest of any one sender. The last part of the sending\n"
    "time (up to 5 s) is kept for what was sent to arrive; that drain ends early\n"
    "once everything sent was accepted and delivered, or once nothing has\n"
    "arrived for 3 s.\n"
    "\n"
    "Exit status: 0 all delivered, 1 deliveries lost, registration refused, a\n"
    "well-behaved connection lost or a burst client not greeted, 2 bad arguments,\n"
    "3 cannot connect.\n";

namespace {

constexpr std::uint32_t kMaxClients = 100000;
constexpr std::uint32_t kMaxMessages = 10000000;
constexpr std::uint32_t kMaxTextSize = 1024 * 1024;
constexpr std::uint32_t kMaxWindow = 1000000;
constexpr double kMaxRate = 1000000;
constexpr double kMaxDuration = 7 * 24 * 3600;
constexpr double kMaxChurn = 10000;
constexpr double kMaxReadRate = 1e10;

std::uint32_t ParseCount(const std::string& option, std::string_view text, std::uint32_t low, std::uint32_t high) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    throw UsageError{option + " needs a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                     ", not '" + std::string(text) + "'"};
  }
  return static_cast<std::uint32_t>(value);
}

double ParsePositive(const std::string& option, std::string_view text, double high) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !(value > 0) || value > high) {
    throw UsageError{option + " needs a number above 0 and at most " + std::to_string(static_cast<long long>(high)) +
                     ", not '" + std::string(text) + "'"};
  }
  return value;
}

struct OptionRule {
  const char* name;
  bool takesValue;
  std::function<void(BenchOptions&, const std::string& option, std::string_view value)> apply;
};

const std::vector<OptionRule>& Rules() {
  static const std::vector<OptionRule> rules = {
      {"--host", true, [](BenchOptions& o, const std::string& n, std::string_view v) {
         if (v.empty()) throw UsageError{n + " needs a host name or address"};
         o.host = v;
       }},
      {"--port", true, [](BenchOptions& o, const std::string& n, std::string_view v) {
         o.port = static_cast<std::uint16_t>(ParseCount(n, v, 1, 65535));
       }},
      {"--clients", true,
       [](BenchOptions& o, const std::string& n, std::string_view v) { o.clients = ParseCount(n, v, 1, kMaxClients); }},
      {"--rooms", true,
       [](BenchOptions& o, const std::string& n, std::string_view v) { o.rooms = ParseCount(n, v, 1, kMaxClients); }},
      {"--senders", true,
       [](BenchOptions& o, const std::string& n, std::string_view v) { o.senders = ParseCount(n, v, 1, kMaxClients); }},
      {"--messages", true, [](BenchOptions& o, const std::string& n,
                              std::string_view v) { o.messages = ParseCount(n, v, 1, kMaxMessages); }},
      {"--size", true, [](BenchOptions& o, const std::string& n, std::string_view v) {
         o.size = ParseCount(n, v, kMinTextSize, kMaxTextSize);
       }},
      {"--window", true,
       [](BenchOptions& o, const std::string& n, std::string_view v) { o.window = ParseCount(n, v, 1, kMaxWindow); }},
      {"--rate", true,
       [](BenchOptions& o, const std::string& n, std::string_view v) { o.rate = ParsePositive(n, v, kMaxRate); }},
      {"--duration", true, [](BenchOptions& o, const std::string& n,
                              std::string_view v) { o.duration = ParsePositive(n, v, kMaxDuration); }},
      {"--prefix", true, [](BenchOptions& o, const std::string& n, std::string_view v) {
         if (v.empty() || v.size() > 32 || v.find_first_of(" \r\n\t") != std::string_view::npos) {
           throw UsageError{n + " needs 1 to 32 characters without spaces"};
         }
         o.prefix = v;
       }},
      {"--connect-batch", true, [](BenchOptions& o, const std::string& n, std::string_view v) {
         o.connectBatch = v == "all" ? 0 : ParseCount(n, v, 1, kMaxClients);
       }},
      {"--server-pid", true, [](BenchOptions& o, const std::string& n, std::string_view v) {
         o.serverPid = static_cast<int>(ParseCount(n, v, 1, 0x7fffffff));
       }},
      {"--churn", true,
       [](BenchOptions& o, const std::string& n, std::string_view v) { o.churn = ParsePositive(n, v, kMaxChurn); }},
      {"--stalled", true,
       [](BenchOptions& o, const std::string& n, std::string_view v) { o.stalled = ParseCount(n, v, 1, kMaxClients); }},
      {"--burst", true,
       [](BenchOptions& o, const std::string& n, std::string_view v) { o.burst = ParseCount(n, v, 1, kMaxClients); }},
      {"--stalled-pong", true, [](BenchOptions& o, const std::string& n,
                                  std::string_view v) { o.stalledPong = ParseCount(n, v, 1, kMaxClients); }},
      {"--half-bodies", true, [](BenchOptions& o, const std::string& n,
                                 std::string_view v) { o.halfBodies = ParseCount(n, v, 1, kMaxClients); }},
      {"--half-body-size", true, [](BenchOptions& o, const std::string& n, std::string_view v) {
         o.halfBodySize = ParseCount(n, v, 1024, kMaxPacketBytes);
       }},
      {"--flooders", true,
       [](BenchOptions& o, const std::string& n, std::string_view v) { o.flooders = ParseCount(n, v, 1, kMaxClients); }},
      {"--flood-size", true, [](BenchOptions& o, const std::string& n, std::string_view v) {
         o.floodSize = ParseCount(n, v, kMinTextSize, kMaxTextSize);
       }},
      {"--read-rate", true, [](BenchOptions& o, const std::string& n,
                               std::string_view v) { o.readRate = ParsePositive(n, v, kMaxReadRate); }},
      {"--big-text", true, [](BenchOptions& o, const std::string& n, std::string_view v) {
         o.bigText = ParseCount(n, v, kMinTextSize, kMaxBigText);
       }},
      {"--slow-ok", false, [](BenchOptions& o, const std::string&, std::string_view) { o.slowOk = true; }},
      {"--timeline", true, [](BenchOptions& o, const std::string& n, std::string_view v) {
         if (v.empty()) throw UsageError{n + " needs a file name"};
         o.timeline = v;
       }},
      {"--json", false, [](BenchOptions& o, const std::string&, std::string_view) { o.json = true; }},
      {"--connect-only", false, [](BenchOptions& o, const std::string&, std::string_view) { o.connectOnly = true; }},
      {"--tls", false, [](BenchOptions& o, const std::string&, std::string_view) { o.tls = true; }},
      {"--quiet", false, [](BenchOptions& o, const std::string&, std::string_view) { o.quiet = true; }},
      {"--help", false, [](BenchOptions& o, const std::string&, std::string_view) { o.help = true; }},
  };
  return rules;
}

const OptionRule* FindRule(std::string_view name) {
  for (const OptionRule& rule : Rules()) {
    if (name == rule.name) return &rule;
  }
  return nullptr;
}

// Checks that hold between options.
void CheckTogether(const BenchOptions& o, bool windowGiven) {
  if (windowGiven && o.rate > 0) throw UsageError{"use either --window or --rate, not both"};
  if (o.senders > o.clients) {
    throw UsageError{"--senders (" + std::to_string(o.senders) + ") cannot exceed --clients (" +
                     std::to_string(o.clients) + ")"};
  }
  if (o.connectOnly && (o.flooders > 0 || o.bigText > 0)) {
    throw UsageError{"--flooders and --big-text send chat; they do not go with --connect-only"};
  }
  if (o.rooms > o.clients) {
    throw UsageError{"--rooms (" + std::to_string(o.rooms) + ") cannot exceed --clients (" +
                     std::to_string(o.clients) + ")"};
  }
}

}  // namespace

BenchOptions ParseBenchOptions(const std::vector<std::string>& args) {
  BenchOptions options;
  // --help wins over everything else on the line, mistakes included.
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return options;
    }
  }
  bool windowGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const OptionRule* rule = FindRule(name);
    if (rule == nullptr) {
      throw UsageError{arg.rfind("-", 0) == 0 ? "unknown option " + name : "unexpected argument '" + arg + "'"};
    }
    std::optional<std::string> value;
    if (equals != std::string::npos) value = arg.substr(equals + 1);
    if (rule->takesValue && !value) {
      if (i + 1 >= args.size()) throw UsageError{name + " needs a value"};
      value = args[++i];
    }
    if (!rule->takesValue && value) throw UsageError{name + " takes no value"};
    rule->apply(options, rule->name, value.value_or(""));
    if (name == "--window") windowGiven = true;
  }
  CheckTogether(options, windowGiven);
  return options;
}

}  // namespace parlivo::bench
