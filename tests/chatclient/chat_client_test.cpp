// The chat client's model against the real server form over 127.0.0.1:
// joining, chat both ways, who is here under each listing mode, private
// data, and the server's refusals and endings in plain words.

#include <unistd.h>

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <fstream>

#include "chatclient/chat_client.h"
#include "client/known_servers.h"
#include "form_fixture.h"
#include "loopback_peer.h"

namespace parlivo::testing {
namespace {

using Kind = TranscriptLine::Kind;

struct ChatClientLoopback : FormFixture {
  ChatClientLoopback() {
    // Remembered values go to a folder of the test's own, never the real home.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
  }
  ~ChatClientLoopback() override {
    for (auto& model : models) model->Quit(500);
    if (!pinsHere_) return;
    if (savedConfig_.isNull()) qunsetenv("XDG_CONFIG_HOME");
    else qputenv("XDG_CONFIG_HOME", savedConfig_);
  }

  // Starts the server with its TLS port as well; the clients keep their
  // pins in `config` until the test ends. The TLS port, 0 when not started.
  std::uint16_t StartWithTls() {
    if (!pinsHere_) savedConfig_ = qgetenv("XDG_CONFIG_HOME");
    pinsHere_ = true;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    const std::uint16_t tlsPort = FreePort();
    form.chkTls.SetChecked(true);
    form.edTlsPort.Text = std::to_string(tlsPort);
    return Start() ? tlsPort : 0;
  }

  ChatClient& Model(const QString& nick, const QString& room) {
    models.push_back(std::make_unique<ChatClient>());
    ChatClient& model = *models.back();
    model.values = ConnectValues{"127.0.0.1:" + QString::number(port), nick, room};
    return model;
  }
  ChatClient& JoinModel(const QString& nick, const QString& room) {
    ChatClient& model = Model(nick, room);
    EXPECT_TRUE(model.Connect());
    // The lookup answers later, on the event loop: meanwhile the window says
    // it is connecting and offers no reconnect.
    EXPECT_EQ(model.state(), ChatClient::State::Connecting);
    EXPECT_FALSE(model.canReconnect());
    EXPECT_TRUE(WaitUntil([&] { return model.state() == ChatClient::State::Joined; })) << nick.toStdString();
    return model;
  }
  static bool Shows(const ChatClient& model, Kind kind, const QString& part) {
    const auto& lines = model.transcript().lines();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const TranscriptLine& l) { return l.kind == kind && l.text.contains(part); });
  }

  QTemporaryDir config;
  std::vector<std::unique_ptr<ChatClient>> models;

 private:
  bool pinsHere_ = false;
  QByteArray savedConfig_;
};

TEST_F(ChatClientLoopback, TwoClientsChatBothWaysAndShowInTheOperatorsRoster) {
  ASSERT_TRUE(Start());
  ChatClient& ann = JoinModel("Ann", "Lobby");
  ChatClient& bob = JoinModel("Bob", "Lobby");
  ASSERT_TRUE(WaitUntil([&] { return form.lvClients.Count() == 2; }));  // both answer pings

  ASSERT_TRUE(ann.Submit("héllo €"));
  ASSERT_TRUE(bob.Submit("//slash"));
  ASSERT_TRUE(WaitUntil([&] { return Shows(ann, Kind::Chat, "/slash") && Shows(bob, Kind::Chat, "héllo €"); }));
  const TranscriptLine& seen = *std::find_if(bob.transcript().lines().begin(), bob.transcript().lines().end(),
                                             [](const TranscriptLine& l) { return l.kind == Kind::Chat; });
  EXPECT_TRUE(seen.relayForm);
  EXPECT_EQ(seen.nick, "Ann");
  EXPECT_EQ(seen.room, "Lobby");
  EXPECT_EQ(seen.text, "héllo €");
}

