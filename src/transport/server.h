#pragma once
// TDadideVUDServer: the TCP chat server component.
//
// It owns the listening sockets, the ordered list of accepted connections
// (Clients, in accept order) and the ping timer. It opens and closes the
// listening socket when Listen is set, accepts connections (subject to
// OnAccept) and greets each with ID 12, removes a connection when its peer
// closes it and tells the others, pings every connection once per MaxPing
// milliseconds, and hands every complete packet to DispatchPacket, which
// runs the chat protocol (server_protocol.cpp).
//
// Who carries what:
// - readiness: each socket's watcher (SocketWatcher); a connection hands
//   its notices to ConnectionReady here, with itself, so nothing is looked up;
// - the connections in accept order, found by socket, and what waits for
//   the safe point (output to flush, buffered input to read, departures,
//   connections to free once no handler holds them): ClientList;
// - flow control, the memory budget and the admission limits: FlowController
//   (server_flow.cpp carries out its decisions);
// - the bytes of each connection: its ConnectionStream, the socket itself
//   or one its port's maker made (ExtraPorts: TLS, from src/tls), read at
//   the safe point when it holds bytes no notice announces; a stream's opening (a handshake) is
//   ended at its deadline by ExpireOpenings, on the server's clock;
// - the last packets at a stop: DrainAtStop (stop_drain.h);
// - listening on both families, each port's streams, accepting with
//   back-off: a Listener per port (listener.h);
// - starting and stopping the ports, admission, the addresses users are
//   told: this class (server_ports.cpp);
// - the safe point, departures, the ping sweep, queueing and flushing
//   output: this class (server.cpp);
// - the chat protocol, relay and roster: server_protocol.cpp.
//
// Threading: everything runs on the event thread.
//
// Output: a packet for a connection is appended to its send queue at once,
// and the queues are written out once per event-loop pass: every connection
// that got packets while the loop handled its ready events gets its bytes
// handed to its socket before the loop waits again. The bytes and their
// order per connection are what immediate sends would give; only the number
// of system calls drops. Bytes the socket does not take go out when it
// reports room again (kCanWrite); nothing polls.
//
// The safe point: once per loop pass, right before the loop waits (or, when
// it never gets to wait, from a zero timer), the server reads what streams
// hold inside, flushes the queued output, then lets the connections marked
// Leaving depart, then frees the connections released meanwhile. Each step
// survives a throwing handler: the error goes to the central handler and
// the step goes on with the other connections. Work that changes Clients because of a
// connection's own fault (a failed send, "too slow", a time-out) is deferred
// to this point.
//
// What an event handler may do (the server keeps these promises):
// - Send, disconnect or kick any connection. Nothing reaches a connection
//   that is not in service; a released one is never queued again.
// - Stop the server (SetListen(false)), from any handler. The walk or pass
//   that called it ends; no connection is used after it left Clients.
//   Connection objects taken out of the list are closed at once but freed
//   only at a safe point with no handler of this server running, so a
//   pointer a handler still holds stays valid until it returns.
// - Throw. The error ends the handler's own work (the packet's dispatch,
//   that connection's departure) and reaches the central handler; the
//   server's state stays consistent and the other connections carry on.
// - Not destroy the server. A handler that must get rid of it (a window
//   closed from a dialog shown inside a handler) hands it to Dispose, which
//   stops it and frees it once no handler runs.
//
// Errors: a fault of one connection stays with that connection. An error
// about a connection's socket (a failed send, receive or close, an error
// notice) reaches OnError with the connection as Sender, and the connection
// then leaves as if its peer had closed it: it is marked Leaving at once
// (nothing more is sent to it or read from it) and departs at the next safe
// point, with OnClientDisconnected and ID 23 to the others. The same
// happens to a connection whose send queue would pass its cap (a peer that
// does not read: OnClientTooSlow) and to one that a time-out handler forces
// out. Errors of the server's own socket, except 10035 ("would block"),
// stop listening before OnError fires. A failed accept is not one of them:
// lack of descriptors or memory is a passing condition, reported through
// OnServerNotice (at most once a second) while accepting backs off.

