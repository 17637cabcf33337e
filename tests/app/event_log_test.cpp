// The event log's bounds and how a log line is shown.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/event_log.h"
#include "encoding/display_text.h"

namespace parlivo {
namespace {

TEST(DisplayText, ControlCharactersBecomeVisibleEscapesOnOneLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\r\nServer is offline!", "\\r\\nServer is offline!"},
      {"a\tb\x07" "c\x7F\x1B[2J\xE9", "a\\tb\\x07c\\x7F\\x1B[2J\u00E9"},  // Windows-1252 decoded
      {"\x81\x8D\x8F\x90\x9D", "\\x81\\x8D\\x8F\\x90\\x9D"},  // the code page's C1 controls
  };
  for (const auto& [line, shown] : cases) EXPECT_EQ(DisplayText(line), shown) << line;
}

TEST(EventLog, KeepsOnlyTheNewestLinesButReportsEveryOne) {
  EventLog log;
  std::size_t reported = 0;
  log.OnAppend = [&](const std::string&) { ++reported; };
  for (std::size_t i = 0; i < EventLog::kMaxLines + 3; ++i) log.Append(std::to_string(i));
  ASSERT_EQ(log.Lines().size(), EventLog::kMaxLines);
  EXPECT_EQ(log.Lines().front(), "3");
  EXPECT_EQ(log.Lines().back(), std::to_string(EventLog::kMaxLines + 2));

  log.SetMaxLines(0);
  log.Append("printed elsewhere");
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(reported, EventLog::kMaxLines + 4);
}

TEST(EventLog, ClientTextUpToTheLimitIsKeptWholeAndOneByteMoreIsCutWithItsLength) {
  const std::string atLimit(kMaxClientTextInLog, 'a');
  EXPECT_EQ(ClientText(atLimit), atLimit);
  EXPECT_EQ(ClientText(atLimit + "b"), atLimit + "... (4097 bytes)");
}

}  // namespace
}  // namespace parlivo
