#pragma once
// The operator's event log: a list of text lines (bytes in the clients' code
// page), appended at the end and never changed. It keeps the most recent
// kMaxLines lines and drops older ones, so a long run or a flood of chat
// cannot fill the memory; a view that shows the log keeps no more than that
// either.
//
// Lines may hold text that clients chose (chat texts, nicknames, rooms).
// Such text goes through ClientText before it becomes part of a line, which
// bounds the size of every line. How a line is made visible (one line on
// screen, whatever bytes it holds) is encoding/display_text.h's business.

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace parlivo {

class EventLog {
 public:
  // How many lines the log keeps.
  static constexpr std::size_t kMaxLines = 10000;

  // Called after each line is appended, with that line.
  std::function<void(const std::string&)> OnAppend;

  // Lowers (or raises) how many lines are kept, dropping the oldest ones
  // beyond it; 0 keeps none, for a view that keeps the log itself.
  void SetMaxLines(std::size_t maxLines);
  void Append(const std::string& line);
  // The kept lines, oldest first.
  const std::deque<std::string>& Lines() const { return lines_; }

 private:
  void DropOldest();

  std::deque<std::string> lines_;
  std::size_t maxLines_ = kMaxLines;
};

// How many bytes of one client-chosen text a log line shows.
inline constexpr std::size_t kMaxClientTextInLog = 4096;

// Client-chosen text as it goes into a log line: unchanged up to
// kMaxClientTextInLog bytes; a longer one is cut to that many bytes and
// followed by "... (N bytes)", N being its full length.
std::string ClientText(std::string_view text);

}  // namespace parlivo
