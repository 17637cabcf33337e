// The server over the scriptable sockets layer: starting, stopping, errors,
// and walks over the client list that handlers change under them.

#include "transport/server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "event_loop.h"
#include "fake_socket_api.h"
#include "transport/exception.h"
#include "transport/stop_drain.h"
#include "transport/platform/socket_address.h"
#include "transport/unhandled_error.h"
#include "recording_socket.h"

namespace parlivo {
namespace {

using testing::FakeSocketApi;

// The IDs of the packets in `bytes`, a stream of whole packets.
std::vector<std::int32_t> PacketIds(const std::string& bytes) {
  std::vector<std::int32_t> ids;
  for (std::size_t at = 0; at + kPacketHeaderSize <= bytes.size();) {
    const std::int32_t size = ReadInt32LE(bytes.data() + at);
    ids.push_back(ReadInt32LE(bytes.data() + at + 4));
    at += static_cast<std::size_t>(std::max(size, kPacketHeaderSize));
  }
  return ids;
}

std::size_t CountId(const std::string& bytes, std::int32_t id) {
  const auto ids = PacketIds(bytes);
  return static_cast<std::size_t>(std::count(ids.begin(), ids.end(), id));
}

struct FakeServer : ::testing::Test {
  FakeServer() {
    server.OnError = [this](TCustomFasterSocket* sender, SocketHandle, int code, const std::string& text) {
      errors.push_back({sender, code, text});
    };
  }
  // Accepts one connection through a notice, as the listening socket's window would see it.
  TDadideVUDServerClient* Accept() {
    api.notify(server.Socket, kCanAccept);
    return server.Clients->Empty() ? nullptr : (*server.Clients)[server.Clients->Count() - 1];
  }
  int Count(const std::string& call) const {
    int n = 0;
    for (const auto& c : api.calls) n += c == call;
    return n;
  }

