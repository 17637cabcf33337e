#pragma once
// Turning an event-log line into one line of terminal output.

#include <string>
#include <string_view>

namespace parlivo {

// The line as UTF-8, with every control character written as \xNN. Log
// lines carry nicknames and chat texts that clients chose: escaped, they
// can neither split one log entry into several output lines nor send
// control sequences to the operator's terminal.
std::string ConsoleLogLine(std::string_view line);

}  // namespace parlivo
