#include "transport/server.h"

#include <QAbstractEventDispatcher>
#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "transport/platform/memory_release.h"
#include "transport/platform/winsock_errors.h"
#include "transport/steady_time.h"
#include "transport/unhandled_error.h"

namespace parlivo {
namespace {

// How often openings under way are checked, at most and at least.
constexpr std::int64_t kOpeningCheckMinMs = 50;
constexpr std::int64_t kOpeningCheckMaxMs = 1000;

}  // namespace

// Marks the server as running one of its handlers, so that released
// connections are not freed under it by a nested event loop.
class TDadideVUDServer::BusyScope {
 public:
  explicit BusyScope(TDadideVUDServer& server) : server_(server), alive_(server.LifeToken()) { ++server_.busy_; }
  ~BusyScope() {
    if (!alive_.expired() && --server_.busy_ == 0) server_.HandlerReturned();
  }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  TDadideVUDServer& server_;
  std::weak_ptr<const void> alive_;
};

TDadideVUDServer::TDadideVUDServer(SocketApi& api)
    : TCustomFasterSocket(api, nullptr),
      PingTimer(this, [this] {
        BusyScope busy(*this);
        PingClients();
      }, kDefaultMaxPing, false) {
  Clients = std::make_unique<ClientList>();
  // The safe point runs right before the event loop waits for the next
  // events, so everything one pass queued leaves together. The zero timer
  // runs it when the loop does not get to wait (events keep arriving, or a
  // caller only processes what is there); whichever comes first does the work.
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &safePoint_, [this] {
      if (safePointArmed_) RunSafePoint();
    });
  safePoint_.setSingleShot(true);
  safePoint_.setInterval(0);
  QObject::connect(&safePoint_, &QTimer::timeout, [this] { RunSafePoint(); });
  flowTimer_.setInterval(kFlowTickMs);
  QObject::connect(&flowTimer_, &QTimer::timeout, [this] {
    BusyScope busy(*this);
    RunGuarded(this, [this] { FlowTick(); });
  });
  QObject::connect(&openingTimer_, &QTimer::timeout, [this] {
    BusyScope busy(*this);
    RunGuarded(this, [this] { ExpireOpenings(); });
  });
}

TDadideVUDServer::Walk::Walk(TDadideVUDServer& server, WalkOrder order)
    : server_(server), alive_(server.LifeToken()), stops_(server.stops_) {
  ++server_.busy_;
  const ClientList& list = *server.Clients;
  clients_.reserve(list.Count());
  for (std::size_t i = 0; i < list.Count(); ++i) clients_.push_back(list[i]);
  if (order == WalkOrder::LastToFirst) std::reverse(clients_.begin(), clients_.end());
}

TDadideVUDServer::Walk::~Walk() {
  if (!alive_.expired() && --server_.busy_ == 0) server_.HandlerReturned();
}

TDadideVUDServer::~TDadideVUDServer() {
  destroying_ = true;
  RunGuarded(this, [this] { SetListen(false); });
  // A stop that failed half-way may have left connections behind.
  while (!Clients->Empty()) {
    auto client = Clients->Extract(Clients->Count() - 1);
    RunGuarded(this, [&] { Release(std::move(client)); });
  }
  Clients->FreeReleased();
}

void TDadideVUDServer::Dispose(std::unique_ptr<TDadideVUDServer> server) {
  if (!server) return;
  if (!server->InHandler()) return;  // `server` goes out of scope here: freed now
  TDadideVUDServer& stopping = *server;
  stopping.selfOwned_ = std::move(server);
  RunGuarded(&stopping, [&] { stopping.SetListen(false); });
}

void TDadideVUDServer::HandlerReturned() {
  // Connections released while a handler ran wait for it to return; so does
  // a server handed to Dispose.
  if (Clients->HasReleased() || selfOwned_) RequestSafePoint();
}

// ---------------------------------------------------------------------------
// Connections

void TDadideVUDServer::ListenerNotice(const std::function<void()>& work) {
  BusyScope busy(*this);
  FlowControl.StartPass();
  RunGuarded(this, work);
}

void TDadideVUDServer::ListenerError(SocketHandle socket, int errorCode) { SocketError(socket, errorCode); }

void TDadideVUDServer::Notice(NoticeThrottle& throttle, const std::string& text) {
  if (!throttle.due(clock_())) return;
  std::string line = text;
  if (throttle.unsaid() > 0) line += " (" + std::to_string(throttle.unsaid()) + " more like it not shown)";
  if (OnServerNotice) OnServerNotice(this, line + ".");
}

