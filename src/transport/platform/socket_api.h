#pragma once
// The sockets interface the transport is written against.
//
// It is shaped like the Winsock 1.1 calls the server was designed around:
// every call returns -1 (or an invalid handle) on failure and the reason is
// read afterwards with lastError(), as a Winsock error code (10035 "would
// block", 10054 "connection reset", ...). Those codes, not errno values, are
// what the operator sees in the event log, so every implementation reports
// them. Readiness goes straight to the object that owns a socket, the
// SocketWatcher it registered with watch(), never by blocking.
//
// Implementations: PosixSocketApi (the real one) and a scriptable fake used
// by the unit tests.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace parlivo {

using SocketHandle = std::int32_t;
inline constexpr SocketHandle kInvalidSocket = -1;
inline constexpr int kSocketError = -1;

// Address family, socket type and protocol numbers as the calls expect them.
inline constexpr int kAfInet = 2;
inline constexpr int kAfInet6 = 23;
inline constexpr int kSockStream = 1;
inline constexpr int kIpProtoTcp = 6;

// listen() backlog that asks for the system's maximum (Winsock's SOMAXCONN).
inline constexpr int kMaxListenBacklog = 0x7fffffff;

// shutdown() directions.
inline constexpr int kShutdownBoth = 2;

// What a socket's owner asks to be told (a mask for watch()) and what one
// readiness notice tells it (one of them).
using SocketEvents = std::uint32_t;
inline constexpr SocketEvents kCanRead = 1;     // bytes wait to be received
inline constexpr SocketEvents kCanWrite = 2;    // room again after a send that did not take everything
inline constexpr SocketEvents kCanAccept = 8;   // a connection waits on a listening socket
inline constexpr SocketEvents kPeerClosed = 32;  // the peer ended the stream, or the connection failed

// The owner of a watched socket. SocketReady is called on the event thread
// with one event and, for kPeerClosed, the pending socket error as a
// Winsock code (0 for an orderly end). The watcher may change or cancel its
// watch, close the socket or free itself from inside: the layer uses
// nothing of the registration after the call. A watcher cancels its watch
// (or closes the socket) before it is destroyed.
class SocketWatcher {
 public:
  virtual void SocketReady(SocketHandle socket, SocketEvents event, int error) = 0;

 protected:
  ~SocketWatcher() = default;
};

// The control command that asks how many bytes wait to be received.
inline constexpr std::uint32_t FIONREAD = 0x4004667F;

// IPv4 socket address with the Winsock layout: port and address in network
// byte order, eight zero bytes of padding. 16 bytes in all.
struct SockAddrIn {
  std::uint16_t family = 0;
  std::uint16_t port = 0;     // network byte order
  std::uint32_t address = 0;  // network byte order
  std::uint8_t zero[8] = {};
};
static_assert(sizeof(SockAddrIn) == 16);

// IPv6 socket address with the Winsock layout: port in network byte order,
// flow information, the 16 address bytes, and the scope (the interface of
// a link-local address). 28 bytes in all.
struct SockAddrIn6 {
  std::uint16_t family = 0;
  std::uint16_t port = 0;  // network byte order
  std::uint32_t flowInfo = 0;
  std::uint8_t address[16] = {};
  std::uint32_t scopeId = 0;
};
static_assert(sizeof(SockAddrIn6) == 28);

// Room for a socket address of either family (Winsock's SOCKADDR_STORAGE):
// `family` tells which one it holds. Either address converts to it.
struct SockAddrStorage {
  std::uint16_t family = 0;
  std::uint8_t rest[126] = {};

  SockAddrStorage() = default;
  SockAddrStorage(const SockAddrIn& address) { std::memcpy(static_cast<void*>(this), &address, sizeof address); }
  SockAddrStorage(const SockAddrIn6& address) { std::memcpy(static_cast<void*>(this), &address, sizeof address); }
  // The address as the family it holds; meaningful only for that family.
  SockAddrIn ipv4() const {
    SockAddrIn address;
    std::memcpy(static_cast<void*>(&address), this, sizeof address);
    return address;
  }
  SockAddrIn6 ipv6() const {
    SockAddrIn6 address;
    std::memcpy(static_cast<void*>(&address), this, sizeof address);
    return address;
  }
};
static_assert(sizeof(SockAddrStorage) == 128);

