#pragma once
// How an event-log line is shown, in the window and on the terminal alike.

#include <string>
#include <string_view>

namespace parlivo {

// The line (Windows-1252 bytes) as UTF-8 text for display, on exactly one
// visible line. Log lines carry nicknames, rooms and chat texts that
// clients chose; their control characters are written as visible escapes,
// so that no client can start a line of its own in the operator's record
// (a forged "Server is offline!") or send control sequences to a terminal:
// CR, LF and TAB as \r, \n and \t, every other C0 control, DEL and the five
// bytes the code page leaves to C1 controls as \xNN (two upper-case hex
// digits). Every other byte is decoded from Windows-1252; a backslash stays
// a backslash.
std::string LogLineText(std::string_view line);

}  // namespace parlivo