#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "transport/event_timer.h"
#include "transport/flow_controller.h"
#include "transport/listener.h"
#include "transport/notice_throttle.h"
#include "transport/packet_ids.h"
#include "transport/server_client.h"
#include "transport/socket_base.h"
#include "transport/steady_time.h"

namespace parlivo {

class TDadideVUDServer;

// To whom roster changes are pushed.
enum TClientStatusUpdate : std::uint8_t { UpdateNone = 0, Rooms = 1, AllClients = 2 };

using TDadideVUDServerEvent = std::function<void(TDadideVUDServer* Sender, TDadideVUDServerClient* Client)>;
using TDadideVUDAcceptEvent =
    std::function<void(TDadideVUDServer* Sender, TDadideVUDServerClient* Client, bool& Accept)>;
using TDadideVUDServerIOEvent =
    std::function<void(TDadideVUDServer* Sender, TDadideVUDServerClient* Client, const std::string& TheMessage)>;
using TDadideVUDServerDataAvailEvent = std::function<void(TDadideVUDServer* Sender, TDadideVUDServerClient* Client,
                                                          ByteStream& Data, std::int32_t DataSize)>;
using TDadideVUDServerTimeOutEvent =
    std::function<void(TDadideVUDServer* Sender, TDadideVUDServerClient* Client, bool& ForceDisconnectClient)>;
using TDadideVUDServerNewStreamComingEvent =
    std::function<void(TDadideVUDServer* Sender, TDadideVUDServerClient* Client, std::int32_t StreamSize,
                       const std::string& DataInfo, bool& Accept)>;
using TDadideVUDRegisterUserEvent =
    std::function<void(TDadideVUDServer* Sender, TDadideVUDServerClient* Client, bool& DontLetIn,
                       const char* TheRoom, const char* TheUserName)>;
using TDadideVUDServerDataReceivedEvent = std::function<void(
    TDadideVUDServer* Sender, TDadideVUDServerClient* Client, std::int32_t DataSize, const std::string& DataInfo)>;
using TDadideVUDServerUnknownIDEvent = std::function<void(TDadideVUDServer* Sender, TDadideVUDServerClient* Client,
                                                          ByteStream& Data, std::int32_t ID)>;
using TDadideVUDServerTooSlowEvent =
    std::function<void(TDadideVUDServer* Sender, TDadideVUDServerClient* Client, std::size_t WaitingBytes)>;
using TDadideVUDServerNoticeEvent = std::function<void(TDadideVUDServer* Sender, const std::string& Text)>;
using TDadideVUDServerStalledEvent =
    std::function<void(TDadideVUDServer* Sender, TDadideVUDServerClient* Client, std::size_t ReceivedBytes)>;

// The order in which a walk visits the connections.
enum class WalkOrder { FirstToLast, LastToFirst };

class TDadideVUDServer : public TCustomFasterSocket, private ListenerOwner {
 public:
  static constexpr std::uint32_t kDefaultMaxPing = 1000;  // ms
  // How often the flow control looks at the connections while it has work.
  static constexpr int kFlowTickMs = 100;

  explicit TDadideVUDServer(SocketApi& api);
  // Stops listening (every connection closed, without events) and frees
  // everything. Errors on the way go to the central handler. Must not run
  // inside one of this server's handlers (see Dispose).
  ~TDadideVUDServer() override;

  // Destroys `server` now, or, when called from inside one of its handlers,
  // stops it at once and frees it once the handlers have returned.
  static void Dispose(std::unique_ptr<TDadideVUDServer> server);
  // True while one of this server's handlers runs (the server is on the stack).
  bool InHandler() const { return busy_ > 0; }

  // --- Settings read at their next use.
  bool AllowSameUserNames = false;
  TClientStatusUpdate ClientStatusUpdate = UpdateNone;

