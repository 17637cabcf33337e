#pragma once
// The server without a window: the same form model, its event log printed
// to standard output one line per entry (the form keeps none of it),
// stopped by SIGINT or SIGTERM.

#include <cstdint>
#include <cstdio>
#include <optional>

#include "app/form_view.h"

namespace parlivo {

class HeadlessFront final : public FormView {
 public:
  explicit HeadlessFront(std::FILE* out) : out_(out) {}

  // Prints the line (see log_line_text.h) and flushes at once.
  void LogAppended(const std::string& line) override;
  // Offline with no restart to come: the program ends with status 1.
  void ServerWentOffline(bool restartPending) override;

 private:
  std::FILE* out_;
};

// Runs the headless server until a termination signal (status 0) or until
// it is offline with no restart left (status 1). Needs a QCoreApplication.
// `port`, when given, goes into the port field after the settings are loaded.
int RunHeadlessServer(std::optional<std::uint16_t> port);

}  // namespace parlivo
