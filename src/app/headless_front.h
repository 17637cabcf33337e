#pragma once
// The server without a window: the same form model, its event log printed
// to an output stream one line per entry (the form keeps none of it),
// stopped by SIGTERM, SIGINT or SIGHUP.

#include <QObject>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "app/form_view.h"
#include "app/server_options.h"

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

// Runs the headless server until a termination signal (status 0) or until
// it is offline with no restart left (status 1), printing the log to `out`.
// Needs a QCoreApplication and `termination`, made before it so that a
// signal during the start counts too: such a signal stops the server right
// after the start. `options` take the place of the loaded settings. The
// server is announced on the local network unless the settings say not to.
int RunHeadlessServer(TerminationSignals& termination, const ServerOptions& options, std::FILE* out = stdout);

}  // namespace parlivo