  struct Error {
    TCustomFasterSocket* sender;
    int code;
    std::string text;
  };
  FakeSocketApi api;
  TDadideVUDServer server{api};
  std::vector<Error> errors;
};

TEST_F(FakeServer, FailedStartsCloseTheirSocketAndLeaveTheServerIdle) {
  api.bindError = 10048;
  for (int attempt = 0; attempt < 3; ++attempt) {
    server.SetListen(true);
    EXPECT_FALSE(server.Listen());
    EXPECT_EQ(server.Socket, kInvalidSocket);
    EXPECT_FALSE(server.PingTimer.isActive());
  }
  EXPECT_EQ(Count("close 100") + Count("close 101") + Count("close 102"), 3);
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[0].code, 10048);
  EXPECT_EQ(errors[0].text, "Address already in use");
}

TEST_F(FakeServer, FailedCloseWhileStoppingIsReportedOnceAndTheStopEnds) {
  server.SetListen(true);
  Accept();
  api.closeFailures = 2;  // the connection's close and the listening socket's close
  server.SetListen(false);
  EXPECT_FALSE(server.Listen());
  EXPECT_EQ(server.Socket, kInvalidSocket);
  EXPECT_TRUE(server.Clients->Empty());
  EXPECT_EQ(errors.size(), 2u);  // once for each failed close, no recursion
}

TEST_F(FakeServer, AcceptedSocketsGetNoDelayAndAGreeting) {
  server.SetListen(true);
  TDadideVUDServerClient* client = Accept();
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(Count("nodelay " + std::to_string(client->Socket)), 1);
  EXPECT_EQ(client->Host, "127.0.0.1");
  EXPECT_TRUE(client->Connected);
  server.FlushPendingOutput();
  EXPECT_EQ(api.at(client->Socket).sent.size(), 8u);  // ID 12
}

TEST_F(FakeServer, PacketsQueuedInOnePassGoOutInOneSendPerConnection) {
  server.SetListen(true);
  const SocketHandle a = Accept()->Socket;
  const SocketHandle b = Accept()->Socket;
  server.DisconnectAllClients();
  server.ForEachClient(WalkOrder::FirstToLast, [&](TDadideVUDServerClient* c) { server.KickClient(c); });
  EXPECT_TRUE(api.at(a).sendSizes.empty());  // nothing yet: the pass is not over
  ASSERT_TRUE(testing::PumpUntil([&] { return !api.at(b).sendSizes.empty(); }, 1000));
  for (const SocketHandle s : {a, b}) {
    EXPECT_EQ(api.at(s).sendSizes, (std::vector<int>{24}));
    EXPECT_EQ(PacketIds(api.at(s).sent), (std::vector<std::int32_t>{pidConnected, pidDisconnect, pidKick}));
  }
}

// A connection that leaves is freed once the pass is over, also after the
// application walked the connections from outside any handler: its memory
// goes back, however long the server keeps running.
TEST_F(FakeServer, ALeavingConnectionIsFreedOnceThePassIsOver) {
  server.SetListen(true);
  TDadideVUDServerClient* client = Accept();
  const auto freed = client->LifeToken();
  server.ForEachClient(WalkOrder::FirstToLast, [](TDadideVUDServerClient*) {});
  EXPECT_FALSE(server.InHandler());
  api.notify(client->Socket, kPeerClosed);
  EXPECT_TRUE(server.Clients->Empty());
  EXPECT_TRUE(testing::PumpUntil([&] { return freed.expired(); }, 1000));
}

// A connection forced out departs at the safe point, also when another
// one left by itself in the meantime: none stays behind, listed but dead.
TEST_F(FakeServer, AConnectionForcedOutDepartsThoughAnotherLeftMeanwhile) {
  server.SetListen(true);
  TDadideVUDServerClient* forced = Accept();
  TDadideVUDServerClient* closing = Accept();
  std::vector<TDadideVUDServerClient*> departed;
  server.OnClientDisconnected = [&](TDadideVUDServer*, TDadideVUDServerClient* c) { departed.push_back(c); };
  server.ScheduleDeparture(forced);
  api.notify(closing->Socket, kPeerClosed);
  server.RunSafePoint();
  EXPECT_EQ(departed, (std::vector<TDadideVUDServerClient*>{closing, forced}));
  EXPECT_TRUE(server.Clients->Empty());
}

// A client's answers to an announced stream reach the application, each as
// its own event naming that client.
TEST_F(FakeServer, StreamAnswersReachTheApplicationWithTheirClient) {
  std::vector<std::pair<std::string, TDadideVUDServerClient*>> events;
  const auto record = [&](const char* name) {
    return [&events, name](TDadideVUDServer*, TDadideVUDServerClient* c) { events.emplace_back(name, c); };
  };
  server.OnClientNeedMoreData = record("more");
  server.OnClientDenyStream = record("deny");
  server.OnClientAcceptStream = record("accept");
  server.SetListen(true);
  TDadideVUDServerClient* client = Accept();
  api.at(client->Socket).incoming =
      testing::Packet(pidNeedMoreData, "") + testing::Packet(pidDenyStream, "") + testing::Packet(pidAcceptStream, "");
  api.notify(client->Socket, kCanRead);
  EXPECT_EQ(events, (std::vector<std::pair<std::string, TDadideVUDServerClient*>>{
                        {"more", client}, {"deny", client}, {"accept", client}}));
}

TEST_F(FakeServer, AFailedAcceptSaysSoOnceAndAcceptsAgainLater) {
  std::vector<std::string> notices;
  server.OnServerNotice = [&](TDadideVUDServer*, const std::string& text) { notices.push_back(text); };
  server.SetListen(true);
  Accept();
  for (const int harmless : {10035, 10053}) {  // nothing waiting; the peer gave up first
    api.acceptError = harmless;
    Accept();
  }
  EXPECT_TRUE(notices.empty());
  const std::size_t served = server.Clients->Count();
  for (const int exhausted : {10024, 10055, 10024}) {  // out of descriptors, of buffers
    api.acceptError = exhausted;
    Accept();
  }
  EXPECT_TRUE(server.Listen());
  EXPECT_TRUE(errors.empty());
  ASSERT_EQ(notices.size(), 1u);  // at most one line a second
  EXPECT_NE(notices[0].find("Too many open files (#10024)"), std::string::npos) << notices[0];
  EXPECT_EQ(server.Clients->Count(), served);
  // Once the pause is over the waiting one gets in.
  ASSERT_TRUE(testing::PumpUntil([&] { return server.Clients->Count() == served + 1; }, 2000));
}

// Out of memory for a connection's stream (a TLS session): it is turned
// away like an accept that fails, and accepting pauses.
TEST_F(FakeServer, AConnectionWhoseStreamCannotBeMadeIsTurnedAwayAndAcceptingPauses) {
  std::vector<std::string> notices;
  server.OnServerNotice = [&](TDadideVUDServer*, const std::string& text) { notices.push_back(text); };
  server.ExtraPorts = {{0, [](SocketApi&, const SocketHandle&, std::int64_t) {
                          return std::unique_ptr<ConnectionStream>();
                        }}};
  server.SetListen(true);
  const SocketHandle listening = server.ExtraPortSocket(0);
  api.notify(listening, kCanAccept);
  EXPECT_TRUE(server.Clients->Empty());
  EXPECT_FALSE(api.at(api.nextHandle - 1).open);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("(#10055)"), std::string::npos) << notices[0];
  EXPECT_EQ(api.at(listening).watchedEvents, 0);
}

