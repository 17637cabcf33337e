#pragma once
// How an event-log line is shown, in the window and on the terminal alike.

#include <string>
#include <string_view>

namespace parlivo {

// The line (Windows-1252 bytes) as UTF-8 text for display, on exactly one
// visible line: log lines carry nicknames, rooms and chat texts that
// clients chose, so their control characters are shown as escapes, the
// way every view of wire text shows them (encoding/display_text.h).
std::string LogLineText(std::string_view line);

}  // namespace parlivo
