#include "load_run.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <random>

#include "encoding/text_codec.h"
#include "process_cpu.h"
#include "transport/packet_ids.h"

namespace parlivo::bench {
namespace {

constexpr auto kGreetingTimeout = std::chrono::seconds(5);
// How long a churner whose name was still taken waits before it asks again.
constexpr auto kRegisterRetry = std::chrono::milliseconds(50);
// A sender stops adding messages while this much waits unsent in its queue.
constexpr std::size_t kMaxQueuedBytes = 4 * 1024 * 1024;
constexpr int kMaxPollMs = 100;
constexpr auto kProgressPeriod = std::chrono::seconds(1);
// Time kept at the end of --duration for leaving: the server closes each
// client and tells the others in its room, which grows with the square of
// the clients; this budget per client covers that on loopback.
constexpr auto kLeavePerClient = std::chrono::milliseconds(4);
constexpr auto kMinLeave = std::chrono::milliseconds(500);
// Time kept before the phases stop for what was sent to arrive: at most
// this, and at most a fifth of the time left for the phases.
constexpr auto kMaxDrain = std::chrono::seconds(5);
// After sending stopped, the run ends once nothing has arrived at the
// clients still reading for this long: what is missing then will not come.
// An overloaded server still working through its backlog keeps them busy.
constexpr auto kDrainQuiet = std::chrono::seconds(3);
// A packet written in pieces gets this much queued at a time.
constexpr std::size_t kStreamPiece = 256 * 1024;
// Flood texts one flooder queues per turn of the loop, at most.
constexpr int kMaxFloodPerTurn = 64;
// A rate-limited reader waits for its socket only once it may take this much.
constexpr std::size_t kMinReadPortion = 4096;
constexpr int kMaxPollMsWhileRateLimited = 10;
constexpr auto kPongPeriod = std::chrono::seconds(1);
constexpr auto kTimelinePeriod = std::chrono::milliseconds(500);

std::uint64_t NowNs() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

std::string RunId() {
  std::random_device random;
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(random()));
  return text;
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Reads one space-terminated unsigned number at `text`'s front and drops it.
template <typename Number>
bool TakeNumber(std::string_view& text, Number& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data() + text.size() || *end != ' ') return false;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()) + 1);
  return true;
}

}  // namespace

LoadRun::LoadRun(BenchOptions options) : options_(std::move(options)), marker_("pb " + RunId() + " ") {}

BenchReport LoadRun::Run() {
  start_ = Clock::now();
  const auto duration = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.duration));
  end_ = start_ + duration;
  // Leaving gets its share of the duration (at most a third), so that the
  // whole run, leaving included, ends within --duration.
  const Clock::duration leave = std::max<Clock::duration>(kMinLeave, kLeavePerClient * options_.clients);
  deadline_ = end_ - std::min<Clock::duration>(leave, duration / 3);
  sendEnd_ = deadline_ - std::min<Clock::duration>(kMaxDrain, (deadline_ - start_) / 5);
  nextProgress_ = start_ + kProgressPeriod;

  std::string reason;
  // Every client connects to the resolver's first choice: one address
  // measures one path.
  const std::vector<Endpoint> addresses = ChatConnection::Resolve(options_.host, options_.port, reason);
  if (addresses.empty()) {
    Stop(kExitCannotConnect, "cannot connect: " + reason);
    return Finish();
  }
  address_ = addresses.front();
  if (options_.tls && !(tlsContext_ = TlsContext::Client(reason))) {
    Stop(kExitCannotConnect, "cannot start TLS: " + reason);
    return Finish();
  }
  if (!options_.timeline.empty()) {
    timeline_ = std::fopen(options_.timeline.c_str(), "w");
    if (timeline_ == nullptr) {
      Stop(kExitUsage, "cannot write " + options_.timeline + ": " + std::strerror(errno));
      return Finish();
    }
    std::fputs("seconds,server_rss_kib,held_back_ms,senders_held,texts_offered,texts_sent,deliveries\n", timeline_);
  }
  std::string flood = "flood ";
  flood.resize(options_.floodSize, 'x');
  floodPacket_ = BuildPacket(pidMessage, EncodeText(flood));

  // The well-behaved clients come first, so that indices below
  // options_.clients are theirs; the misbehaving ones follow in room-1.
  clients_.resize(TotalClients(options_));
  const auto extras = [&](Role role, std::uint32_t count, const char* name, std::size_t& at) {
    for (std::uint32_t k = 0; k < count; ++k, ++at) {
      clients_[at].role = role;
      clients_[at].nick = options_.prefix + "-" + name + "-" + std::to_string(k);
      clients_[at].room = "room-1";
    }
  };
  std::size_t at = 0;
  for (; at < options_.clients; ++at) {
    clients_[at].nick = options_.prefix + "-" + std::to_string(at);
    clients_[at].room = "room-" + std::to_string(at % options_.rooms + 1);
  }
  extras(Role::Stalled, options_.stalled, "stalled", at);
  extras(Role::Churner, ChurnClients(options_), "churn", at);
  extras(Role::Burst, options_.burst, "burst", at);
  extras(Role::StalledPong, options_.stalledPong, "pong", at);
  extras(Role::HalfBody, options_.halfBodies, "half", at);
  extras(Role::Flooder, options_.flooders, "flood", at);
  while (phase_ != Phase::Done) {
    if (Clock::now() >= deadline_) {
      OnDeadline();
      break;
    }
    Advance();
    if (phase_ == Phase::Done) break;
    PollOnce();
    Progress();
  }
  return Finish();
}

