// The server's flow control over the scriptable sockets layer: senders are
// held back and resumed without losing a packet, readers are dropped only
// for lack of progress, clients stuck in a packet leave, limits refuse
// connections cleanly.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "event_loop.h"
#include "fake_socket_api.h"
#include "recording_socket.h"
#include "transport/server.h"

namespace parlivo {
namespace {

using testing::FakeSocketApi;
using testing::Packet;

std::vector<std::string> Texts(const std::string& wire) {
  std::vector<std::string> texts;
  for (std::size_t at = 0; at + kPacketHeaderSize <= wire.size();) {
    const std::int32_t size = ReadInt32LE(wire.data() + at);
    if (ReadInt32LE(wire.data() + at + 4) == pidMessage)
      texts.push_back(wire.substr(at + kPacketHeaderSize, static_cast<std::size_t>(size) - kPacketHeaderSize));
    at += static_cast<std::size_t>(size);
  }
  return texts;
}

// The flow control runs on a clock the test moves by hand: nothing waits.
struct Flow : ::testing::Test {
  Flow() {
    server.SetClock([this] { return nowMs; });
    server.OnServerNotice = [this](TDadideVUDServer*, const std::string& text) { notices.push_back(text); };
    server.OnClientTooSlow = [this](TDadideVUDServer*, TDadideVUDServerClient* c, std::size_t) {
      tooSlow.push_back(c->Socket);
    };
    // Every text goes to everybody, as the operator's form relays it.
    server.OnClientMessageCome = [this](TDadideVUDServer* s, TDadideVUDServerClient*, const std::string& text) {
      s->ForEachClient(WalkOrder::FirstToLast, [&](TDadideVUDServerClient* c) {
        s->SendClientMessage(c, text.data(), static_cast<std::int32_t>(text.size()));
      });
    };
    server.SetListen(true);
  }
  // Accepts a connection that the sockets layer says comes from `peer`.
  SocketHandle AcceptFrom(const std::string& peer) {
    api.nextPeers.push_back(peer);
    api.waitingConnections = 1;
    return Accept();
  }
  void Send(SocketHandle socket, const std::string& bytes) {
    api.at(socket).incoming += bytes;
    Notify(socket, kCanRead);
  }
  void Leave(SocketHandle socket) {
    api.at(socket).peerClosed = true;
    Notify(socket, kPeerClosed);
    server.RunSafePoint();
  }
  SocketHandle Accept() {
    api.notify(server.Socket, kCanAccept);
    const SocketHandle socket = (*server.Clients)[server.Clients->Count() - 1]->Socket;
    server.RunSafePoint();
    return socket;
  }
  void Notify(SocketHandle socket, SocketEvents event) { api.notify(socket, event); }
  // A sender and a reader whose socket takes nothing; the sender's text of
  // `size` bytes is relayed to both, filling a budget of `limit` bytes.
  std::pair<SocketHandle, SocketHandle> FillBehindAStalledReader(std::size_t limit, std::size_t size) {
    server.FlowControl.Budget.setLimit(limit);
    server.FlowControl.LimitInput = false;
    const SocketHandle sender = Accept();
    const SocketHandle stalled = Accept();
    api.at(stalled).sendScript = std::deque<int>(100, -10035);
    api.at(sender).incoming = Packet(pidMessage, std::string(size, 'x'));
    Notify(sender, kCanRead);
    server.RunSafePoint();
    return {sender, stalled};
  }
  void Advance(std::int64_t ms) { nowMs += ms; }
  // Runs the flow clock's ticks, kFlowTickMs of the clock apart, until
  // `done` holds; false when it still does not after `ticks` of them.
  bool TickUntil(const std::function<bool()>& done, int ticks = 100) {
    for (int i = 0; i < ticks && !done(); ++i) {
      Advance(TDadideVUDServer::kFlowTickMs);
      server.FlowTick();
      server.RunSafePoint();
    }
    return done();
  }
  bool Reading(SocketHandle socket) { return (api.at(socket).watchedEvents & kCanRead) != 0 || api.at(socket).watchedEvents == 0; }
  TDadideVUDServerClient* Find(SocketHandle socket) { return server.Clients->FindBySocket(socket); }