// Values that led to a join are remembered as such: the next plain start
// of the client joins with them at once.
// The announced name of a server picked from the list is remembered with
// its address: the next start checks the key under that name too.
TEST_F(ChatClientLoopback, AJoinIsRememberedSoTheNextStartJoinsAtOnce) {
  ASSERT_TRUE(Start());
  ChatClient& ann = Model("Ann", "Lobby");
  ann.values.service = "Lab";
  ASSERT_TRUE(ann.Connect());
  ASSERT_TRUE(WaitUntil([&] { return ann.state() == ChatClient::State::Joined; }));
  const RememberedValues remembered = LoadRememberedValues();
  EXPECT_TRUE(remembered.joinAtStart);
  EXPECT_EQ(remembered.values, ann.values);
}

// The lookup hands over every address the name was found at, for the
// check of the server's key.
TEST_F(ChatClientLoopback, TheLookupTellsEveryAddressTheServerWasFoundAt) {
  ASSERT_TRUE(Start());
  HostLookup lookup;
  std::vector<std::string> found;
  int fd = -2;
  lookup.start("127.0.0.1", port, 3000, [&](int socket, const std::vector<Endpoint>& resolved, const std::string&) {
    fd = socket;
    for (const Endpoint& endpoint : resolved) found.push_back(KnownAddressKey(endpoint));
  });
  ASSERT_TRUE(WaitUntil([&] { return fd != -2; }));
  EXPECT_GE(fd, 0);
  if (fd >= 0) ::close(fd);
  EXPECT_EQ(found, std::vector<std::string>{"127.0.0.1:" + std::to_string(port)});
}

TEST_F(ChatClientLoopback, AClientOnIPv6ChatsWithOneOnIPv4) {
  ASSERT_TRUE(Start());
  ChatClient& ann = Model("Ann", "Lobby");
  ann.values.server = "[::1]:" + QString::number(port);
  ASSERT_TRUE(ann.Connect());
  ASSERT_TRUE(WaitUntil([&] { return ann.state() == ChatClient::State::Joined; }));
  ChatClient& bob = JoinModel("Bob", "Lobby");
  ASSERT_TRUE(ann.Submit("over six"));
  ASSERT_TRUE(WaitUntil([&] { return Shows(bob, Kind::Chat, "over six"); }));
  EXPECT_TRUE(Shows(ann, Kind::Notice, "Connecting to [::1]:" + QString::number(port)));
}

// The TLS box joins the encrypted port, and the key met there is remembered
// for the next time (never joined in the clear by mistake).
TEST_F(ChatClientLoopback, AnEncryptedClientJoinsTheTlsPortAndRemembersTheServersKey) {
  const std::uint16_t tlsPort = StartWithTls();
  ASSERT_NE(tlsPort, 0);
  ChatClient& ann = Model("Ann", "Lobby");
  ann.values.server = "127.0.0.1:" + QString::number(tlsPort);
  ann.values.tls = true;
  ASSERT_TRUE(ann.Connect());
  EXPECT_TRUE(WaitUntil([&] { return ann.state() == ChatClient::State::Joined; }));
  std::ifstream known(config.filePath("parlivo/known_servers").toStdString());
  std::string pinned((std::istreambuf_iterator<char>(known)), std::istreambuf_iterator<char>());
  EXPECT_NE(pinned.find("127.0.0.1:" + std::to_string(tlsPort) + " " + form.edFingerprint.Text), std::string::npos)
      << pinned;
}