void LoadRun::Advance() {
  switch (phase_) {
    case Phase::Connect: AdvanceConnect(); return;
    case Phase::Register: AdvanceRegister(); return;
    case Phase::Send:
      AdvanceExtras();
      AdvanceSend();
      return;
    case Phase::Hold:
      AdvanceExtras();
      WriteTimeline();
      return;
    case Phase::Done: return;
  }
}

void LoadRun::AdvanceConnect() {
  const auto now = Clock::now();
  for (std::size_t i = 0; i < nextToConnect_ && phase_ == Phase::Connect; ++i) {
    const Client& client = clients_[i];
    if (client.stage == Stage::Connecting || client.stage == Stage::AwaitGreeting) {
      if (now > client.greetingDeadline) ConnectFailed(i, "timed out");
    }
  }
  const std::size_t wellBehaved = options_.clients;
  const std::size_t batch = options_.connectBatch == 0 ? wellBehaved : options_.connectBatch;
  while (phase_ == Phase::Connect && inFlight_ < batch && nextToConnect_ < wellBehaved) {
    const std::size_t index = nextToConnect_++;
    ++inFlight_;
    StartConnect(index);
  }
  if (phase_ != Phase::Connect || connected_ < wellBehaved) return;

  phase_ = Phase::Register;
  connectedAt_ = Clock::now();
  for (std::size_t i = 0; i < wellBehaved; ++i) {
    Client& client = clients_[i];
    client.stage = Stage::Registering;
    if (!client.connection.registerUser(client.nick, client.room)) Lost(i, client.connection.error());
  }
}

void LoadRun::AdvanceRegister() {
  if (answered_ < options_.clients) return;
  if (registered_ < options_.clients) {
    Stop(kExitFailed, "registration refused for " + std::to_string(options_.clients - registered_) + " clients");
    return;
  }
  registeredAt_ = Clock::now();
  StartMeasuring();
  StartExtras();
  if (options_.connectOnly) {
    phase_ = Phase::Hold;
    return;
  }
  phase_ = Phase::Send;
  sendStart_ = lastDelivery_ = lastArrival_ = Clock::now();
  for (std::uint32_t s = 0; s < options_.senders; ++s) {
    // Spread the first messages of rate-limited senders over one period.
    const double offset = options_.rate > 0 ? static_cast<double>(s) / options_.senders / options_.rate : 0;
    clients_[s].nextSendAt =
        sendStart_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(offset));
  }
  for (std::size_t i = 0; i < clients_.size(); ++i) {
    Client& client = clients_[i];
    client.nextSeq.assign(options_.senders, 0);
    if (client.role != Role::WellBehaved) continue;
    client.received.assign(options_.senders, 0);
    if (options_.readRate > 0) client.readBudget.emplace(options_.readRate, sendStart_);
  }
  AdvanceSend();
}

void LoadRun::AdvanceSend() {
  if (!frozenAt_ && Clock::now() >= sendEnd_) Freeze();
  if (!frozenAt_) {
    for (std::uint32_t s = 0; s < options_.senders && phase_ == Phase::Send; ++s) SendFrom(s);
    for (std::size_t i = clients_.size() - options_.flooders; i < clients_.size() && phase_ == Phase::Send; ++i) {
      FeedFlood(i);
    }
  }
  WriteTimeline();
  if (phase_ == Phase::Send && Complete()) phase_ = Phase::Done;
}

// Every sender still connected has all its messages out (or sending is
// over), and either every text they sent was accepted and reached every
// client still reading, or sending is over and nothing arrives any more.
bool LoadRun::Complete() const {
  bool unaccepted = false;
  std::uint64_t accepted = 0;
  for (std::uint32_t s = 0; s < options_.senders; ++s) {
    const Client& client = clients_[s];
    const bool finished = client.stage == Stage::Gone || frozenAt_ ||
                          (client.sent >= options_.messages && !client.stream && client.connection.pendingOutput() == 0);
    if (!finished) return false;
    const std::uint64_t echoed = std::min<std::uint64_t>(client.ledger.sent(), client.nextSeq[s]);
    // A sender cut off will not see the rest of its echoes.
    if (client.stage != Stage::Gone && echoed < client.ledger.sent()) unaccepted = true;
    accepted += echoed;
  }
  if (frozenAt_ && Clock::now() - std::max(lastArrival_, *frozenAt_) >= kDrainQuiet) return true;
  if (unaccepted || keptDeliveries_ < accepted * (options_.clients - connectionsLost_)) return false;
  // Enough deliveries; whether they are the right ones needs the full count.
  return Tally().lost() == 0;
}

