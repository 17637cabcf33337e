#pragma once
// A real server on 127.0.0.1 (a port the system picks) and chat peers from
// the client library, for the server's loopback tests.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "chat_peer.h"
#include "client/chat_connection.h"
#include "client/client_packets.h"
#include "event_loop.h"
#include "transport/platform/posix_socket_api.h"
#include "transport/server.h"

namespace parlivo::testing {

// Writes bytes past the client library, in one call.
inline bool SendRaw(int fd, const std::string& bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

inline std::string Int32(std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  return {static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16), static_cast<char>(u >> 24)};
}

using Peer = ChatPeer;

struct LiveServer : ::testing::Test {
  LiveServer() {
    server.SetMaxPing(0);
    server.SetListen(true);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(server.Socket, reinterpret_cast<sockaddr*>(&bound), &length);
    port = ntohs(bound.sin_port);
  }
  ~LiveServer() override {
    server.OnClientTooSlow = nullptr;
    // The tests' handlers capture their locals, which are gone by now.
    server.OnAccept = nullptr;
    server.OnClientDisconnected = nullptr;
    server.OnClientTimeOut = nullptr;
    server.OnError = nullptr;
    CloseAll();
    server.SetListen(false);
    EXPECT_TRUE(server.Clients->Empty());
  }

  // Closes every peer in an orderly way and waits until the server has let
  // them go. A peer that closes with unread bytes resets its connection,
  // which the server reports as an error, so nothing may be sent to the
  // peers meanwhile: roster pushes are switched off first.
  void CloseAll() {
    server.ClientStatusUpdate = UpdateNone;
    Settle();
    peers.clear();
    EXPECT_TRUE(PumpUntil([&] { return server.Clients->Empty(); }));
  }

  // Connects a new peer and waits for its greeting.
  Peer& Connect() {
    peers.push_back(std::make_unique<Peer>());
    Peer& peer = *peers.back();
    EXPECT_TRUE(peer.connection.connect("127.0.0.1", port, 2000)) << peer.connection.error();
    EXPECT_TRUE(WaitFor(peer, pidConnected));
    peer.received.clear();
    return peer;
  }
  // Registers and returns the answer (16, 17 or 18), or 0 on time-out.
  std::int32_t Register(Peer& peer, const std::string& name, const std::string& room) {
    peer.received.clear();
    peer.connection.registerUser(name, room);
    std::int32_t answer = 0;
    PumpUntil([&] {
      peer.Poll();
      for (const auto& p : peer.received)
        if (p.id >= pidSameUserName && p.id <= pidAccessGranted) answer = p.id;
      return answer != 0;
    });
    return answer;
  }
  bool WaitFor(Peer& peer, std::int32_t id) {
    return PumpUntil([&] {
      peer.Poll();
      return peer.Has(id);
    });
  }
  // Lets everything in flight arrive, then forgets what every peer received.
  void Settle() {
    PumpFor(30);
    for (auto& peer : peers) peer->Poll();
  }
  void ClearAll() {
    Settle();
    for (auto& peer : peers) peer->received.clear();
  }

  PosixSocketApi api;
  TDadideVUDServer server{api};
  std::uint16_t port = 0;
  std::vector<std::unique_ptr<Peer>> peers;
};

}  // namespace parlivo::testing