TEST_F(FakeServer, ErrorHandlerThatStopsTheServerInTheMiddleOfAFlushEndsIt) {
  server.SetListen(true);
  const SocketHandle sockets[3] = {Accept()->Socket, Accept()->Socket, Accept()->Socket};
  server.FlushPendingOutput();
  // The sweep runs from the last connection, so that is the flush's order
  // too; the middle one's send fails.
  api.at(sockets[1]).sendScript = {-10054};
  server.OnError = [this](TCustomFasterSocket*, SocketHandle, int, const std::string&) { server.SetListen(false); };
  server.PingClients();
  server.FlushPendingOutput();
  EXPECT_FALSE(server.Listen());
  EXPECT_TRUE(server.Clients->Empty());
  EXPECT_EQ(api.at(sockets[2]).sendSizes.size(), 2u);  // greeting and one ping
  // The stop hands over what was still queued before it closes.
  EXPECT_EQ(CountId(api.at(sockets[0]).sent, pidPing), 1u);
  EXPECT_FALSE(api.at(sockets[0]).open);
  testing::PumpFor(5);  // the released connections are freed here
}

TEST_F(FakeServer, AFailedSendInAWalkCostsOnlyThatConnection) {
  struct Case {
    const char* name;
    std::function<void()> walk;
    std::int32_t id;
  };
  const std::vector<Case> walks = {
      {"disconnect all", [&] { server.DisconnectAllClients(); }, pidDisconnect},
      {"ping sweep", [&] { server.PingClients(); }, pidPing},
      {"every client", [&] {
         server.ForEachClient(WalkOrder::FirstToLast,
                              [&](TDadideVUDServerClient* c) { server.SendClientMessage(c, "hi", 2); });
       }, pidMessage},
  };
  int departed = 0;
  server.OnClientDisconnected = [&](TDadideVUDServer*, TDadideVUDServerClient*) { ++departed; };
  server.ClientStatusUpdate = AllClients;
  for (const Case& c : walks) {
    SCOPED_TRACE(c.name);
    server.SetListen(true);
    errors.clear();
    departed = 0;
    std::vector<SocketHandle> sockets;
    for (int i = 0; i < 4; ++i) sockets.push_back(Accept()->Socket);
    server.FlushPendingOutput();
    api.at(sockets[1]).sendScript = {-10054};

    c.walk();
    server.FlushPendingOutput();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].code, 10054);
    EXPECT_NE(errors[0].sender, &server);
    EXPECT_TRUE(server.Listen());
    for (const std::size_t other : {0, 2, 3}) EXPECT_EQ(CountId(api.at(sockets[other]).sent, c.id), 1u) << other;

    // It leaves once the walk is over, and the others hear of it.
    ASSERT_TRUE(testing::PumpUntil([&] { return server.Clients->Count() == 3; }, 1000));
    EXPECT_EQ(departed, 1);
    EXPECT_FALSE(api.at(sockets[1]).open);
    for (const std::size_t other : {0, 2, 3}) EXPECT_EQ(CountId(api.at(sockets[other]).sent, pidUserLeft), 1u);
    server.SetListen(false);
  }
  EXPECT_EQ(api.closedTwice, 0);
  testing::PumpFor(5);
}

TEST_F(FakeServer, AWalkSkipsAConnectionThatLeftDuringItAndGoesOn) {
  server.SetListen(true);
  std::vector<SocketHandle> sockets;
  for (int i = 0; i < 4; ++i) sockets.push_back(Accept()->Socket);
  std::vector<SocketHandle> visited;
  server.ForEachClient(WalkOrder::FirstToLast, [&](TDadideVUDServerClient* c) {
    visited.push_back(c->Socket);
    // While the second is visited, the third's peer closes.
    if (c->Socket == sockets[1]) server.SocketClosed(sockets[2]);
  });
  EXPECT_EQ(visited, (std::vector<SocketHandle>{sockets[0], sockets[1], sockets[3]}));
  testing::PumpFor(5);
}

