#include "well_behaved.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "encoding/text_codec.h"
#include "transport/packet_ids.h"

namespace parlivo::bench {
namespace {

// A rate-limited reader waits for its socket only once it may take this much.
constexpr std::size_t kMinReadPortion = 4096;

// Reads one space-terminated unsigned number at `text`'s front and drops it.
template <typename Number>
bool TakeNumber(std::string_view& text, Number& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data() + text.size() || *end != ' ') return false;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()) + 1);
  return true;
}

}  // namespace

WellBehavedClients::WellBehavedClients(const BenchOptions& options, RunState& run, ClientPool& pool,
                                       std::string marker)
    : Role(options, run, pool), marker_(marker), senders_(options, run, pool, *this, std::move(marker)) {}

void WellBehavedClients::AddClients() {
  Place(options_.clients);
  readers_.resize(count_);
  senders_.Place(first_, options_.senders);
  for (std::size_t at = 0; at < count_; ++at) {
    client(at).nick = options_.prefix + "-" + std::to_string(at);
    client(at).room = "room-" + std::to_string(at % options_.rooms + 1);
  }
}

void WellBehavedClients::Connect() {
  const auto now = Clock::now();
  for (std::size_t i = 0; i < nextToConnect_ && run_.phase == Phase::Connect; ++i) {
    PoolClient& waiting = client(i);
    if (waiting.stage == Stage::Connecting || waiting.stage == Stage::AwaitGreeting) {
      if (now > waiting.greetingDeadline) ConnectFailed(waiting, "timed out");
    }
  }
  const std::size_t batch = options_.connectBatch == 0 ? count_ : options_.connectBatch;
  while (run_.phase == Phase::Connect && inFlight_ < batch && nextToConnect_ < count_) {
    const std::size_t next = nextToConnect_++;
    ++inFlight_;
    pool_.StartConnect(client(next));
  }
}

void WellBehavedClients::Register() {
  for (std::size_t i = 0; i < count_; ++i) {
    PoolClient& joining = client(i);
    joining.stage = Stage::Registering;
    if (!joining.connection.registerUser(joining.nick, joining.room)) Lost(joining, joining.connection.error());
  }
}

void WellBehavedClients::StartChatting(Clock::time_point at) {
  sendStart_ = lastDelivery_ = lastArrival_ = at;
  senders_.Start(at);
  for (Reader& reader : readers_) {
    reader.nextSeq.assign(options_.senders, 0);
    reader.received.assign(options_.senders, 0);
    if (options_.readRate > 0) reader.readBudget.emplace(options_.readRate, at);
  }
}

bool WellBehavedClients::SendersDone() const {
  for (std::uint32_t s = 0; s < options_.senders; ++s) {
    if (!senders_.Finished(s)) return false;
  }
  return true;
}

bool WellBehavedClients::AllDelivered() const {
  bool unaccepted = false;
  std::uint64_t accepted = 0;
  for (std::uint32_t s = 0; s < options_.senders; ++s) {
    const std::uint64_t sent = senders_.SentBy(s);
    const std::uint64_t echoed = std::min<std::uint64_t>(sent, readers_[s].nextSeq[s]);
    // A sender cut off will not see the rest of its echoes.
    if (client(s).stage != Stage::Gone && echoed < sent) unaccepted = true;
    accepted += echoed;
  }
  if (unaccepted || keptDeliveries_ < accepted * (options_.clients - connectionsLost_)) return false;
  // Enough deliveries; whether they are the right ones needs the full count.
  return Tally().lost() == 0;
}

DeliveryTally WellBehavedClients::Tally() const {
  DeliveryTally tally;
  for (std::uint32_t s = 0; s < options_.senders; ++s) {
    const Reader& sender = readers_[s];
    tally.AddSender(senders_.SentBy(s), sender.nextSeq.empty() ? 0 : sender.nextSeq[s]);
  }
  for (std::size_t i = 0; i < count_; ++i) {
    if (client(i).stage != Stage::Gone) tally.AddReader(readers_[i].nextSeq, readers_[i].skipped);
  }
  return tally;
}

