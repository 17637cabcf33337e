#include "load_run.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "process_cpu.h"

namespace parlivo::bench {
namespace {

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
constexpr int kMaxPollMsWhileRateLimited = 10;
constexpr auto kTimelinePeriod = std::chrono::milliseconds(500);

std::string RunId() {
  std::random_device random;
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(random()));
  return text;
}

}  // namespace

LoadRun::LoadRun(BenchOptions options)
    : options_(std::move(options)),
      chat_(options_, run_, pool_, "pb " + RunId() + " "),
      misbehaving_{&stalled_, &churners_, &burst_, &pongers_, &halfBodies_, &flooders_} {}

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
    run_.Stop(kExitCannotConnect, "cannot connect: " + reason);
    return Finish();
  }
  std::shared_ptr<TlsContext> tls;
  if (options_.tls && !(tls = TlsContext::Client(reason))) {
    run_.Stop(kExitCannotConnect, "cannot start TLS: " + reason);
    return Finish();
  }
  pool_.Target(addresses.front(), std::move(tls));
  if (!options_.timeline.empty()) {
    timeline_ = std::fopen(options_.timeline.c_str(), "w");
    if (timeline_ == nullptr) {
      run_.Stop(kExitUsage, "cannot write " + options_.timeline + ": " + std::strerror(errno));
      return Finish();
    }
    std::fputs("seconds,server_rss_kib,held_back_ms,senders_held,texts_offered,texts_sent,deliveries\n", timeline_);
  }

  // The well-behaved clients come first, the misbehaving ones follow.
  chat_.AddClients();
  for (MisbehavingRole* role : misbehaving_) role->AddClients();
  while (!run_.done()) {
    if (Clock::now() >= deadline_) {
      OnDeadline();
      break;
    }
    Advance();
    if (run_.done()) break;
    pool_.PollOnce(PollTimeoutMs());
    Progress();
  }
  return Finish();
}

void LoadRun::Advance() {
  switch (run_.phase) {
    case Phase::Connect: AdvanceConnect(); return;
    case Phase::Register: AdvanceRegister(); return;
    case Phase::Send:
      AdvanceMisbehaving();
      AdvanceSend();
      return;
    case Phase::Hold:
      AdvanceMisbehaving();
      WriteTimeline();
      return;
    case Phase::Done: return;
  }
}

void LoadRun::AdvanceConnect() {
  chat_.Connect();
  if (run_.phase != Phase::Connect || !chat_.AllConnected()) return;
  run_.phase = Phase::Register;
  connectedAt_ = Clock::now();
  chat_.Register();
}

void LoadRun::AdvanceRegister() {
  if (!chat_.AllAnswered()) return;
  if (chat_.registered() < options_.clients) {
    run_.Stop(kExitFailed,
              "registration refused for " + std::to_string(options_.clients - chat_.registered()) + " clients");
    return;
  }
  run_.registeredAt = Clock::now();
  StartMeasuring();
  const auto misbehavingStart = Clock::now();
  for (MisbehavingRole* role : misbehaving_) role->Start(misbehavingStart);
  if (options_.connectOnly) {
    run_.phase = Phase::Hold;
    return;
  }
  run_.phase = Phase::Send;
  chat_.StartChatting(Clock::now());
  AdvanceSend();
}

void LoadRun::AdvanceMisbehaving() {
  const auto now = Clock::now();
  for (MisbehavingRole* role : misbehaving_) role->Advance(now);
}

void LoadRun::AdvanceSend() {
  if (!run_.frozen() && Clock::now() >= sendEnd_) Freeze();
  if (!run_.frozen()) {
    chat_.senders().Send();
    flooders_.Flood();
  }
  WriteTimeline();
  if (run_.phase == Phase::Send && Complete()) run_.phase = Phase::Done;
}

void LoadRun::Freeze() {
  const auto now = Clock::now();
  run_.frozenAt = now;
  chat_.senders().Freeze(now);
  flooders_.Freeze(now);
}

// Every sender still connected has all its messages out (or sending is
// over), and either every text they sent was accepted and reached every
// client still reading, or sending is over and nothing arrives any more.
bool LoadRun::Complete() const {
  if (!chat_.SendersDone()) return false;
  if (run_.frozenAt && Clock::now() - std::max(chat_.lastArrival(), *run_.frozenAt) >= kDrainQuiet) return true;
  return chat_.AllDelivered();
}

void LoadRun::StartMeasuring() {
  measureStart_ = Clock::now();
  benchCpuAtStart_ = OwnCpuSeconds();
  if (options_.serverPid != 0) serverCpuAtStart_ = ProcessCpuSeconds(options_.serverPid);
}