TEST_F(FakeServer, PacketsBehindOneWhoseHandlerStoppedTheServerAreNotDelivered) {
  server.SetListen(true);
  const SocketHandle socket = Accept()->Socket;
  int messages = 0;
  server.OnClientMessageCome = [&](TDadideVUDServer* s, TDadideVUDServerClient*, const std::string&) {
    ++messages;
    s->SetListen(false);
  };
  ByteStream bytes;
  for (const char* text : {"one", "two"}) AppendPacket(bytes, MakePacket(3, pidMessage, text));
  api.at(socket).incoming = std::string(bytes.view());
  api.notify(socket, kCanRead);
  EXPECT_EQ(messages, 1);
  EXPECT_FALSE(server.Dispatching);
  testing::PumpFor(5);
}

TEST_F(FakeServer, TimeOutHandlerThatStopsTheServerEndsTheSweep) {
  server.SetListen(true);
  Accept();
  Accept();
  int timeOuts = 0;
  server.OnClientTimeOut = [&](TDadideVUDServer* s, TDadideVUDServerClient*, bool& force) {
    ++timeOuts;
    s->SetListen(false);
    force = true;
  };
  server.PingClients();
  server.PingClients();
  EXPECT_EQ(timeOuts, 1);
  EXPECT_FALSE(server.Listen());
}

TEST_F(FakeServer, AClientWhoseAnswersComeOneSweepLateIsNeverTimedOut) {
  server.SetListen(true);
  const SocketHandle socket = Accept()->Socket;
  server.OnClientTimeOut = [](TDadideVUDServer*, TDadideVUDServerClient* c, bool& force) { force = c->MissedPings >= 3; };
  ByteStream pong;
  AppendPacket(pong, MakePacket(0, pidPong, nullptr));
  // Each answer arrives only after the next sweep has counted one miss;
  // it clears the count, so however long the client stays, it stays.
  for (int round = 0; round < 10; ++round) {
    server.PingClients();
    server.PingClients();
    api.at(socket).incoming = std::string(pong.view());
    api.notify(socket, kCanRead);
    testing::PumpFor(1);
    ASSERT_EQ(server.Clients->Count(), 1u) << "round " << round;
  }
}

TEST_F(FakeServer, APingSweepSendsAtOnceAndLeavesNoOrderBehindForTheSamePass) {
  server.SetListen(true);
  const SocketHandle sockets[3] = {Accept()->Socket, Accept()->Socket, Accept()->Socket};
  server.FlushPendingOutput();
  server.PingClients();
  // Nothing else happens on this server: the pings must not wait for it.
  for (const SocketHandle s : sockets) EXPECT_EQ(CountId(api.at(s).sent, pidPing), 1u) << s;

  // A text to everybody in the same pass reaches them in accept order, not
  // in the sweep's last-to-first order.
  const std::size_t before = api.calls.size();
  server.ForEachClient(WalkOrder::FirstToLast, [&](TDadideVUDServerClient* c) { server.SendClientMessage(c, "hi", 2); });
  server.FlushPendingOutput();
  std::vector<std::string> sends;
  for (std::size_t i = before; i < api.calls.size(); ++i)
    if (api.calls[i].rfind("send ", 0) == 0) sends.push_back(api.calls[i]);
  EXPECT_EQ(sends, (std::vector<std::string>{"send " + std::to_string(sockets[0]) + " 10",
                                             "send " + std::to_string(sockets[1]) + " 10",
                                             "send " + std::to_string(sockets[2]) + " 10"}));
}

