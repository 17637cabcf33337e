#pragma once
// ConnectionStream: the bytes of one connection as its owner reads and
// writes them, whatever the wire carries beneath.
//
// A plain stream is the socket itself (plain_stream.h); an encrypted one
// runs TLS over the socket and hands out plain bytes. The listener that
// accepted a connection picks its stream, so the server above never knows
// which it talks to. Calls follow the sockets layer's contract: -1 on
// failure with the Winsock code in LastError(), 10035 ("would block") when
// nothing can move now.
//
// A stream may have an opening of its own (a handshake) before it carries
// anything: until Opened(), sends would block and nothing is read, and the
// socket's notices are the stream's business (Notice swallows them).
//
// Everything runs on the event thread.

#include <cstdint>
#include <functional>
#include <memory>

#include "transport/platform/socket_api.h"

namespace parlivo {

class ConnectionStream {
 public:
  virtual ~ConnectionStream() = default;

  // A readiness notice of the socket, seen by the stream first. Returns the
  // event its owner handles (kCanRead, kCanWrite, or kPeerClosed with
  // `error` set to why), or 0 when there is nothing for the owner: a step of
  // the opening, or a record not yet whole. The opening's end comes out as
  // kCanWrite, so what was queued meanwhile goes out.
  virtual SocketEvents Notice(SocketEvents event, int& error) = 0;
  // What the socket must be watched for while the owner asks for `wanted`
  // (the opening needs every notice; 0 stays 0).
  virtual SocketEvents Interest(SocketEvents wanted) const = 0;

  // How many bytes to read now: at least every plain byte that has come, so
  // that one read takes all of them.
  virtual int Available(std::uint32_t& count) = 0;
  // As the socket calls: the count moved (> 0), 0 for the peer's end of the
  // stream (Receive only), -1 with LastError() otherwise.
  virtual int Receive(void* buffer, int length) = 0;
  // Whatever part of `data` a send takes stays taken. A stream may keep
  // the tail of a part it could not pass on whole; the next call must then
  // offer the same bytes again, from the first one not taken.
  virtual int Send(const void* data, int length) = 0;
  // Says the end of the stream where the protocol has words for it, as far
  // as the socket takes them now, before the socket is shut down.
  virtual void SayEnd() = 0;
  virtual int LastError() const = 0;

  // Plain bytes wait inside the stream, which no notice of the socket will
  // announce: the owner must read them of its own accord.
  virtual bool Buffered() const = 0;
  // The opening is over (a plain stream has none).
  virtual bool Opened() const = 0;
  // When an opening still under way times out (steady milliseconds), and
  // the error a late one ends with; 0 when none is under way.
  virtual std::int64_t OpeningDeadline() const = 0;
  virtual int OpeningTimeoutError() const = 0;
};

// Makes the stream of a connection just accepted on `socket` (the owner's
// handle field, read at each call) at steady time `nowMs`; null when it
// cannot (out of memory: the connection is turned away).
using StreamMaker =
    std::function<std::unique_ptr<ConnectionStream>(SocketApi& api, const SocketHandle& socket, std::int64_t nowMs)>;

}  // namespace parlivo
