#pragma once
// TDadideVUDServerClient: the server's record of one accepted connection.
//
// It holds the socket and the peer's address, the nickname and room the
// client registered, the ping and stream state, and the connection's own
// receive buffer and send queue. The server creates one per accepted
// connection, keeps it in Clients and destroys it when the connection ends.
//
// Life of a connection (one state, asked by every path that reads, queues,
// sends or frees):
//
//   Pending --listed--> InService --fault, too slow, forced out--> Leaving
//      |                    |                                         |
//      | refused            | peer closed, server stopped             | departs at the safe point
//      v                    v                                         v
//   Released <--------------+-----------------------------------------+
//      |
//      +--> freed at the safe point, once no handler of the server runs
//
// Only an InService connection is read from and gets new packets; a
// Released one is closed and out of Clients and can never be queued again.
//
// Sending: Flush hands the waiting bytes of SendQueue to the socket until
// the socket takes no more. A socket that takes nothing or only a part
// ("would block") is back-pressure, not an error: the rest stays queued and
// goes out at the socket's next kCanWrite notice.
//
// Errors: a connection never has an OnError of its own, so failures of its
// sends and closes reach the server's OnError with the connection as Sender.
// They are this connection's alone: before reporting one, the connection
// tells its owner (ConnectionFault), which takes it out of service; the rest
// of the server carries on.

#include <cstdint>
#include <memory>
#include <string>

#include "transport/socket_base.h"
#include "transport/flow_controller.h"

namespace parlivo {

enum class ConnectionState : std::uint8_t {
  Pending,    // accepted, not yet listed (OnAccept decides)
  InService,  // listed; read from and sent to
  Leaving,    // listed, but failed or dropped: departs at the next safe point
  Released,   // out of Clients and closed; freed at the next safe point
};

class TDadideVUDServerClient : public TCustomFasterSocket {
 public:
  // `server` owns the connection and receives its errors.
  TDadideVUDServerClient(SocketApi& api, TCustomFasterSocket* server);
  // Closes the socket abortively if it is still open; bytes still queued are
  // discarded. Errors of that close go to the central handler.
  ~TDadideVUDServerClient() override;

  bool Connected = false;
  std::string Room;
  std::int32_t StreamSize = 0;
  std::string DataInfo;
  std::string UserName;
  bool PingPending = false;
  std::int32_t ReceivedSize = 0;
  std::uint32_t MissedPings = 0;
  // Set while the connection waits in its server's list of connections with
  // output to send at the end of the current event-loop pass.
  bool AwaitingFlush = false;
  // Set while it waits in its server's list of connections whose stream
  // holds bytes to read at the end of the pass.
  bool AwaitingRead = false;
  ConnectionFlow Flow;

  ConnectionState State() const { return state_; }
  bool InService() const { return state_ == ConnectionState::InService; }
  // True while the connection is an entry of its server's Clients.
  bool InClients() const { return state_ == ConnectionState::InService || state_ == ConnectionState::Leaving; }

  void ResetStream();
  // Sends what SendQueue holds while the connection is in service. Sender is unused.
  void Flush(void* Sender) override;
  // Hands waiting bytes to the socket until it takes no more, whatever the
  // state (a stop uses it for connections already released). Returns false
  // when a send failed; the failure has been reported.
  bool SendWaiting();
  // False closes the socket abortively (see CloseSocket); Connected becomes
  // false. A failing close is reported afterwards. Opening a connection
  // (true) is not something this server does.
  virtual void SetConnected(bool Value);
  // Closes like SetConnected(false), but lets the system deliver what it
  // still holds and end the stream normally (a stop, once everything queued
  // has been handed over).
  void CloseGracefully();
  // Asks for the notices `wanted` of its socket (0: none); its stream adds
  // what it needs itself. The sockets layer's result.
  int Watch(SocketEvents wanted);
  // Its socket's notices pass its stream first, and what the stream leaves
  // goes to its owner, which reads for it.
  void SocketReady(SocketHandle socket, SocketEvents event, int error) override;
  // A failure of this connection: "would block" is no error and is dropped;
  // anything else is the connection's fault (the owner is told) and is then
  // reported as the base reports every error.
  void SocketError(SocketHandle Socket, int ErrorCode) override;

 protected:
  TCustomFasterSocket* ErrorRouteOwner() const override { return Owner(); }

 private:
  friend class ClientList;
  friend class TDadideVUDServer;
  void Close(bool abortive);

  ConnectionState state_ = ConnectionState::Pending;
  SocketEvents wanted_ = 0;   // what the owner asked for
  SocketEvents watched_ = 0;  // what the socket is watched for
};

}  // namespace parlivo