// The key met at the TLS port is checked against every pin that leads to
// the server: a pin of its address guards the other names of that address,
// a server picked from the list keeps the key of its announced name
// wherever the announcement points now, and a pin store that cannot be
// read lets nothing through.
TEST_F(ChatClientLoopback, AnEncryptedClientChecksEveryPinThatLeadsToTheServer) {
  const std::uint16_t tlsPort = StartWithTls();
  ASSERT_NE(tlsPort, 0);
  const QString p = QString::number(tlsPort);
  const std::string at = "127.0.0.1:" + std::to_string(tlsPort);
  const std::string fingerprint = form.edFingerprint.Text;
  const QString known = config.filePath("parlivo/known_servers");
  struct Case {
    const char* name;
    std::string file;  // "/" makes a folder where the file belongs
    QString server;
    QString service;
    QString problem;  // empty: joins
    std::string pinnedAfter;
  };
  const std::vector<Case> cases = {
      {"a pin of the address guards localhost", at + " 00:11\n", "localhost:" + p, "", "it was 00:11 and is now", {}},
      {"an announced name keeps its key", "\"Lab chat\" 00:11\n", "127.0.0.1:" + p, "LAB CHAT",
       "pinned for \"Lab chat\"", {}},
      {"a store that cannot be read", "/", "127.0.0.1:" + p, "", known + " cannot be read", {}},
      {"an announced name is pinned with the address reached", "", "127.0.0.1:" + p, "Lab chat", "",
       "\"Lab chat\" " + fingerprint + "\n" + at + " " + fingerprint + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.server.startsWith("localhost:") && !LocalhostResolves()) continue;  // no hosts entry here
    QDir(config.filePath("parlivo")).removeRecursively();
    QDir(config.path()).mkpath(c.file == "/" ? "parlivo/known_servers" : "parlivo");
    if (c.file != "/") std::ofstream(known.toStdString()) << c.file;
    ChatClient& ann = Model("Ann", "Lobby");
    ann.values.server = c.server;
    ann.values.service = c.service;
    ann.values.tls = true;
    ASSERT_TRUE(ann.Connect());
    ASSERT_TRUE(WaitUntil([&] { return ann.state() == ChatClient::State::Offline || ann.state() == ChatClient::State::Joined; }, 10000));
    if (c.problem.isEmpty()) {
      EXPECT_EQ(ann.state(), ChatClient::State::Joined);
      std::ifstream file(known.toStdString());
      const std::string pinned((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      EXPECT_NE(pinned.find(c.pinnedAfter), std::string::npos) << pinned;
    } else {
      EXPECT_EQ(ann.state(), ChatClient::State::Offline);
      EXPECT_TRUE(Shows(ann, Kind::Problem, c.problem)) << ann.transcript().lines().back().text.toStdString();
      EXPECT_EQ(form.lvClients.IndexOf("Ann"), -1);
    }
    for (auto& model : models) model->Quit(500);
    models.clear();
  }
}

// An encrypted connection that cannot be made says why, and nothing is
// sent in the clear.
TEST_F(ChatClientLoopback, AnEncryptedClientAtAPlainPortSaysWhyItCouldNotConnect) {
  ASSERT_TRUE(Start());
  ChatClient& ann = Model("Ann", "Lobby");
  ann.values.tls = true;
  ASSERT_TRUE(ann.Connect());
  EXPECT_TRUE(WaitUntil([&] { return ann.state() == ChatClient::State::Offline; }, 12000));
  EXPECT_TRUE(Shows(ann, Kind::Problem, "Could not connect to 127.0.0.1:" + QString::number(port)));
  EXPECT_EQ(form.lvClients.Count(), 0);
}

TEST_F(ChatClientLoopback, RosterFollowsEachListingMode) {
  struct Case {
    const char* name;
    TRadioButton TfrmServer::*mode;
    QStringList annSees;  // after Bob and Cid joined
    QStringList afterBobLeft;
  };
  const std::vector<Case> cases = {
      {"everybody", &TfrmServer::rbAll, {"Ann", "Bob", "Cid"}, {"Ann", "Cid"}},
      {"same room", &TfrmServer::rbRooms, {"Ann", "Bob"}, {"Ann"}},
      {"nobody", &TfrmServer::rbNone, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    (form.*c.mode).Click();
    ASSERT_TRUE(Start());
    ChatClient& ann = JoinModel("Ann", "Lobby");
    ChatClient& bob = JoinModel("Bob", "Lobby");
    JoinModel("Cid", "Other");
    Settle(100);
    EXPECT_EQ(ann.roster(), c.annSees);
    EXPECT_EQ(ann.rosterListed(), !c.annSees.isEmpty());
    EXPECT_EQ(ann.rosterNote(), c.annSees.isEmpty() ? "This server does not list who is here." : "");
    bob.Disconnect();
    ASSERT_TRUE(WaitUntil([&] { return bob.state() == ChatClient::State::Offline; }));
    Settle(100);
    EXPECT_EQ(ann.roster(), c.afterBobLeft);
    for (auto& model : models) model->Quit(500);
    models.clear();
    form.sbRunClick();  // stop for the next case
  }
}

TEST_F(ChatClientLoopback, OfTwoClientsSharingANicknameOneLeavingTakesOneEntryOffTheRoster) {
  form.chkSameNick.Click();
  ASSERT_TRUE(Start());
  ChatClient& ann = JoinModel("Ann", "Lobby");
  ChatClient& bob = JoinModel("Bob", "Lobby");
  JoinModel("Bob", "Lobby");
  ASSERT_TRUE(WaitUntil([&] { return ann.roster() == QStringList{"Ann", "Bob", "Bob"}; }));
  bob.Disconnect();
  ASSERT_TRUE(WaitUntil([&] { return Shows(ann, Kind::Notice, "Bob left."); }));
  EXPECT_EQ(ann.roster(), (QStringList{"Ann", "Bob"}));
}

TEST_F(ChatClientLoopback, ATextLargerThanTheSocketTakesAtOnceGoesOutWholeWithNothingElseHappening) {
  ASSERT_TRUE(Start());
  ChatClient& ann = JoinModel("Ann", "Lobby");
  ChatClient& bob = JoinModel("Bob", "Lobby");
  form.Server->SetMaxPing(0);  // no ping answer pushes the rest out: only the socket's room does
  const QString big(4'000'000, 'x');
  ASSERT_TRUE(ann.Submit(big));
  EXPECT_TRUE(WaitUntil([&] { return Shows(bob, Kind::Chat, big); }, 10000));
}

TEST_F(ChatClientLoopback, PrivateDataReachesOnlyTheNamedUserMarkedAsPrivate) {
  ASSERT_TRUE(Start());
  ChatClient& ann = JoinModel("Ann", "Lobby");
  ChatClient& bob = JoinModel("Bob", "Lobby");
  ChatClient& cid = JoinModel("Cid", "Lobby");
  ASSERT_TRUE(ann.Submit("/msg Bob just for you"));
  ASSERT_TRUE(WaitUntil([&] { return Shows(bob, Kind::PrivateIn, "just for you"); }));
  Settle();
  EXPECT_TRUE(Shows(ann, Kind::PrivateOut, "just for you"));
  EXPECT_FALSE(Shows(cid, Kind::PrivateIn, "just for you"));
  EXPECT_FALSE(ann.Submit("/msg Bob"));
  EXPECT_EQ(ann.hint(), "Usage: /msg NICK TEXT");
}

TEST_F(ChatClientLoopback, ServerRefusalsAndEndingsAreToldInPlainWords) {
  struct Case {
    const char* name;
    std::function<void()> act;  // runs once Ann has joined
    QString told;
  };
  ASSERT_TRUE(Start());
  const std::vector<Case> cases = {
      {"kick", [&] { form.lvClients.Select(form.lvClients.IndexOf("Ann")); form.pmKick.Click(); },
       "The server kicked this client out."},
      {"asked to leave", [&] { form.lvClients.Select(form.lvClients.IndexOf("Ann")); form.pmDisconnect.Click(); },
       "The server asked this client to leave."},
      {"same nickname", [&] { Model("Ann", "Other").Connect(); },
       "The nickname Ann is already in use on this server. Choose another and connect again."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChatClient& ann = JoinModel("Ann", "Lobby");
    ASSERT_TRUE(WaitUntil([&] { return form.lvClients.IndexOf("Ann") >= 0; }));
    c.act();
    ASSERT_TRUE(WaitUntil([&] {
      return std::any_of(models.begin(), models.end(), [&](auto& m) { return Shows(*m, Kind::Problem, c.told); });
    }));
    for (auto& model : models) EXPECT_TRUE(WaitUntil([&] { return model->state() != ChatClient::State::Leaving; }));
    EXPECT_TRUE(ann.canReconnect() || ann.state() == ChatClient::State::Joined);
    for (auto& model : models) model->Quit(500);
    models.clear();
    ASSERT_TRUE(WaitUntil([&] { return form.Server->Clients->Count() == 0; }));
  }
}

TEST_F(ChatClientLoopback, LostConnectionIsToldAndReconnectJoinsAgain) {
  ASSERT_TRUE(Start());
  ChatClient& ann = JoinModel("Ann", "Lobby");
  // The connection ends without a word from the server, as when its host goes away.
  ::shutdown(static_cast<int>((*form.Server->Clients)[0]->Socket), SHUT_RDWR);
  ASSERT_TRUE(WaitUntil([&] { return ann.state() == ChatClient::State::Offline; }));
  EXPECT_TRUE(Shows(ann, Kind::Problem, "was lost: connection closed by peer."));
  ASSERT_TRUE(WaitUntil([&] { return form.Server->Clients->Count() == 0; }));
  ASSERT_TRUE(ann.Reconnect());
  EXPECT_TRUE(WaitUntil([&] { return ann.state() == ChatClient::State::Joined; }));
}

TEST_F(ChatClientLoopback, CharactersTheCodePageLacksAreRefusedAndControlsShownEscaped) {
  ASSERT_TRUE(Start());
  ChatClient& ann = JoinModel("Ann", "Lobby");
  Client& peer = Connect();
  EXPECT_FALSE(ann.Submit("Łódź"));
  EXPECT_EQ(ann.hint(), "The character \"Ł\" (U+0141) cannot be sent: the chat's character set (Windows-1252) lacks it.");
  peer.connection.sendChat("line\r\nforged");
  ASSERT_TRUE(WaitUntil([&] { return Shows(ann, Kind::Chat, "line\\r\\nforged"); }));
  Settle();
  EXPECT_FALSE(Shows(ann, Kind::Chat, "Łódź"));  // nothing was sent in its place
}

TEST_F(ChatClientLoopback, AMistypedCommandLeavesAHintThatTheNextGoodLineClears) {
  ChatClient& model = Model("Ann", "Lobby");
  EXPECT_FALSE(model.Submit("/nope"));
  EXPECT_EQ(model.hint(), "Unknown command /nope. Type /help for the commands.");
  EXPECT_FALSE(model.Submit("/msg Bob"));
  EXPECT_EQ(model.hint(), "Usage: /msg NICK TEXT");
  EXPECT_TRUE(model.Submit("/help"));
  EXPECT_EQ(model.hint(), "");
  EXPECT_TRUE(Shows(model, Kind::Notice, "Commands: /msg NICK TEXT"));
}

TEST_F(ChatClientLoopback, UnusableConnectValuesAreRefusedBeforeConnecting) {
  const std::vector<std::pair<ConnectValues, QString>> cases = {
      {{"", "Ann", ""}, "Enter the server's address (HOST or HOST:PORT)."},
      {{"host:0", "Ann", ""}, "The server address is not usable: bad port in host:0 (a number from 1 to 65535 is needed)."},
      {{"127.0.0.1", "", ""}, "Enter a nickname."},
      {{"127.0.0.1", "A\tnn", ""}, "The nickname must not contain control characters."},
  };
  ChatClient& model = Model("", "");
  for (const auto& [values, problem] : cases) {
    model.values = values;
    EXPECT_FALSE(model.Connect());
    EXPECT_EQ(model.transcript().lines().back().text, problem);
    EXPECT_EQ(model.state(), ChatClient::State::Offline);
  }
}

}  // namespace
}  // namespace parlivo::testing
