// Feeds arbitrary packets from three connections to the server's protocol
// handler, under settings and handler answers also taken from the input.
// Nothing may crash, read out of bounds or leak; a registration that cannot
// be read fails with the reader's error, which the read guard swallows.
//
// The connections have no real sockets (their handles are invalid), so
// every send fails and is reported to OnError, which ignores it.

#include <QCoreApplication>
#include <cstdint>
#include <memory>
#include <string>

#include "transport/exception.h"
#include "transport/platform/posix_socket_api.h"
#include "transport/server.h"

namespace {

struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::uint8_t byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  std::int32_t int32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(byte()) << (8 * i);
    return static_cast<std::int32_t>(v);
  }
  std::string bytes(std::size_t count) {
    count = std::min(count, size);
    std::string out(reinterpret_cast<const char*>(data), count);
    data += count;
    size -= count;
    return out;
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace parlivo;
  Input in{data, size};
  PosixSocketApi api;
  TDadideVUDServer server(api);
  const std::uint8_t settings = in.byte();
  server.AllowSameUserNames = (settings & 1) != 0;
  server.ClientStatusUpdate = static_cast<TClientStatusUpdate>((settings >> 1) % 3);
  server.OnError = [](TCustomFasterSocket*, SocketHandle, int, const std::string&) {};
  server.OnNewStreamComing = [&](TDadideVUDServer*, TDadideVUDServerClient*, std::int32_t, const std::string&,
                                 bool& accept) { accept = (settings & 8) != 0; };
  server.OnServerGetUserName = [&](TDadideVUDServer*, TDadideVUDServerClient*, bool& dontLetIn, const char* room,
                                   const char* name) { dontLetIn = (std::string(room).size() + std::string(name).size()) % 5 == 0; };

  for (int i = 0; i < 3; ++i) {
    auto client = std::make_unique<TDadideVUDServerClient>(api, &server);
    client->Socket = -10 - i;
    client->Connected = true;
    server.Clients->Add(std::move(client));
  }
  while (in.size > 0) {
    TDadideVUDServerClient* client = (*server.Clients)[in.byte() % server.Clients->Count()];
    const std::int32_t id = in.int32() % 32;
    ByteStream payload(in.bytes(in.byte()));
    try {
      server.DispatchPacket(client, payload, id);
    } catch (const EReadError&) {
      // an unreadable registration: dropped, as the read guard does
    }
  }
  // Invalid handles cannot be closed; forget them before the server frees its list.
  for (std::size_t i = 0; i < server.Clients->Count(); ++i) {
    (*server.Clients)[i]->Socket = kInvalidSocket;
    (*server.Clients)[i]->Connected = false;
  }
  return 0;
}
