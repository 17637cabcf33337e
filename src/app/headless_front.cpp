#include "app/headless_front.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
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

HeadlessFront::HeadlessFront(std::FILE* out) : out_(out) {}

HeadlessFront::~HeadlessFront() { Flush(); }

void HeadlessFront::LogAppended(const std::string& line) {
  // Lines leave once per event-loop pass, right before the loop waits: a busy
  // server writes its log in a few large writes instead of one per line.
  // Tied to the loop at the first line, the flush comes after the server's
  // own (whose queued packets matter more than the log) in every pass.
  if (!flushTied_) {
    flushTied_ = true;
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
      QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &flusher_, [this] { Flush(); });
  }
  const std::string text = DisplayText(line);
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fputc('\n', out_);
  unflushed_ = true;
}

void HeadlessFront::Flush() {
  if (!unflushed_) return;
  unflushed_ = false;
  std::fflush(out_);
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
