#pragma once
// TCustomFasterSocket: the common base of the server and of every accepted
// connection.
//
// A socket object owns a socket handle, a receive buffer and a send queue,
// and watches its socket: each readiness notice comes to it directly
// (SocketReady) and becomes a call of one of its virtual operations; it
// reads waiting bytes and cuts them into packets, and routes socket errors
// to OnError. A connection hands its notices to its owner
// (ConnectionReady), which reads for it.
// Everything runs on the one event thread; nothing is locked.
//
// Ownership: a server owns its connections (Clients) and a connection knows
// its owner, to which its errors are routed when it has no handler of its
// own. The base never closes its socket: the server and the connection
// close theirs before they are destroyed.
//
// Re-entry: handlers called from here (DispatchPacket, OnError, the
// closing operations) may free the object they were called for or stop the
// whole server. Code in this class checks LifeToken() after every such
// call and stops touching an object that is gone.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "transport/byte_stream.h"
#include "transport/client_list.h"
#include "transport/outgoing_queue.h"
#include "transport/packet_framing.h"
#include "transport/platform/connection_stream.h"
#include "transport/platform/socket_api.h"

namespace parlivo {

class TCustomFasterSocket;
class TDadideVUDServerClient;

// Sender, Socket, ErrorCode, ErrorMsg.
using TDadideVUDErrorEvent =
    std::function<void(TCustomFasterSocket* Sender, SocketHandle Socket, int ErrorCode, const std::string& ErrorMsg)>;

class TCustomFasterSocket : public SocketWatcher {
 public:
  // `owner` is the object that owns this one (a connection's server), or
  // null. `api` must outlive the object.
  TCustomFasterSocket(SocketApi& api, TCustomFasterSocket* owner);
  // Stops watching a socket still held (it does not close it).
  virtual ~TCustomFasterSocket();

  TCustomFasterSocket(const TCustomFasterSocket&) = delete;
  TCustomFasterSocket& operator=(const TCustomFasterSocket&) = delete;

  bool AllowChangeHostAndPortOnConnection = false;
  std::string Host;
  std::uint16_t Port = 0;
  SocketHandle Socket = kInvalidSocket;
  TDadideVUDErrorEvent OnError;
  // Set while this object delivers the packets of a receive pass.
  bool Dispatching = false;
  // Only a server creates its list; every other socket object has none.
  std::unique_ptr<ClientList> Clients;
  ByteStream ReceiveBuffer;
  OutgoingQueue SendQueue;

  TCustomFasterSocket* Owner() const { return owner_; }
  SocketApi& Api() const { return api_; }
  // The bytes of Socket as this object reads and writes them: the socket
  // itself unless a listener gave the connection another stream (TLS).
  ConnectionStream& Stream() const { return *stream_; }
  void SetStream(std::unique_ptr<ConnectionStream> stream) { stream_ = std::move(stream); }
  // Expires when this object is destroyed; lets a caller notice that a
  // handler it called freed the object.
  std::weak_ptr<const void> LifeToken() const { return life_; }

  // Sends queued bytes. Nothing here; the server and the connection override it.
  virtual void Flush(void* Sender);
  // A readiness notice for this object's own socket (HandleReady). An
  // error raised while it is handled goes to the central handler; this
  // never throws.
  void SocketReady(SocketHandle socket, SocketEvents event, int error) override;
  // A readiness notice for the socket of a connection this object owns
  // (the connection passes its notices on): handled as HandleReady does,
  // reading into the connection. Never throws.
  virtual void ConnectionReady(TDadideVUDServerClient* client, SocketEvents event, int error);
  virtual void AcceptConnection();
  virtual void SocketClosed(SocketHandle Socket);
  virtual void SocketConnected();
  // The socket can take more bytes again after a send that could not hand
  // over everything (kCanWrite). Nothing here; the server sends what waits.
  virtual void SocketWritable(SocketHandle Socket);
  virtual void DispatchPacket(TDadideVUDServerClient* Client, ByteStream& Data, std::int32_t ID);
  virtual void SetPort(std::uint16_t Value);
  // Looks up the text for ErrorCode and fires OnError: this object's own
  // handler, else (for a connection) its server's handler with the
  // connection as Sender, else raises Exception with the text. Closes nothing.
  virtual void SocketError(SocketHandle Socket, int ErrorCode);
  // Called by a connection this object owns when that connection fails
  // (a send, a receive or a close). Nothing here; the server takes the
  // connection out of service. Must not free `client`: its caller goes on
  // to report the error.
  virtual void ConnectionFault(TDadideVUDServerClient* client);

