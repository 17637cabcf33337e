#include "transport/socket_base.h"

#include <algorithm>
#include <climits>
#include <string>

#include "transport/exception.h"
#include "transport/platform/plain_stream.h"
#include "transport/server_client.h"
#include "transport/socket_error_text.h"
#include "transport/unhandled_error.h"

namespace parlivo {
namespace {

// Storage a receive buffer keeps between reads.
constexpr std::size_t kReceiveBufferKeep = 64 * 1024;

}  // namespace

TCustomFasterSocket::TCustomFasterSocket(SocketApi& api, TCustomFasterSocket* owner)
    : api_(api), stream_(std::make_unique<PlainStream>(api, Socket)), owner_(owner), life_(std::make_shared<int>(0)) {}

TCustomFasterSocket::~TCustomFasterSocket() {
  if (Socket != kInvalidSocket) api_.watch(Socket, nullptr, 0);
}

void TCustomFasterSocket::Flush(void*) {}
void TCustomFasterSocket::AcceptConnection() {}
void TCustomFasterSocket::SocketClosed(SocketHandle) {}
void TCustomFasterSocket::SocketConnected() {}
void TCustomFasterSocket::SocketWritable(SocketHandle) {}
void TCustomFasterSocket::DispatchPacket(TDadideVUDServerClient*, ByteStream&, std::int32_t) {}
void TCustomFasterSocket::SetPort(std::uint16_t) {}
void TCustomFasterSocket::ConnectionFault(TDadideVUDServerClient*) {}

void TCustomFasterSocket::SocketReady(SocketHandle socket, SocketEvents event, int error) {
  RunGuarded(this, [&] { HandleReady(socket, event, error, nullptr); });
}

void TCustomFasterSocket::ConnectionReady(TDadideVUDServerClient* client, SocketEvents event, int error) {
  RunGuarded(this, [&] { HandleReady(client->Socket, event, error, client); });
}

void TCustomFasterSocket::HandleReady(SocketHandle socket, SocketEvents event, int error,
                                      TDadideVUDServerClient* client) {
  if (error > 10000) {
    SocketError(socket, error);
    return;
  }
  switch (event) {
    case kCanRead: ReadNotified(socket, client); break;
    case kCanAccept: AcceptConnection(); break;
    case kPeerClosed: SocketClosed(socket); break;  // bytes that may still wait are not read first
    case kCanWrite: SocketWritable(socket); break;
    default: break;
  }
}

void TCustomFasterSocket::ReadNotified(SocketHandle socket, TDadideVUDServerClient* client) {
  TCustomFasterSocket* target = client != nullptr ? static_cast<TCustomFasterSocket*>(client) : this;
  std::uint32_t waiting = 0;
  if (target->Stream().Available(waiting) != 0) {
    SocketError(socket, target->Stream().LastError());
    return;
  }
  if (waiting == 0) return;

  const std::size_t allowed = ReadAllowance(client, waiting);
  if (allowed == 0) return;  // the owner holds this sender back for now

  const auto self = LifeToken();
  const auto targetAlive = target->LifeToken();
  // The read guard: an error raised while receiving ends this read and is
  // swallowed on purpose; the buffer keeps exactly what it held.
  try {
    ReadAvailable(*target, static_cast<int>(std::min<std::size_t>(allowed, INT_MAX)));
  } catch (...) {
    return;
  }
  if (self.expired() || targetAlive.expired()) return;
  if (client != nullptr && !client->InService()) return;
  DeliverReceived(client);
}

void TCustomFasterSocket::DeliverReceived(TDadideVUDServerClient* client) {
  TCustomFasterSocket* target = client != nullptr ? static_cast<TCustomFasterSocket*>(client) : this;
  const auto self = LifeToken();
  const auto targetAlive = target->LifeToken();
  // Whether the target may still be used after a call that can re-enter:
  // neither object was freed and, for a server, the connection is still one
  // of its connections and in service (a handler may have stopped the server,
  // which takes every connection out of the list before it frees them, and a
  // failed connection is left alone until it departs).
  auto targetStillHere = [&] {
    if (self.expired() || targetAlive.expired()) return false;
    return client == nullptr || client->InService();
  };
  // Dispatching is restored however the pass ends, unless this object went
  // away during it.
  const bool wasDispatching = Dispatching;
  const auto restoreDispatching = [&] {
    if (!self.expired()) Dispatching = wasDispatching;
  };
  // The read guard: an error raised by a packet handler ends this pass and
  // is swallowed on purpose. The receive buffer's position already marks the
  // first packet not yet delivered, so the next notice resumes exactly there.
  try {
    ByteStream payload;
    const auto end = RunReceivePass(
        target->ReceiveBuffer, payload,
        [&](std::int32_t id, ByteStream& data) {
          Dispatching = true;
          DispatchPacket(client, data, id);
          return targetStillHere();
        },
        [&] { return MayDeliver(client); });
    restoreDispatching();
    if (!targetStillHere()) return;
    // A large packet must not leave its size behind in every connection.
    target->ReceiveBuffer.trim(kReceiveBufferKeep);
    if (end == ReceivePassEnd::Oversized) {
      // A peer that announces a packet beyond the limit is treated as if it
      // had closed the connection; what it sent so far is dropped.
      target->ReceiveBuffer.clear();
      SocketClosed(target->Socket);
      return;
    }
    ReceiveSettled(client);
  } catch (...) {
    restoreDispatching();
  }
}

std::size_t TCustomFasterSocket::ReadAllowance(TDadideVUDServerClient*, std::size_t waiting) { return waiting; }
bool TCustomFasterSocket::MayDeliver(TDadideVUDServerClient*) { return true; }
void TCustomFasterSocket::ReceiveSettled(TDadideVUDServerClient*) {}

int TCustomFasterSocket::DoRecv(SocketHandle Socket, void* Address, int Count) {
  const int result = api_.recv(Socket, Address, Count, 0);
  ReportReceiveResult(Socket, result, result == kSocketError ? api_.lastError() : 0);
  return result;
}

void TCustomFasterSocket::ReportReceiveResult(SocketHandle socket, int result, int error) {
  if (result == 0) {
    SocketClosed(socket);
  } else if (result == kSocketError) {
    SocketError(socket, error);
  }
}

void TCustomFasterSocket::ReadAvailable(TCustomFasterSocket& target, int Count) {
  if (Count <= 0) return;
  ByteStream& buffer = target.ReceiveBuffer;
  const std::size_t before = buffer.size();
  buffer.resize(before + static_cast<std::size_t>(Count));
  const int received = target.Stream().Receive(buffer.data() + before, Count);
  const int error = received == kSocketError ? target.Stream().LastError() : 0;
  // The buffer is settled before a close or an error is reported: their
  // handlers may free the object that owns it.
  buffer.resize(before + static_cast<std::size_t>(received > 0 ? received : 0));
  ReportReceiveResult(target.Socket, received, error);
}

void TCustomFasterSocket::SocketError(SocketHandle Socket, int ErrorCode) {
  const std::string text(SocketErrorText(ErrorCode));
  if (OnError) {
    OnError(this, Socket, ErrorCode, text);
    return;
  }
  if (TCustomFasterSocket* owner = ErrorRouteOwner(); owner != nullptr && owner->OnError) {
    owner->OnError(this, Socket, ErrorCode, text);
    return;
  }
  throw Exception(text);
}

int TCustomFasterSocket::CloseSocket(bool abortive) {
  api_.watch(Socket, nullptr, 0);
  stream_->SayEnd();
  api_.shutdown(Socket, kShutdownBoth);
  if (abortive) api_.setLinger(Socket, 1, 0);
  const SocketHandle closing = Socket;
  const bool closed = api_.closesocket(closing) == 0;
  const int error = closed ? 0 : api_.lastError();
  Socket = kInvalidSocket;
  return error;
}

bool QueuePacket(TCustomFasterSocket& Target, const OutgoingPacket& Packet) {
  if (!Target.SendQueue.append(Packet)) return false;
  Target.Flush(nullptr);
  return true;
}

}  // namespace parlivo
