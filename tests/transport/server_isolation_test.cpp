// One connection's trouble stays with that connection: resets, peers that
// stop reading or answering, and bursts of connections, over 127.0.0.1.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "live_server.h"

namespace parlivo {
namespace {

using testing::LiveServer;
using testing::Peer;
using testing::PumpFor;
using testing::PumpUntil;

struct Isolation : LiveServer {
  Isolation() {
    server.OnError = [this](TCustomFasterSocket* sender, SocketHandle, int code, const std::string&) {
      errors.push_back({sender, code});
    };
    server.OnClientDisconnected = [this](TDadideVUDServer*, TDadideVUDServerClient* c) { left.push_back(c->UserName); };
  }
  // Every peer still answers: a ping is met with a pong.
  bool AllServed(const std::vector<Peer*>& alive) {
    for (Peer* peer : alive) {
      peer->received.clear();
      peer->connection.send(pidPing, "");
    }
    return PumpUntil([&] {
      for (Peer* peer : alive) peer->Poll();
      for (Peer* peer : alive)
        if (!peer->Has(pidPong)) return false;
      return true;
    });
  }

  struct Error {
    TCustomFasterSocket* sender;
    int code;
  };
  std::vector<Error> errors;
  std::vector<std::string> left;
};

TEST_F(Isolation, AResetEndsOnlyThatConnectionAndTheOthersAreTold) {
  server.ClientStatusUpdate = Rooms;
  Peer& ann = Connect();
  Peer& bob = Connect();
  Peer& cid = Connect();
  for (auto [peer, name] : {std::pair{&ann, "Ann"}, {&bob, "Bob"}, {&cid, "Cid"}}) Register(*peer, name, "Lobby");
  ClearAll();

  const linger abortive{1, 0};
  ::setsockopt(ann.connection.fd(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  ann.connection.close();
  ASSERT_TRUE(PumpUntil([&] { return server.Clients->Count() == 2; }));

  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, 10054);
  EXPECT_NE(errors[0].sender, &server);
  EXPECT_EQ(left, (std::vector<std::string>{"Ann"}));
  EXPECT_TRUE(server.Listen());
  ASSERT_TRUE(AllServed({&bob, &cid}));
  for (Peer* peer : {&bob, &cid}) EXPECT_EQ(peer->Payloads(pidUserLeft), (std::vector<std::string>{"Ann"}));
}

TEST_F(Isolation, APeerThatStopsReadingIsDroppedAtItsCapWhileTheOthersGetEverything) {
  std::vector<std::size_t> tooSlow;
  server.OnClientTooSlow = [&](TDadideVUDServer*, TDadideVUDServerClient*, std::size_t waiting) {
    tooSlow.push_back(waiting);
  };
  Peer& reader = Connect();
  // The stalled peer: a raw socket with a tiny receive window that never reads.
  const int stalled = ::socket(AF_INET, SOCK_STREAM, 0);
  const int small = 4096;
  ::setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(stalled, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_TRUE(PumpUntil([&] { return server.Clients->Count() == 2; }));
  constexpr std::size_t kCap = 1 << 20;
  (*server.Clients)[1]->SendQueue.setCap(kCap);

  const std::string text(64 * 1024, 'x');
  constexpr int kMessages = 160;  // about 10 MiB: past the cap and every buffer on the way
  int received = 0;
  for (int sent = 0; sent < kMessages; ++sent) {
    server.ForEachClient(WalkOrder::FirstToLast, [&](TDadideVUDServerClient* c) {
      server.SendClientMessage(c, text.data(), static_cast<std::int32_t>(text.size()));
    });
    PumpFor(0);
    reader.Poll();
  }
  ASSERT_TRUE(PumpUntil([&] {
    reader.Poll();
    return reader.Payloads(pidMessage).size() == kMessages && server.Clients->Count() == 1;
  }, 10000)) << reader.Payloads(pidMessage).size();
  received = static_cast<int>(reader.Payloads(pidMessage).size());
  EXPECT_EQ(received, kMessages);
  ASSERT_EQ(tooSlow.size(), 1u);
  EXPECT_GT(tooSlow[0], 0u);
  EXPECT_LE(tooSlow[0], kCap);
  EXPECT_EQ(left.size(), 1u);
  EXPECT_TRUE(errors.empty());  // "would block" is no error
  EXPECT_TRUE(server.Listen());
  ::close(stalled);
}

TEST_F(Isolation, APeerForcedOutOnTimeOutLeavesLikeAnyOtherAndItsNameIsFreeAgain) {
  server.ClientStatusUpdate = AllClients;
  server.OnClientTimeOut = [&](TDadideVUDServer*, TDadideVUDServerClient* c, bool& force) { force = c->MissedPings >= 3; };
  Peer& mute = Connect();
  Register(mute, "Mute", "Lobby");
  mute.connection.answerPings = false;
  Peer& witness = Connect();
  Register(witness, "Witness", "Lobby");
  server.SetMaxPing(20);
  ASSERT_TRUE(PumpUntil([&] {
    witness.Poll();
    return server.Clients->Count() == 1;
  }));
  server.SetMaxPing(0);
  Settle();
  EXPECT_EQ(left, (std::vector<std::string>{"Mute"}));
  EXPECT_EQ(witness.Payloads(pidUserLeft), (std::vector<std::string>{"Mute"}));
  Peer& again = Connect();
  EXPECT_EQ(Register(again, "Mute", "Lobby"), pidAccessGranted);
}

TEST_F(Isolation, ABurstOfConnectionsIsAllGreeted) {
  constexpr int kBurst = 200;
  std::vector<std::unique_ptr<Peer>> burst(kBurst);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (auto& peer : burst) {
    peer = std::make_unique<Peer>();
    ASSERT_TRUE(peer->connection.startConnect(address)) << peer->connection.error();
  }
  int greeted = 0;
  PumpUntil([&] {
    greeted = 0;
    for (auto& peer : burst) {
      if (peer->connection.connecting()) peer->connection.finishConnect();
      if (!peer->connection.connecting()) peer->Poll();
      greeted += peer->Has(pidConnected);
    }
    return greeted == kBurst;
  }, 10000);
  EXPECT_EQ(greeted, kBurst);
  EXPECT_TRUE(errors.empty());
  for (auto& peer : burst) peers.push_back(std::move(peer));  // closed in order by the fixture
}

}  // namespace
}  // namespace parlivo
