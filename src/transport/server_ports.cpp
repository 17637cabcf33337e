// The server's ports: listening on them, taking the connections that come
// in (admitted, greeted, or turned away), and the addresses users are told.

#include <string>
#include <utility>

#include "transport/exception.h"
#include "transport/platform/socket_address.h"
#include "transport/platform/winsock_errors.h"
#include "transport/server.h"
#include "transport/socket_error_text.h"
#include "transport/stop_drain.h"

namespace parlivo {
namespace {

// What a connection in service is watched for: kCanWrite says when a full
// socket has room again.
constexpr SocketEvents kConnectionEvents = kCanRead | kCanWrite | kPeerClosed;
constexpr int kHostNameBuffer = 260;

}  // namespace

void TDadideVUDServer::SetListen(bool Value) {
  if (Value == listen_) return;
  if (Value) {
    StartListening();
  } else {
    StopListening();
  }
}

void TDadideVUDServer::StartListening() {
  int error = 0;
  if (PlainLoopbackOnly) {
    error = plain_.OpenLoopback(Port);
  } else {
    error = OpenPort(plain_, Port);
  }
  // The extra ports on the same addresses as Port.
  ListenerOwner& owner = *this;
  while (extra_.size() < ExtraPorts.size()) extra_.push_back(std::make_unique<Listener>(Api(), owner));
  for (std::size_t i = 0; i < ExtraPorts.size() && error == 0; ++i) {
    extra_[i]->streams = ExtraPorts[i].Streams;
    error = OpenPort(*extra_[i], ExtraPorts[i].Number);
  }
  if (error != 0) {
    AbandonStart(error);
    return;
  }
  Socket = plain_.First();
  PingTimer.setEnabled(true);
  listen_ = true;
}

int TDadideVUDServer::OpenPort(Listener& listener, std::uint16_t port) {
  if (!ListenAddress.empty()) {
    const auto address = ParseNumericAddress(ListenAddress, port);
    return address ? listener.OpenAt(*address) : WSAEADDRNOTAVAIL;  // no address of this machine
  }
  int noIPv6 = 0;
  const int error = listener.OpenEverywhere(port, noIPv6);
  if (noIPv6 != 0 && &listener == &plain_ && OnServerNotice)
    OnServerNotice(this, "IPv6 is not available (" + std::string(SocketErrorText(noIPv6)) + ", #" +
                             std::to_string(noIPv6) + "): listening on IPv4 only.");
  return error;
}

void TDadideVUDServer::AbandonStart(int errorCode) {
  // Close the half-opened sockets before reporting: the report's handler may
  // start the server again, and must find no stale handle in Socket.
  SocketHandle failed = plain_.Last();
  for (const auto& listener : extra_)
    if (listener->Last() != kInvalidSocket) failed = listener->Last();
  plain_.Close();
  for (const auto& listener : extra_) listener->Close();
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
  openingTimer_.stop();
  StopFlow();
  FlushPendingOutput();
  std::vector<std::unique_ptr<TDadideVUDServerClient>> closing;
  closing.reserve(Clients->Count());
  while (!Clients->Empty()) closing.push_back(Clients->Extract(Clients->Count() - 1));

  // No new connections while the last packets go out.
  for (const auto& listener : extra_) listener->Close();
  const SocketHandle listening = Socket;
  Socket = kInvalidSocket;
  const int error = plain_.Close();
  listen_ = false;
  CloseAtStop(std::move(closing));
  if (error != 0) SocketError(listening, error);
}

void TDadideVUDServer::CloseAtStop(std::vector<std::unique_ptr<TDadideVUDServerClient>> closing) {
  const auto alive = LifeToken();
  std::vector<TDadideVUDServerClient*> drained;
  drained.reserve(closing.size());
  for (const auto& client : closing) drained.push_back(client.get());
  if (!DrainAtStop(Api(), clock_, drained, alive)) return;
  for (auto& client : closing) {
    const bool delivered = client->SendQueue.remaining() == 0;
    Release(std::move(client), delivered);
    if (alive.expired()) return;
  }
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

SocketHandle TDadideVUDServer::ExtraPortSocket(std::size_t index) const {
  return index < extra_.size() ? extra_[index]->First() : kInvalidSocket;
}

void TDadideVUDServer::SetClock(Clock clock) {
  FlowControl.SetClock(clock);
  clock_ = std::move(clock);
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

std::string TDadideVUDServer::LocalIPv6() {
  // The announced address is for the ports users on the network are told about.
  bool servesIPv6 = !PlainLoopbackOnly && plain_.ServesIPv6();
  for (const auto& listener : extra_) servesIPv6 = servesIPv6 || listener->ServesIPv6();
  if (!servesIPv6) return {};
  // Limited to one IPv6 address, the server is reached there alone.
  if (const auto address = ParseNumericAddress(ListenAddress, Port); address && address->family == kAfInet6) {
    const std::string text = AddressText(*address);
    if (text != "::") return text;
  }
  return Api().hostAddress6();
}

bool TDadideVUDServer::Accepted(Listener& listener, SocketHandle accepted, const SockAddrStorage& peer) {
  auto client = std::make_unique<TDadideVUDServerClient>(Api(), this);
  client->Socket = accepted;
  client->Host = AddressText(peer);
  client->Port = listener.Port();
  client->Connected = true;
  if (const std::string reason = FlowControl.RefusalReason(client->Host, Clients->Count(), Api().maxSockets());
      !reason.empty()) {
    Release(std::move(client));
    Notice(refusalNotices_, "Refused a connection from IP " + AddressText(peer) + ": " + reason);
    return listen_;
  }
  if (listener.streams) {
    auto stream = listener.streams(Api(), client->Socket, clock_());
    if (!stream) {  // out of memory: turned away like any accept that fails
      Release(std::move(client));
      listener.BackOff(WSAENOBUFS);
      return false;
    }
    client->SetStream(std::move(stream));
  }
  FlowControl.Attach(client->Flow, client->Host);

  bool Accept = true;
  if (OnAccept) OnAccept(this, client.get(), Accept);
  if (!Accept || !listen_) {  // refused, or the handler stopped the server
    Release(std::move(client));
    return listen_;
  }
  TDadideVUDServerClient* added = client.get();
  Clients->Add(std::move(client));
  // Its notices come to it from now on (and it hands them to the server).
  if (added->Watch(kConnectionEvents) != 0) {
    added->SocketError(added->Socket, Api().lastError());
    return listen_;
  }
  if (const std::int64_t deadline = added->Stream().OpeningDeadline(); deadline != 0) WatchOpenings(deadline);
  StartFlow(added);
  SendPacket(added, pidConnected, 0, nullptr);
  if (added->InService() && OnClientConnected) OnClientConnected(this, added);
  return listen_;
}

void TDadideVUDServer::AcceptPaused(int errorCode) {
  Notice(acceptNotices_, "Cannot accept connections: " + std::string(SocketErrorText(errorCode)) + " (#" +
                             std::to_string(errorCode) +
                             "); the clients connected are served, accepting again shortly");
}

}  // namespace parlivo
