#include "transport/server_client.h"

#include <algorithm>
#include <climits>
#include <string_view>

#include "transport/platform/winsock_errors.h"
#include "transport/unhandled_error.h"

namespace parlivo {

TDadideVUDServerClient::TDadideVUDServerClient(SocketApi& api, TCustomFasterSocket* server)
    : TCustomFasterSocket(api, server) {}

TDadideVUDServerClient::~TDadideVUDServerClient() {
  RunGuarded(this, [this] { SetConnected(false); });
}

void TDadideVUDServerClient::ResetStream() {
  ReceivedSize = 0;
  StreamSize = 0;
  DataInfo.clear();
}

void TDadideVUDServerClient::Flush(void*) {
  if (state_ == ConnectionState::InService) SendWaiting();
}

bool TDadideVUDServerClient::SendWaiting() {
  while (SendQueue.remaining() > 0 && Socket != kInvalidSocket) {
    const std::string_view waiting = SendQueue.waiting();
    const int length = static_cast<int>(std::min<std::size_t>(waiting.size(), INT_MAX));
    const int sent = Stream().Send(waiting.data(), length);
    if (sent == kSocketError) {
      const int error = Stream().LastError();
      if (error == WSAEWOULDBLOCK) return true;  // the socket is full: kCanWrite tells when it is not
      SocketError(Socket, error);
      return false;
    }
    SendQueue.consume(static_cast<std::size_t>(sent));
    Flow.bytesTaken += static_cast<std::uint64_t>(sent);
    if (sent < length) return true;  // full; the rest goes out at kCanWrite
  }
  return true;
}

void TDadideVUDServerClient::SetConnected(bool Value) {
  if (Value == Connected) return;
  ResetStream();
  if (Value) return;
  Close(true);
}

void TDadideVUDServerClient::CloseGracefully() {
  if (!Connected) return;
  ResetStream();
  // Unread bytes at the close would make the system reset the connection
  // and drop what it still has to send: read them away first (a bounded
  // amount; a peer that keeps sending gets its reset).
  char scratch[4096];
  for (int i = 0; i < 16 && Stream().Receive(scratch, sizeof scratch) > 0; ++i) {
  }
  Close(false);
}

void TDadideVUDServerClient::Close(bool abortive) {
  const SocketHandle closing = Socket;
  const int error = CloseSocket(abortive);
  Connected = false;
  if (error != 0) SocketError(closing, error);
}

int TDadideVUDServerClient::Watch(SocketEvents wanted) {
  wanted_ = wanted;
  watched_ = Stream().Interest(wanted);
  return Api().watch(Socket, watched_ != 0 ? this : nullptr, watched_);
}

void TDadideVUDServerClient::SocketReady(SocketHandle socket, SocketEvents event, int error) {
  event = Stream().Notice(event, error);
  // The stream's own needs may have changed with the notice (its opening over).
  if (Stream().Interest(wanted_) != watched_) Watch(wanted_);
  if (event == 0) return;
  if (TCustomFasterSocket* owner = Owner()) {
    owner->ConnectionReady(this, event, error);
  } else {
    TCustomFasterSocket::SocketReady(socket, event, error);
  }
}

void TDadideVUDServerClient::SocketError(SocketHandle Socket, int ErrorCode) {
  if (ErrorCode == WSAEWOULDBLOCK) return;
  if (TCustomFasterSocket* owner = Owner()) owner->ConnectionFault(this);
  TCustomFasterSocket::SocketError(Socket, ErrorCode);
}

}  // namespace parlivo
