#pragma once
// The result of one parlivo-bench run and its two printed forms: a table
// for people and one JSON line for scripts. Pure functions, no I/O.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace parlivo::bench {

struct LatencySummary {
  double p50Ms = 0;
  double p99Ms = 0;
  double maxMs = 0;
};

struct BenchReport {
  std::uint32_t clients = 0;  // asked for
  std::uint32_t connected = 0;
  std::uint32_t registered = 0;
  std::uint32_t nameInUse = 0;     // ID 16 answers
  std::uint32_t accessDenied = 0;  // ID 17 answers
  std::uint32_t connectionsLost = 0;  // well-behaved clients cut off
  // Misbehaving clients: what was asked for and what came of it.
  double churnPerSecond = 0;
  std::uint64_t churnResets = 0;
  std::uint64_t churnRejoins = 0;  // registrations granted to churners
  std::uint32_t stalled = 0;
  std::uint32_t stalledDropped = 0;  // stalled clients the server let go
  std::uint32_t burst = 0;
  std::uint32_t burstGreeted = 0;
  double burstSeconds = 0;  // from the burst's start until its last greeting
  bool serverStayedOnline = true;  // no well-behaved or burst client was cut off
  // CPU while the clients chatted (or held): wall seconds measured, and the
  // CPU seconds the server (when its pid was given) and this tool used.
  double measuredSeconds = 0;
  std::optional<double> serverCpuSeconds;
  double benchCpuSeconds = 0;
  std::uint64_t pingsAnswered = 0;
  std::uint32_t senders = 0;
  std::uint32_t messagesPerSender = 0;
  std::uint32_t size = 0;
  bool connectOnly = false;
  std::uint64_t messagesSent = 0;  // texts offered (kept under its old name for scripts)
  std::uint64_t textsSent = 0;     // texts whose every byte the socket took
  // Sent texts whose sender received their echo (the server queued them
  // for everybody), and sent ones it had not by the end (in flight).
  std::uint64_t textsAccepted = 0;
  std::uint64_t textsInFlight = 0;
  std::uint64_t deliveries = 0;
  std::uint64_t expectedDeliveries = 0;
  // Accepted texts times the clients that kept reading to the end, and how
  // many of those deliveries never arrived.
  std::uint64_t deliveriesDue = 0;
  std::uint64_t lost = 0;
  std::uint32_t readersKept = 0;  // well-behaved clients still connected at the end
  // Time senders had bytes their socket would not take: all senders added
  // up, the longest of any one, and how many were held back at all.
  double heldBackSeconds = 0;
  double heldBackMaxSeconds = 0;
  std::uint32_t sendersHeldBack = 0;
  bool slowOk = false;
  double readRate = 0;
  std::uint32_t bigText = 0;
  // Flooders: texts and bytes their sockets took, their rate over the time
  // they flooded, their held-back time added up, and how many were cut off.
  std::uint32_t flooders = 0;
  std::uint64_t floodTextsSent = 0;
  double floodBytesPerSecond = 0;
  double floodHeldBackSeconds = 0;
  std::uint32_t floodersDropped = 0;
  std::uint32_t stalledPong = 0;
  std::uint32_t stalledPongDropped = 0;
  std::uint32_t halfBodies = 0;
  std::uint32_t halfBodiesDropped = 0;
  double halfBodyDropSeconds = 0;  // mean time from the half-sent body to the drop
  // Arrived after a later message of the same sender (or twice); not
  // counted as deliveries.
  std::uint64_t outOfOrder = 0;
  double elapsedSeconds = 0;
  double connectSeconds = 0;   // from the start until every client was greeted
  double registerSeconds = 0;  // from then until every registration was answered
  double sendSeconds = 0;  // from the first message sent to the last delivery
  std::optional<LatencySummary> latency;
  std::string error;  // why the run stopped early; empty when it did not
  int exitStatus = 0;

  std::uint64_t lostDeliveries() const { return lost; }
  double deliveriesPerSecond() const { return sendSeconds > 0 ? static_cast<double>(deliveries) / sendSeconds : 0; }
  double Share(double cpuSeconds) const { return measuredSeconds > 0 ? cpuSeconds / measuredSeconds : 0; }
  double deliveriesPerServerCpuSecond() const {
    return serverCpuSeconds && *serverCpuSeconds > 0 ? static_cast<double>(deliveries) / *serverCpuSeconds : 0;
  }
};

// p50, p99 and max of the samples (nearest-rank); nullopt without samples.
// Reorders `samples`.
std::optional<LatencySummary> SummarizeLatency(std::vector<double>& samplesMs);

std::string FormatTable(const BenchReport& report);
// One line of JSON, without a line break.
std::string FormatJson(const BenchReport& report);

}  // namespace parlivo::bench