// A packet whose handler stops the server is still answered by the protocol
// (a refused stream, a denied registration): the answer must not reach the
// released connection, which would otherwise be flushed after it was freed.
TEST_F(FakeServer, AHandlerThatStopsTheServerLeavesNoReplyQueuedForItsReleasedConnection) {
  server.OnNewStreamComing = [&](TDadideVUDServer* s, TDadideVUDServerClient*, std::int32_t, const std::string&,
                                 bool&) { s->SetListen(false); };
  server.OnServerGetUserName = [&](TDadideVUDServer* s, TDadideVUDServerClient*, bool& dontLetIn, const char*,
                                   const char*) {
    s->SetListen(false);
    dontLetIn = true;
  };
  const std::string name = "\x06\x03" "Ann" "\x06\x05" "Lobby";
  for (const std::string& packet :
       {testing::Packet(pidNewStream, std::string("\x10\x00\x00\x00info", 8)), testing::Packet(pidRegisterUser, name)}) {
    server.SetListen(true);
    const SocketHandle socket = Accept()->Socket;
    server.FlushPendingOutput();
    api.at(socket).incoming = packet;
    api.notify(socket, kCanRead);
    EXPECT_FALSE(server.Listen());
    testing::PumpFor(5);  // frees the released connection; a queued reply would be flushed after that
    EXPECT_EQ(api.at(socket).sendSizes.size(), 1u);  // the greeting only
  }
}

TEST_F(FakeServer, AFlushWithoutAnErrorHandlerCostsOnlyTheFailingConnection) {
  std::vector<std::string> unhandled;
  const auto previous = SetUnhandledErrorHandler(
      [&](const void*, std::string_view message) { unhandled.emplace_back(message); });
  server.OnError = nullptr;  // a failed send then raises
  server.SetListen(true);
  std::vector<SocketHandle> sockets;
  for (int i = 0; i < 3; ++i) sockets.push_back(Accept()->Socket);
  api.at(sockets[0]).sendScript = {-10054};
  server.RunSafePoint();
  EXPECT_EQ(unhandled, (std::vector<std::string>{"Connection reset by peer"}));
  for (const std::size_t other : {1, 2}) EXPECT_EQ(api.at(sockets[other]).sendSizes.size(), 1u);
  // The healthy connections still get output afterwards...
  server.DisconnectAllClients();
  server.RunSafePoint();
  for (const std::size_t other : {1, 2}) EXPECT_EQ(CountId(api.at(sockets[other]).sent, pidDisconnect), 1u);
  // ...and a stop runs to its end.
  server.SetListen(false);
  EXPECT_TRUE(server.Clients->Empty());
  for (const SocketHandle s : sockets) EXPECT_FALSE(api.at(s).open);
  testing::PumpFor(5);
  SetUnhandledErrorHandler(previous);
}

TEST_F(FakeServer, AThrowingDisconnectHandlerEndsOnlyItsOwnDeparture) {
  const auto previous = SetUnhandledErrorHandler([](const void*, std::string_view) {});
  server.ClientStatusUpdate = AllClients;
  std::vector<SocketHandle> departed;
  server.OnClientDisconnected = [&](TDadideVUDServer*, TDadideVUDServerClient* c) {
    departed.push_back(c->Socket);
    throw Exception("handler failed");
  };
  server.SetListen(true);
  std::vector<SocketHandle> sockets;
  for (int i = 0; i < 4; ++i) sockets.push_back(Accept()->Socket);
  server.RunSafePoint();
  for (const std::size_t failing : {1, 2}) server.ScheduleDeparture((*server.Clients)[failing]);
  server.RunSafePoint();
  EXPECT_EQ(departed.size(), 2u);
  EXPECT_EQ(server.Clients->Count(), 2u);
  for (const std::size_t gone : {1, 2}) EXPECT_FALSE(api.at(sockets[gone]).open);
  // Later departures still happen (nothing is stuck waiting for a timer).
  api.notify(sockets[3], kPeerClosed);
  EXPECT_EQ(server.Clients->Count(), 1u);
  testing::PumpFor(5);  // frees them; the sanitizer build checks nothing leaks or is read after
  SetUnhandledErrorHandler(previous);
}

TEST_F(FakeServer, StopHandsTheRequestToLeaveToEveryClientThatCanTakeItThenCloses) {
  server.SetListen(true);
  const SocketHandle reader = Accept()->Socket;
  const SocketHandle stalled = Accept()->Socket;
  server.RunSafePoint();
  for (const SocketHandle s : {reader, stalled}) api.at(s).sendScript = {-10035};  // both buffers full
  api.at(stalled).writable = false;  // and this one never reads again
  server.DisconnectAllClients();
  server.SetListen(false);
  EXPECT_EQ(CountId(api.at(reader).sent, pidDisconnect), 1u);
  EXPECT_FALSE(api.at(reader).lingerZero);  // closed normally: the system still delivers it
  EXPECT_EQ(CountId(api.at(stalled).sent, pidDisconnect), 0u);
  EXPECT_TRUE(api.at(stalled).lingerZero);
  for (const SocketHandle s : {reader, stalled}) EXPECT_FALSE(api.at(s).open);
  testing::PumpFor(5);
}

