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
  return std::uint64_t{o.clients} + o.stalled + ChurnClients(o) + o.burst;
}

struct UsageError {
  std::string message;
};

extern const char* const kBenchUsage;

// Parses argv[1..]; throws UsageError. "--name value" and "--name=value" both work.
BenchOptions ParseBenchOptions(const std::vector<std::string>& args);

}  // namespace parlivo::bench
