// What one host on the LAN can try against everybody else, tried against a
// real server over loopback (the sockets layer reports chosen peer
// addresses where the attack needs another machine): the honest clients
// must stay connected, keep chatting and see nobody pass for somebody else.

#include <sys/socket.h>

#include "form_fixture.h"

namespace parlivo::testing {
namespace {

std::string Int32(std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  return {static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16), static_cast<char>(u >> 24)};
}

struct Hostile : FormFixture {
  // Connects a client that reads nothing unless the test makes it, with
  // the socket buffers on both sides made small: what it does not read stays
  // queued in the server instead of in the system. It is kept apart from
  // `clients`, which WaitUntil and Settle read.
  Client& ConnectSlowReader() {
    slowReaders.push_back(std::make_unique<Client>());
    Client& client = *slowReaders.back();
    EXPECT_TRUE(client.connection.connect("127.0.0.1", port, 2000));
    EXPECT_TRUE(PumpUntil([&] {
      client.Poll();
      return client.Has(pidConnected);
    }));
    const int small = 4096;
    ::setsockopt(client.connection.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const auto& list = *form.Server->Clients;
    ::setsockopt(list[list.Count() - 1]->Socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    return client;
  }
  std::vector<std::unique_ptr<Client>> slowReaders;

  // Connects one client from each of `peers` (addresses the server sees)
  // and waits for their greetings.
  std::vector<Client*> ConnectFrom(const std::vector<std::string>& peers) {
    api.nextPeers = {peers.begin(), peers.end()};
    std::vector<Client*> connected;
    for (std::size_t i = 0; i < peers.size(); ++i) connected.push_back(&Connect());
    EXPECT_TRUE(WaitUntil([&] {
      return std::all_of(connected.begin(), connected.end(), [](Client* c) { return c->Has(pidConnected); });
    }));
    return connected;
  }

  // Registers and returns the server's answer: 16, 17 or 18 (0: none came).
  std::int32_t Register(Client& client, const std::string& nick, const std::string& room) {
    client.received.clear();
    client.connection.registerUser(nick, room);
    std::int32_t answer = 0;
    WaitUntil([&] {
      for (const auto& p : client.received)
        if (p.id >= pidSameUserName && p.id <= pidAccessGranted) answer = p.id;
      return answer != 0;
    });
    return answer;
  }
  // Writes out what `client` has queued while the server (on this thread) reads.
  bool FlushOut(Client& client) {
    return WaitUntil([&] {
      client.connection.flush();
      return client.connection.pendingOutput() == 0;
    }, 20000);
  }
  bool Got(Client& client, const std::string& relay) {
    const auto texts = client.Payloads(pidMessage);
    return std::find(texts.begin(), texts.end(), EncodeText(relay)) != texts.end();
  }
  std::size_t LinesStartingWith(const std::string& start) const {
    return static_cast<std::size_t>(
        std::count_if(view.log.begin(), view.log.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; }));
  }
};

TEST_F(Hostile, ATextWhoseRelayWouldPassThePacketLimitIsNotRelayedAndNobodyIsDisconnected) {
  form.RunLimits.unlimitedInput = true;
  ASSERT_TRUE(Start());
  Client& ann = Join("Ann", "Lobby");
  Client& attacker = Connect();
  // Unregistered, the relay's prefix is "[BC from  @ ]: " (15 bytes): this
  // text's relay is the largest packet there may be, the next byte too much.
  const std::size_t fits = (kMaxPacketSize - kPacketHeaderSize) / 6 * 4 - 15;
  for (const std::size_t length : {fits + 1, fits}) attacker.connection.sendChat(std::string(length, 'x'));
  ASSERT_TRUE(FlushOut(attacker));
  // Two texts of 12 MiB each way: a sanitizer build on a busy machine takes its time.
  ASSERT_TRUE(WaitUntil([&] { return !ann.Payloads(pidMessage).empty(); }, 90000));
  EXPECT_EQ(ann.Payloads(pidMessage).front().size(), EncodedLength(15 + fits));
  EXPECT_EQ(LinesStartingWith("Not relayed: a text of " + std::to_string(fits + 1) + " bytes from Client at IP"), 1u);
  ann.connection.sendChat("still here");
  EXPECT_TRUE(WaitUntil([&] { return Got(ann, "[BC from Ann @ Lobby]: still here"); }));
  EXPECT_TRUE(ann.connection.isOpen()) << ann.connection.error();
  EXPECT_EQ(form.Server->Clients->Count(), 2u);
}

TEST_F(Hostile, NamesThatCouldPassForAnotherUserAreRefusedAndNeverRelayed) {
  ASSERT_TRUE(Start());
  Client& watcher = Join("Watcher", "Lobby");
  Client& forger = Connect();
  for (const std::string& nick : {std::string("Watcher @ Lobby]: I am leaving, bye"), std::string("Watcher\xa0"),
                                  std::string(8'500'000, 'n')}) {
    EXPECT_EQ(Register(forger, nick, "Lobby"), pidAccessDenied) << nick.substr(0, 40);
  }
  EXPECT_EQ(Register(forger, "Mallory", "Lobby]: x"), pidAccessDenied);
  EXPECT_EQ(forger.Payloads(pidAccessDenied), std::vector<std::string>{""}) << "a bare ID 17, as clients expect it";
  // Nothing was stored: the forger still speaks as nobody, and the room's
  // roster stays small enough for anyone to join.
  forger.connection.sendChat("hello");
  EXPECT_TRUE(WaitUntil([&] { return Got(watcher, "[BC from  @ ]: hello"); }));
  EXPECT_EQ(form.lvClients.Rows(), (std::vector<RosterRow>{{"Watcher", "Lobby"}}));
  EXPECT_EQ(Register(forger, "Mallory", "Lobby"), pidAccessGranted);
  EXPECT_EQ(forger.Payloads(pidUserList), (std::vector<std::string>{"Watcher\r\nMallory\r\n"}));
  EXPECT_EQ(LinesStartingWith("Refused a registration from IP 127.0.0.1: the nickname \"Watcher @ Lobby]: I am leaving, "
                              "bye\" holds \" @ \" or \"]: \""),
            1u);
}

TEST_F(Hostile, RegisteringAgainAndAgainLeavesOneRosterRowPerConnectionAndNoGhost) {
  form.chkSameNick.SetChecked(true);
  ASSERT_TRUE(Start());
  std::vector<Client*> renamers;
  for (int i = 0; i < 3; ++i) renamers.push_back(&Connect());
  for (int round = 0; round < 3; ++round) {
    for (std::size_t i = 0; i < renamers.size(); ++i) {
      const std::string nick = "n" + std::to_string(i) + "r" + std::to_string(round);
      renamers[i]->connection.registerUser(nick, "Lobby");
      ASSERT_TRUE(WaitUntil([&] { return form.lvClients.IndexOf(nick) >= 0; })) << nick;
    }
  }
  EXPECT_EQ(form.lvClients.Rows(), (std::vector<RosterRow>{{"n0r2", "Lobby"}, {"n1r2", "Lobby"}, {"n2r2", "Lobby"}}));
  for (Client* client : renamers) Leave(*client);
  EXPECT_EQ(form.lvClients.Count(), 0u);
  EXPECT_EQ(LinesStartingWith("n"), 18u);  // nine names, each joined and left
  for (int i = 0; i < 3; ++i) {
    for (int round = 0; round < 3; ++round) {
      const std::string nick = "n" + std::to_string(i) + "r" + std::to_string(round);
      EXPECT_EQ(CountLines(nick + " has joined."), 1u) << nick;
      EXPECT_EQ(CountLines(nick + " has left..."), 1u) << nick;
    }
  }
}

TEST_F(Hostile, ConnectionsThatNeverRegisterHoldOnlyASmallShareOfOneMachinesSlots) {
  ASSERT_TRUE(Start());
  form.Server->FlowControl.UnregisteredPerAddress = 3;
  const auto greeted = [&](const std::string& peer) {
    api.nextPeers = {peer};
    Client& client = Connect();
    bool open = true;
    WaitUntil([&] {
      open = client.connection.isOpen();
      return client.Has(pidConnected) || !open;
    });
    return client.Has(pidConnected) ? &client : nullptr;
  };
  std::vector<Client*> squatters;
  for (int i = 0; i < 3; ++i) squatters.push_back(greeted("10.0.0.50"));
  EXPECT_EQ(std::count(squatters.begin(), squatters.end(), nullptr), 0);
  EXPECT_EQ(greeted("10.0.0.50"), nullptr);
  EXPECT_NE(greeted("10.0.0.51"), nullptr);  // another machine is not affected
  EXPECT_NE(greeted("127.0.0.1"), nullptr);
  // One of them registers: its place among the unregistered is free again.
  EXPECT_EQ(Register(*squatters[0], "Sam", "Lobby"), pidAccessGranted);
  EXPECT_NE(greeted("10.0.0.50"), nullptr);
  EXPECT_EQ(LinesStartingWith("Refused a connection from IP 10.0.0.50: 3 connections from that address have not "
                              "registered yet"),
            1u);
}

TEST_F(Hostile, FloodersOnOneMachineShareOneInputAllowance) {
  ASSERT_TRUE(Start());
  // A burst of 64 KiB, then a kilobyte a second: whoever spends the burst
  // leaves the machine a minute's debt.
  form.Server->FlowControl.InputBytes = TokenRate{1024, 64 * 1024};
  Client& ann = Join("Ann", "Lobby");
  const auto from = ConnectFrom({"10.0.0.60", "10.0.0.60", "10.0.0.61"});
  Client& first = *from[0];
  Client& second = *from[1];
  Client& elsewhere = *from[2];
  first.connection.sendChat(std::string(100 * 1024, 'f'));
  ASSERT_TRUE(FlushOut(first));
  Settle(100);
  second.connection.sendChat("from the same machine");
  elsewhere.connection.sendChat("from another machine");
  ASSERT_TRUE(WaitUntil([&] { return Got(ann, "[BC from  @ ]: from another machine"); }));
  Settle(100);
  EXPECT_FALSE(Got(ann, "[BC from  @ ]: from the same machine"));
  EXPECT_EQ(form.Server->Clients->Count(), 4u);  // slowed, never dropped
}

TEST_F(Hostile, ReadersThatTakeNothingOrATrickleCannotFreezeTheChat) {
  form.RunLimits.memoryBudgetMiB = 4;  // senders are held back past 2 MiB queued
  form.RunLimits.unlimitedInput = true;
  ASSERT_TRUE(Start());
  Client& ann = Join("Ann", "Lobby");
  Client& bob = Join("Bob", "Lobby");
  form.Server->SetMaxPing(0);
  form.Server->FlowControl.PressureWindowMs = 200;
  for (int i = 0; i < 20; ++i) ConnectSlowReader();
  // The honest two read all they get; the others only what `trickle` allows.
  std::size_t trickle = 0;
  const auto chatSees = [&](const std::string& relay) {
    return PumpUntil([&] {
      ann.Poll();
      bob.Poll();
      for (auto& reader : slowReaders) reader->connection.readAvailable(trickle);
      return Got(ann, relay);
    });
  };

  // One large text for everybody is held once, however many have not read it.
  bob.connection.sendChat(std::string(1024 * 1024, 'a'));
  bob.connection.sendChat("after the large one");
  EXPECT_TRUE(chatSees("[BC from Bob @ Lobby]: after the large one"));
  EXPECT_FALSE(form.Server->FlowControl.HoldingSenders());

  // Distinct large texts do fill the budget; readers that only trickle are
  // let go within a window, and the chat goes on.
  trickle = 256;
  for (char c : {'b', 'c'}) bob.connection.sendChat(std::string(1024 * 1024, c));
  bob.connection.sendChat("after the flood");
  EXPECT_TRUE(chatSees("[BC from Bob @ Lobby]: after the flood"));
  EXPECT_TRUE(ann.connection.isOpen());
  EXPECT_TRUE(bob.connection.isOpen());
  EXPECT_EQ(form.Server->Clients->Count(), 2u);
  EXPECT_EQ(LinesStartingWith("Client at IP 127.0.0.1 reads too slowly"), slowReaders.size());
}

TEST_F(Hostile, AMachineThatAnnouncesLargePacketsAndTricklesThemHoldsNobodyElseUp) {
  form.RunLimits.memoryBudgetMiB = 8;  // large packets may reserve 4 MiB, one machine 1 MiB of it
  ASSERT_TRUE(Start());
  form.Server->FlowControl.BodyStallMs = 300;
  Client& ann = Join("Ann", "Lobby");
  const auto from = ConnectFrom({"10.0.0.70", "10.0.0.70", "10.0.0.71"});
  Client& trickler = *from[0];
  Client& second = *from[1];
  Client& elsewhere = *from[2];
  const auto packet = [](char fill) {
    std::string text(700 * 1024, fill);
    std::string wire = Int32(static_cast<std::int32_t>(EncodedLength(text.size()) + 8)) + Int32(pidMessage) +
                       EncodeText(text);
    return wire;
  };
  const std::string trickled = packet('t');
  trickler.connection.sendBytes(trickled.substr(0, 1000));
  ASSERT_TRUE(FlushOut(trickler));
  // Its packet has reserved its room before the others come.
  ASSERT_TRUE(WaitUntil([&] { return form.Server->FlowControl.Budget.input() >= trickled.size(); }));
  // A second large packet of the same machine waits for room; another
  // machine's gets it at once.
  second.connection.sendBytes(packet('s'));
  elsewhere.connection.sendBytes(packet('e'));
  second.connection.flush();
  ASSERT_TRUE(FlushOut(elsewhere));
  ASSERT_TRUE(WaitUntil([&] { return ann.Payloads(pidMessage).size() == 1; }));
  EXPECT_TRUE(Got(ann, "[BC from  @ ]: " + std::string(700 * 1024, 'e')));
  // A byte now and then is no progress: the trickler leaves.
  std::size_t sent = 1000;
  EXPECT_TRUE(PumpUntil([&] {
    if (sent < trickled.size()) trickler.connection.sendBytes(trickled.substr(sent++, 1));
    trickler.connection.flush();
    ann.Poll();
    return LinesStartingWith("Client at IP 10.0.0.70 stopped sending in the middle of a packet") == 1;
  }));
  // Its reservation gone, the machine's second packet gets in.
  EXPECT_TRUE(WaitUntil([&] { return Got(ann, "[BC from  @ ]: " + std::string(700 * 1024, 's')); }));
}

}  // namespace
}  // namespace parlivo::testing