// The stop waits for the last packets on the server's clock: until they
// went out, until nobody took a byte for the stall time, and never past
// the drain time however slowly a reader takes them.
TEST_F(FakeServer, AStopWaitsForTheLastPacketsOnlyWithinItsBounds) {
  struct Case {
    const char* name;
    bool writable;     // whether its socket ever has room
    int bytesPerWait;  // what it takes each time it has room (0: all)
    std::int64_t spentMs;
    std::vector<int> waits;  // the time-outs the stop waited with
    bool delivered;
  };
  std::vector<int> trickling(28, 250);  // then only what is left of the drain time
  trickling.insert(trickling.end(), {200, 100});
  const Case cases[] = {
      {"takes everything at once", true, 0, 100, {250}, true},
      {"trickles a byte at a time", true, 1, kStopDrainMs, trickling, false},
      {"never has room", false, 0, kStopStallMs, {250}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::int64_t nowMs = 0;
    TDadideVUDServer stopping(api);
    stopping.SetClock([&] { return nowMs; });
    // A wait on a socket with room returns after 100 ms, on one without after its whole time-out.
    std::vector<int> waits;
    api.onWait = [&](int timeoutMs) {
      waits.push_back(timeoutMs);
      nowMs += c.writable ? std::min(timeoutMs, 100) : timeoutMs;
    };
    stopping.SetListen(true);
    api.notify(stopping.Socket, kCanAccept);
    TDadideVUDServerClient* client = (*stopping.Clients)[0];
    const SocketHandle socket = client->Socket;
    stopping.RunSafePoint();
    testing::FakeSocket& peer = api.at(socket);
    peer.writable = c.writable;
    peer.sendScript = {-10035};  // full when the stop begins
    for (int i = 0; i < 200 && c.bytesPerWait > 0; ++i)
      peer.sendScript.insert(peer.sendScript.end(), {c.bytesPerWait, -10035});
    stopping.SendClientMessage(client, std::string(100, 't').data(), 100);
    stopping.DisconnectAllClients();
    stopping.SetListen(false);
    EXPECT_EQ(nowMs, c.spentMs);
    EXPECT_EQ(CountId(peer.sent, pidDisconnect), c.delivered ? 1u : 0u);
    EXPECT_EQ(peer.lingerZero, !c.delivered);  // what did not go out is dropped, not left to the system
    EXPECT_EQ(waits, c.waits);
  }
}

TEST_F(FakeServer, ASocketWithRoomAgainGetsTheRestAtItsWriteNotice) {
  server.SetListen(true);
  const SocketHandle socket = Accept()->Socket;
  api.at(socket).sendScript = {3};
  server.RunSafePoint();
  EXPECT_EQ(api.at(socket).sent.size(), 3u);
  api.notify(socket, kCanWrite);
  EXPECT_EQ(api.at(socket).sent.size(), 8u);
}

// The window may be closed from a dialog shown inside one of the server's
// handlers; the form hands the server to Dispose, which must not free it
// under the handler.
TEST(ServerDisposal, AServerDisposedOfInsideItsHandlersIsFreedOnlyAfterThem) {
  struct Case {
    const char* name;
    std::function<void(TDadideVUDServer&, std::function<void()>)> arm;
    std::function<void(TDadideVUDServer&, testing::FakeSocketApi&)> trigger;
  };
  const auto accept = [](TDadideVUDServer& s, testing::FakeSocketApi& api) { api.notify(s.Socket, kCanAccept); };
  const std::vector<Case> cases = {
      {"OnAccept", [](TDadideVUDServer& s, auto dispose) {
         s.OnAccept = [dispose](TDadideVUDServer*, TDadideVUDServerClient*, bool&) { dispose(); };
       }, accept},
      {"OnError during a flush", [](TDadideVUDServer& s, auto dispose) {
         s.OnError = [dispose](TCustomFasterSocket*, SocketHandle, int, const std::string&) { dispose(); };
       }, [&](TDadideVUDServer& s, testing::FakeSocketApi& api) {
         accept(s, api);
         api.at((*s.Clients)[0]->Socket).sendScript = {-10054};
         s.RunSafePoint();
       }},
      {"OnClientDisconnected", [](TDadideVUDServer& s, auto dispose) {
         s.OnClientDisconnected = [dispose](TDadideVUDServer*, TDadideVUDServerClient*) { dispose(); };
       }, [&](TDadideVUDServer& s, testing::FakeSocketApi& api) {
         accept(s, api);
         accept(s, api);
         s.ScheduleDeparture((*s.Clients)[0]);
         s.RunSafePoint();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeSocketApi api;
    auto server = std::make_unique<TDadideVUDServer>(api);
    TDadideVUDServer& raw = *server;
    const auto alive = raw.LifeToken();
    server->SetListen(true);
    c.arm(raw, [&server] { TDadideVUDServer::Dispose(std::move(server)); });
    c.trigger(raw, api);
    EXPECT_EQ(server, nullptr);
    ASSERT_TRUE(testing::PumpUntil([&] { return alive.expired(); }, 1000));
  }
}

TEST_F(FakeServer, PortChangesWhileListening) {
  server.SetPort(4000);
  server.SetListen(true);
  server.SetPort(4000);  // the same port: nothing
  EXPECT_THROW(server.SetPort(4001), Exception);
  EXPECT_EQ(server.Port, 4000);
  EXPECT_TRUE(server.Listen());
  try {
    server.SetPort(4001);
  } catch (const Exception& error) {
    EXPECT_STREQ(error.what(), "Can not change Port while listening");
  }

  TDadideVUDServerClient* client = Accept();
  const SocketHandle old = server.Socket;
  int disconnected = 0;
  server.OnClientDisconnected = [&](TDadideVUDServer*, TDadideVUDServerClient*) { ++disconnected; };
  server.AllowChangeHostAndPortOnConnection = true;
  server.SetPort(4001);
  EXPECT_TRUE(server.Listen());
  EXPECT_EQ(server.Port, 4001);
  EXPECT_NE(server.Socket, old);
  EXPECT_TRUE(server.Clients->Empty());
  EXPECT_EQ(disconnected, 0);
  (void)client;
}

TEST_F(FakeServer, WouldBlockKeepsListeningOtherErrorsStop) {
  server.SetListen(true);
  server.SocketError(server.Socket, 10035);
  EXPECT_TRUE(server.Listen());
  server.SocketError(server.Socket, 10050);
  EXPECT_FALSE(server.Listen());
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].sender, &server);
  EXPECT_EQ(errors[1].text, "Network is down");
}

TEST_F(FakeServer, MaxPingZeroStopsTheTicks) {
  server.SetListen(true);
  EXPECT_TRUE(server.PingTimer.isActive());
  server.SetMaxPing(0);
  EXPECT_FALSE(server.PingTimer.isActive());
  server.SetMaxPing(20);
  EXPECT_TRUE(server.PingTimer.isActive());
  EXPECT_EQ(server.MaxPing(), 20u);
}

// --- Address families

TEST_F(FakeServer, OneSocketServesBothFamiliesAndIPv4PeersKeepTheirDottedForm) {
  api.ipv6Address = "fd12::5";
  server.SetListen(true);
  ASSERT_TRUE(server.Listen());
  EXPECT_EQ(Count("socket 100") + Count("socket 101"), 1);
  const testing::FakeSocket& listening = api.at(server.Socket);
  EXPECT_EQ(listening.family, kAfInet6);
  EXPECT_EQ(listening.bound.family, kAfInet6);
  EXPECT_FALSE(listening.v6Only);
  EXPECT_EQ(server.LocalIPv6(), "fd12::5");

  const std::pair<std::string, std::string> peers[] = {
      {"::ffff:192.0.2.7", "192.0.2.7"}, {"2001:db8::7", "2001:db8::7"}, {"::1", "::1"}};
  for (const auto& [peer, host] : peers) {
    api.nextPeers = {peer};
    const TDadideVUDServerClient* client = Accept();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->Host, host) << peer;
  }
}

