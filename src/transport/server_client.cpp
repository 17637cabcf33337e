#include "transport/server_client.h"

#include <algorithm>
#include <climits>
#include <string_view>

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
  if (SendQueue.remaining() == 0 || Socket == kInvalidSocket || Leaving) return;

  const std::string_view waiting = SendQueue.waiting();
  const int length = static_cast<int>(std::min<std::size_t>(waiting.size(), INT_MAX));
  const int sent = Api().send(Socket, waiting.data(), length, 0);
  if (sent == kSocketError) {
    const int error = Api().lastError();
    if (error == WSAEWOULDBLOCK) {
      SendTimer.setEnabled(true);  // the socket is full: try again shortly
      return;
    }
    SocketError(Socket, error);
    return;
  }
  SendQueue.consume(static_cast<std::size_t>(sent));
  if (SendQueue.remaining() > 0) SendTimer.setEnabled(true);
}

void TDadideVUDServerClient::SetConnected(bool Value) {
  if (Value == Connected) return;
  ResetStream();
  if (Value) return;

  Api().asyncSelect(Socket, WindowHandle(), WM_SOCKETNOTIFY, 0);
  Api().shutdown(Socket, kShutdownBoth);
  Api().setLinger(Socket, 1, 0);
  const SocketHandle closing = Socket;
  const bool closed = Api().closesocket(closing) == 0;
  const int error = closed ? 0 : Api().lastError();
  // The descriptor is released even when close reports an error: keeping it
  // would close it a second time later, when the number may already belong
  // to another connection or to the listening socket.
  Socket = kInvalidSocket;
  Connected = false;
  if (!closed) SocketError(closing, error);
}

void TDadideVUDServerClient::SocketError(SocketHandle Socket, int ErrorCode) {
  if (ErrorCode == WSAEWOULDBLOCK) return;
  if (TCustomFasterSocket* owner = Owner()) owner->ConnectionFault(this);
  TCustomFasterSocket::SocketError(Socket, ErrorCode);
}

}  // namespace parlivo
