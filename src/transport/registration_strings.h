#pragma once
// Reading the two strings (user name, room) of a registration packet.
//
// Each string is a kind byte, a length and the bytes, in the encoding of
// the clients' component stream writer:
//   0x06  1-byte length, then that many bytes (taken as they are)
//   0x0C  int32 length, then that many bytes (taken as they are)
//   0x12  int32 count of UTF-16 code units, then twice as many bytes, UTF-16LE
//   0x14  int32 count of bytes, then that many bytes, UTF-8
// UTF-16 and UTF-8 are converted to Windows-1252 ('?' for what it lacks).
// A negative length reads as an empty string, as the clients' reader does.
// Any other kind byte fails with "Invalid property value"; a payload that
// ends too early fails with "Stream read error" (both EReadError).

#include <string>

#include "transport/byte_stream.h"

namespace parlivo {

inline constexpr const char* kInvalidPropertyValue = "Invalid property value";
inline constexpr const char* kStreamReadError = "Stream read error";

// Reads one string at `data`'s position and moves past it. Throws
// EReadError; the position is then unspecified.
std::string ReadRegistrationString(ByteStream& data);

}  // namespace parlivo