// A rate-limited reader asks to read only once it may take a portion.
bool WellBehavedClients::Reads(PoolClient& reader) {
  std::optional<ReadBudget>& budget = readers_[reader.slot].readBudget;
  return !budget || budget->Available(Clock::now()) >= kMinReadPortion;
}

// Senders write nothing once sending is frozen.
bool WellBehavedClients::MayWrite(const PoolClient& writer) const {
  return !run_.frozen() || !senders_.IsSender(writer.slot);
}

bool WellBehavedClients::Flushed(PoolClient& writer) {
  return !senders_.IsSender(writer.slot) || senders_.Flushed(writer.slot);
}

std::size_t WellBehavedClients::ReadLimit(PoolClient& reader) {
  std::optional<ReadBudget>& budget = readers_[reader.slot].readBudget;
  return budget ? budget->Available(Clock::now()) : ChatConnection::kMaxReadPerCall;
}

void WellBehavedClients::Arrived(PoolClient& reader, std::uint64_t bytes) {
  if (bytes > 0) lastArrival_ = Clock::now();
  std::optional<ReadBudget>& budget = readers_[reader.slot].readBudget;
  if (budget) budget->Spend(static_cast<std::size_t>(bytes));
}

// An answered ping may have pushed out queued text as well.
void WellBehavedClients::AfterPackets(PoolClient& reader) {
  if (senders_.IsSender(reader.slot) && reader.stage != Stage::Gone) senders_.AfterWrite(reader.slot);
}

void WellBehavedClients::OnPacket(PoolClient& reader, const ReceivedPacket& packet) {
  switch (packet.id) {
    case pidConnected:
      if (reader.stage != Stage::AwaitGreeting) return;
      reader.stage = Stage::Greeted;
      --inFlight_;
      ++connected_;
      return;
    case pidAccessGranted:
    case pidSameUserName:
    case pidAccessDenied:
      if (reader.stage != Stage::Registering) return;
      ++answered_;
      reader.stage = packet.id == pidAccessGranted ? Stage::Registered : Stage::Refused;
      if (packet.id == pidAccessGranted) ++registered_;
      if (packet.id == pidSameUserName) ++nameInUse_;
      if (packet.id == pidAccessDenied) ++accessDenied_;
      return;
    case pidDisconnect: return Lost(reader, "the server asked it to disconnect");
    case pidKick: return Lost(reader, "kicked by the server");
    case pidMessage:
      if (reader.stage == Stage::Registered && run_.phase == Phase::Send) HandleChat(reader, packet.payload);
      return;
    default: return;  // pings are answered by the connection; rosters are not counted
  }
}

void WellBehavedClients::HandleChat(PoolClient& reader, const std::string& payload) {
  // The marker sits near the front, behind "[BC from NICK @ ROOM]: ": only
  // that much is decoded (6 symbols carry 4 bytes), however long the text.
  constexpr std::size_t kDecodedSymbols = 6 * 64;
  const std::string text = DecodeText(std::string_view(payload).substr(0, kDecodedSymbols));
  const std::size_t at = text.find(marker_);
  if (at == std::string::npos) return;  // not one of this run's messages
  std::string_view rest = std::string_view(text).substr(at + marker_.size());
  std::uint32_t sender = 0;
  std::uint32_t seq = 0;
  std::uint64_t sentNs = 0;
  if (!TakeNumber(rest, sender) || !TakeNumber(rest, seq) || !TakeNumber(rest, sentNs)) return;
  if (sender >= options_.senders || seq >= options_.messages) return;

  Reader& state = readers_[reader.slot];
  std::uint32_t& next = state.nextSeq[sender];
  if (seq != next) ++outOfOrder_;
  if (seq < next) return;
  if (seq > next) state.skipped.push_back({sender, next, seq});
  next = seq + 1;
  ++deliveries_;
  ++state.received[sender];
  ++keptDeliveries_;
  lastDelivery_ = Clock::now();
  if (reader.slot == sender) senders_.Echoed(sender, sentNs);
}