class SocketApi {
 public:
  virtual ~SocketApi() = default;

  // Library start and end (WSAStartup / WSACleanup). 0 on success.
  virtual int startup(std::uint16_t version) = 0;
  virtual int cleanup() = 0;
  // The most sockets this process may hold at once (what WSAStartup tells
  // in iMaxSockets): on Linux the descriptor limit, after startup raised it.
  virtual std::uint32_t maxSockets() = 0;

  virtual SocketHandle socket(int family, int type, int protocol) = 0;
  // Binds to an address of the socket's family.
  virtual int bind(SocketHandle s, const SockAddrStorage& address) = 0;
  virtual int listen(SocketHandle s, int backlog) = 0;
  // Accepts one pending connection; the peer's address is written to *peer
  // (on an IPv6 socket that takes IPv4 too, an IPv4 peer comes as the
  // mapped address ::ffff:a.b.c.d). The accepted socket is non-blocking
  // and not watched: its owner watches it.
  virtual SocketHandle accept(SocketHandle s, SockAddrStorage* peer) = 0;
  virtual int recv(SocketHandle s, void* buffer, int length, int flags) = 0;
  virtual int send(SocketHandle s, const void* buffer, int length, int flags) = 0;
  virtual int shutdown(SocketHandle s, int how) = 0;
  virtual int closesocket(SocketHandle s) = 0;
  // setsockopt(SO_LINGER) with the two 16-bit fields of the Winsock record.
  virtual int setLinger(SocketHandle s, std::uint16_t on, std::uint16_t seconds) = 0;
  // setsockopt(IPPROTO_TCP, TCP_NODELAY).
  virtual int setNoDelay(SocketHandle s, bool on) = 0;
  // setsockopt(IPPROTO_IPV6, IPV6_V6ONLY) on an IPv6 socket, before bind:
  // off lets the one socket take IPv4 peers too. Fails where a system
  // cannot turn it off.
  virtual int setV6Only(SocketHandle s, bool on) = 0;
  // ioctlsocket(FIONREAD): bytes waiting to be received.
  virtual int ioctlFionread(SocketHandle s, std::uint32_t* count) = 0;
  // Registers `watcher` for the readiness of s that `events` asks for. An
  // empty mask (or no watcher) cancels the registration; that is safe from
  // inside a notice of the same socket. Calling it again for a registered
  // socket changes the events it asks for (leaving out kCanRead pauses
  // reading). kCanWrite comes once after a send that would block or took
  // only part of its bytes, as soon as the socket can take more; kPeerClosed
  // once per socket. Watching makes the socket non-blocking.
  virtual int watch(SocketHandle s, SocketWatcher* watcher, SocketEvents events) = 0;
  // Waits at most timeoutMs for one of `sockets` to be able to take more
  // bytes; writable[i] tells which. Returns how many are writable, 0 on
  // time-out, -1 on failure. Used only while stopping, to hand the last
  // packets over without the event loop.
  virtual int waitWritable(const std::vector<SocketHandle>& sockets, int timeoutMs, std::vector<bool>& writable) = 0;
  // The Winsock code of the last failure.
  virtual int lastError() = 0;

  // gethostname into a buffer of `length` bytes, NUL-terminated on success.
  virtual int gethostname(char* name, int length) = 0;
  // The host's IPv4 address to announce, in dotted decimal: the first
  // address that is not loopback, loopback only when there is no other.
  // Empty when the host has no IPv4 address at all.
  virtual std::string hostAddress(const std::string& hostName) = 0;
  // The host's IPv6 address to announce, without brackets: the first global
  // or unique-local one; a link-local one, with its zone ("fe80::1%eth0"),
  // only when the host has no address but loopback otherwise. Empty when
  // there is none of these.
  virtual std::string hostAddress6() = 0;
};

}  // namespace parlivo