  // --- Flow control and limits: the rules, the memory budget and the
  // settings are the FlowController's (flow_controller.h); the server
  // carries out its decisions (server_flow.cpp). Nothing on the wire
  // changes: a client that reads gets every packet in order, only later
  // when senders must be slowed. Its clock is the steady clock; tests
  // replace it with one they move by hand.
  FlowController FlowControl{SteadyNowMs};
  // The clock of the flow control, the stop's bounds and the notices'
  // throttles (ms): the steady clock, or one a test moves by hand.
  using Clock = FlowController::Clock;
  void SetClock(Clock clock);
  // Connections served at once (FlowControl.MaxClients, or what the
  // descriptor limit allows).
  std::uint32_t EffectiveMaxClients();
  // Whether the flow clock ticks: only while memory is held, a reader is
  // paused or a packet is half received. An idle server is never woken by it.
  bool FlowClockRunning() const { return flowTimer_.isActive(); }

  // --- Events. Each is skipped when empty; "var" parameters are references
  // set to their default before the call and read after it.
  TDadideVUDAcceptEvent OnAccept;
  TDadideVUDServerEvent OnClientAcceptStream;
  TDadideVUDServerEvent OnClientConnected;
  TDadideVUDServerEvent OnClientDenyStream;
  TDadideVUDServerEvent OnClientDisconnected;
  TDadideVUDServerIOEvent OnClientMessageCome;
  TDadideVUDServerEvent OnClientNeedMoreData;
  TDadideVUDServerDataAvailEvent OnClientPacketCome;
  TDadideVUDServerEvent OnClientPong;
  TDadideVUDServerEvent OnClientReceivedStream;
  TDadideVUDServerEvent OnClientStopReceivingStream;
  TDadideVUDServerEvent OnClientStopSendingStream;
  TDadideVUDServerTimeOutEvent OnClientTimeOut;
  TDadideVUDServerNewStreamComingEvent OnNewStreamComing;
  TDadideVUDRegisterUserEvent OnServerGetUserName;
  TDadideVUDServerDataReceivedEvent OnStreamReceived;
  TDadideVUDServerUnknownIDEvent OnUnknownPacketID;
  // A connection is being dropped because a packet would take its unsent
  // bytes past its queue's cap; WaitingBytes is what it had not taken yet.
  // The connection leaves as if its peer had closed it.
  TDadideVUDServerTooSlowEvent OnClientTooSlow;
  // Something the operator should know that is no error of the server nor
  // of one connection's: accepting failed for lack of resources, a
  // connection was refused by a limit. Each kind comes at most once a second.
  TDadideVUDServerNoticeEvent OnServerNotice;
  // A connection is being dropped because it stopped in the middle of a
  // packet (BodyStallMs); ReceivedBytes is what it had sent of it. It leaves
  // as if its peer had closed it.
  TDadideVUDServerStalledEvent OnClientStalled;

  // --- More ports beside Port (the TLS port), read at the next start and
  // opened on the same addresses. Their connections are served exactly like
  // the others (one roster, one budget), each over the stream its port's
  // Streams makes (the TLS port's make TLS streams; empty: the socket itself).
  struct ExtraPort {
    std::uint16_t Number = 0;  // 0: any free port (tests)
    StreamMaker Streams;
  };
  std::vector<ExtraPort> ExtraPorts;
  // Keeps Port off the network: read at the next start, it makes Port
  // listen on loopback only (127.0.0.1 and ::1), for local tools, while the
  // ExtraPorts listen as usual. On the plain port every connection receives
  // every text in clear, so an operator who wants no chat in clear on the
  // LAN serves it this way.
  bool PlainLoopbackOnly = false;
  // Port's listening sockets while the server listens.
  const std::vector<SocketHandle>& ListeningSockets() const { return plain_.Sockets(); }
  // The first listening socket of ExtraPorts[index] while the server listens.
  SocketHandle ExtraPortSocket(std::size_t index) const;

