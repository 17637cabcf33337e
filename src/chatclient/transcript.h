#pragma once
// What the chat window shows in its scrolling view: one entry per relayed
// text, private data and word from the client itself, oldest first, with
// the time each arrived. The number of entries is capped so that a long or
// busy session keeps a bounded footprint; the oldest go first.

#include <QDateTime>
#include <QString>
#include <cstddef>
#include <deque>

namespace parlivo {

struct TranscriptLine {
  enum class Kind {
    Chat,         // a relayed text; `nick` and `room` are set when it had the relay form
    PrivateIn,    // private data received (the server does not say from whom)
    PrivateOut,   // private data we sent; `nick` is the recipient
    Notice,       // the client's own word: joined, left, who came and went
    Problem,      // a refusal, an ending, a failure
  };
  Kind kind = Kind::Notice;
  QDateTime time;
  QString nick;
  QString room;
  bool relayForm = false;  // nick and room were taken from "[BC from NICK @ ROOM]: "
  QString text;
};

class Transcript {
 public:
  static constexpr std::size_t kMaxLines = 5000;

  void append(TranscriptLine line) {
    lines_.push_back(std::move(line));
    if (lines_.size() > kMaxLines) lines_.pop_front();
  }
  void clear() { lines_.clear(); }
  const std::deque<TranscriptLine>& lines() const { return lines_; }

 private:
  std::deque<TranscriptLine> lines_;
};

}  // namespace parlivo