DeliveryTally LoadRun::Tally() const {
  DeliveryTally tally;
  for (std::uint32_t s = 0; s < options_.senders; ++s) {
    const Client& sender = clients_[s];
    tally.AddSender(sender.ledger.sent(), sender.nextSeq.empty() ? 0 : sender.nextSeq[s]);
  }
  for (std::uint32_t i = 0; i < options_.clients; ++i) {
    const Client& reader = clients_[i];
    if (reader.stage != Stage::Gone) tally.AddReader(reader.nextSeq, reader.skipped);
  }
  return tally;
}

void LoadRun::Freeze() {
  const auto now = Clock::now();
  frozenAt_ = now;
  for (std::size_t i = 0; i < clients_.size(); ++i) {
    if (i >= options_.senders && clients_[i].role != Role::Flooder) continue;
    AfterWrite(clients_[i]);
    clients_[i].hold.Observe(false, now);
  }
}

bool LoadRun::Writes(std::size_t index) const {
  return !frozenAt_ || (index >= options_.senders && clients_[index].role != Role::Flooder);
}

void LoadRun::AfterWrite(Client& client) {
  client.ledger.Written(client.connection.bytesWritten());
  if (!frozenAt_ && client.stage != Stage::Gone) client.hold.Observe(client.connection.pendingOutput() > 0, Clock::now());
}

bool LoadRun::FeedStream(Client& client) {
  while (client.stream && client.connection.pendingOutput() < kStreamPiece) {
    if (client.stream->done()) {
      client.stream.reset();
      if (client.role == Role::HalfBody) {
        client.halfSentAt = Clock::now();
        break;
      }
      // Pings were not answered while the packet was only partly queued (a
      // pong would have landed inside it); one answer now covers them.
      client.connection.answerPings = true;
      return client.connection.send(pidPong, {});
    }
    if (!client.connection.sendBytes(client.stream->Next(kStreamPiece))) return false;
  }
  return true;
}

void LoadRun::FeedFlood(std::size_t index) {
  Client& client = clients_[index];
  if (client.stage != Stage::Registered) return;
  for (int k = 0; k < kMaxFloodPerTurn && client.connection.pendingOutput() == 0; ++k) {
    if (!client.connection.sendBytes(floodPacket_)) return ExtraLost(index, client.connection.error());
    client.ledger.Offered(client.connection.bytesWritten() + client.connection.pendingOutput());
  }
  AfterWrite(client);
}

void LoadRun::SendFrom(std::uint32_t sender) {
  Client& client = clients_[sender];
  if (client.stage == Stage::Gone) return;
  const double interval = options_.rate > 0 ? 1.0 / options_.rate : 0;
  while (client.sent < options_.messages && client.connection.pendingOutput() < kMaxQueuedBytes) {
    if (client.stream) {
      if (!FeedStream(client)) return Lost(sender, client.connection.error());
      if (client.stream) break;  // the rest goes out as the socket takes it
    }
    const auto now = Clock::now();
    if (options_.rate > 0 ? now < client.nextSendAt : client.sent - client.echoed >= options_.window) break;
    std::string text = marker_ + std::to_string(sender) + " " + std::to_string(client.sent) + " " +
                       std::to_string(NowNs()) + " ";
    ChatConnection& connection = client.connection;
    if (options_.bigText > 0 && client.sent == 0) {
      client.stream = PacketStream::ChatText(text, options_.bigText);
      client.ledger.Offered(connection.bytesWritten() + connection.pendingOutput() + client.stream->length());
      connection.answerPings = false;
      if (!FeedStream(client)) return Lost(sender, connection.error());
    } else {
      text.resize(std::max<std::size_t>(text.size(), options_.size), 'x');
      if (!connection.sendChat(text)) return Lost(sender, connection.error());
      client.ledger.Offered(connection.bytesWritten() + connection.pendingOutput());
    }
    ++client.sent;
    ++messagesSent_;
    if (options_.rate > 0) {
      client.nextSendAt += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));
    }
  }
  AfterWrite(client);
}