  // --- Properties with setters.
  bool Listen() const { return listen_; }
  // Opens the listening socket on Port or closes it with every connection.
  // Without a ListenAddress that is one IPv6 socket that takes IPv4 peers
  // too (two sockets where the system cannot do that, IPv4 alone, with one
  // OnServerNotice, where it has no IPv6). A failed start is reported
  // through SocketError and leaves the server idle with no socket left open.
  virtual void SetListen(bool Value);
  // The one local address to listen on, numeric, of either family
  // ("192.0.2.7", "::1", "fe80::1%eth0"; "::" is every IPv6 address and
  // "0.0.0.0" every IPv4 one); empty: every address of both families. Read
  // at the next start; one that is no address fails it with 10049.
  std::string ListenAddress;
  std::uint32_t MaxPing() const { return maxPing_; }
  // The ping period in ms; 0 stops the pings.
  virtual void SetMaxPing(std::uint32_t Value);
  // While listening, a new port restarts the server on it when
  // AllowChangeHostAndPortOnConnection is set, and raises
  // "Can not change Port while listening" otherwise.
  void SetPort(std::uint16_t Value) override;
  // The host's name; empty (and the failure reported) when it cannot be read.
  std::string LocalHostName();
  // The IPv4 address to announce to users: the host's first address that is
  // not loopback, loopback only when there is no other; empty when none.
  std::string LocalIP();
  // The IPv6 address to announce beside it, without brackets: the one
  // ListenAddress names, or else the host's (SocketApi::hostAddress6);
  // empty when the server does not listen on IPv6 or there is none.
  std::string LocalIPv6();

  EventTimer PingTimer;

  // Writes out what every connection has queued since the last flush, in
  // the order they first got output. It runs by itself at the safe point;
  // stopping calls it first, so that what was queued (a request to leave)
  // still goes out. May report errors (the failing connections leave later).
  void FlushPendingOutput();
  // The safe point (see the header comment). Runs by itself once per loop
  // pass when there is work for it; tests call it to settle a pass.
  void RunSafePoint();

  // Calls visit(client) for every connection listed when the walk begins, in
  // `order`, skipping the ones that have left Clients before their turn.
  // Ends early only when the server stops listening (or is destroyed).
  // Connections that arrive during the walk are not visited. visit may send,
  // fire events, and change Clients.
  template <typename Visit>
  void ForEachClient(WalkOrder order, Visit&& visit);

  // Takes a connection out of service because of its own fault and lets it
  // leave at the next safe point, as if its peer had closed it. Does nothing
  // for a connection that is leaving already or no longer listed.
  void ScheduleDeparture(TDadideVUDServerClient* Client);

  // --- Operations for the application. Sends may fail; the failing
  // connection leaves later, and handlers may change Clients before these
  // return. Nothing is sent to a connection that is not in service.
  void SendPacket(TDadideVUDServerClient* Client, std::int32_t ID, std::int32_t Length, const void* Data);
  void SendPacket(TDadideVUDServerClient* Client, std::int32_t ID, std::string_view payload);
  // Queues a packet made once for many connections (MakeSharedPacket): a
  // large relay is then held in memory once, however many get it.
  void SendPacket(TDadideVUDServerClient* Client, const SharedPacket& Packet);
  // Packets from this size on are worth sharing between recipients.
  static constexpr std::size_t kSharePacketsFrom = 64 * 1024;
  void SendClientMessage(TDadideVUDServerClient* Client, const void* Data, std::int32_t Length);
  void DisconnectClient(TDadideVUDServerClient* Client);
  void KickClient(TDadideVUDServerClient* Client);
  void DisconnectAllClients();
  void GetRoomUserNames(const std::string& Room, std::vector<std::string>& List) const;
  void GetAllUserNames(std::vector<std::string>& List) const;

  // --- Overrides of the socket base.
  void Flush(void* Sender) override;
  // Notices of the connections (which hand theirs on): each reads the
  // clock once and counts as a handler.
  void ConnectionReady(TDadideVUDServerClient* client, SocketEvents event, int error) override;
  void SocketClosed(SocketHandle Socket) override;
  void SocketWritable(SocketHandle Socket) override;
  void DispatchPacket(TDadideVUDServerClient* Client, ByteStream& Data, std::int32_t ID) override;
  // An error about a connection's socket goes to that connection (see the
  // header comment); the rest is the server's own.
  void SocketError(SocketHandle Socket, int ErrorCode) override;
  void ConnectionFault(TDadideVUDServerClient* client) override;

