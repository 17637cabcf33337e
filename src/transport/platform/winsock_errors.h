#pragma once
// Translation of POSIX errno values into the Winsock error codes that the
// transport reports and the operator reads in the event log.

namespace parlivo {

inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;

// errno values without a Winsock counterpart are reported as this base plus
// the errno value: outside every known code (so the operator reads
// "Unkown error was encountered!") while the number still tells the cause.
inline constexpr int kUnmappedErrnoBase = 20000;

// Failures of an encrypted connection, which Winsock has no codes for;
// above every code the system reports (and its errno values mapped past
// kUnmappedErrnoBase), and small enough for a notice's 16 bits.
inline constexpr int kTlsHandshakeFailed = 30001;
inline constexpr int kTlsHandshakeTimedOut = 30002;
inline constexpr int kTlsProtocolError = 30003;

// The Winsock code for errno value `error`; 0 stays 0.
int WinsockErrorFromErrno(int error);

}  // namespace parlivo
