#include "app/event_log.h"

namespace parlivo {

void EventLog::SetMaxLines(std::size_t maxLines) {
  maxLines_ = maxLines;
  DropOldest();
}

void EventLog::Append(const std::string& line) {
  if (maxLines_ > 0) {
    lines_.push_back(line);
    DropOldest();
  }
  // The observer gets the caller's line, not the kept one: it may append
  // again, which may drop the kept one.
  if (OnAppend) OnAppend(line);
}

void EventLog::DropOldest() {
  while (lines_.size() > maxLines_) lines_.pop_front();
}

std::string ClientText(std::string_view text) {
  if (text.size() <= kMaxClientTextInLog) return std::string(text);
  return std::string(text.substr(0, kMaxClientTextInLog)) + "... (" + std::to_string(text.size()) + " bytes)";
}

}  // namespace parlivo
