// The server component and its protocol over 127.0.0.1, with real client
// connections from the client library.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "live_server.h"
#include "loopback_peer.h"

namespace parlivo {
namespace {

using testing::Int32;
using testing::LiveServer;
using testing::Peer;
using testing::PumpFor;
using testing::PumpUntil;
using testing::SendRaw;

TEST_F(LiveServer, RegistrationOutcomes) {
  struct Case {
    const char* name;
    bool allowSame;
    std::vector<std::string> earlier;  // names registered before, one connection each
    std::string request;
    bool requesterIsFirst;             // the request comes from the first earlier connection
    std::int32_t answer;
  };
  const std::vector<Case> cases = {
      {"new name", false, {"Bob"}, "Ann", false, pidAccessGranted},
      {"name in use", false, {"Ann"}, "Ann", false, pidSameUserName},
      {"name in use, allowed", true, {"Ann"}, "Ann", false, pidAccessGranted},
      {"empty name, own name is empty too", false, {}, "", false, pidSameUserName},
      {"own name again", false, {"Ann"}, "Ann", true, pidSameUserName},
      {"case differs", false, {"Ann"}, "ANN", false, pidAccessGranted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.AllowSameUserNames = c.allowSame;
    std::vector<Peer*> earlier;
    for (const std::string& name : c.earlier) {
      earlier.push_back(&Connect());
      ASSERT_EQ(Register(*earlier.back(), name, "Lobby"), pidAccessGranted);
    }
    Peer& requester = c.requesterIsFirst ? *earlier.front() : Connect();
    EXPECT_EQ(Register(requester, c.request, "Other"), c.answer);
    // A refused registration stores nothing; an accepted one stores both strings.
    const TDadideVUDServerClient* record = (*server.Clients)[c.requesterIsFirst ? 0 : server.Clients->Count() - 1];
    EXPECT_EQ(record->Room == "Other", c.answer == pidAccessGranted);
    CloseAll();
  }
}

TEST_F(LiveServer, RefusedWithAccessDeniedKeepsNameAndRoom) {
  server.ClientStatusUpdate = AllClients;
  server.OnServerGetUserName = [](TDadideVUDServer*, TDadideVUDServerClient*, bool& dontLetIn, const char* room,
                                  const char* name) { dontLetIn = std::string(name) == "Mallory" && std::string(room) == "X"; };
  Peer& mallory = Connect();
  EXPECT_EQ(Register(mallory, "Mallory", "X"), pidAccessDenied);
  Settle();
  EXPECT_FALSE(mallory.Has(pidUserList));

  Peer& other = Connect();
  EXPECT_EQ(Register(other, "Mallory", "Y"), pidSameUserName);  // the name still blocks
  Peer& ann = Connect();
  EXPECT_EQ(Register(ann, "Ann", "Y"), pidAccessGranted);
  ASSERT_TRUE(WaitFor(ann, pidUserList));
  EXPECT_EQ(ann.Payloads(pidUserList)[0], "Mallory\r\n\r\nAnn\r\n");  // listed, with the unregistered one

  ClearAll();
  mallory.connection.close();
  ASSERT_TRUE(WaitFor(ann, pidUserLeft));
  EXPECT_EQ(ann.Payloads(pidUserLeft), (std::vector<std::string>{"Mallory"}));
}

TEST_F(LiveServer, UpdateModesDecideWhoHearsAboutJoinsAndLeaves) {
  struct Case {
    TClientStatusUpdate mode;
    std::string roster;                 // what the newcomer D gets as ID 21
    std::vector<bool> toldOfJoin;       // A, B, C get ID 22 "Dan"
  };
  const std::vector<Case> cases = {
      {UpdateNone, "", {false, false, false}},
      {Rooms, "Ann\r\nBob\r\nDan\r\n", {true, true, false}},
      {AllClients, "Ann\r\nBob\r\nCid\r\nDan\r\n", {true, true, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    server.ClientStatusUpdate = c.mode;
    Peer& a = Connect();
    Peer& b = Connect();
    Peer& cid = Connect();
    ASSERT_EQ(Register(a, "Ann", "X"), pidAccessGranted);
    ASSERT_EQ(Register(b, "Bob", "X"), pidAccessGranted);
    ASSERT_EQ(Register(cid, "Cid", "Y"), pidAccessGranted);
    Peer& d = Connect();
    ClearAll();
    ASSERT_EQ(Register(d, "Dan", "X"), pidAccessGranted);
    Settle();
    const std::vector<std::string> roster = d.Payloads(pidUserList);
    EXPECT_EQ(roster.empty() ? "" : roster[0], c.roster);
    EXPECT_TRUE(d.Payloads(pidUserJoined).empty());
    Peer* others[3] = {&a, &b, &cid};
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(others[i]->Payloads(pidUserJoined), c.toldOfJoin[static_cast<std::size_t>(i)]
                                                         ? std::vector<std::string>{"Dan"}
                                                         : std::vector<std::string>{}) << i;

    ClearAll();
    d.connection.close();
    Settle();
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(others[i]->Payloads(pidUserLeft), c.toldOfJoin[static_cast<std::size_t>(i)]
                                                       ? std::vector<std::string>{"Dan"}
                                                       : std::vector<std::string>{}) << i;
    CloseAll();
  }
}

TEST_F(LiveServer, UnregisteredClientLeavingUnderRoomsReachesOnlyTheUnregistered) {
  server.ClientStatusUpdate = Rooms;
  std::vector<std::string> disconnected;
  server.OnClientDisconnected = [&](TDadideVUDServer*, TDadideVUDServerClient* c) {
    disconnected.push_back(c->Host);
  };
  Peer& registered = Connect();
  ASSERT_EQ(Register(registered, "Ann", "X"), pidAccessGranted);
  Peer& silent = Connect();
  Peer& leaving = Connect();
  ClearAll();
  leaving.connection.close();
  ASSERT_TRUE(WaitFor(silent, pidUserLeft));
  Settle();
  EXPECT_EQ(silent.Payloads(pidUserLeft), (std::vector<std::string>{""}));
  EXPECT_FALSE(registered.Has(pidUserLeft));
  EXPECT_EQ(disconnected, (std::vector<std::string>{"127.0.0.1"}));
}

TEST_F(LiveServer, StreamsCompleteOnEveryChunkAtOrBeyondTheAnnouncedSize) {
  Peer& peer = Connect();
  peer.connection.send(pidNewStream, Int32(10) + "info");
  ASSERT_TRUE(WaitFor(peer, pidDenyStream));  // nobody takes it

  std::vector<std::pair<std::int32_t, std::string>> completed;
  std::int32_t chunkBytes = 0;
  std::string chunks;
  server.OnNewStreamComing = [](TDadideVUDServer*, TDadideVUDServerClient*, std::int32_t size, const std::string& info,
                                bool& accept) { accept = size == 10 && info == "info"; };
  server.OnClientPacketCome = [&](TDadideVUDServer*, TDadideVUDServerClient*, ByteStream& data, std::int32_t size) {
    chunkBytes += size;
    chunks += data.unread();
  };
  server.OnStreamReceived = [&](TDadideVUDServer*, TDadideVUDServerClient*, std::int32_t size, const std::string& info) {
    completed.push_back({size, info});
  };
  peer.received.clear();
  peer.connection.send(pidNewStream, Int32(10) + "info");
  ASSERT_TRUE(WaitFor(peer, pidAcceptStream));
  for (const char* chunk : {"12345", "678", "90", "x"}) peer.connection.send(pidStreamData, chunk);
  ASSERT_TRUE(PumpUntil([&] { return completed.size() == 2; }));
  Settle();
  EXPECT_EQ(chunkBytes, 11);
  EXPECT_EQ(chunks, "1234567890x");  // each chunk whole, from its first byte
  EXPECT_EQ(completed, (std::vector<std::pair<std::int32_t, std::string>>{{10, "info"}, {11, "info"}}));
  EXPECT_EQ(peer.Payloads(pidStreamReceived).size(), 2u);
}

TEST_F(LiveServer, PrivateDataGoesToTheFirstHolderOfTheName) {
  server.AllowSameUserNames = true;
  Peer& first = Connect();
  Peer& second = Connect();
  Peer& unregistered = Connect();
  Peer& sender = Connect();
  ASSERT_EQ(Register(first, "Ann", "X"), pidAccessGranted);
  ASSERT_EQ(Register(second, "Ann", "Y"), pidAccessGranted);
  ClearAll();
  sender.connection.sendPrivate("Ann", "secret");
  sender.connection.send(pidPrivateData, Int32(0) + "to nobody in particular");
  sender.connection.send(pidPrivateData, Int32(3) + "Ann");          // empty data
  sender.connection.send(pidPrivateData, Int32(-1) + "Ann data");    // negative length: empty name
  sender.connection.send(pidPrivateData, Int32(50) + "Ann");         // name longer than the payload: dropped
  sender.connection.send(pidPrivateData, "An");                      // too short for a length: dropped
  sender.connection.sendPrivate("Zed", "lost");                      // nobody has the name
  Settle();
  EXPECT_EQ(first.Payloads(pidPrivateData), (std::vector<std::string>{"secret", ""}));
  EXPECT_TRUE(second.received.empty());
  EXPECT_EQ(unregistered.Payloads(pidPrivateData),
            (std::vector<std::string>{"to nobody in particular", "Ann data"}));
  EXPECT_TRUE(sender.received.empty());
}

TEST_F(LiveServer, UnknownIdsOnlyRaiseTheirEvent) {
  std::vector<std::pair<std::int32_t, std::string>> unknown;
  server.OnUnknownPacketID = [&](TDadideVUDServer*, TDadideVUDServerClient*, ByteStream& data, std::int32_t id) {
    unknown.push_back({id, std::string(data.unread())});
  };
  Peer& peer = Connect();
  for (std::int32_t id : {0, 3, 12, 13, 18, 21, 25, -1}) peer.connection.send(id, "p");
  ASSERT_TRUE(PumpUntil([&] { return unknown.size() == 8; }));
  Settle();
  EXPECT_EQ(unknown.front(), (std::pair<std::int32_t, std::string>{0, "p"}));
  EXPECT_EQ(unknown.back().first, -1);
  EXPECT_TRUE(peer.received.empty());
}

TEST_F(LiveServer, UnreadableRegistrationEndsTheReadAndTheNextPacketWaitsForMoreBytes) {
  Peer& peer = Connect();
  // Both packets leave in one write, so they arrive in one read.
  ASSERT_TRUE(SendRaw(peer.connection.fd(),
                               BuildPacket(pidRegisterUser, "\x07\x03" "Ann") + BuildPacket(pidPing, "")));
  Settle();
  EXPECT_TRUE(peer.received.empty());  // no answer to the registration, the ping still waits
  peer.connection.send(pidPing, "");
  Settle();
  EXPECT_EQ(peer.Ids(), (std::vector<std::int32_t>{pidPong, pidPong}));
  EXPECT_TRUE((*server.Clients)[0]->UserName.empty());
}

TEST_F(LiveServer, RefusedConnectionGetsNothingAndIsClosed) {
  int connected = 0;
  server.OnAccept = [](TDadideVUDServer*, TDadideVUDServerClient*, bool& accept) { accept = false; };
  server.OnClientConnected = [&](TDadideVUDServer*, TDadideVUDServerClient*) { ++connected; };
  peers.push_back(std::make_unique<Peer>());
  Peer& peer = *peers.back();
  ASSERT_TRUE(peer.connection.connect("127.0.0.1", port, 2000));
  ASSERT_TRUE(PumpUntil([&] { return !peer.connection.readAvailable(); }));
  peer.Poll();
  EXPECT_TRUE(peer.received.empty());
  EXPECT_EQ(connected, 0);
  EXPECT_TRUE(server.Clients->Empty());
  // Turned away at once: the peer is reset, and nothing of it lingers here.
  testing::LoopbackPeer raw;
  ASSERT_TRUE(raw.connect(port));
  int error = 0;
  EXPECT_TRUE(PumpUntil([&] { return (error = raw.pendingError(0)) != 0; }));
  // A reset after the shutdown's end of stream reads as EPIPE.
  EXPECT_TRUE(error == ECONNRESET || error == EPIPE) << error;
}

TEST_F(LiveServer, ChatTextReachesTheHandlerUnchanged) {
  std::vector<std::string> texts;
  server.OnClientMessageCome = [&](TDadideVUDServer*, TDadideVUDServerClient*, const std::string& text) {
    texts.push_back(text);
  };
  Peer& peer = Connect();
  peer.connection.send(pidMessage, std::string("a\0b", 3));
  peer.connection.send(pidMessage, "");
  peer.connection.send(pidPing, "");
  ASSERT_TRUE(WaitFor(peer, pidPong));
  EXPECT_EQ(texts, (std::vector<std::string>{std::string("a\0b", 3), ""}));
}

}  // namespace
}  // namespace parlivo
