// The server's receive and dispatch path: a read notice for one connection
// through the receive pass into the protocol handlers, and the chat relay's
// fan-out to every connection.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "encoding/text_codec.h"
#include "null_socket_api.h"
#include "transport/server.h"

namespace parlivo {
namespace {

using bench::NullSocketApi;

std::string WirePacket(std::int32_t id, const std::string& payload) {
  ByteStream stream;
  AppendPacket(stream, MakePacket(static_cast<std::int32_t>(payload.size()), id, payload.data()));
  return std::string(stream.view());
}

// A server with `count` registered connections on handles 100, 101, ...
struct BenchServer {
  explicit BenchServer(int count) {
    for (int i = 0; i < count; ++i) {
      auto client = std::make_unique<TDadideVUDServerClient>(api, &server);
      client->Socket = 100 + i;
      client->Connected = true;
      client->UserName = "user" + std::to_string(i);
      client->Room = "room" + std::to_string(i % 4);
      server.Clients->Add(std::move(client));
    }
  }
  // Delivers `bytes` to the first connection as one read notice, then ends
  // the event-loop pass: what the notice queued goes out.
  void Arrive(const std::string& bytes) {
    api.incoming = bytes;
    (*server.Clients)[0]->SocketReady(100, kCanRead, 0);
    server.FlushPendingOutput();
  }
  NullSocketApi api;
  TDadideVUDServer server{api};
};

// Pings answered: 64 pings arrive in one read; each is answered with a pong.
void BM_PingsInOneRead(benchmark::State& state) {
  BenchServer s(1);
  std::string burst;
  for (int i = 0; i < 64; ++i) burst += WirePacket(pidPing, "");
  for (auto _ : state) s.Arrive(burst);
  state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_PingsInOneRead);

// A chat text relayed to every connection, as the application does it:
// decode, wrap, encode once, send to each.
void BM_ChatRelay(benchmark::State& state) {
  const int clients = static_cast<int>(state.range(0));
  BenchServer s(clients);
  s.server.OnClientMessageCome = [](TDadideVUDServer* server, TDadideVUDServerClient* client,
                                    const std::string& text) {
    const std::string relay =
        EncodeText("[BC from " + client->UserName + " @ " + client->Room + "]: " + DecodeText(text));
    for (std::size_t i = 0; i < server->Clients->Count(); ++i)
      server->SendClientMessage((*server->Clients)[i], relay.data(), static_cast<std::int32_t>(relay.size()));
  };
  const std::string packet = WirePacket(pidMessage, EncodeText(std::string(100, 'x')));
  for (auto _ : state) s.Arrive(packet);
  state.SetItemsProcessed(state.iterations() * clients);  // deliveries
}
BENCHMARK(BM_ChatRelay)->Arg(10)->Arg(100)->Arg(1000);

// Registrations, each checking the name against every connection and
// pushing the room's roster.
void BM_Registration(benchmark::State& state) {
  BenchServer s(static_cast<int>(state.range(0)));
  s.server.ClientStatusUpdate = Rooms;
  std::string payload = "\x06\x05" "fresh" "\x06\x05" "room1";
  const std::string packet = WirePacket(pidRegisterUser, payload);
  for (auto _ : state) {
    (*s.server.Clients)[0]->UserName = "user0";
    s.Arrive(packet);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Registration)->Arg(100)->Arg(1000);

}  // namespace
}  // namespace parlivo