TEST_F(FakeServer, WithoutIPv6TheServerListensOnIPv4AndSaysSoOnce) {
  api.inet6SocketError = 10047;
  api.ipv6Address = "fd12::5";
  std::vector<std::string> notices;
  server.OnServerNotice = [&](TDadideVUDServer*, const std::string& text) { notices.push_back(text); };
  server.SetListen(true);
  ASSERT_TRUE(server.Listen());
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(api.at(server.Socket).family, kAfInet);
  EXPECT_EQ(notices, (std::vector<std::string>{
                         "IPv6 is not available (Address family not supported by protocol family, #10047): "
                         "listening on IPv4 only."}));
  EXPECT_EQ(server.LocalIPv6(), "");  // nothing to announce on a family not served
  EXPECT_NE(Accept(), nullptr);

  // Nor where IPv6 sockets exist but no IPv6 address can be had: the socket
  // made for it is closed, and the IPv4 one takes the connections.
  server.SetListen(false);
  api.inet6SocketError = 0;
  api.inet6BindError = 10049;
  server.SetListen(true);
  ASSERT_TRUE(server.Listen());
  ASSERT_EQ(server.ListeningSockets().size(), 1u);
  EXPECT_EQ(api.at(server.Socket).family, kAfInet);
  EXPECT_NE(Accept(), nullptr);
}

