#include "transport/server.h"

#include <QtEndian>
#include <optional>
#include <string>

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
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{stopping_};

  PingTimer.setEnabled(false);
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
  const SocketHandle accepted = Api().accept(Socket, &SockAddr);
  if (accepted == kInvalidSocket) {
    SocketError(kInvalidSocket, Api().lastError());
    return;
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
    return;
  }
  TDadideVUDServerClient* added = client.get();
  Clients->Add(std::move(client));
  SendPacket(added, pidConnected, 0, nullptr);
  if (Clients->Contains(added) && OnClientConnected) OnClientConnected(this, added);
}

void TDadideVUDServer::SocketClosed(SocketHandle Socket) {
  std::optional<std::size_t> found;
  for (std::size_t i = Clients->Count(); i-- > 0;) {
    if ((*Clients)[i]->Socket == Socket) {
      found = i;
      break;
    }
  }
  if (!found) return;  // not a connection of ours (any more): ignored

  std::unique_ptr<TDadideVUDServerClient> leaving = Clients->Extract(*found);
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

void TDadideVUDServer::PingClients() {
  for (std::size_t i = Clients->Count(); i-- > 0;) {
    TDadideVUDServerClient* client = (*Clients)[i];
    const auto generation = Clients->generation();
    SendPacket(client, pidPing, 0, nullptr);
    if (Clients->generation() != generation) return;
    if (!client->PingPending) {
      client->PingPending = true;
      continue;
    }
    ++client->MissedPings;
    bool ForceDisconnectClient = false;
    if (OnClientTimeOut) OnClientTimeOut(this, client, ForceDisconnectClient);
    if (Clients->generation() != generation) return;
    if (!ForceDisconnectClient) continue;
    // Dropped silently: no OnClientDisconnected, no ID 23.
    auto dropped = Clients->Extract(i);
    const auto afterDrop = Clients->generation();
    Release(std::move(dropped));
    if (Clients->generation() != afterDrop) return;
  }
}

void TDadideVUDServer::Release(std::unique_ptr<TDadideVUDServerClient> client) {
  TDadideVUDServerClient* closing = client.get();
  closing->SendTimer.setEnabled(false);
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
  QueuePacket(*Client, MakePacket(Data != nullptr ? Length : 0, ID, Data));
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
  const auto generation = Clients->generation();
  for (std::size_t i = Clients->Count(); i-- > 0;) {
    DisconnectClient((*Clients)[i]);
    if (Clients->generation() != generation) return;
  }
}

void TDadideVUDServer::SendToEach(std::int32_t id, std::string_view payload,
                                  const std::function<bool(const TDadideVUDServerClient*)>& wanted) {
  const auto generation = Clients->generation();
  for (std::size_t i = 0; i < Clients->Count(); ++i) {
    TDadideVUDServerClient* client = (*Clients)[i];
    if (!wanted(client)) continue;
    SendPacket(client, id, payload);
    if (Clients->generation() != generation) return;
  }
}

void TDadideVUDServer::Flush(void*) {
  const auto generation = Clients->generation();
  for (std::size_t i = 0; i < Clients->Count(); ++i) {
    (*Clients)[i]->Flush(nullptr);
    if (Clients->generation() != generation) return;
  }
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
  if (ErrorCode != WSAEWOULDBLOCK) SetListen(false);
  TCustomFasterSocket::SocketError(Socket, ErrorCode);
}

}  // namespace parlivo