void TDadideVUDServer::SocketClosed(SocketHandle Socket) {
  // Not a connection of ours (any more): ignored.
  if (const TDadideVUDServerClient* client = Clients->FindBySocket(Socket)) Depart(Clients->IndexOf(client));
}

void TDadideVUDServer::Depart(std::size_t index) {
  TDadideVUDServerClient* leaving = Park(Clients->Extract(index));
  // However the handlers below end (a throw, a stop), the connection is
  // closed; it is freed at a safe point.
  struct CloseAtEnd {
    TDadideVUDServerClient* client;
    std::weak_ptr<const void> alive;
    ~CloseAtEnd() {
      if (!alive.expired()) RunGuarded(client, [this] { client->SetConnected(false); });
    }
  } closeAtEnd{leaving, leaving->LifeToken()};
  if (!destroying_ && OnClientDisconnected) OnClientDisconnected(this, leaving);

  const std::string name = leaving->UserName;
  const std::string room = leaving->Room;
  if (ClientStatusUpdate == Rooms) {
    SendToEach(pidUserLeft, name, [&](const TDadideVUDServerClient* c) { return c->Room == room; });
  } else if (ClientStatusUpdate == AllClients) {
    SendToEach(pidUserLeft, name, [](const TDadideVUDServerClient*) { return true; });
  }
}

void TDadideVUDServer::ScheduleDeparture(TDadideVUDServerClient* Client) {
  if (!Client->InService()) return;
  Clients->MarkLeaving(Client);
  Client->SendQueue.release();
  // Nothing more is read from it either; its departure closes it.
  Client->Watch(0);
  RequestSafePoint();
}

void TDadideVUDServer::ConnectionFault(TDadideVUDServerClient* client) { ScheduleDeparture(client); }

void TDadideVUDServer::RunDepartures() {
  const auto alive = LifeToken();
  const std::uint64_t stops = stops_;
  // Each departure fires handlers that may change the list (and sends that
  // may mark further connections), so the search starts afresh every time.
  // A handler that throws ends its own departure only.
  while (const std::optional<std::size_t> leaving = Clients->NextLeaving()) {
    RunGuarded(this, [&] { Depart(*leaving); });
    if (alive.expired() || stops_ != stops) return;
  }
}

void TDadideVUDServer::DropTooSlow(TDadideVUDServerClient* client) {
  if (!client->InService()) return;
  const std::size_t waiting = client->SendQueue.remaining();
  ScheduleDeparture(client);
  if (OnClientTooSlow) OnClientTooSlow(this, client, waiting);
}

void TDadideVUDServer::PingClients() {
  FlowControl.StartPass();
  const auto alive = LifeToken();
  ForEachClient(WalkOrder::LastToFirst, [this](TDadideVUDServerClient* client) {
    if (!client->InService()) return;
    client->SendQueue.trimIdle();  // once a ping period is often enough
    // Output still waiting means the last ping may not have reached it yet.
    const bool behind = client->SendQueue.remaining() > 0;
    SendPacket(client, pidPing, 0, nullptr);
    if (!client->InService()) return;  // the ping could not be queued
    if (!client->PingPending) {
      client->PingPending = true;
      return;
    }
    // Its answer may be waiting unread while the server holds it back, a
    // ping still in its queue has not even reached it, and the answer of a
    // client in the middle of sending a packet comes after that packet:
    // none of these is the client's silence. A reader that never takes its
    // queue, or a sender that stops in a packet, is dropped by the flow
    // control's rules instead.
    if (client->Flow.readPaused || behind || client->ReceiveBuffer.size() > 0) return;
    ++client->MissedPings;
    bool ForceDisconnectClient = false;
    if (OnClientTimeOut) OnClientTimeOut(this, client, ForceDisconnectClient);
    // Forced out, it leaves like any other departure: the others are told.
    if (ForceDisconnectClient) ScheduleDeparture(client);
  });
  // The sweep queues from the last connection to the first; flushed later,
  // that order would hold for whatever else the pass queues, and a chat
  // text arriving in the same pass would reach the first connections only
  // after a send to everybody else. The pings go out now, on their own.
  if (!alive.expired()) FlushPendingOutput();
}

TDadideVUDServerClient* TDadideVUDServer::Park(std::unique_ptr<TDadideVUDServerClient> client) {
  FlowControl.Detach(client->Flow);
  TDadideVUDServerClient* parked = Clients->Park(std::move(client));
  RequestSafePoint();
  return parked;
}

