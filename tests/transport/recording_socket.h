#pragma once
// A socket object for tests that records what the base hands it: every
// delivered packet and every close. With a client list it stands in for a
// server: connections can be added by hand, and SocketClosed removes and
// frees the one that closed, as a server does.

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "transport/server_client.h"
#include "transport/socket_base.h"

namespace parlivo::testing {

struct Delivery {
  TDadideVUDServerClient* client;
  std::int32_t id;
  std::string payload;
  bool operator==(const Delivery&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const Delivery& d) {
    return out << "{client " << d.client << ", id " << d.id << ", \"" << d.payload << "\"}";
  }
};

class RecordingSocket : public TCustomFasterSocket {
 public:
  RecordingSocket(SocketApi& api, bool withClientList) : TCustomFasterSocket(api, nullptr) {
    if (withClientList) Clients = std::make_unique<ClientList>();
  }

  // Adds a connection on `socket` to the list, as an accept would.
  TDadideVUDServerClient* AddClient(SocketHandle socket) {
    auto client = std::make_unique<TDadideVUDServerClient>(Api(), this);
    client->Socket = socket;
    client->Connected = true;
    TDadideVUDServerClient* raw = client.get();
    Clients->Add(std::move(client));
    return raw;
  }

  void DispatchPacket(TDadideVUDServerClient* Client, ByteStream& Data, std::int32_t ID) override {
    deliveries.push_back({Client, ID, PayloadToString(Data)});
    if (onPacket) onPacket(Client, ID);
  }

  void SocketClosed(SocketHandle socket) override {
    closed.push_back(socket);
    if (!Clients) return;
    for (std::size_t i = Clients->Count(); i-- > 0;) {
      if ((*Clients)[i]->Socket == socket) {
        Clients->Extract(i);
        return;
      }
    }
  }

  void AcceptConnection() override {
    SockAddrStorage peer{};
    const SocketHandle accepted = Api().accept(Socket, &peer);
    if (accepted == kInvalidSocket) return;
    // Its notices come to the connection, which hands them to this owner.
    TDadideVUDServerClient* client = AddClient(accepted);
    Api().watch(accepted, client, kCanRead | kCanWrite | kPeerClosed);
  }

  // As the server does: a connection whose socket has room again sends on.
  void SocketWritable(SocketHandle socket) override {
    ++writableNotices;
    if (TDadideVUDServerClient* client = Clients ? Clients->FindBySocket(socket) : nullptr) client->Flush(nullptr);
  }

  std::vector<Delivery> deliveries;
  std::vector<SocketHandle> closed;
  int writableNotices = 0;
  // Runs after each delivery has been recorded; may throw or pump.
  std::function<void(TDadideVUDServerClient*, std::int32_t)> onPacket;
};

// The bytes of one packet on the wire.
inline std::string Packet(std::int32_t size, std::int32_t id, const std::string& payload = {}) {
  std::string bytes;
  for (const std::int32_t field : {size, id})
    for (int shift = 0; shift < 32; shift += 8)
      bytes.push_back(static_cast<char>((static_cast<std::uint32_t>(field) >> shift) & 0xFF));
  return bytes + payload;
}

// A well-formed packet carrying `payload`.
inline std::string Packet(std::int32_t id, const std::string& payload) {
  return Packet(static_cast<std::int32_t>(payload.size()) + 8, id, payload);
}

}  // namespace parlivo::testing