TEST_F(FakeServer, ThePlainPortOnLoopbackOnlyListensOnEachLoopbackThereIs) {
  server.PlainLoopbackOnly = true;
  // With IPv6, without the family, and with IPv6 sockets but no ::1.
  for (const int missing : {0, 1, 2}) {
    const bool ipv6 = missing == 0;
    SCOPED_TRACE(missing);
    api.inet6SocketError = missing == 1 ? 10047 : 0;
    api.inet6BindError = missing == 2 ? 10049 : 0;
    server.SetListen(true);
    ASSERT_TRUE(server.Listen());
    std::vector<std::string> bound;
    for (const SocketHandle s : server.ListeningSockets()) {
      bound.push_back(AddressText(api.at(s).bound));
      EXPECT_TRUE(api.at(s).open);
    }
    const std::vector<std::string> expected =
        ipv6 ? std::vector<std::string>{"127.0.0.1", "::1"} : std::vector<std::string>{"127.0.0.1"};
    EXPECT_EQ(bound, expected);
    EXPECT_EQ(server.LocalIPv6(), "");  // nobody beyond this machine is told of it
    EXPECT_NE(Accept(), nullptr);
    server.SetListen(false);
  }
  EXPECT_TRUE(errors.empty());
  for (const auto& [handle, socket] : api.sockets) EXPECT_FALSE(socket.open) << handle;  // none left behind
}

TEST_F(FakeServer, WhereOneSocketCannotTakeBothFamiliesTwoListenAndStopTogether) {
  api.dualStackError = 10042;
  server.SetListen(true);
  ASSERT_TRUE(server.Listen());
  ASSERT_EQ(Count("socket 100") + Count("socket 101"), 2);
  EXPECT_TRUE(api.at(100).v6Only);
  EXPECT_EQ(api.at(101).family, kAfInet);
  EXPECT_EQ(api.at(101).bound.ipv4().port, api.at(100).bound.ipv6().port);
  // One notice takes what waits on either socket.
  Accept();
  EXPECT_EQ(server.Clients->Count(), 2u);
  server.SetListen(false);
  EXPECT_FALSE(api.at(100).open);
  EXPECT_FALSE(api.at(101).open);
  EXPECT_TRUE(errors.empty());
}

TEST_F(FakeServer, ListenAddressLimitsTheServerToOneAddressOfEitherFamily) {
  const struct {
    std::string address;
    int family;
    std::string announcedIPv6;
  } cases[] = {{"127.0.0.1", kAfInet, ""}, {"::1", kAfInet6, "::1"}, {"::", kAfInet6, "fd12::5"}};
  api.ipv6Address = "fd12::5";
  for (const auto& c : cases) {
    server.ListenAddress = c.address;
    const SocketHandle first = api.nextHandle;
    server.SetListen(true);
    ASSERT_TRUE(server.Listen()) << c.address;
    EXPECT_EQ(api.nextHandle, first + 1) << c.address;  // one socket
    EXPECT_EQ(api.at(server.Socket).bound.family, c.family) << c.address;
    if (c.family == kAfInet6) {
      EXPECT_TRUE(api.at(server.Socket).v6Only) << c.address;
    }
    EXPECT_EQ(server.LocalIPv6(), c.announcedIPv6) << c.address;
    server.SetListen(false);
  }
  server.ListenAddress = "intranet";
  server.SetListen(true);
  EXPECT_FALSE(server.Listen());
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, 10049);
}

TEST_F(FakeServer, LocalAddressAndName) {
  EXPECT_EQ(server.LocalHostName(), "fakehost");
  EXPECT_EQ(server.LocalIP(), "192.0.2.10");
}

}  // namespace
}  // namespace parlivo