  std::int64_t nowMs = 1000000;
  FakeSocketApi api;
  TDadideVUDServer server{api};
  std::vector<std::string> notices;
  std::vector<SocketHandle> tooSlow;
};

TEST_F(Flow, AFullBudgetHoldsSendersBackAndEveryKeptPacketArrivesInOrderOnceItDrains) {
  server.FlowControl.Budget.setLimit(4000);  // senders are held back past 2000 queued bytes
  server.FlowControl.LimitInput = false;
  const SocketHandle sender = Accept();
  const SocketHandle reader = Accept();
  api.at(reader).sendScript = {-10035};  // the reader's socket is full for now
  std::string burst;
  std::vector<std::string> expected;
  for (int i = 0; i < 20; ++i) {
    expected.push_back("text " + std::to_string(i) + std::string(100, '.'));
    burst += Packet(pidMessage, expected.back());
  }
  api.at(sender).incoming = burst;
  Notify(sender, kCanRead);
  server.RunSafePoint();
  EXPECT_TRUE(server.FlowControl.HoldingSenders());
  EXPECT_FALSE(Reading(sender));  // TCP slows it from here
  EXPECT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("Holding senders back"), std::string::npos) << notices[0];
  // The reader takes everything: the budget drains and the sender is read again.
  Notify(reader, kCanWrite);
  ASSERT_TRUE(TickUntil([&] { return Texts(api.at(reader).sent).size() == expected.size(); }));
  EXPECT_EQ(Texts(api.at(reader).sent), expected);
  EXPECT_EQ(Texts(api.at(sender).sent), expected);
  EXPECT_FALSE(server.FlowControl.HoldingSenders());
  EXPECT_TRUE(Reading(sender));
  EXPECT_TRUE(tooSlow.empty());
}

TEST_F(Flow, ASenderOverItsPacketBudgetIsPausedNotDroppedAndResumedAtTheRate) {
  server.FlowControl.InputPackets = TokenRate{20, 5};  // five at once, then one every 50 ms
  const SocketHandle sender = Accept();
  std::string burst;
  for (int i = 0; i < 12; ++i) burst += Packet(pidMessage, "t" + std::to_string(i));
  api.at(sender).incoming = burst;
  Notify(sender, kCanRead);
  EXPECT_EQ(Texts(api.at(sender).sent).size(), 0u);  // relays leave at the safe point
  server.RunSafePoint();
  EXPECT_EQ(Texts(api.at(sender).sent).size(), 5u);  // the burst, not all
  EXPECT_FALSE(Reading(sender));
  // The other seven at 20 a second: about 350 ms.
  const std::int64_t start = nowMs;
  ASSERT_TRUE(TickUntil([&] { return Texts(api.at(sender).sent).size() == 12; }));
  EXPECT_GE(nowMs - start, 300);
  EXPECT_LE(nowMs - start, 400);
  EXPECT_EQ(Texts(api.at(sender).sent).back(), "t11");
  EXPECT_EQ(server.Clients->Count(), 1u);
}

TEST_F(Flow, ASenderOverItsByteBudgetIsPausedThoughItSendsFewPackets) {
  server.FlowControl.InputBytes = TokenRate{1000, 1000};  // a kilobyte at once, then one a second
  const SocketHandle sender = Accept();
  api.at(sender).incoming = Packet(pidMessage, std::string(1500, 'b')) + Packet(pidMessage, "after");
  Notify(sender, kCanRead);
  server.RunSafePoint();
  EXPECT_FALSE(Reading(sender));  // what it sent is relayed; more is not read for now
  // 1500 bytes taken of a 1000-byte burst: half a second's debt.
  const std::int64_t start = nowMs;
  EXPECT_TRUE(TickUntil([&] { return Reading(sender); }));
  EXPECT_GE(nowMs - start, 500);
  EXPECT_LE(nowMs - start, 600);
  EXPECT_EQ(server.Clients->Count(), 1u);
}

TEST_F(Flow, OnlyAReaderWithoutProgressIsDroppedForItsSoftLimit) {
  server.FlowControl.SoftQueueLimit = 1000;
  server.FlowControl.SoftQueueMs = 150;
  server.FlowControl.LimitInput = false;
  const SocketHandle sender = Accept();
  const SocketHandle stalled = Accept();
  const SocketHandle slow = Accept();
  for (const SocketHandle s : {stalled, slow}) api.at(s).sendScript = {0};
  api.at(sender).incoming = Packet(pidMessage, std::string(8000, 'x'));
  Notify(sender, kCanRead);
  server.RunSafePoint();
  // The slow one takes a little now and then (more than the soft limit in
  // all); the stalled one nothing.
  for (int i = 0; i < 12; ++i) {
    Advance(20);
    api.at(slow).sendScript = {600};
    Notify(slow, kCanWrite);
    server.FlowTick();
  }
  EXPECT_EQ(tooSlow, (std::vector<SocketHandle>{stalled}));
}

TEST_F(Flow, UnderPressureAReaderThatTakesNothingGoesAndPongsDoNotSaveIt) {
  server.FlowControl.PressureWindowMs = 50;
  // Held back past 50000 queued bytes. A packet larger than the budget's
  // room for input still gets in, alone.
  const auto [sender, stalled] = FillBehindAStalledReader(100000, 80000);
  ASSERT_TRUE(server.FlowControl.HoldingSenders());
  for (int i = 0; i < 5; ++i) {
    api.at(stalled).incoming = Packet(pidPong, "");  // it answers every ping...
    Notify(stalled, kCanRead);
    Advance(15);
    server.FlowTick();
  }
  EXPECT_EQ(tooSlow, (std::vector<SocketHandle>{stalled}));  // ...and goes all the same
  server.RunSafePoint();
  EXPECT_FALSE(server.FlowControl.HoldingSenders());
}

// The connections of one machine are slowed as one, by bytes or by
// packets; another machine is not; and once the machine's last connection
// has gone, its next one starts afresh.
TEST_F(Flow, TheConnectionsOfOneMachineShareOneAllowance) {
  struct Case {
    const char* name;
    TokenRate bytes, packets;
    std::string spend;  // what the machine's first connection sends
  };
  const std::string few = Packet(pidMessage, "1") + Packet(pidMessage, "2");
  const Case cases[] = {
      {"bytes", {1, 1000}, {1000, 1000}, Packet(pidMessage, std::string(1500, 'x'))},
      {"packets", {1e6, 1e6}, {1, 2}, few},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.FlowControl.InputBytes = c.bytes;
    server.FlowControl.InputPackets = c.packets;
    const SocketHandle first = AcceptFrom("192.0.2.8");
    const SocketHandle second = AcceptFrom("192.0.2.8");
    const SocketHandle elsewhere = AcceptFrom("192.0.2.9");
    Send(first, c.spend);
    Send(second, Packet(pidMessage, "same machine"));
    Send(elsewhere, Packet(pidMessage, "other machine"));
    server.RunSafePoint();
    const auto got = Texts(api.at(elsewhere).sent);
    EXPECT_NE(std::find(got.begin(), got.end(), "other machine"), got.end());
    EXPECT_EQ(std::find(got.begin(), got.end(), "same machine"), got.end());
    for (const SocketHandle s : {first, second}) Leave(s);
    const SocketHandle again = AcceptFrom("192.0.2.8");
    Send(again, Packet(pidMessage, "afresh"));
    server.RunSafePoint();
    EXPECT_EQ(Texts(api.at(again).sent), std::vector<std::string>{"afresh"});
    for (const SocketHandle s : {elsewhere, again}) Leave(s);
    ASSERT_TRUE(server.Clients->Empty());
  }
}

TEST_F(Flow, AMachineHoldsOnlyItsShareOfUnregisteredConnections) {
  server.FlowControl.UnregisteredPerAddress = 2;
  const std::string registration = Packet(pidRegisterUser, std::string("\x06\x03" "Ann" "\x06\x05" "Lobby"));
  const auto admitted = [&] {
    const std::size_t before = server.Clients->Count();
    AcceptFrom("192.0.2.8");
    return server.Clients->Count() > before;
  };
  const SocketHandle registering = AcceptFrom("192.0.2.8");
  const SocketHandle idle = AcceptFrom("192.0.2.8");
  EXPECT_FALSE(admitted());
  Send(registering, registration);  // granted: no longer one of the machine's unregistered
  EXPECT_TRUE(admitted());
  EXPECT_FALSE(admitted());
  Leave(idle);  // an unregistered one leaving frees its place...
  EXPECT_TRUE(admitted());
  Leave(registering);  // ...a registered one's does not count
  EXPECT_FALSE(admitted());
  EXPECT_EQ(notices, std::vector<std::string>{"Refused a connection from IP 192.0.2.8: 2 connections from that "
                                              "address have not registered yet (the most allowed)."});
}

// Large packets reserve their room before their bodies are read; one
// machine's take a quarter of what all may reserve, and what a packet
// reserved is free again once it is whole or its sender has gone.
TEST_F(Flow, AMachinesLargePacketsTakeAQuarterOfTheReservationsAtMost) {
  // Reservations up to 2 MiB, 512 KiB for one machine; a packet reserves
  // once more of it waits than one read takes (256 KiB).
  server.FlowControl.Budget.setLimit(std::size_t{4} << 20);
  server.FlowControl.LimitInput = false;
  const auto large = [](char fill, std::size_t size) { return Packet(pidMessage, std::string(size, fill)); };
  const SocketHandle first = AcceptFrom("192.0.2.8");
  const SocketHandle second = AcceptFrom("192.0.2.8");
  const SocketHandle elsewhere = AcceptFrom("192.0.2.9");
  // Read notices come while bytes wait and reading is on, as the system gives them.
  const auto relayed = [&] {
    for (std::size_t c = 0; c < server.Clients->Count(); ++c) {
      const SocketHandle s = (*server.Clients)[c]->Socket;
      for (int i = 0; i < 8 && !api.at(s).incoming.empty() && Reading(s); ++i) Notify(s, kCanRead);
    }
    server.RunSafePoint();
    return Texts(api.at(elsewhere).sent).size();
  };
  api.at(first).incoming = large('a', 600000);  // alone, a packet over the share still gets in
  EXPECT_EQ(relayed(), 1u);
  const std::string half = large('b', 300000);
  api.at(first).incoming = half.substr(0, 1000);
  api.at(second).incoming = large('c', 300000);  // twice 300 KB is over the machine's share: waits
  api.at(elsewhere).incoming = large('d', 300000);
  EXPECT_EQ(relayed(), 2u);  // the other machine's
  api.at(first).incoming = half.substr(1000);  // whole now: the machine's room is free again
  ASSERT_TRUE(TickUntil([&] { return relayed() == 4u; }));
  EXPECT_EQ(Texts(api.at(elsewhere).sent)[3].front(), 'c');
  // A sender that goes half-way through gives its room back too.
  api.at(first).incoming = half.substr(0, 1000);
  api.at(second).incoming = large('e', 300000);
  EXPECT_EQ(relayed(), 4u);
  Leave(first);
  ASSERT_TRUE(TickUntil([&] { return relayed() == 5u; }));
  // Two packets under way that fit the share together are both read.
  const SocketHandle third = AcceptFrom("192.0.2.8");
  const std::string small = large('f', 240000);
  api.at(second).incoming = small.substr(0, 1000);
  api.at(third).incoming = small.substr(0, 1000);
  EXPECT_EQ(relayed(), 5u);
  api.at(third).incoming = small.substr(1000);
  EXPECT_EQ(relayed(), 6u);
}

TEST_F(Flow, AClientStuckInThePacketItAnnouncedLeavesButOneThatStillSendsStays) {
  server.FlowControl.BodyStallMs = 40;
  std::vector<std::pair<SocketHandle, std::size_t>> stalled;
  server.OnClientStalled = [&](TDadideVUDServer*, TDadideVUDServerClient* c, std::size_t received) {
    stalled.emplace_back(c->Socket, received);
  };
  const SocketHandle stuck = Accept();
  const SocketHandle sending = Accept();
  const std::string half = Packet(2000, pidMessage, std::string(992, 'h')).substr(0, 1000);
  for (const SocketHandle s : {stuck, sending}) {
    api.at(s).incoming = half;
    Notify(s, kCanRead);
  }
  Advance(60);
  api.at(sending).incoming = "more";  // waiting in its socket: it sends, it is not stuck
  server.FlowTick();
  EXPECT_EQ(stalled, (std::vector<std::pair<SocketHandle, std::size_t>>{{stuck, 1000}}));
  server.RunSafePoint();
  EXPECT_EQ(server.Clients->Count(), 1u);
  // The one still sending keeps the room it reserved for its whole packet;
  // the leaver's is given back.
  EXPECT_EQ(server.FlowControl.Budget.input(), 2000u);
}

TEST_F(Flow, TheFlowClockWatchesAHalfSentPacketAndStopsOnceItIsWhole) {
  const SocketHandle client = Accept();
  const std::string packet = Packet(pidPong, "");
  api.at(client).incoming = packet.substr(0, 5);
  Notify(client, kCanRead);
  server.FlowTick();
  EXPECT_TRUE(server.FlowClockRunning());
  api.at(client).incoming = packet.substr(5);
  Notify(client, kCanRead);
  server.RunSafePoint();
  server.FlowTick();
  EXPECT_FALSE(server.FlowClockRunning()) << "nothing is held: an idle server must not be woken";
}

TEST_F(Flow, ConnectionsBeyondTheLimitsAreClosedAtOnceAndSaidOnce) {
  server.FlowControl.MaxClients = 3;
  server.FlowControl.MaxClientsPerAddress = 1;
  for (int i = 0; i < 5; ++i) {
    api.waitingConnections = 1;
    api.notify(server.Socket, kCanAccept);
  }
  EXPECT_EQ(server.Clients->Count(), 3u);  // loopback is not limited per address, only in all
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], "Refused a connection from IP 127.0.0.1: the server is full (3 clients).");
  EXPECT_FALSE(api.at(api.nextHandle - 1).open);  // the refused one is closed at once
}

