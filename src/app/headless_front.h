#pragma once
// The server without a window: the same form model, its event log printed
// to an output stream one line per entry (the form keeps none of it),
// stopped by SIGTERM, SIGINT or SIGHUP.
//
// The log never holds the server up: lines wait in a bounded buffer
// (PendingLog) and go out through a write that takes what the output has
// room for and never waits (NonBlockingOutput). While nobody reads the
// output, lines beyond the buffer are dropped and a line later says how
// many.

#include <QObject>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>

#include "app/form_view.h"
#include "app/nonblocking_output.h"
#include "app/pending_log.h"
#include "app/server_options.h"

class QSocketNotifier;

namespace parlivo {

class TerminationSignals;

class HeadlessFront final : public FormView {
 public:
  // How long the end of the program waits for an output that is slow to
  // take the lines still waiting: one nobody reads must not keep it alive.
  static constexpr int kExitWaitMs = 2000;

  // Flushes by itself once a QCoreApplication's event loop runs. `out`
  // stays the caller's; the front writes to its descriptor directly, after
  // flushing what the stream held. A stream without a descriptor is
  // written through stdio.
  explicit HeadlessFront(std::FILE* out, int exitWaitMs = kExitWaitMs);
  // Writes what is left, waiting up to exitWaitMs for the output's room.
  ~HeadlessFront() override;
  HeadlessFront(const HeadlessFront&) = delete;
  HeadlessFront& operator=(const HeadlessFront&) = delete;

  // Prints the line as encoding/display_text.h shows wire text. What was printed is flushed once
  // per event-loop pass, when the program ends, and by Flush.
  void LogAppended(const std::string& line) override;
  // Writes what the output takes now, never waiting; the rest goes when it
  // has room (watched on the event loop).
  void Flush();
  // Bytes of printed lines the output has not taken yet.
  std::size_t Unwritten() const { return pending_.Size(); }
  // Whether the output is watched for room: only while lines wait for it,
  // since a writable output would wake the event loop again and again.
  bool Watching() const;
  // Offline with no restart to come: the program ends with status 1.
  void ServerWentOffline(bool restartPending) override;

  // Ends the event loop with `status`. The first end decides: a later one
  // (an error while a signal stops the server) changes nothing.
  void End(int status);
  bool Ended() const { return status_.has_value(); }
  int Status() const { return status_.value_or(0); }

 private:
  // Writes what the output takes of the waiting lines.
  void WriteWhatFits();
  std::size_t WriteSome(std::string_view bytes);
  void WatchForRoom(bool on);

  std::FILE* out_;
  std::unique_ptr<NonBlockingOutput> output_;  // null: a stream without a descriptor
  PendingLog pending_;
  int exitWaitMs_;
  bool flushTied_ = false;
  std::optional<int> status_;
  QObject flusher_;  // ties the flush to this object's life
  std::unique_ptr<QSocketNotifier> roomNotifier_;
};

// Runs the headless server until a termination signal (status 0) or until
// it is offline with no restart left (status 1), printing the log to `out`.
// Needs a QCoreApplication and `termination`, made before it so that a
// signal during the start counts too: such a signal stops the server right
// after the start. `options` take the place of the loaded settings. The
// server is announced on the local network unless the settings say not to.
int RunHeadlessServer(TerminationSignals& termination, const ServerOptions& options, std::FILE* out = stdout);

}  // namespace parlivo