void LoadRun::WriteTimeline() {
  const auto now = Clock::now();
  if (timeline_ == nullptr || now < nextTimeline_) return;
  // Every half second; after a stall (or at the first line) from now on.
  nextTimeline_ = nextTimeline_ + kTimelinePeriod < now ? now + kTimelinePeriod : nextTimeline_ + kTimelinePeriod;
  double heldMs = 0;
  unsigned held = 0;
  std::uint64_t sent = 0;
  for (std::uint32_t s = 0; s < options_.senders; ++s) {
    heldMs += std::chrono::duration<double, std::milli>(clients_[s].hold.Total(now)).count();
    held += clients_[s].hold.held() ? 1 : 0;
    sent += clients_[s].ledger.sent();
  }
  std::string rss;
  if (options_.serverPid != 0) {
    if (const auto kib = ProcessRssKib(options_.serverPid)) rss = std::to_string(*kib);
  }
  std::fprintf(timeline_, "%.3f,%s,%.1f,%u,%llu,%llu,%llu\n", Seconds(now - start_), rss.c_str(), heldMs - lastHeldMs_,
               held, static_cast<unsigned long long>(messagesSent_), static_cast<unsigned long long>(sent),
               static_cast<unsigned long long>(deliveries_));
  std::fflush(timeline_);
  lastHeldMs_ = heldMs;
}

void LoadRun::PollOnce() {
  pollSet_.clear();
  pollClients_.clear();
  for (std::size_t i = 0; i < clients_.size(); ++i) {
    const ChatConnection& connection = clients_[i].connection;
    if (connection.fd() < 0) continue;
    // A stalled client never asks to read; a reset or close still shows as
    // POLLHUP or POLLERR, which poll always reports. A rate-limited reader
    // asks only once it may take a portion.
    Client& client = clients_[i];
    short read = client.role == Role::Stalled || client.role == Role::StalledPong ? 0 : POLLIN;
    if (client.readBudget && client.readBudget->Available(Clock::now()) < kMinReadPortion) read = 0;
    const bool write = connection.connecting() || (Writes(i) && connection.wantsWrite());
    const short events = static_cast<short>(read | (write ? POLLOUT : 0));
    pollSet_.push_back({connection.fd(), events, 0});
    pollClients_.push_back(i);
  }
  const int ready = ::poll(pollSet_.data(), pollSet_.size(), PollTimeoutMs());
  if (ready < 0 && errno != EINTR) Stop(kExitFailed, std::string("poll failed: ") + std::strerror(errno));
  if (ready <= 0) return;
  for (std::size_t k = 0; k < pollSet_.size() && phase_ != Phase::Done; ++k) {
    if (pollSet_[k].revents != 0) HandleEvents(pollClients_[k], pollSet_[k].revents);
  }
}

int LoadRun::PollTimeoutMs() const {
  auto wait = std::min<Clock::duration>(std::chrono::milliseconds(kMaxPollMs), deadline_ - Clock::now());
  if (phase_ == Phase::Send && options_.rate > 0) {
    for (std::uint32_t s = 0; s < options_.senders; ++s) {
      const Client& sender = clients_[s];
      if (sender.sent < options_.messages) wait = std::min(wait, sender.nextSendAt - Clock::now());
    }
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
  const int most = options_.readRate > 0 && phase_ == Phase::Send ? kMaxPollMsWhileRateLimited : kMaxPollMs;
  return static_cast<int>(std::clamp<long long>(ms, 0, most));
}

void LoadRun::HandleEvents(std::size_t index, short revents) {
  Client& client = clients_[index];
  ChatConnection& connection = client.connection;
  if (connection.connecting()) {
    if ((revents & (POLLOUT | POLLERR | POLLHUP)) == 0) return;
    if (!connection.finishConnect()) return ConnectFailed(index, connection.error());
    if (connection.connecting()) return;
    client.stage = Stage::AwaitGreeting;
  }
  if (client.role == Role::Stalled || client.role == Role::StalledPong) {
    // It registers as soon as it is connected, and never reads its answer.
    if (client.stage == Stage::AwaitGreeting) {
      client.stage = Stage::Silent;
      client.nextPongAt = Clock::now() + kPongPeriod;
      connection.registerUser(client.nick, client.room);
      revents = static_cast<short>(revents & ~POLLOUT);
    }
    if ((revents & POLLOUT) != 0) connection.flush();
    if ((revents & (POLLHUP | POLLERR)) != 0) ExtraLost(index, "closed by the server");
    return;
  }
  const bool writer = index < options_.senders || client.role == Role::Flooder;
  if ((revents & POLLOUT) != 0 && Writes(index)) {
    if (!connection.flush()) return Lost(index, connection.error());
    if (client.stream && !FeedStream(client)) return Lost(index, connection.error());
    if (client.role == Role::Flooder) FeedFlood(index);
    if (writer) AfterWrite(client);
  }
  if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0 || client.stage == Stage::Gone) return;
  std::size_t most = ChatConnection::kMaxReadPerCall;
  if (client.readBudget) most = client.readBudget->Available(Clock::now());
  const std::uint64_t readBefore = connection.bytesRead();
  const bool open = most > 0 ? connection.readAvailable(most) : connection.isOpen();
  if (connection.bytesRead() > readBefore && client.role == Role::WellBehaved) lastArrival_ = Clock::now();
  if (client.readBudget) client.readBudget->Spend(static_cast<std::size_t>(connection.bytesRead() - readBefore));
  while (phase_ != Phase::Done && client.stage != Stage::Gone) {
    const std::optional<ReceivedPacket> packet = connection.nextPacket();
    if (!packet) break;
    HandlePacket(index, *packet);
  }
  // An answered ping may have pushed out queued text as well.
  if (writer && client.stage != Stage::Gone) AfterWrite(client);
  if (!open && client.stage != Stage::Gone && phase_ != Phase::Done) Lost(index, connection.error());
}

