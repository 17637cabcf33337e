#pragma once
// Command-line options of parlivo-bench: defaults, parsing and validation.
// Parsing never touches the network; a bad option is a UsageError whose
// text names the option and what it accepts.

#include <cstdint>
#include <string>
#include <vector>

namespace parlivo::bench {

// The shortest chat text that still holds the whole marker the run puts in
// every message ("pb RUN SENDER SEQ SENDTIME ").
inline constexpr std::uint32_t kMinTextSize = 64;
// The largest packet a peer may announce (16 MiB), and the longest --big-text
// whose relayed copy, behind the "[BC from NICK @ ROOM]: " prefix and
// encoded (4 bytes become 6 symbols), still fits in one.
inline constexpr std::uint32_t kMaxPacketBytes = 16 * 1024 * 1024;
inline constexpr std::uint32_t kMaxBigText = (kMaxPacketBytes - 8) / 6 * 4 - 256;

struct BenchOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 65535;
  std::uint32_t clients = 10;
  std::uint32_t rooms = 1;
  std::uint32_t senders = 1;
  std::uint32_t messages = 100;   // per sender
  std::uint32_t size = kMinTextSize;  // bytes of chat text
  std::uint32_t window = 8;       // unanswered own messages per sender (when rate == 0)
  double rate = 0;                // messages per second per sender; 0: use the window
  double duration = 60;           // seconds, hard stop
  std::string prefix = "bench";   // nicknames are PREFIX-0, PREFIX-1, ...
  // Well-behaved clients that connect at the same time; 0: all at once.
  std::uint32_t connectBatch = 4;
  // Misbehaving clients, besides the well-behaved ones (whose losses are
  // what the run counts):
  double churn = 0;            // clients per second that reset their connection and come back
  std::uint32_t stalled = 0;   // clients that register and then never read
  std::uint32_t burst = 0;     // clients that connect all at once when sending starts
  std::uint32_t stalledPong = 0;  // never read, but send a pong every second
  std::uint32_t halfBodies = 0;   // announce a big text and send only half of it
  std::uint32_t halfBodySize = kMaxPacketBytes;  // the size they announce
  std::uint32_t flooders = 0;     // send texts as fast as their socket takes them
  std::uint32_t floodSize = 64 * 1024;  // bytes of each flood text
  double readRate = 0;            // bytes per second a well-behaved reader takes; 0: all it can
  std::uint32_t bigText = 0;      // each sender's first text has this many bytes; 0: none
  // Senders the server slows so that not all of --messages go out within
  // --duration are no failure; only lost texts and cut-off readers are.
  bool slowOk = false;
  std::string timeline;           // CSV file for a time series; empty: none
  bool tls = false;               // every client connects through TLS (to the TLS port)
  int serverPid = 0;            // when set, the server's CPU use is reported
  bool json = false;
  bool connectOnly = false;
  bool quiet = false;
  bool help = false;
};

// Clients that --churn keeps cycling: each waits ChurnClients / churn
// seconds between its registration and its reset, so that together they
// reset `churn` connections a second.
inline std::uint32_t ChurnClients(const BenchOptions& o) {
  if (o.churn <= 0) return 0;
  const auto whole = static_cast<std::uint32_t>(o.churn);
  return whole < o.churn ? whole + 1 : whole;
}

// Every connection the run opens at the same time, misbehaving ones included.
inline std::uint64_t TotalClients(const BenchOptions& o) {
  return std::uint64_t{o.clients} + o.stalled + ChurnClients(o) + o.burst + o.stalledPong + o.halfBodies + o.flooders;
}

struct UsageError {
  std::string message;
};

extern const char* const kBenchUsage;

// Parses argv[1..]; throws UsageError. "--name value" and "--name=value" both work.
BenchOptions ParseBenchOptions(const std::vector<std::string>& args);

}  // namespace parlivo::bench
