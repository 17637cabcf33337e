#pragma once
// The server without a window: the same form model, its event log printed
// to an output stream one line per entry (the form keeps none of it),
// stopped by SIGTERM, SIGINT or SIGHUP.

#include <QObject>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "app/form_view.h"
#include "app/main_form.h"

namespace parlivo {

class TerminationSignals;

class HeadlessFront final : public FormView {
 public:
  // Flushes by itself once a QCoreApplication's event loop runs.
  explicit HeadlessFront(std::FILE* out);
  ~HeadlessFront() override;
  HeadlessFront(const HeadlessFront&) = delete;
  HeadlessFront& operator=(const HeadlessFront&) = delete;

  // Prints the line as encoding/display_text.h shows wire text. What was printed is flushed once
  // per event-loop pass, when the program ends, and by Flush.
  void LogAppended(const std::string& line) override;
  void Flush();
  // Offline with no restart to come: the program ends with status 1.
  void ServerWentOffline(bool restartPending) override;

  // Ends the event loop with `status`. The first end decides: a later one
  // (an error while a signal stops the server) changes nothing.
  void End(int status);
  bool Ended() const { return status_.has_value(); }
  int Status() const { return status_.value_or(0); }

 private:
  std::FILE* out_;
  bool unflushed_ = false;
  bool flushTied_ = false;
  std::optional<int> status_;
  QObject flusher_;  // ties the flush to this object's life
};

// What the command line sets for one headless run. `port`, when given, goes
// into the port field after the settings are loaded; the limits win over
// the settings file's for this run only.
struct HeadlessOptions {
  std::optional<std::uint16_t> port;
  TfrmServer::LimitOverrides limits;
};

// Runs the headless server until a termination signal (status 0) or until
// it is offline with no restart left (status 1), printing the log to `out`.
// Needs a QCoreApplication and `termination`, made before it so that a
// signal during the start counts too: such a signal stops the server right
// after the start.
int RunHeadlessServer(TerminationSignals& termination, const HeadlessOptions& options, std::FILE* out = stdout);

}  // namespace parlivo
