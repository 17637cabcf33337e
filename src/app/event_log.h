#pragma once
// The operator's event log: an append-only list of text lines (bytes in the
// clients' code page). Lines are never changed or removed while the
// program runs, and there is no limit on their number.

#include <functional>
#include <string>
#include <vector>

namespace parlivo {

class EventLog {
 public:
  // Called after each line is appended, with that line.
  std::function<void(const std::string&)> OnAppend;

  void Append(const std::string& line) {
    lines_.push_back(line);
    // The observer gets its own copy: it may append again.
    if (OnAppend) OnAppend(line);
  }
  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

}  // namespace parlivo
