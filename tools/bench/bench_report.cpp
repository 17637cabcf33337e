#include "bench_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace parlivo::bench {
namespace {

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// Nearest rank of fraction `p` in sorted samples.
double Rank(const std::vector<double>& sorted, double p) {
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

void Row(std::string& out, const char* label, const std::string& value) {
  char line[160];
  std::snprintf(line, sizeof line, "  %-22s %s\n", label, value.c_str());
  out += line;
}

}  // namespace

std::optional<LatencySummary> SummarizeLatency(std::vector<double>& samplesMs) {
  if (samplesMs.empty()) return std::nullopt;
  std::sort(samplesMs.begin(), samplesMs.end());
  return LatencySummary{Rank(samplesMs, 0.50), Rank(samplesMs, 0.99), samplesMs.back()};
}

std::string FormatTable(const BenchReport& r) {
  std::string out = "parlivo-bench report\n";
  Row(out, "clients connected", std::to_string(r.connected) + " of " + std::to_string(r.clients));
  Row(out, "clients registered", std::to_string(r.registered) + " (name in use " + std::to_string(r.nameInUse) +
                                      ", access denied " + std::to_string(r.accessDenied) + ")");
  Row(out, "connections lost", std::to_string(r.connectionsLost) + " (well-behaved clients cut off)");
  Row(out, "pings answered", std::to_string(r.pingsAnswered));
  if (!r.connectOnly) {
    Row(out, "texts offered", std::to_string(r.messagesSent) + " of " +
                                  std::to_string(std::uint64_t{r.senders} * r.messagesPerSender) + " (" +
                                  std::to_string(r.size) + " bytes each" +
                                  (r.bigText > 0 ? ", the first " + std::to_string(r.bigText) : std::string()) + ")");
    Row(out, "texts sent", std::to_string(r.textsSent) + " (taken whole by the socket)");
    Row(out, "texts accepted", std::to_string(r.textsAccepted) + " (echoed to their sender)");
    Row(out, "texts in flight", std::to_string(r.textsInFlight) + " (sent, not echoed by the end; not lost)");
    Row(out, "deliveries", std::to_string(r.deliveries));
    Row(out, "expected deliveries", std::to_string(r.expectedDeliveries));
    Row(out, "deliveries due", std::to_string(r.deliveriesDue) + " (accepted x " + std::to_string(r.readersKept) +
                                   " clients that kept reading)");
    Row(out, "lost deliveries", std::to_string(r.lostDeliveries()));
    Row(out, "senders held back", std::to_string(r.sendersHeldBack) + " of " + std::to_string(r.senders) + ", " +
                                      Fixed(r.heldBackSeconds, 3) + " s in all, at most " +
                                      Fixed(r.heldBackMaxSeconds, 3) + " s for one");
    Row(out, "out of order", std::to_string(r.outOfOrder));
    Row(out, "deliveries per second", Fixed(r.deliveriesPerSecond(), 1));
    Row(out, "latency p50/p99/max",
        r.latency ? Fixed(r.latency->p50Ms, 3) + " / " + Fixed(r.latency->p99Ms, 3) + " / " +
                        Fixed(r.latency->maxMs, 3) + " ms"
                  : std::string("(no samples)"));
  }
  Row(out, "connect / register", Fixed(r.connectSeconds, 3) + " / " + Fixed(r.registerSeconds, 3) + " s");
  if (r.churnPerSecond > 0) {
    Row(out, "churn", Fixed(r.churnPerSecond, 1) + "/s: " + std::to_string(r.churnResets) + " resets, " +
                          std::to_string(r.churnRejoins) + " rejoins");
  }
  if (r.stalled > 0) {
    Row(out, "stalled readers", std::to_string(r.stalled) + " (" + std::to_string(r.stalledDropped) +
                                    " dropped by the server)");
  }
  if (r.readRate > 0) Row(out, "read rate", Fixed(r.readRate, 0) + " bytes/s per well-behaved client");
  if (r.flooders > 0) {
    Row(out, "flooders", std::to_string(r.flooders) + ": " + std::to_string(r.floodTextsSent) + " texts sent, " +
                             Fixed(r.floodBytesPerSecond / 1e6, 3) + " MB/s, held back " +
                             Fixed(r.floodHeldBackSeconds, 3) + " s, " + std::to_string(r.floodersDropped) +
                             " dropped by the server");
  }
  if (r.stalledPong > 0) {
    Row(out, "stalled, ponging", std::to_string(r.stalledPong) + " (" + std::to_string(r.stalledPongDropped) +
                                     " dropped by the server)");
  }
  if (r.halfBodies > 0) {
    Row(out, "half-sent bodies", std::to_string(r.halfBodies) + " (" + std::to_string(r.halfBodiesDropped) +
                                     " dropped by the server" +
                                     (r.halfBodiesDropped > 0 ? ", after " + Fixed(r.halfBodyDropSeconds, 1) +
                                                                    " s on average"
                                                              : std::string()) +
                                     ")");
  }
  if (r.burst > 0) {
    Row(out, "burst", std::to_string(r.burstGreeted) + " of " + std::to_string(r.burst) + " greeted in " +
                          Fixed(r.burstSeconds, 3) + " s");
  }
  Row(out, "server stayed online", r.serverStayedOnline ? "yes" : "NO");
  if (r.serverCpuSeconds) {
    Row(out, "server CPU", Fixed(100 * r.Share(*r.serverCpuSeconds), 1) + "% of one core" +
                               (r.connectOnly ? std::string()
                                              : ", " + Fixed(r.deliveriesPerServerCpuSecond(), 0) +
                                                    " deliveries per CPU-second"));
  }
  Row(out, "load generator CPU", Fixed(100 * r.Share(r.benchCpuSeconds), 1) + "% of one core");
  Row(out, "elapsed", Fixed(r.elapsedSeconds, 3) + " s");
  if (!r.error.empty()) Row(out, "stopped", r.error);
  Row(out, "result", r.exitStatus == 0 ? "ok" : "FAILED (exit status " + std::to_string(r.exitStatus) + ")");
  return out;
}

std::string FormatJson(const BenchReport& r) {
  std::string out = "{";
  auto field = [&](const char* name, const std::string& value) {
    if (out.size() > 1) out += ",";
    out += "\"";
    out += name;
    out += "\":";
    out += value;
  };
  field("clients", std::to_string(r.clients));
  field("connected", std::to_string(r.connected));
  field("registered", std::to_string(r.registered));
  field("name_in_use", std::to_string(r.nameInUse));
  field("access_denied", std::to_string(r.accessDenied));
  field("connections_lost", std::to_string(r.connectionsLost));
  field("pings_answered", std::to_string(r.pingsAnswered));
  field("connect_only", r.connectOnly ? "true" : "false");
  field("senders", std::to_string(r.senders));
  field("messages_per_sender", std::to_string(r.messagesPerSender));
  field("size", std::to_string(r.size));
  field("messages_sent", std::to_string(r.messagesSent));
  field("deliveries", std::to_string(r.deliveries));
  field("expected_deliveries", std::to_string(r.expectedDeliveries));
  field("texts_offered", std::to_string(r.messagesSent));
  field("texts_sent", std::to_string(r.textsSent));
  field("texts_accepted", std::to_string(r.textsAccepted));
  field("texts_in_flight", std::to_string(r.textsInFlight));
  field("deliveries_due", std::to_string(r.deliveriesDue));
  field("lost_deliveries", std::to_string(r.lostDeliveries()));
  field("readers_kept_reading", std::to_string(r.readersKept));
  field("readers_cut_off", std::to_string(r.connectionsLost));
  field("held_back_seconds", Fixed(r.heldBackSeconds, 3));
  field("held_back_max_seconds", Fixed(r.heldBackMaxSeconds, 3));
  field("senders_held_back", std::to_string(r.sendersHeldBack));
  field("slow_ok", r.slowOk ? "true" : "false");
  field("read_rate", Fixed(r.readRate, 0));
  field("big_text", std::to_string(r.bigText));
  field("flooders", std::to_string(r.flooders));
  field("flood_texts_sent", std::to_string(r.floodTextsSent));
  field("flood_bytes_per_second", Fixed(r.floodBytesPerSecond, 0));
  field("flood_held_back_seconds", Fixed(r.floodHeldBackSeconds, 3));
  field("flooders_dropped", std::to_string(r.floodersDropped));
  field("stalled_pong", std::to_string(r.stalledPong));
  field("stalled_pong_dropped", std::to_string(r.stalledPongDropped));
  field("half_bodies", std::to_string(r.halfBodies));
  field("half_bodies_dropped", std::to_string(r.halfBodiesDropped));
  field("half_body_drop_seconds", Fixed(r.halfBodyDropSeconds, 3));
  field("out_of_order", std::to_string(r.outOfOrder));
  field("deliveries_per_second", Fixed(r.deliveriesPerSecond(), 1));
  field("latency_ms", r.latency ? "{\"p50\":" + Fixed(r.latency->p50Ms, 3) + ",\"p99\":" +
                                      Fixed(r.latency->p99Ms, 3) + ",\"max\":" + Fixed(r.latency->maxMs, 3) + "}"
                                : std::string("null"));
  field("churn_per_second", Fixed(r.churnPerSecond, 1));
  field("churn_resets", std::to_string(r.churnResets));
  field("churn_rejoins", std::to_string(r.churnRejoins));
  field("stalled", std::to_string(r.stalled));
  field("stalled_dropped", std::to_string(r.stalledDropped));
  field("burst", std::to_string(r.burst));
  field("burst_greeted", std::to_string(r.burstGreeted));
  field("burst_seconds", Fixed(r.burstSeconds, 3));
  field("server_stayed_online", r.serverStayedOnline ? "true" : "false");
  field("server_cpu_share", r.serverCpuSeconds ? Fixed(r.Share(*r.serverCpuSeconds), 3) : std::string("null"));
  field("deliveries_per_server_cpu_second", Fixed(r.deliveriesPerServerCpuSecond(), 1));
  field("bench_cpu_share", Fixed(r.Share(r.benchCpuSeconds), 3));
  field("connect_seconds", Fixed(r.connectSeconds, 3));
  field("register_seconds", Fixed(r.registerSeconds, 3));
  field("elapsed_seconds", Fixed(r.elapsedSeconds, 3));
  field("error", JsonString(r.error));
  field("exit_status", std::to_string(r.exitStatus));
  return out + "}";
}

}  // namespace parlivo::bench