  // One round of the flow control's clock (what its timer does while
  // anything is queued or held back): resumes senders that may read again,
  // drops readers that make no progress and clients stuck in a packet.
  void FlowTick();

  // Runs one ping sweep (what each PingTimer tick does).
  void PingClients();

 private:
  class BusyScope;
  // One walk's view of the list: the connections listed when it began, and
  // what tells it that the server stopped meanwhile. While a walk runs, the
  // server counts as busy, so no released connection is freed under it.
  class Walk {
   public:
    Walk(TDadideVUDServer& server, WalkOrder order);
    ~Walk();
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;
    const std::vector<TDadideVUDServerClient*>& clients() const { return clients_; }
    bool goesOn() const { return !alive_.expired() && server_.stops_ == stops_; }

   private:
    TDadideVUDServer& server_;
    std::weak_ptr<const void> alive_;
    std::uint64_t stops_;
    std::vector<TDadideVUDServerClient*> clients_;
  };
  using PacketHandler = void (TDadideVUDServer::*)(TDadideVUDServerClient*, ByteStream&);

  // The protocol, one handler per packet ID (server_protocol.cpp).
  static const PacketHandler* PacketHandlers();
  void HandleNeedMoreData(TDadideVUDServerClient* client, ByteStream& data);
  void HandleNewStream(TDadideVUDServerClient* client, ByteStream& data);
  void HandleDenyStream(TDadideVUDServerClient* client, ByteStream& data);
  void HandleAcceptStream(TDadideVUDServerClient* client, ByteStream& data);
  void HandleStopReceivingStream(TDadideVUDServerClient* client, ByteStream& data);
  void HandleStopSendingStream(TDadideVUDServerClient* client, ByteStream& data);
  void HandleMessage(TDadideVUDServerClient* client, ByteStream& data);
  void HandlePing(TDadideVUDServerClient* client, ByteStream& data);
  void HandlePong(TDadideVUDServerClient* client, ByteStream& data);
  void HandleRegisterUser(TDadideVUDServerClient* client, ByteStream& data);
  void HandleStreamData(TDadideVUDServerClient* client, ByteStream& data);
  void HandleStreamReceived(TDadideVUDServerClient* client, ByteStream& data);
  void HandlePrivateData(TDadideVUDServerClient* client, ByteStream& data);
  void HandleUnknown(TDadideVUDServerClient* client, ByteStream& data, std::int32_t id);
  void FireClientEvent(const TDadideVUDServerEvent& event, TDadideVUDServerClient* client);
  void PushRoster(TDadideVUDServerClient* client);
  // Refuses a registration (ID 17, nothing stored) whose nickname or room
  // (`what`) breaks the name rules (name_rules.h); false when `name` is fine.
  bool RefuseName(TDadideVUDServerClient* client, const char* what, const std::string& name);

  // What the listeners ask of their owner (listener.h): a notice handled as
  // one of the server's handlers; a connection that came in, admitted and
  // greeted or turned away; a paused accept said at most once a second; an
  // error notice of a listening socket, the server's own error.
  void ListenerNotice(const std::function<void()>& work) override;
  bool Accepted(Listener& listener, SocketHandle socket, const SockAddrStorage& peer) override;
  void AcceptPaused(int errorCode) override;
  void ListenerError(SocketHandle socket, int errorCode) override;
  // Ends the openings of streams (handshakes) that took too long, and
  // keeps its clock running while any is under way.
  void ExpireOpenings();
  void WatchOpenings(std::int64_t deadline);
  // Reads, at the safe point, what a connection's stream holds inside
  // (ReadBufferedLater): no socket notice would announce it.
  void ReadBufferedLater(TDadideVUDServerClient* client);
  void ReadBuffered();
  void StartListening();
  // Opens `listener` on `port` where ListenAddress says: 0 or the error.
  int OpenPort(Listener& listener, std::uint16_t port);
  void StopListening();
  // Hands what is queued for the closing connections to their sockets,
  // within the bounds of stop_drain.h, and closes them: gracefully when all of it
  // went out, abortively otherwise.
  void CloseAtStop(std::vector<std::unique_ptr<TDadideVUDServerClient>> closing);
  // Reports a failed start after closing the socket it had created.
  void AbandonStart(int errorCode);
  // Sends `id` with `payload` to every connection that `wanted` selects,
  // first to last.
  void SendToEach(std::int32_t id, std::string_view payload,
                  const std::function<bool(const TDadideVUDServerClient*)>& wanted);
  // The connection at `index` leaves: out of Clients, OnClientDisconnected,
  // ID 23 to the others as ClientStatusUpdate says, then closed and freed later.
  void Depart(std::size_t index);
  // Lets every connection marked Leaving depart.
  void RunDepartures();
  void DropTooSlow(TDadideVUDServerClient* client);
  // Detaches a connection taken out of Clients from the flow control and
  // parks it in Clients until a safe point frees it; returns it.
  TDadideVUDServerClient* Park(std::unique_ptr<TDadideVUDServerClient> client);
  // Parks a connection taken out of Clients and closes it.
  void Release(std::unique_ptr<TDadideVUDServerClient> client, bool graceful = false);
  void FreeReleased();
  // Arms the safe point for the current loop pass.
  void RequestSafePoint();
  void HandlerReturned();