void LoadRun::HandlePacket(std::size_t index, const ReceivedPacket& packet) {
  Client& client = clients_[index];
  if (client.role != Role::WellBehaved) return HandleExtraPacket(index, packet);
  switch (packet.id) {
    case pidConnected:
      if (client.stage == Stage::AwaitGreeting) Connected(index);
      return;
    case pidAccessGranted:
    case pidSameUserName:
    case pidAccessDenied:
      if (client.stage != Stage::Registering) return;
      ++answered_;
      client.stage = packet.id == pidAccessGranted ? Stage::Registered : Stage::Refused;
      if (packet.id == pidAccessGranted) ++registered_;
      if (packet.id == pidSameUserName) ++nameInUse_;
      if (packet.id == pidAccessDenied) ++accessDenied_;
      return;
    case pidDisconnect: return Lost(index, "the server asked it to disconnect");
    case pidKick: return Lost(index, "kicked by the server");
    case pidMessage:
      if (client.stage == Stage::Registered && phase_ == Phase::Send) HandleChat(index, packet.payload);
      return;
    default: return;  // pings are answered by the connection; rosters are not counted
  }
}

void LoadRun::HandleChat(std::size_t index, const std::string& payload) {
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

  Client& client = clients_[index];
  std::uint32_t& next = client.nextSeq[sender];
  if (seq != next) ++outOfOrder_;
  if (seq < next) return;
  if (seq > next) client.skipped.push_back({sender, next, seq});
  next = seq + 1;
  ++deliveries_;
  ++client.received[sender];
  ++keptDeliveries_;
  lastDelivery_ = Clock::now();
  if (index != sender) return;
  ++client.echoed;
  const std::uint64_t nowNs = NowNs();
  latenciesMs_.push_back(nowNs > sentNs ? static_cast<double>(nowNs - sentNs) / 1e6 : 0.0);
}

void LoadRun::Connected(std::size_t index) {
  clients_[index].stage = Stage::Greeted;
  --inFlight_;
  ++connected_;
}

void LoadRun::ConnectFailed(std::size_t index, const std::string& reason) {
  if (clients_[index].role != Role::WellBehaved) return ExtraLost(index, "cannot connect: " + reason);
  clients_[index].stage = Stage::Gone;
  clients_[index].connection.close();
  Stop(kExitCannotConnect, "cannot connect client " + std::to_string(index) + " (" + clients_[index].nick +
                               ") to " + options_.host + ":" + std::to_string(options_.port) + ": " + reason);
}

void LoadRun::Lost(std::size_t index, const std::string& reason) {
  Client& client = clients_[index];
  if (client.stage == Stage::Gone) return;
  if (client.role != Role::WellBehaved) return ExtraLost(index, reason);
  if (client.stage == Stage::Connecting || client.stage == Stage::AwaitGreeting) return ConnectFailed(index, reason);
  client.stage = Stage::Gone;
  client.connection.shutdownSend();  // LeaveAll waits for the server's close
  client.hold.Observe(false, Clock::now());
  ++connectionsLost_;
  for (const std::uint32_t received : client.received) keptDeliveries_ -= received;
  if (firstLoss_.empty()) firstLoss_ = "connection of " + client.nick + " lost: " + reason;
  // While chatting, the others go on, so that the report tells how many
  // were cut off; the run stops when none is left.
  const bool chatting = phase_ == Phase::Send || phase_ == Phase::Hold;
  if (!chatting || connectionsLost_ >= options_.clients) Stop(kExitFailed, firstLoss_);
}

void LoadRun::StartConnect(std::size_t index) {
  Client& client = clients_[index];
  client.greetingDeadline = Clock::now() + kGreetingTimeout;
  if (tlsContext_) client.connection.useTls(tlsContext_);
  if (!client.connection.startConnect(address_)) return ConnectFailed(index, client.connection.error());
  client.stage = client.connection.connecting() ? Stage::Connecting : Stage::AwaitGreeting;
}