void LoadRun::OnDeadline() {
  switch (run_.phase) {
    case Phase::Connect:
      run_.Stop(kExitCannotConnect, "duration over while connecting (" + std::to_string(chat_.connected()) + " of " +
                                        std::to_string(options_.clients) + " connected)");
      return;
    case Phase::Register:
      run_.Stop(kExitFailed, "duration over while registering (" + std::to_string(chat_.answered()) + " of " +
                                 std::to_string(options_.clients) + " answered)");
      return;
    // Whether that is a failure is for Finish to tell: lost texts always,
    // unsent ones unless --slow-ok.
    case Phase::Send:
    case Phase::Hold:
    case Phase::Done: run_.phase = Phase::Done; return;
  }
}

int LoadRun::PollTimeoutMs() const {
  auto wait = std::min<Clock::duration>(std::chrono::milliseconds(kMaxPollMs), deadline_ - Clock::now());
  if (run_.phase == Phase::Send) {
    if (const auto next = chat_.senders().NextSendAt()) wait = std::min(wait, *next - Clock::now());
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
  const int most = options_.readRate > 0 && run_.phase == Phase::Send ? kMaxPollMsWhileRateLimited : kMaxPollMs;
  return static_cast<int>(std::clamp<long long>(ms, 0, most));
}

void LoadRun::Progress() {
  const auto now = Clock::now();
  if (options_.quiet || now < nextProgress_ || run_.done()) return;
  nextProgress_ = now + kProgressPeriod;
  char line[200];
  const double elapsed = Seconds(now - start_);
  const auto total = static_cast<unsigned>(options_.clients);
  switch (run_.phase) {
    case Phase::Connect:
      std::snprintf(line, sizeof line, "connecting: %u/%u connected", chat_.connected(), total);
      break;
    case Phase::Register:
      std::snprintf(line, sizeof line, "registering: %u/%u answered", chat_.answered(), total);
      break;
    case Phase::Send:
      std::snprintf(line, sizeof line, "sending: %llu/%llu offered, %llu/%llu delivered, %u senders held back, %u cut off",
                    static_cast<unsigned long long>(chat_.senders().offered()),
                    static_cast<unsigned long long>(std::uint64_t{options_.senders} * options_.messages),
                    static_cast<unsigned long long>(chat_.deliveries()),
                    static_cast<unsigned long long>(std::uint64_t{options_.senders} * options_.messages * total),
                    chat_.senders().HeldNow(), chat_.cutOff());
      break;
    case Phase::Hold:
    case Phase::Done:
      std::snprintf(line, sizeof line, "holding: %u connected", total - chat_.cutOff());
      break;
  }
  std::fprintf(stderr, "[%7.1fs] %s\n", elapsed, line);
}

void LoadRun::WriteTimeline() {
  const auto now = Clock::now();
  if (timeline_ == nullptr || now < nextTimeline_) return;
  // Every half second; after a stall (or at the first line) from now on.
  nextTimeline_ = nextTimeline_ + kTimelinePeriod < now ? now + kTimelinePeriod : nextTimeline_ + kTimelinePeriod;
  const TextSenders& senders = chat_.senders();
  const double heldMs = senders.HeldMs(now);
  std::string rss;
  if (options_.serverPid != 0) {
    if (const auto kib = ProcessRssKib(options_.serverPid)) rss = std::to_string(*kib);
  }
  std::fprintf(timeline_, "%.3f,%s,%.1f,%u,%llu,%llu,%llu\n", Seconds(now - start_), rss.c_str(), heldMs - lastHeldMs_,
               senders.HeldNow(), static_cast<unsigned long long>(senders.offered()),
               static_cast<unsigned long long>(senders.TextsSent()), static_cast<unsigned long long>(chat_.deliveries()));
  std::fflush(timeline_);
  lastHeldMs_ = heldMs;
}

BenchReport LoadRun::Finish() {
  BenchReport report;
  report.connectOnly = options_.connectOnly;
  report.slowOk = options_.slowOk;
  if (run_.registeredAt) {
    report.measuredSeconds = Seconds(Clock::now() - measureStart_);
    report.benchCpuSeconds = OwnCpuSeconds() - benchCpuAtStart_;
    const auto serverCpu = options_.serverPid != 0 ? ProcessCpuSeconds(options_.serverPid) : std::nullopt;
    if (serverCpu && serverCpuAtStart_) report.serverCpuSeconds = *serverCpu - *serverCpuAtStart_;
  }
  report.pingsAnswered = pool_.PingsAnswered();
  const auto now = Clock::now();
  chat_.Report(report, now);
  for (MisbehavingRole* role : misbehaving_) role->Report(report, now);
  report.elapsedSeconds = Seconds(Clock::now() - start_);
  if (connectedAt_) report.connectSeconds = Seconds(*connectedAt_ - start_);
  if (connectedAt_ && run_.registeredAt) report.registerSeconds = Seconds(*run_.registeredAt - *connectedAt_);
  report.error = run_.error;
  report.exitStatus = run_.exitStatus;
  chat_.Judge(report);
  for (const MisbehavingRole* role : misbehaving_) role->Judge(report);
  if (timeline_ != nullptr) std::fclose(timeline_);
  timeline_ = nullptr;
  pool_.LeaveAll(end_);
  return report;
}

}  // namespace parlivo::bench
