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
// SendTimer, which runs only while bytes wait for such a retry.
//
// Errors: a connection never has an OnError of its own, so failures of its
// sends and closes reach the server's OnError with the connection as Sender.
// Such a handler may stop the server and free this object; Flush and
// SetConnected notice that and return without touching it again.

#include <cstdint>
#include <string>

#include "transport/event_timer.h"
#include "transport/socket_base.h"

namespace parlivo {

class TDadideVUDServerClient : public TCustomFasterSocket {
 public:
  // Queues longer than this are compacted once their front has been sent.
  static constexpr std::size_t kCompactThreshold = 16384;
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

  void ResetStream();
  // Hands the waiting bytes of SendQueue to one send call. Sender is unused.
  void Flush(void* Sender) override;
  // False closes the socket: notices cancelled, shut down both ways, zero
  // linger (the peer sees a reset), closed; Socket becomes -1. A failing
  // close is reported and leaves Socket and Connected as they were. Opening
  // a connection (true) is not something this server does.
  virtual void SetConnected(bool Value);

 protected:
  TCustomFasterSocket* ErrorRouteOwner() const override { return Owner(); }
};

}  // namespace parlivo
