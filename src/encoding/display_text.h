#pragma once
// How a text from the wire is shown to a person, in a window or on a
// terminal alike.

#include <string>
#include <string_view>

namespace parlivo {

// The text (Windows-1252 bytes) as UTF-8 for display, on exactly one
// visible line. Nicknames, rooms and chat texts are chosen by clients;
// their control characters are written as visible escapes, so that no
// client can start a line of its own in somebody else's record or send
// control sequences to a terminal: CR, LF and TAB as \r, \n and \t, every
// other C0 control, DEL and the five bytes the code page leaves to C1
// controls as \xNN (two upper-case hex digits). Every other byte is decoded
// from Windows-1252; a backslash stays a backslash.
std::string DisplayText(std::string_view text);

}  // namespace parlivo
