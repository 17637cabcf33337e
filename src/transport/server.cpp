#include "transport/server.h"

#include <QAbstractEventDispatcher>
#include <QtEndian>
#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "transport/exception.h"
#include "transport/platform/winsock_errors.h"
#include "transport/unhandled_error.h"

namespace parlivo {
namespace {

constexpr long kListenEvents = FD_READ | FD_ACCEPT | FD_CLOSE;
constexpr int kHostNameBuffer = 260;
// How long freeing released connections waits while a handler of this
// server is still running (a handler that runs a nested event loop).
constexpr int kReaperRetryMs = 10;
// The longest queued output waits when the event loop does not get to wait
// (and so to flush) by itself.
constexpr int kFlushFallbackMs = 5;
// Connections taken from the system's queue for one notice: a burst gets in
// quickly, and the connections in service do not wait long behind it.
constexpr int kAcceptsPerNotice = 64;

// An IPv4 address in network order, as dotted decimal.
std::string DottedAddress(std::uint32_t networkOrder) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&networkOrder);
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
         std::to_string(bytes[3]);
}

}  // namespace

// Marks the server as running one of its handlers, so that released
// connections are not freed under it by a nested event loop.
class TDadideVUDServer::BusyScope {
 public:
  explicit BusyScope(TDadideVUDServer& server) : server_(server), alive_(server.LifeToken()) { ++server_.busy_; }
  ~BusyScope() {
    if (!alive_.expired()) --server_.busy_;
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
  reaper_.setSingleShot(true);
  reaper_.setInterval(0);
  QObject::connect(&reaper_, &QTimer::timeout, [this] { FreeReleased(); });
  // Output goes out right before the event loop waits for the next events,
  // so everything one pass queued leaves together. The timer is the safety
  // net for a loop that never waits (one that only processes what is there).
  const auto flush = [this] {
    if (!pendingOutput_.empty()) RunGuarded(this, [this] { FlushPendingOutput(); });
  };
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &flusher_, flush);
  flusher_.setSingleShot(true);
  flusher_.setInterval(kFlushFallbackMs);
  QObject::connect(&flusher_, &QTimer::timeout, flush);
  departures_.setSingleShot(true);
  departures_.setInterval(0);
  QObject::connect(&departures_, &QTimer::timeout, [this] {
    BusyScope busy(*this);
    RunGuarded(this, [this] { RunDepartures(); });
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
  if (!alive_.expired()) --server_.busy_;
}

TDadideVUDServer::~TDadideVUDServer() {
  destroying_ = true;
  RunGuarded(this, [this] { SetListen(false); });
  // A stop that failed half-way may have left connections behind.
  while (!Clients->Empty()) {
    auto client = Clients->Extract(Clients->Count() - 1);
    RunGuarded(this, [&] { Release(std::move(client)); });
  }
  released_.clear();
}

// ---------------------------------------------------------------------------
// Listening

void TDadideVUDServer::SetListen(bool Value) {
  if (Value == listen_) return;
  if (Value) {
    StartListening();
  } else {
    StopListening();
  }
}

void TDadideVUDServer::StartListening() {
  Socket = Api().socket(kAfInet, kSockStream, kIpProtoTcp);
  if (Socket == kInvalidSocket) {
    SocketError(kInvalidSocket, Api().lastError());
    return;
  }
  SockAddr = SockAddrIn{};
  SockAddr.family = kAfInet;
  SockAddr.port = qToBigEndian<std::uint16_t>(Port);
  SockAddr.address = 0;  // every local address
  if (Api().bind(Socket, SockAddr) != 0 || Api().listen(Socket, kListenBacklog) != 0 ||
      Api().asyncSelect(Socket, WindowHandle(), WM_SOCKETNOTIFY, kListenEvents) != 0) {
    AbandonStart(Api().lastError());
    return;
  }
  PingTimer.setEnabled(true);
  listen_ = true;
}

void TDadideVUDServer::AbandonStart(int errorCode) {
  // Close the half-opened socket before reporting: the report's handler may
  // start the server again, and must find no stale handle in Socket.
  const SocketHandle failed = Socket;
  Api().closesocket(failed);
  Socket = kInvalidSocket;
  SocketError(failed, errorCode);
}

void TDadideVUDServer::StopListening() {
  // A stop asked for while one runs (an error handler reacting to a failed
  // close below) is the same stop: the running one finishes the job.
  if (stopping_) return;
  stopping_ = true;
  ++stops_;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{stopping_};

  PingTimer.setEnabled(false);
  FlushPendingOutput();
  while (!Clients->Empty()) Release(Clients->Extract(Clients->Count() - 1));

  Api().asyncSelect(Socket, WindowHandle(), WM_SOCKETNOTIFY, 0);
  Api().shutdown(Socket, kShutdownBoth);
  const SocketHandle closing = Socket;
  const bool closed = Api().closesocket(closing) == 0;
  const int error = closed ? 0 : Api().lastError();
  // The descriptor is released even when close reports an error, so the
  // server is idle either way; staying "listening" on a handle that no
  // longer exists would make every later stop fail again.
  Socket = kInvalidSocket;
  listen_ = false;
  if (!closed) SocketError(closing, error);
}

void TDadideVUDServer::SetPort(std::uint16_t Value) {
  if (Value == Port) return;
  if (!listen_) {
    Port = Value;
    return;
  }
  if (!AllowChangeHostAndPortOnConnection) throw Exception("Can not change Port while listening");
  SetListen(false);
  Port = Value;
  SetListen(true);
}

void TDadideVUDServer::SetMaxPing(std::uint32_t Value) {
  maxPing_ = Value;
  PingTimer.setInterval(Value);
}

std::string TDadideVUDServer::LocalHostName() {
  char name[kHostNameBuffer] = {};
  if (Api().gethostname(name, kHostNameBuffer) != 0) {
    SocketError(Socket, Api().lastError());
    return {};
  }
  return std::string(name);
}

std::string TDadideVUDServer::LocalIP() {
  const std::string name = LocalHostName();
  return name.empty() ? std::string() : Api().hostAddress(name);
}

// ---------------------------------------------------------------------------
// Connections

void TDadideVUDServer::AcceptConnection() {
  const auto alive = LifeToken();
  for (int taken = 0; taken < kAcceptsPerNotice; ++taken) {
    if (!AcceptOne() || alive.expired() || !listen_) return;
  }
}

bool TDadideVUDServer::AcceptOne() {
  const SocketHandle accepted = Api().accept(Socket, &SockAddr);
  if (accepted == kInvalidSocket) {
    const int error = Api().lastError();
    // Nothing (more) was waiting: not a failure of the server.
    if (error == WSAEWOULDBLOCK) return false;
    // The peer gave up before it was accepted: nothing is made for it.
    if (error == WSAECONNABORTED) return true;
    SocketError(kInvalidSocket, error);
    return false;
  }
  // Chat is interactive: without this a relay waits for the client's
  // delayed acknowledgement whenever an earlier packet is unacknowledged.
  Api().setNoDelay(accepted, true);

  auto client = std::make_unique<TDadideVUDServerClient>(Api(), this);
  client->Socket = accepted;
  client->Host = DottedAddress(SockAddr.address);
  client->Port = Port;
  client->Connected = true;

  bool Accept = true;
  if (OnAccept) OnAccept(this, client.get(), Accept);
  if (!Accept || !listen_) {  // refused, or the handler stopped the server
    Release(std::move(client));
    return true;
  }
  TDadideVUDServerClient* added = client.get();
  Clients->Add(std::move(client));
  SendPacket(added, pidConnected, 0, nullptr);
  if (added->InClients() && OnClientConnected) OnClientConnected(this, added);
  return true;
}

void TDadideVUDServer::SocketClosed(SocketHandle Socket) {
  for (std::size_t i = Clients->Count(); i-- > 0;) {
    if ((*Clients)[i]->Socket == Socket) {
      Depart(i);
      return;
    }
  }
  // Not a connection of ours (any more): ignored.
}

void TDadideVUDServer::Depart(std::size_t index) {
  std::unique_ptr<TDadideVUDServerClient> leaving = Clients->Extract(index);
  if (!destroying_ && OnClientDisconnected) OnClientDisconnected(this, leaving.get());

  const std::string name = leaving->UserName;
  const std::string room = leaving->Room;
  if (ClientStatusUpdate == Rooms) {
    SendToEach(pidUserLeft, name, [&](const TDadideVUDServerClient* c) { return c->Room == room; });
  } else if (ClientStatusUpdate == AllClients) {
    SendToEach(pidUserLeft, name, [](const TDadideVUDServerClient*) { return true; });
  }
  Release(std::move(leaving));
}

void TDadideVUDServer::ScheduleDeparture(TDadideVUDServerClient* Client) {
  if (Client->Leaving || !Client->InClients()) return;
  Client->Leaving = true;
  Client->SendTimer.setEnabled(false);
  Client->SendQueue.release();
  // Nothing more is read from it either; its departure closes it.
  Api().asyncSelect(Client->Socket, WindowHandle(), WM_SOCKETNOTIFY, 0);
  if (!departures_.isActive()) departures_.start(0);
}

void TDadideVUDServer::ConnectionFault(TDadideVUDServerClient* client) { ScheduleDeparture(client); }

void TDadideVUDServer::RunDepartures() {
  const auto alive = LifeToken();
  // Each departure fires handlers that may change the list (and sends that
  // may mark further connections), so the search starts afresh every time.
  for (;;) {
    std::optional<std::size_t> leaving;
    for (std::size_t i = Clients->Count(); i-- > 0 && !leaving;)
      if ((*Clients)[i]->Leaving) leaving = i;
    if (!leaving) return;
    Depart(*leaving);
    if (alive.expired()) return;
  }
}

void TDadideVUDServer::DropTooSlow(TDadideVUDServerClient* client) {
  if (client->Leaving || !client->InClients()) return;
  const std::size_t waiting = client->SendQueue.remaining();
  ScheduleDeparture(client);
  if (OnClientTooSlow) OnClientTooSlow(this, client, waiting);
}

void TDadideVUDServer::PingClients() {
  const auto alive = LifeToken();
  ForEachClient(WalkOrder::LastToFirst, [this](TDadideVUDServerClient* client) {
    if (client->Leaving) return;
    client->SendQueue.trimIdle();  // once a ping period is often enough
    SendPacket(client, pidPing, 0, nullptr);
    if (client->Leaving || !client->InClients()) return;  // the ping could not be sent
    if (!client->PingPending) {
      client->PingPending = true;
      return;
    }
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

void TDadideVUDServer::Release(std::unique_ptr<TDadideVUDServerClient> client) {
  TDadideVUDServerClient* closing = client.get();
  closing->SendTimer.setEnabled(false);
  if (closing->AwaitingFlush) {
    closing->AwaitingFlush = false;
    std::erase(pendingOutput_, closing);
  }
  released_.push_back(std::move(client));
  if (!reaper_.isActive()) reaper_.start(0);
  closing->SetConnected(false);  // may report a failed close through OnError
}

void TDadideVUDServer::FreeReleased() {
  if (busy_ > 0) {
    reaper_.start(kReaperRetryMs);
    return;
  }
  auto freeing = std::move(released_);
  released_.clear();
  freeing.clear();  // destructors report their own errors to the central handler
}

// ---------------------------------------------------------------------------
// Sending

void TDadideVUDServer::SendPacket(TDadideVUDServerClient* Client, std::int32_t ID, std::int32_t Length,
                                  const void* Data) {
  if (Client->Leaving) return;
  if (!Client->SendQueue.append(MakePacket(Data != nullptr ? Length : 0, ID, Data))) {
    DropTooSlow(Client);
    return;
  }
  if (Client->AwaitingFlush) return;
  Client->AwaitingFlush = true;
  pendingOutput_.push_back(Client);
  if (!flusher_.isActive()) flusher_.start();
}

void TDadideVUDServer::FlushPendingOutput() {
  // Connections that get output while this runs (a handler of a failed
  // send) wait for the next flush. The batch's connections stay allocated:
  // the server counts as busy, so none is freed under the walk, and one that
  // was closed meanwhile has no socket and sends nothing.
  BusyScope busy(*this);
  flusher_.stop();
  const std::vector<TDadideVUDServerClient*> batch = std::exchange(pendingOutput_, {});
  for (TDadideVUDServerClient* client : batch) {
    if (!client->AwaitingFlush) continue;
    client->AwaitingFlush = false;
    client->Flush(nullptr);
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

void TDadideVUDServer::WndProc(WindowMessage& Message) {
  BusyScope busy(*this);
  TCustomFasterSocket::WndProc(Message);
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