TEST_F(Flow, NeitherAClientHeldBackNorOneBehindItsQueueMissesPings) {
  const auto [sender, reader] = FillBehindAStalledReader(4000, 3000);
  ASSERT_FALSE(Reading(sender));
  for (int i = 0; i < 5; ++i) server.PingClients();
  EXPECT_EQ(Find(sender)->MissedPings, 0u);  // its pongs wait unread in its socket
  EXPECT_EQ(Find(reader)->MissedPings, 0u);  // its pings wait behind its queue
}

// A client uploading a large text answers after it: on a slow link that
// takes many ping periods, and only a stop in the packet is its fault.
TEST_F(Flow, AClientInTheMiddleOfSendingAPacketMissesNoPings) {
  const SocketHandle uploading = Accept();
  Send(uploading, Packet(pidMessage, std::string(1000, 'u')).substr(0, 500));
  const SocketHandle silent = Accept();
  for (int i = 0; i < 5; ++i) server.PingClients();
  EXPECT_EQ(Find(uploading)->MissedPings, 0u);
  EXPECT_EQ(Find(silent)->MissedPings, 4u);
}

// A stream that hands out at most `cap` of the plain bytes it holds per
// read, as TLS does with a record it has opened: no socket notice announces
// what is left.
class HoldingStream final : public ConnectionStream {
 public:
  HoldingStream(std::string& held, std::size_t cap) : held_(held), cap_(cap) {}
  SocketEvents Notice(SocketEvents event, int&) override { return event; }
  SocketEvents Interest(SocketEvents wanted) const override { return wanted; }
  int Available(std::uint32_t& count) override {
    count = static_cast<std::uint32_t>(held_.size());
    return 0;
  }
  int Receive(void* buffer, int length) override {
    const std::size_t n = std::min({held_.size(), cap_, static_cast<std::size_t>(length)});
    if (n == 0) return kSocketError;
    std::memcpy(buffer, held_.data(), n);
    held_.erase(0, n);
    return static_cast<int>(n);
  }
  int Send(const void*, int length) override { return length; }
  void SayEnd() override {}
  int LastError() const override { return 10035; }
  bool Buffered() const override { return !held_.empty(); }
  bool Opened() const override { return true; }
  std::int64_t OpeningDeadline() const override { return 0; }
  int OpeningTimeoutError() const override { return 0; }