void LoadRun::StartMeasuring() {
  measureStart_ = Clock::now();
  benchCpuAtStart_ = OwnCpuSeconds();
  if (options_.serverPid != 0) serverCpuAtStart_ = ProcessCpuSeconds(options_.serverPid);
}

void LoadRun::StartExtras() {
  extrasStart_ = Clock::now();
  for (std::size_t i = options_.clients; i < clients_.size() && phase_ != Phase::Done; ++i) StartConnect(i);
}

// Churners whose time has come reset their connection and start again;
// burst clients must be greeted in time.
void LoadRun::AdvanceExtras() {
  const auto now = Clock::now();
  for (std::size_t i = options_.clients; i < clients_.size() && phase_ != Phase::Done; ++i) {
    Client& client = clients_[i];
    const bool waiting = client.stage == Stage::Connecting || client.stage == Stage::AwaitGreeting;
    if (client.role == Role::Burst && waiting && now > client.greetingDeadline) {
      ExtraLost(i, "not greeted within " + std::to_string(kGreetingTimeout.count()) + " s");
    }
    if (client.role == Role::StalledPong && client.stage == Stage::Silent && now >= client.nextPongAt) {
      client.nextPongAt = now + kPongPeriod;
      if (!client.connection.send(pidPong, {})) ExtraLost(i, client.connection.error());
      continue;
    }
    if (client.role != Role::Churner) continue;
    if (client.stage == Stage::Refused && now >= client.resetAt) {
      client.stage = Stage::Registering;
      if (!client.connection.registerUser(client.nick, client.room)) ExtraLost(i, client.connection.error());
      continue;
    }
    if (client.stage == Stage::Registered && now >= client.resetAt) {
      client.connection.abort();
      ++churnResets_;
      client.stage = Stage::Idle;
    }
    if (client.stage == Stage::Idle) {
      client.connection = ChatConnection();
      StartConnect(i);
    }
  }
}

void LoadRun::HandleExtraPacket(std::size_t index, const ReceivedPacket& packet) {
  Client& client = clients_[index];
  switch (packet.id) {
    case pidConnected:
      if (client.stage != Stage::AwaitGreeting) return;
      if (client.role == Role::Burst && ++burstGreeted_ == options_.burst) burstGreetedAt_ = Clock::now();
      client.stage = Stage::Registering;
      if (!client.connection.registerUser(client.nick, client.room)) ExtraLost(index, client.connection.error());
      return;
    case pidAccessGranted:
      if (client.stage != Stage::Registering) return;
      client.stage = Stage::Registered;
      if (client.role == Role::HalfBody) {
        // No pong from now on: it would land inside the unfinished body.
        client.connection.answerPings = false;
        client.stream = PacketStream::HalfBody(options_.halfBodySize);
        if (!FeedStream(client)) ExtraLost(index, client.connection.error());
        return;
      }
      if (client.role != Role::Churner) return;
      ++churnRejoins_;
      // Each churner stays this long, so that together they reset --churn
      // connections a second.
      client.resetAt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(ChurnClients(options_) / options_.churn));
      return;
    case pidSameUserName:
    case pidAccessDenied:
      // A churner back at once may find its name still held by the
      // connection it reset, until the server has noticed the reset: it
      // asks again a moment later, as a real client would.
      if (client.stage != Stage::Registering || client.role != Role::Churner) return;
      client.stage = Stage::Refused;
      client.resetAt = Clock::now() + kRegisterRetry;
      return;
    case pidDisconnect: return ExtraLost(index, "the server asked it to disconnect");
    case pidKick: return ExtraLost(index, "kicked by the server");
    default: return;
  }
}

// A misbehaving client's connection ended. A churner comes back; a stalled
// one being let go is what the server should do; a burst client is a
// well-behaved one that arrived late, so losing it is a failure.
void LoadRun::ExtraLost(std::size_t index, const std::string& reason) {
  Client& client = clients_[index];
  if (client.stage == Stage::Gone) return;
  switch (client.role) {
    case Role::Churner:
      client.connection.abort();
      client.stage = Stage::Idle;
      return;
    case Role::Stalled:
      client.connection.abort();
      client.stage = Stage::Gone;
      ++stalledDropped_;
      return;
    case Role::Burst:
      client.stage = Stage::Gone;
      client.connection.shutdownSend();
      ++burstLost_;
      Stop(kExitFailed, "burst client " + client.nick + " lost: " + reason);
      return;
    case Role::StalledPong:
      ++stalledPongDropped_;
      break;
    case Role::HalfBody:
      ++halfBodiesDropped_;
      if (client.halfSentAt) halfBodyDropSecondsSum_ += Seconds(Clock::now() - *client.halfSentAt);
      break;
    case Role::Flooder:
      ++floodersDropped_;
      client.hold.Observe(false, Clock::now());
      break;
    case Role::WellBehaved: return;
  }
  client.connection.abort();
  client.stage = Stage::Gone;
}

