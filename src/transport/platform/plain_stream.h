#pragma once
// PlainStream: a connection's bytes straight through its socket.

#include "transport/platform/connection_stream.h"

namespace parlivo {

class PlainStream final : public ConnectionStream {
 public:
  // Reads and writes whatever `socket` holds at the time of the call: the
  // owner's own handle field, which changes when the owner closes it.
  // Both must outlive the stream.
  PlainStream(SocketApi& api, const SocketHandle& socket) : api_(api), socket_(socket) {}

  SocketEvents Notice(SocketEvents event, int&) override { return event; }
  SocketEvents Interest(SocketEvents wanted) const override { return wanted; }
  int Available(std::uint32_t& count) override { return api_.ioctlFionread(socket_, &count); }
  int Receive(void* buffer, int length) override { return api_.recv(socket_, buffer, length, 0); }
  int Send(const void* data, int length) override { return api_.send(socket_, data, length, 0); }
  void SayEnd() override {}
  int LastError() const override { return api_.lastError(); }
  bool Buffered() const override { return false; }
  bool Opened() const override { return true; }
  std::int64_t OpeningDeadline() const override { return 0; }
  int OpeningTimeoutError() const override { return 0; }

 private:
  SocketApi& api_;
  const SocketHandle& socket_;
};

}  // namespace parlivo
