#include "app/pending_log.h"

namespace parlivo {

std::string DroppedLinesNotice(std::uint64_t count) {
  return std::to_string(count) + (count == 1 ? " log line" : " log lines") +
         " dropped: the output was not being read";
}

void PendingLog::Append(std::string_view line) {
  // Once lines are dropped, all are until the output has taken some: a
  // short line that still fits would otherwise go out ahead of the notice,
  // or a notice of one line would come between every two long ones.
  if (dropped_ != 0 || !Fits(line.size() + 1)) {
    ++dropped_;
    return;
  }
  buffer_.append(line);
  buffer_ += '\n';
}

void PendingLog::Consume(std::size_t bytes) {
  start_ += bytes;
  if (Empty()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ >= buffer_.size() / 2) {
    // Moving the rest to the front costs no more than what was written.
    buffer_.erase(0, start_);
    start_ = 0;
  }
  ReportDrops();
}

void PendingLog::ReportDrops() {
  if (dropped_ == 0) return;
  const std::string notice = DroppedLinesNotice(dropped_);
  if (!Fits(notice.size() + 1)) return;
  buffer_ += notice;
  buffer_ += '\n';
  dropped_ = 0;
}

}  // namespace parlivo
