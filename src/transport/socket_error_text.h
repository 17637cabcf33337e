#pragma once
// The fixed English texts of socket error codes, as the operator reads them.

#include <string_view>

namespace parlivo {

inline constexpr std::string_view kUnknownSocketErrorText = "Unkown error was encountered!";

// Failures of an encrypted connection, which Winsock has no codes for;
// above every code the system reports (and its errno values mapped past
// kUnmappedErrnoBase), and small enough for a notice's 16 bits.
inline constexpr int kTlsHandshakeFailed = 30001;
inline constexpr int kTlsHandshakeTimedOut = 30002;
inline constexpr int kTlsProtocolError = 30003;

// The text for a Winsock error code; kUnknownSocketErrorText for any code
// that has none.
std::string_view SocketErrorText(int code);

}  // namespace parlivo
