#pragma once
// Where a parlivo-bench run stands: its phase, why it stopped if it did, and
// the moments the clients' roles go by (every registration answered, sending
// frozen). The run changes it as it goes through its phases; the roles read
// it, and stop the run when something they see is fatal.

#include <chrono>
#include <optional>
#include <string>
#include <utility>

namespace parlivo::bench {

using Clock = std::chrono::steady_clock;

// Exit statuses; the usage text lists them too.
enum ExitStatus : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitCannotConnect = 3 };

enum class Phase { Connect, Register, Send, Hold, Done };

struct RunState {
  Phase phase = Phase::Connect;
  int exitStatus = kExitOk;
  std::string error;
  // Every well-behaved client's registration was answered: the chat (or
  // the hold) and the misbehaving clients started then.
  std::optional<Clock::time_point> registeredAt;
  // Sending stopped: senders and flooders write nothing from then on.
  std::optional<Clock::time_point> frozenAt;

  bool done() const { return phase == Phase::Done; }
  bool frozen() const { return frozenAt.has_value(); }
  // Ends the phases; the first reason given is the one reported.
  void Stop(int status, std::string why) {
    if (done()) return;
    phase = Phase::Done;
    exitStatus = status;
    error = std::move(why);
  }
};

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace parlivo::bench