void LoadRun::OnDeadline() {
  switch (phase_) {
    case Phase::Connect:
      Stop(kExitCannotConnect, "duration over while connecting (" + std::to_string(connected_) + " of " +
                                   std::to_string(options_.clients) + " connected)");
      return;
    case Phase::Register:
      Stop(kExitFailed, "duration over while registering (" + std::to_string(answered_) + " of " +
                            std::to_string(options_.clients) + " answered)");
      return;
    // Whether that is a failure is for Finish to tell: lost texts always,
    // unsent ones unless --slow-ok.
    case Phase::Send:
    case Phase::Hold:
    case Phase::Done: phase_ = Phase::Done; return;
  }
}

void LoadRun::Stop(int exitStatus, std::string error) {
  if (phase_ == Phase::Done) return;
  phase_ = Phase::Done;
  exitStatus_ = exitStatus;
  error_ = std::move(error);
}

void LoadRun::Progress() {
  const auto now = Clock::now();
  if (options_.quiet || now < nextProgress_ || phase_ == Phase::Done) return;
  nextProgress_ = now + kProgressPeriod;
  char line[200];
  const double elapsed = Seconds(now - start_);
  const auto total = static_cast<unsigned>(options_.clients);
  switch (phase_) {
    case Phase::Connect:
      std::snprintf(line, sizeof line, "connecting: %u/%u connected", connected_, total);
      break;
    case Phase::Register:
      std::snprintf(line, sizeof line, "registering: %u/%u answered", answered_, total);
      break;
    case Phase::Send:
    {
      unsigned held = 0;
      for (std::uint32_t s = 0; s < options_.senders; ++s) held += clients_[s].hold.held() ? 1 : 0;
      std::snprintf(line, sizeof line, "sending: %llu/%llu offered, %llu/%llu delivered, %u senders held back, %u cut off",
                    static_cast<unsigned long long>(messagesSent_),
                    static_cast<unsigned long long>(std::uint64_t{options_.senders} * options_.messages),
                    static_cast<unsigned long long>(deliveries_),
                    static_cast<unsigned long long>(std::uint64_t{options_.senders} * options_.messages * total),
                    held, connectionsLost_);
      break;
    }
    case Phase::Hold:
    case Phase::Done:
      std::snprintf(line, sizeof line, "holding: %u connected", total - connectionsLost_);
      break;
  }
  std::fprintf(stderr, "[%7.1fs] %s\n", elapsed, line);
}