void WellBehavedClients::ConnectFailed(PoolClient& failed, const std::string& reason) {
  failed.stage = Stage::Gone;
  failed.connection.close();
  run_.Stop(kExitCannotConnect, "cannot connect client " + std::to_string(failed.slot) + " (" + failed.nick + ") to " +
                                    options_.host + ":" + std::to_string(options_.port) + ": " + reason);
}

void WellBehavedClients::OnLost(PoolClient& lost, const std::string& reason) {
  if (lost.stage == Stage::Connecting || lost.stage == Stage::AwaitGreeting) return ConnectFailed(lost, reason);
  lost.stage = Stage::Gone;
  lost.connection.shutdownSend();  // leaving waits for the server's close
  if (senders_.IsSender(lost.slot)) senders_.Lost(lost.slot, Clock::now());
  ++connectionsLost_;
  for (const std::uint32_t received : readers_[lost.slot].received) keptDeliveries_ -= received;
  if (firstLoss_.empty()) firstLoss_ = "connection of " + lost.nick + " lost: " + reason;
  // While chatting, the others go on, so that the report tells how many
  // were cut off; the run stops when none is left.
  const bool chatting = run_.phase == Phase::Send || run_.phase == Phase::Hold;
  if (!chatting || connectionsLost_ >= options_.clients) run_.Stop(kExitFailed, firstLoss_);
}

void WellBehavedClients::Report(BenchReport& report, Clock::time_point now) {
  report.clients = options_.clients;
  report.connected = connected_;
  report.registered = registered_;
  report.nameInUse = nameInUse_;
  report.accessDenied = accessDenied_;
  report.connectionsLost = connectionsLost_;
  if (connectionsLost_ > 0) report.serverStayedOnline = false;
  report.readRate = options_.readRate;
  senders_.Report(report, now);  // first: the tally needs what the senders' sockets took
  report.deliveries = deliveries_;
  if (!options_.connectOnly) {
    report.expectedDeliveries = std::uint64_t{options_.senders} * options_.messages * options_.clients;
  }
  if (run_.registeredAt) {
    const DeliveryTally tally = Tally();
    report.textsSent = tally.sent();
    report.textsAccepted = tally.accepted();
    report.textsInFlight = tally.inFlight();
    report.readersKept = tally.readers();
    report.deliveriesDue = tally.due();
    report.lost = tally.lost();
  }
  report.outOfOrder = outOfOrder_;
  report.sendSeconds = deliveries_ > 0 ? Seconds(lastDelivery_ - sendStart_) : 0;
}

void WellBehavedClients::Judge(BenchReport& report) const {
  if (report.exitStatus == kExitOk && connectionsLost_ > 0) {
    report.exitStatus = kExitFailed;
    report.error = firstLoss_ + (connectionsLost_ > 1 ? " (and " + std::to_string(connectionsLost_ - 1) + " more)" : "");
  }
  if (report.exitStatus == kExitOk && report.lostDeliveries() > 0) {
    report.exitStatus = kExitFailed;
    report.error = std::to_string(report.lostDeliveries()) +
                   " deliveries lost: accepted by the server, and never received by a client that kept reading";
  }
  // Unsent texts, and sent ones still in flight, are the server slowing its
  // senders down: no failure with --slow-ok.
  const bool allThrough = senders_.AllSent() && report.textsInFlight == 0;
  if (report.exitStatus == kExitOk && run_.registeredAt && !options_.connectOnly && !allThrough && !options_.slowOk) {
    report.exitStatus = kExitFailed;
    report.error = "duration over before every message was delivered";
  }
}

}  // namespace parlivo::bench
