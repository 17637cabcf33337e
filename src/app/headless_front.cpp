#include "app/headless_front.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <csignal>
#include <QSocketNotifier>
#include <chrono>
#include <string>

#include "app/headless_desktop.h"
#include "app/main_form.h"
#include "app/settings_location.h"
#include "app/termination_signals.h"
#include "discovery/avahi_advertiser.h"
#include "encoding/display_text.h"
#include "transport/platform/posix_socket_api.h"
#include "transport/transport_module.h"
#include "transport/unhandled_error.h"

namespace parlivo {

HeadlessFront::HeadlessFront(std::FILE* out, int exitWaitMs) : out_(out), exitWaitMs_(exitWaitMs) {
  std::fflush(out);
  if (const int fd = ::fileno(out); fd >= 0) output_ = std::make_unique<NonBlockingOutput>(fd);
}

HeadlessFront::~HeadlessFront() {
  roomNotifier_.reset();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(exitWaitMs_);
  for (;;) {
    WriteWhatFits();
    if (pending_.Empty() || !output_) return;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return;
    if (!output_->WaitForRoom(static_cast<int>(left))) return;
  }
}

void HeadlessFront::LogAppended(const std::string& line) {
  // Lines leave once per event-loop pass, right before the loop waits: a busy
  // server writes its log in a few large writes instead of one per line.
  // Tied to the loop at the first line, the flush comes after the server's
  // own (whose queued packets matter more than the log) in every pass.
  if (!flushTied_) {
    flushTied_ = true;
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
      QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &flusher_, [this] {
        // A full output is watched; trying it again in every pass is no use.
        if (!Watching()) Flush();
      });
  }
  if (output_ && output_->Broken()) return;  // nowhere to go
  pending_.Append(DisplayText(line));
}

void HeadlessFront::Flush() {
  WriteWhatFits();
  // What the output did not take goes as soon as it has room, not at the
  // next event, which may be a second away.
  WatchForRoom(!pending_.Empty() && output_ && !output_->Broken());
}

void HeadlessFront::WriteWhatFits() {
  while (!pending_.Empty()) {
    const std::size_t taken = WriteSome(pending_.Front());
    if (taken == 0) return;
    pending_.Consume(taken);
  }
}

std::size_t HeadlessFront::WriteSome(std::string_view bytes) {
  if (output_) return output_->Write(bytes.data(), bytes.size());
  // A stream without a descriptor has a write function of its maker's,
  // whose business it is whether that waits.
  const std::size_t taken = std::fwrite(bytes.data(), 1, bytes.size(), out_);
  std::fflush(out_);
  return taken;
}

bool HeadlessFront::Watching() const { return roomNotifier_ && roomNotifier_->isEnabled(); }

void HeadlessFront::WatchForRoom(bool on) {
  if (!on) {
    if (roomNotifier_) roomNotifier_->setEnabled(false);
    return;
  }
  if (!roomNotifier_) {
    if (QCoreApplication::instance() == nullptr) return;  // no loop: the next flush tries again
    roomNotifier_ = std::make_unique<QSocketNotifier>(output_->Descriptor(), QSocketNotifier::Write);
    QObject::connect(roomNotifier_.get(), &QSocketNotifier::activated, &flusher_, [this] { Flush(); });
  }
  roomNotifier_->setEnabled(true);
}

void HeadlessFront::ServerWentOffline(bool restartPending) {
  if (!restartPending) End(1);
}

void HeadlessFront::End(int status) {
  Flush();
  if (status_) return;
  status_ = status;
  // Takes effect once the running handler has returned to the loop; before
  // the loop runs, RunHeadlessServer looks at Ended() instead.
  QCoreApplication::exit(status);
}

namespace {

// Asks every client to leave, stops and ends with status 0.
void StopForSignal(HeadlessFront& front, TfrmServer& form) {
  front.End(0);
  form.FormCloseQuery();
}

// Runs the started server's event loop until it ends; the signal watch
// ends with it, before the form it uses goes away.
int RunLoop(TerminationSignals& termination, HeadlessFront& front, TfrmServer& form) {
  termination.Watch([&front, &form] { StopForSignal(front, form); });
  QCoreApplication::exec();
  termination.Watch({});
  return front.Status();
}

}  // namespace

int RunHeadlessServer(TerminationSignals& termination, const ServerOptions& options, std::FILE* out) {
  // A log nobody reads any more (a pager that quit) is no reason to stop
  // serving: its writes fail with EPIPE, and the lines are dropped.
  std::signal(SIGPIPE, SIG_IGN);
  PosixSocketApi api;
  TransportModule transport(api);
  HeadlessFront front(out);
  const UnhandledErrorHandler previous = SetUnhandledErrorHandler([](const void*, std::string_view message) {
    std::fprintf(stderr, "parlivo-server: %s\n", DisplayText(message).c_str());
    std::fflush(stderr);
  });

  int status = 0;
  {
    HeadlessDesktop desktop;
    AvahiAdvertiser advertiser;
    TfrmServer form(api, front, desktop.Services(), FormEnvironment{DataHome(), ProgramFileName()}, &advertiser);
    form.mChat.SetMaxLines(0);  // printed as it comes; the terminal keeps it
    form.FormCreate();
    ApplyServerOptions(form, options);
    RunGuarded(&form, [&] { form.sbRunClick(); });
    if (termination.Arrived()) {
      StopForSignal(front, form);
    } else if (front.Ended() || !(form.Server->Listen() || form.RestartPending())) {
      status = 1;
    } else {
      status = RunLoop(termination, front, form);
    }
  }
  SetUnhandledErrorHandler(previous);
  return status;
}

}  // namespace parlivo