  // Flow control (server_flow.cpp).
  std::size_t ReadAllowance(TDadideVUDServerClient* client, std::size_t waiting) override;
  bool MayDeliver(TDadideVUDServerClient* client) override;
  void ReceiveSettled(TDadideVUDServerClient* client) override;
  void StartFlow(TDadideVUDServerClient* client);
  // While senders are held back: drops the readers that did not take their
  // fair share in the window that ended (FlowController::CheckUnderPressure).
  void DropReadersBehind();
  void PauseReading(TDadideVUDServerClient* client);
  void ResumeReading(TDadideVUDServerClient* client);
  // Re-evaluates the budget's marks; a change holds every sender back at
  // once, or lets the flow clock resume them.
  void UpdateHolding();
  void AnnounceHolding();
  void WatchFlow();
  void StopFlow();
  void Notice(NoticeThrottle& throttle, const std::string& text);

  bool listen_ = false;
  // Port's listener (its first socket is Socket), and one per ExtraPorts
  // entry. The extra ones are made as a start needs them and kept until the
  // server goes: a stop may come from inside one's notice.
  Listener plain_{Api(), *this};
  std::vector<std::unique_ptr<Listener>> extra_;
  bool stopping_ = false;
  std::uint64_t stops_ = 0;  // counts stops, so that walks notice one
  bool destroying_ = false;
  std::uint32_t maxPing_ = kDefaultMaxPing;
  int busy_ = 0;
  // Queues `append`'s packet for Client, or drops Client as too slow when it
  // would pass the queue's cap.
  template <typename Append>
  void Queue(TDadideVUDServerClient* Client, Append&& append);

  // Runs while some connection's stream is still opening.
  QTimer openingTimer_;
  bool safePointArmed_ = false;
  QTimer safePoint_;
  // Set by Dispose: the server frees itself once no handler runs.
  std::unique_ptr<TDadideVUDServer> selfOwned_;
  NoticeThrottle acceptNotices_;
  NoticeThrottle refusalNotices_;
  NoticeThrottle registrationNotices_;
  NoticeThrottle rosterNotices_;
  // The flow control's clock; runs only while something needs watching.
  QTimer flowTimer_;
  Clock clock_ = SteadyNowMs;
  // What the server held and freed since it last gave memory back to the
  // system; past kTrimAfterBytes the next quiet moment gives it back.
  std::size_t peakSinceTrim_ = 0;
  std::size_t freedSinceTrim_ = 0;
  static constexpr std::size_t kTrimAfterBytes = std::size_t{16} << 20;
  void GiveMemoryBackWhenQuiet();
};

template <typename Visit>
void TDadideVUDServer::ForEachClient(WalkOrder order, Visit&& visit) {
  const Walk walk(*this, order);
  for (TDadideVUDServerClient* client : walk.clients()) {
    if (!walk.goesOn()) return;
    if (client->InClients()) visit(client);
  }
}

}  // namespace parlivo