  // One receive call. 0 reports the peer's close (SocketClosed), -1 an
  // error (SocketError); the result is returned either way. May free
  // objects through those calls.
  int DoRecv(SocketHandle Socket, void* Address, int Count);
  // Receives up to Count bytes of `target`'s stream (this object's or a
  // connection's) and appends them to its ReceiveBuffer; on a close or an
  // error the buffer keeps exactly its previous content. Both are reported
  // here, as DoRecv reports them.
  void ReadAvailable(TCustomFasterSocket& target, int Count);
  // Handles one readiness notice of `socket` (of `client`, when it is a
  // connection's): an error code above 10000 is reported, otherwise
  // kCanRead reads and delivers, kCanAccept accepts, kPeerClosed and
  // kCanWrite go to their operations.
  void HandleReady(SocketHandle socket, SocketEvents event, int error, TDadideVUDServerClient* client);

 protected:
  // Flow control of the receive path, for owners of connections. How many
  // of the `waiting` bytes to read now (0: none, the sender is held back;
  // the owner must then stop the notices itself); the base reads them all.
  virtual std::size_t ReadAllowance(TDadideVUDServerClient* client, std::size_t waiting);
  // Asked before each complete packet of a pass: false keeps it and the
  // rest in the receive buffer for a later pass (DeliverReceived).
  virtual bool MayDeliver(TDadideVUDServerClient* client);
  // A pass that did not end the connection is over; the receive buffer
  // holds what is left (an unfinished packet, or packets kept back).
  virtual void ReceiveSettled(TDadideVUDServerClient* client);
  // Delivers the complete packets the receive buffer of `client` (or of
  // this object, for null) holds, as a read does after receiving. May free
  // objects through the handlers it calls.
  void DeliverReceived(TDadideVUDServerClient* client);

  // Closes Socket: its watch cancelled, its stream's end said, shut down both ways, with zero linger
  // when `abortive` (the peer sees a reset and unsent bytes are dropped),
  // closed. Socket becomes kInvalidSocket even when the close fails: the
  // system releases the descriptor either way, so it is never closed twice.
  // Returns the Winsock code of a failed close, for the caller to report
  // once its own state is settled; 0 when it closed.
  int CloseSocket(bool abortive);

  // Where errors go when this object has no OnError of its own. A connection
  // answers its server; other objects have no such route.
  virtual TCustomFasterSocket* ErrorRouteOwner() const { return nullptr; }

 private:
  // Reads what waits on `socket`, into `client` when it is a connection's
  // (else into this object), and delivers it.
  void ReadNotified(SocketHandle socket, TDadideVUDServerClient* client);
  // What DoRecv does with a receive result: 0 is the peer's close, -1 an error.
  void ReportReceiveResult(SocketHandle socket, int result, int error);

  SocketApi& api_;
  std::unique_ptr<ConnectionStream> stream_;
  TCustomFasterSocket* owner_;
  std::shared_ptr<const void> life_;
};

// Appends the packet to Target's send queue and asks Target to send at once
// (its Flush). Send failures are reported by Flush. May re-enter handlers
// through OnError. Returns false, queuing and sending nothing, when the
// packet would take the queue past its cap.
bool QueuePacket(TCustomFasterSocket& Target, const OutgoingPacket& Packet);

}  // namespace parlivo
