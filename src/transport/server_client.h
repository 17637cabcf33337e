#pragma once
// TDadideVUDServerClient: the server's record of one accepted connection.
//
// It holds the socket and the peer's address, the nickname and room the
// client registered, the ping and stream state, and the connection's own
// receive buffer and send queue. The server creates one per accepted
// connection, keeps it in Clients and destroys it when the connection ends.
//
// Sending: every queued packet is sent at once as far as the socket takes
// it (one send call per Flush); the rest is retried every 10 ms by
// SendTimer, which runs only while bytes wait for such a retry. A socket
// that takes nothing ("would block") is back-pressure, not an error: the
// bytes stay queued for the retry and nothing is reported.
//
// Errors: a connection never has an OnError of its own, so failures of its
// sends and closes reach the server's OnError with the connection as Sender.
// They are this connection's alone: before reporting one, the connection
// tells its owner (ConnectionFault), which takes it out of service; the rest
// of the server carries on. A handler may still stop the server and free
// this object; Flush and SetConnected notice that and return without
// touching it again.

#include <cstdint>
#include <string>

#include "transport/event_timer.h"
#include "transport/socket_base.h"

namespace parlivo {

class TDadideVUDServerClient : public TCustomFasterSocket {
 public:
  static constexpr std::uint32_t kSendRetryInterval = 10;  // ms

  // `server` owns the connection and receives its errors.
  TDadideVUDServerClient(SocketApi& api, TCustomFasterSocket* server);
  // Closes the socket abortively if it is still open; bytes still queued are
  // discarded. Errors of that close go to the central handler.
  ~TDadideVUDServerClient() override;

  bool Connected = false;
  EventTimer SendTimer;
  std::string Room;
  std::int32_t StreamSize = 0;
  std::string DataInfo;
  std::string UserName;
  bool PingPending = false;
  std::int32_t ReceivedSize = 0;
  std::uint32_t MissedPings = 0;
  // Set once the connection has failed or been dropped and its departure is
  // scheduled: it gets nothing more, and its queued bytes are gone.
  bool Leaving = false;
  // Set while the connection waits in its server's list of connections with
  // output to send at the end of the current event-loop pass.
  bool AwaitingFlush = false;

  // True while the connection is an entry of its server's Clients.
  bool InClients() const { return inClients_; }

  void ResetStream();
  // Hands the waiting bytes of SendQueue to one send call. Sender is unused.
  void Flush(void* Sender) override;
  // False closes the socket: notices cancelled, shut down both ways, zero
  // linger (the peer sees a reset), closed; Socket becomes -1 and Connected
  // false. A failing close is reported afterwards: the descriptor is gone
  // either way (the system releases it even when close reports an error),
  // so it is never closed twice. Opening a connection (true) is not
  // something this server does.
  virtual void SetConnected(bool Value);
  // A failure of this connection: "would block" is no error and is dropped;
  // anything else is the connection's fault (the owner is told) and is then
  // reported as the base reports every error.
  void SocketError(SocketHandle Socket, int ErrorCode) override;

 protected:
  TCustomFasterSocket* ErrorRouteOwner() const override { return Owner(); }

 private:
  friend class ClientList;
  bool inClients_ = false;
};

}  // namespace parlivo