void TDadideVUDServer::Release(std::unique_ptr<TDadideVUDServerClient> client, bool graceful) {
  TDadideVUDServerClient* closing = Park(std::move(client));
  if (!graceful) closing->SendQueue.release();  // an abortive close drops it anyway
  // May report a failed close through OnError.
  if (graceful) {
    closing->CloseGracefully();
  } else {
    closing->SetConnected(false);
  }
}

void TDadideVUDServer::FreeReleased() {
  // A handler still running (one that runs a nested event loop) may hold
  // one of them; they are freed once it has returned (HandlerReturned).
  if (busy_ > 0) return;
  // Thousands leaving at once (the end of a burst) are worth giving back.
  freedSinceTrim_ += Clients->FreeReleased();
  GiveMemoryBackWhenQuiet();
}

void TDadideVUDServer::GiveMemoryBackWhenQuiet() {
  peakSinceTrim_ = std::max(peakSinceTrim_, FlowControl.Budget.used());
  if (FlowControl.Budget.used() > 0 || std::max(peakSinceTrim_, freedSinceTrim_) < kTrimAfterBytes) return;
  peakSinceTrim_ = 0;
  freedSinceTrim_ = 0;
  ReturnFreedMemory();
}

void TDadideVUDServer::RequestSafePoint() {
  if (safePointArmed_) return;
  safePointArmed_ = true;
  safePoint_.start();
}

void TDadideVUDServer::RunSafePoint() {
  safePointArmed_ = false;
  FlowControl.StartPass();
  safePoint_.stop();
  const auto alive = LifeToken();
  {
    BusyScope busy(*this);
    ReadBuffered();
    if (alive.expired()) return;
    FlushPendingOutput();
    if (alive.expired()) return;
    RunDepartures();
    if (alive.expired()) return;
    // Departures queue ID 23 for the others: it leaves in this pass too.
    FlushPendingOutput();
    if (alive.expired()) return;
    UpdateHolding();
    WatchFlow();
  }
  if (busy_ > 0) return;
  FreeReleased();
  // Handlers that returned just now asked for this very pass again.
  if (Clients->Settled()) {
    safePointArmed_ = false;
    safePoint_.stop();
  }
  if (selfOwned_) {
    // Dispose handed the server to itself; this is the first moment no
    // handler of it runs. The timer is a member, so the deletion waits for
    // the loop (deleting it from its own signal is not allowed).
    QTimer::singleShot(0, [self = std::shared_ptr<TDadideVUDServer>(std::move(selfOwned_))] {});
  }
}

// ---------------------------------------------------------------------------
// Sending

template <typename Append>
void TDadideVUDServer::Queue(TDadideVUDServerClient* Client, Append&& append) {
  if (!Client->InService()) return;
  if (!append(Client->SendQueue)) {
    DropTooSlow(Client);
    return;
  }
  if (Clients->MarkOutput(Client)) RequestSafePoint();
}

void TDadideVUDServer::SendPacket(TDadideVUDServerClient* Client, std::int32_t ID, std::int32_t Length,
                                  const void* Data) {
  Queue(Client, [&](OutgoingQueue& queue) { return queue.append(MakePacket(Data != nullptr ? Length : 0, ID, Data)); });
}

void TDadideVUDServer::SendPacket(TDadideVUDServerClient* Client, const SharedPacket& Packet) {
  Queue(Client, [&](OutgoingQueue& queue) { return queue.append(Packet); });
}

void TDadideVUDServer::FlushPendingOutput() {
  // Connections that get output while this runs (a handler of a failed
  // send) wait for the next flush. The batch's connections stay allocated:
  // the server counts as busy, so none is freed under the walk, and one that
  // left service meanwhile sends nothing. A throwing error handler costs
  // only its own connection's flush.
  BusyScope busy(*this);
  const auto alive = LifeToken();
  const std::vector<TDadideVUDServerClient*> batch = Clients->TakeOutput();
  for (TDadideVUDServerClient* client : batch) {
    if (!client->AwaitingFlush) continue;
    client->AwaitingFlush = false;
    RunGuarded(this, [client] { client->Flush(nullptr); });
    if (alive.expired()) return;
  }
}

void TDadideVUDServer::SendPacket(TDadideVUDServerClient* Client, std::int32_t ID, std::string_view payload) {
  SendPacket(Client, ID, static_cast<std::int32_t>(payload.size()), payload.empty() ? nullptr : payload.data());
}

void TDadideVUDServer::SendClientMessage(TDadideVUDServerClient* Client, const void* Data, std::int32_t Length) {
  if (Length == 0) return;
  SendPacket(Client, pidMessage, Length, Data);
}

void TDadideVUDServer::DisconnectClient(TDadideVUDServerClient* Client) { SendPacket(Client, pidDisconnect, 0, nullptr); }