BenchReport LoadRun::Finish() {
  BenchReport report;
  report.clients = options_.clients;
  report.connected = connected_;
  report.registered = registered_;
  report.nameInUse = nameInUse_;
  report.accessDenied = accessDenied_;
  report.connectionsLost = connectionsLost_;
  report.churnPerSecond = options_.churn;
  report.churnResets = churnResets_;
  report.churnRejoins = churnRejoins_;
  report.stalled = options_.stalled;
  report.stalledDropped = stalledDropped_;
  report.burst = options_.burst;
  report.burstGreeted = burstGreeted_;
  if (burstGreetedAt_) report.burstSeconds = Seconds(*burstGreetedAt_ - extrasStart_);
  report.serverStayedOnline = connectionsLost_ == 0 && burstLost_ == 0;
  if (registeredAt_) {
    report.measuredSeconds = Seconds(Clock::now() - measureStart_);
    report.benchCpuSeconds = OwnCpuSeconds() - benchCpuAtStart_;
    const auto serverCpu = options_.serverPid != 0 ? ProcessCpuSeconds(options_.serverPid) : std::nullopt;
    if (serverCpu && serverCpuAtStart_) report.serverCpuSeconds = *serverCpu - *serverCpuAtStart_;
  }
  for (const Client& client : clients_) report.pingsAnswered += client.connection.pingsAnswered();
  report.senders = options_.senders;
  report.messagesPerSender = options_.messages;
  report.size = options_.size;
  report.connectOnly = options_.connectOnly;
  report.messagesSent = messagesSent_;
  report.deliveries = deliveries_;
  if (!options_.connectOnly) {
    report.expectedDeliveries = std::uint64_t{options_.senders} * options_.messages * options_.clients;
  }
  const auto now = Clock::now();
  bool allSent = true;
  for (std::uint32_t s = 0; s < options_.senders && s < clients_.size(); ++s) {
    Client& sender = clients_[s];
    sender.ledger.Written(sender.connection.bytesWritten());
    if (sender.stage != Stage::Gone && sender.ledger.sent() < options_.messages) allSent = false;
    const double held = Seconds(sender.hold.Total(now));
    report.heldBackSeconds += held;
    report.heldBackMaxSeconds = std::max(report.heldBackMaxSeconds, held);
    report.sendersHeldBack += sender.hold.everHeld() ? 1 : 0;
  }
  if (registeredAt_ && clients_.size() >= options_.clients) {
    const DeliveryTally tally = Tally();
    report.textsSent = tally.sent();
    report.textsAccepted = tally.accepted();
    report.textsInFlight = tally.inFlight();
    report.readersKept = tally.readers();
    report.deliveriesDue = tally.due();
    report.lost = tally.lost();
  }
  report.slowOk = options_.slowOk;
  report.readRate = options_.readRate;
  report.bigText = options_.bigText;
  report.flooders = options_.flooders;
  report.floodersDropped = floodersDropped_;
  std::uint64_t floodBytes = 0;
  for (std::size_t i = clients_.size() - options_.flooders; i < clients_.size(); ++i) {
    Client& flooder = clients_[i];
    flooder.ledger.Written(flooder.connection.bytesWritten());
    report.floodTextsSent += flooder.ledger.sent();
    floodBytes += flooder.connection.bytesWritten();
    report.floodHeldBackSeconds += Seconds(flooder.hold.Total(now));
  }
  if (options_.flooders > 0 && registeredAt_) {
    const double flooding = Seconds(frozenAt_.value_or(now) - extrasStart_);
    if (flooding > 0) report.floodBytesPerSecond = static_cast<double>(floodBytes) / flooding;
  }
  report.stalledPong = options_.stalledPong;
  report.stalledPongDropped = stalledPongDropped_;
  report.halfBodies = options_.halfBodies;
  report.halfBodiesDropped = halfBodiesDropped_;
  if (halfBodiesDropped_ > 0) report.halfBodyDropSeconds = halfBodyDropSecondsSum_ / halfBodiesDropped_;
  report.outOfOrder = outOfOrder_;
  report.elapsedSeconds = Seconds(Clock::now() - start_);
  if (connectedAt_) report.connectSeconds = Seconds(*connectedAt_ - start_);
  if (connectedAt_ && registeredAt_) report.registerSeconds = Seconds(*registeredAt_ - *connectedAt_);
  report.sendSeconds = deliveries_ > 0 ? Seconds(lastDelivery_ - sendStart_) : 0;
  report.latency = SummarizeLatency(latenciesMs_);
  report.error = error_;
  report.exitStatus = exitStatus_;
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
  const bool allThrough = allSent && report.textsInFlight == 0;
  if (report.exitStatus == kExitOk && registeredAt_ && !options_.connectOnly && !allThrough && !options_.slowOk) {
    report.exitStatus = kExitFailed;
    report.error = "duration over before every message was delivered";
  }
  if (report.exitStatus == kExitOk && report.burstGreeted < report.burst) {
    report.exitStatus = kExitFailed;
    report.error = "only " + std::to_string(report.burstGreeted) + " of " + std::to_string(report.burst) +
                   " burst clients were greeted";
  }
  if (timeline_ != nullptr) std::fclose(timeline_);
  timeline_ = nullptr;
  LeaveAll();
  return report;
}

// Every client shuts down its sending side and waits for the server to close
// the connection. Closing outright would reset connections to which the
// server is still writing (the roster updates about the others leaving),
// and the server would see errors instead of clients that left.
void LoadRun::LeaveAll() {
  for (Client& client : clients_) {
    // A stalled client never reads, so it cannot leave in order.
    if (client.role == Role::Stalled) client.connection.abort();
    client.connection.shutdownSend();
  }
  const auto deadline = end_;
  while (Clock::now() < deadline) {
    pollSet_.clear();
    pollClients_.clear();
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      const ChatConnection& connection = clients_[i].connection;
      if (!connection.isOpen() || connection.connecting()) continue;
      pollSet_.push_back({connection.fd(), POLLIN, 0});
      pollClients_.push_back(i);
    }
    if (pollSet_.empty()) break;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const int ready = ::poll(pollSet_.data(), pollSet_.size(), static_cast<int>(std::clamp<long long>(left, 0, kMaxPollMs)));
    if (ready < 0 && errno != EINTR) break;
    for (std::size_t k = 0; ready > 0 && k < pollSet_.size(); ++k) {
      if (pollSet_[k].revents == 0) continue;
      ChatConnection& connection = clients_[pollClients_[k]].connection;
      // A connection that can no longer be read (closed, failed, or a
      // protocol error) is done leaving; polling it again would spin.
      if (!connection.readAvailable()) connection.close();
      while (connection.nextPacket()) {
      }
    }
  }
  clients_.clear();  // closes every connection
}

}  // namespace parlivo::bench