 private:
  std::string& held_;
  std::size_t cap_;
};

// Whatever a stream holds inside reaches the chat, read of the server's own
// accord: right after a notice, and once its sender, held back meanwhile,
// may send again.
TEST_F(Flow, WhatAStreamHoldsInsideIsReadWithoutANoticeAlsoOnceItsSenderIsResumed) {
  std::string held;
  server.SetListen(false);
  server.ExtraPorts = {{0, [&](SocketApi&, const SocketHandle&, std::int64_t) {
                          return std::make_unique<HoldingStream>(held, 10);
                        }}};
  server.SetListen(true);
  std::vector<std::string> texts;
  server.OnClientMessageCome = [&](TDadideVUDServer*, TDadideVUDServerClient*, const std::string& text) {
    texts.push_back(text);
  };
  for (const bool heldBack : {false, true}) {
    // Held back: the first read takes more than the byte budget allows.
    server.FlowControl.InputBytes = heldBack ? TokenRate{100, 10} : FlowController::kInputBytes;
    api.waitingConnections = 1;
    api.notify(server.ExtraPortSocket(0), kCanAccept);
    const SocketHandle socket = (*server.Clients)[server.Clients->Count() - 1]->Socket;
    texts.clear();
    held = Packet(pidMessage, "one") + Packet(pidMessage, "two");
    Notify(socket, kCanRead);
    EXPECT_TRUE(TickUntil([&] { return texts.size() == 2; })) << heldBack;
    EXPECT_EQ(texts, (std::vector<std::string>{"one", "two"})) << heldBack;
  }
  server.SetListen(false);  // the streams read `held`
}

}  // namespace
}  // namespace parlivo
