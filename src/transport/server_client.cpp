#include "transport/server_client.h"

#include <climits>

#include "transport/platform/winsock_errors.h"
#include "transport/unhandled_error.h"

namespace parlivo {

TDadideVUDServerClient::TDadideVUDServerClient(SocketApi& api, TCustomFasterSocket* server)
    // The timer is created running; the first Flush, from a tick or from a
    // queued packet, stops it.
    : TCustomFasterSocket(api, server), SendTimer(this, [this] { Flush(nullptr); }, kSendRetryInterval, true) {}

TDadideVUDServerClient::~TDadideVUDServerClient() {
  RunGuarded(this, [this] { SetConnected(false); });
  SendTimer.setEnabled(false);
}

void TDadideVUDServerClient::ResetStream() {
  ReceivedSize = 0;
  StreamSize = 0;
  DataInfo.clear();
}

void TDadideVUDServerClient::Flush(void*) {
  SendTimer.setEnabled(false);
  if (SendQueue.remaining() == 0 || Socket == kInvalidSocket) return;

  const int length = static_cast<int>(std::min<std::size_t>(SendQueue.remaining(), INT_MAX));
  const int sent = Api().send(Socket, SendQueue.unread().data(), length, 0);
  if (sent == kSocketError) {
    const int error = Api().lastError();
    const auto alive = LifeToken();
    SocketError(Socket, error);
    if (!alive.expired() && error == WSAEWOULDBLOCK) SendTimer.setEnabled(true);
    return;
  }

  SendQueue.setPosition(SendQueue.position() + static_cast<std::size_t>(sent));
  if (SendQueue.remaining() == 0) SendQueue.clear();
  if (SendQueue.size() > kCompactThreshold) {
    // Move the waiting bytes to a fresh queue so the sent front's memory goes.
    ByteStream waiting(SendQueue.unread());
    SendQueue.swap(waiting);
  }
  if (!SendQueue.empty()) SendTimer.setEnabled(true);
}

void TDadideVUDServerClient::SetConnected(bool Value) {
  if (Value == Connected) return;
  ResetStream();
  if (Value) return;

  Api().asyncSelect(Socket, WindowHandle(), WM_SOCKETNOTIFY, 0);
  Api().shutdown(Socket, kShutdownBoth);
  Api().setLinger(Socket, 1, 0);
  if (Api().closesocket(Socket) != 0) {
    SocketError(Socket, Api().lastError());
    return;
  }
  Socket = kInvalidSocket;
  Connected = false;
}

}  // namespace parlivo