void TDadideVUDServer::KickClient(TDadideVUDServerClient* Client) { SendPacket(Client, pidKick, 0, nullptr); }

void TDadideVUDServer::DisconnectAllClients() {
  ForEachClient(WalkOrder::LastToFirst, [this](TDadideVUDServerClient* client) { DisconnectClient(client); });
}

void TDadideVUDServer::SendToEach(std::int32_t id, std::string_view payload,
                                  const std::function<bool(const TDadideVUDServerClient*)>& wanted) {
  ForEachClient(WalkOrder::FirstToLast, [&](TDadideVUDServerClient* client) {
    if (wanted(client)) SendPacket(client, id, payload);
  });
}

void TDadideVUDServer::Flush(void*) {
  ForEachClient(WalkOrder::FirstToLast, [](TDadideVUDServerClient* client) { client->Flush(nullptr); });
}

void TDadideVUDServer::SocketWritable(SocketHandle Socket) {
  // The socket took part of what waited and has room again: the rest goes now.
  if (TDadideVUDServerClient* client = Clients->FindBySocket(Socket)) client->Flush(nullptr);
  UpdateHolding();
}

void TDadideVUDServer::GetRoomUserNames(const std::string& Room, std::vector<std::string>& List) const {
  List.clear();
  for (std::size_t i = 0; i < Clients->Count(); ++i)
    if ((*Clients)[i]->Room == Room) List.push_back((*Clients)[i]->UserName);
}

void TDadideVUDServer::GetAllUserNames(std::vector<std::string>& List) const {
  List.clear();
  for (std::size_t i = 0; i < Clients->Count(); ++i) List.push_back((*Clients)[i]->UserName);
}

// ---------------------------------------------------------------------------
// Notices and errors

void TDadideVUDServer::ConnectionReady(TDadideVUDServerClient* client, SocketEvents event, int error) {
  BusyScope busy(*this);
  FlowControl.StartPass();
  const auto alive = client->LifeToken();
  TCustomFasterSocket::ConnectionReady(client, event, error);
  if (!alive.expired() && client->InService() && !client->Flow.readPaused && client->Stream().Buffered())
    ReadBufferedLater(client);
}

void TDadideVUDServer::ReadBufferedLater(TDadideVUDServerClient* client) {
  if (Clients->MarkInput(client)) RequestSafePoint();
}

void TDadideVUDServer::ReadBuffered() {
  // One read each, as a notice would give: whatever is left waits for the
  // next pass, behind the sockets that have something to say meanwhile.
  const std::vector<TDadideVUDServerClient*> batch = Clients->TakeInput();
  for (TDadideVUDServerClient* client : batch) {
    if (!client->AwaitingRead) continue;
    client->AwaitingRead = false;
    if (client->InService() && !client->Flow.readPaused) client->SocketReady(client->Socket, kCanRead, 0);
  }
}

void TDadideVUDServer::WatchOpenings(std::int64_t deadline) {
  if (openingTimer_.isActive()) return;
  const std::int64_t interval = std::clamp((deadline - clock_()) / 4, kOpeningCheckMinMs, kOpeningCheckMaxMs);
  openingTimer_.start(static_cast<int>(interval));
}

void TDadideVUDServer::ExpireOpenings() {
  const std::int64_t now = clock_();
  std::vector<std::pair<TDadideVUDServerClient*, std::weak_ptr<const void>>> late;
  bool underWay = false;
  for (std::size_t i = 0; i < Clients->Count(); ++i) {
    TDadideVUDServerClient* client = (*Clients)[i];
    const std::int64_t deadline = client->InService() ? client->Stream().OpeningDeadline() : 0;
    if (deadline == 0) continue;
    if (now >= deadline) {
      late.emplace_back(client, client->LifeToken());
    } else {
      underWay = true;
    }
  }
  if (!underWay) openingTimer_.stop();
  const auto alive = LifeToken();
  for (const auto& [client, token] : late) {
    if (alive.expired()) return;
    if (token.expired() || !client->InService()) continue;
    client->SocketReady(client->Socket, kPeerClosed, client->Stream().OpeningTimeoutError());
  }
}

void TDadideVUDServer::SocketError(SocketHandle Socket, int ErrorCode) {
  if (Socket != kInvalidSocket) {
    if (TDadideVUDServerClient* client = Clients->FindBySocket(Socket)) {
      client->SocketError(Socket, ErrorCode);
      return;
    }
  }
  if (ErrorCode != WSAEWOULDBLOCK) SetListen(false);
  TCustomFasterSocket::SocketError(Socket, ErrorCode);
}

}  // namespace parlivo
