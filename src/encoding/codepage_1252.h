#pragma once
// Conversions between Unicode and Windows-1252, the 8-bit code page the
// chat clients use for every text on the wire. Texts stay Windows-1252 byte
// strings inside the server; these convert at the edges: registration
// strings sent as UTF-16 or UTF-8, and views that show text as UTF-8.
//
// A character Windows-1252 lacks becomes '?'. Ill-formed UTF-8 or UTF-16
// (a stray continuation byte, a truncated sequence, an unpaired surrogate)
// becomes one '?' per bad unit; decoding never fails.

#include <string>
#include <string_view>

namespace parlivo {

// UTF-16 little-endian bytes (an odd last byte is ill-formed) to Windows-1252.
std::string Utf16LeToWindows1252(std::string_view utf16le);
std::string Utf8ToWindows1252(std::string_view utf8);
// Every Windows-1252 byte has a Unicode character (the five unassigned ones
// map to the C1 controls of the same value), so this is lossless.
std::string Windows1252ToUtf8(std::string_view text);

}  // namespace parlivo
