// The command-line tools against the real server component over 127.0.0.1.
//
// The server runs in this test's Qt event loop with a relay handler like the
// application's; each tool runs as a child process, and an in-test client
// (ChatConnection) plays the other user. Every wait is bounded, and every
// child is killed when its test ends.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QStringList>
#include <QTimer>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/chat_connection.h"
#include "discovery/avahi_advertiser.h"
#include "encoding/text_codec.h"
#include "event_loop.h"
#include "loopback_peer.h"
#include "private_responder.h"
#include "transport/platform/posix_socket_api.h"
#include "tls/tls_server_stream.h"
#include "transport/server.h"

namespace parlivo {
namespace {

// A server error that only says the peer hung up: a reset, or (when the
// server's send comes after the reset was taken) a send on a socket the
// system has already shut.
bool HungUp(const std::string& error) { return error.rfind("10054 ", 0) == 0 || error.rfind("10058 ", 0) == 0; }

using testing::PumpUntil;

constexpr int kWaitMs = 15000;  // generous: the tools may run under sanitizers

std::uint16_t BoundPort(int fd) {
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
  return ntohs(bound.sin_port);
}

// A port on 127.0.0.1 where nobody listens (bound once by the system, then freed).
std::uint16_t UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const std::uint16_t port = BoundPort(fd);
  ::close(fd);
  return port;
}

// One tool run as a child process; killed at the end of its scope.
class Tool {
 public:
  Tool(const char* path, const QStringList& arguments, bool mergeErrors = true,
       const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
    process_.setProcessChannelMode(mergeErrors ? QProcess::MergedChannels : QProcess::ForwardedErrorChannel);
    process_.setProcessEnvironment(environment);
    process_.start(QString::fromLocal8Bit(path), arguments);
  }
  ~Tool() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.kill();
    process_.waitForFinished(5000);
  }

  // Pumps the event loop until the output holds `text`.
  bool waitFor(const QString& text) {
    return PumpUntil([&] { return output().contains(text); }, kWaitMs);
  }
  // Pumps the event loop until the tool has ended; its exit status, or -1.
  int waitExit() {
    const bool ended = PumpUntil([&] { return process_.state() == QProcess::NotRunning; }, kWaitMs);
    if (!ended || process_.exitStatus() != QProcess::NormalExit) return -1;
    return process_.exitCode();
  }
  void type(const QString& line) { process_.write((line + "\n").toUtf8()); }
  void endInput() { process_.closeWriteChannel(); }
  const QString& output() {
    output_ += QString::fromUtf8(process_.readAllStandardOutput());
    return output_;
  }

 private:
  QProcess process_;
  QString output_;
};

// Pumps the event loop until `client` has received a packet with `id`;
// packets with other IDs read on the way are dropped.
std::optional<ReceivedPacket> ReceiveId(ChatConnection& client, std::int32_t id) {
  std::optional<ReceivedPacket> found;
  PumpUntil(
      [&] {
        client.readAvailable();
        while (std::optional<ReceivedPacket> packet = client.nextPacket()) {
          if (packet->id != id) continue;
          found = std::move(packet);
          return true;
        }
        return false;
      },
      kWaitMs);
  return found;
}

// Leaves the way the tools do (end of sending, then wait for the server to
// close) while the server's loop runs; closing outright would reset the
// connection if a ping is on its way.
void Leave(ChatConnection& client) {
  client.shutdownSend();
  PumpUntil([&] { return !client.readAvailable(); }, kWaitMs);
  client.close();
}

class ToolsLoopback : public ::testing::Test {
 protected:
  void SetUp() override {
    server.ClientStatusUpdate = Rooms;
    server.SetMaxPing(50);
    server.SetPort(0);
    server.OnClientMessageCome = [this](TDadideVUDServer* s, TDadideVUDServerClient* c, const std::string& text) {
      Relay(s, c, text);
    };
    server.OnError = [this](TCustomFasterSocket*, SocketHandle, int code, const std::string& text) {
      serverErrors.push_back(std::to_string(code) + " " + text);
    };
    server.SetListen(true);
    ASSERT_TRUE(server.Listen());
    port = BoundPort(server.Socket);
    ASSERT_NE(port, 0);
  }

  void TearDown() override {
    // The tools leave in an orderly way, so the server never sees a failed
    // send or a reset from them.
    EXPECT_TRUE(serverErrors.empty()) << serverErrors.front();
    server.SetListen(false);
  }

  // What the application does with chat: encode once, send to everybody.
  void Relay(TDadideVUDServer* s, TDadideVUDServerClient* c, const std::string& text) {
    const std::string relay = EncodeText("[BC from " + c->UserName + " @ " + c->Room + "]: " + DecodeText(text));
    for (std::size_t i = 0; i < s->Clients->Count(); ++i) {
      if (dropDelivery && dropDelivery(i)) continue;
      s->SendClientMessage((*s->Clients)[i], relay.data(), static_cast<std::int32_t>(relay.size()));
    }
  }

  // A registered in-test client.
  ChatConnection Join(const std::string& nick, const std::string& room) {
    ChatConnection client;
    EXPECT_TRUE(client.connect("127.0.0.1", port, kWaitMs)) << client.error();
    client.registerUser(nick, room);
    EXPECT_TRUE(ReceiveId(client, pidAccessGranted)) << nick << " was not let in";
    return client;
  }

  TDadideVUDServerClient* Find(const std::string& nick) {
    for (std::size_t i = 0; i < server.Clients->Count(); ++i) {
      if ((*server.Clients)[i]->UserName == nick) return (*server.Clients)[i];
    }
    return nullptr;
  }

  QString Target() const { return "127.0.0.1:" + QString::number(port); }

  // Restarts the server with its TLS port too, the key made in `home`.
  bool ServeTls(const QTemporaryDir& home) {
    bool created = false;
    std::string error;
    tlsContext = TlsContext::LoadOrCreateServer(home.filePath("s.crt").toStdString(),
                                                home.filePath("s.key").toStdString(), created, error);
    EXPECT_TRUE(tlsContext) << error;
    if (!tlsContext) return false;
    server.SetListen(false);
    server.ExtraPorts = {{0, TlsStreams(tlsContext).Maker()}};
    server.SetListen(true);
    return server.Listen();
  }

  PosixSocketApi api;
  std::shared_ptr<TlsContext> tlsContext;
  TDadideVUDServer server{api};
  std::uint16_t port = 0;
  std::vector<std::string> serverErrors;
  // When set, the relay skips the client at an index for which it is true.
  std::function<bool(std::size_t)> dropDelivery;
};

TEST_F(ToolsLoopback, ChatJoinsRelaysBothWaysSendsPrivateDataAndLeavesAtEndOfInput) {
  ChatConnection bob = Join("Bob", "Lobby");
  Tool chat(PARLIVO_CHAT_PATH, {Target(), "Ann", "Lobby"});
  ASSERT_TRUE(chat.waitFor("Joined as Ann in room Lobby")) << chat.output().toStdString();
  EXPECT_TRUE(chat.waitFor("Users: Bob, Ann")) << chat.output().toStdString();
  const auto joined = ReceiveId(bob, pidUserJoined);
  ASSERT_TRUE(joined);
  EXPECT_EQ(joined->payload, "Ann");

  // Typed UTF-8 goes out as Windows-1252, and comes back shown as UTF-8.
  chat.type(QString::fromUtf8("h\xC3\xA9llo"));
  const auto relayed = ReceiveId(bob, pidMessage);
  ASSERT_TRUE(relayed);
  EXPECT_EQ(DecodeText(relayed->payload), "[BC from Ann @ Lobby]: h\xE9llo");
  EXPECT_TRUE(chat.waitFor(QString::fromUtf8("[BC from Ann @ Lobby]: h\xC3\xA9llo")));

  bob.sendChat("caf\xE9\x1B[2J");
  EXPECT_TRUE(chat.waitFor(QString::fromUtf8("[BC from Bob @ Lobby]: caf\xC3\xA9?[2J")))
      << "control characters from the wire must not reach the terminal:\n"
      << chat.output().toStdString();

  bob.sendPrivate("Ann", "psst");
  EXPECT_TRUE(chat.waitFor("[private] psst"));
  chat.type("/msg Bob secret word");
  const auto privateData = ReceiveId(bob, pidPrivateData);
  ASSERT_TRUE(privateData);
  EXPECT_EQ(privateData->payload, "secret word");

  chat.endInput();
  EXPECT_EQ(chat.waitExit(), 0) << chat.output().toStdString();
  const auto left = ReceiveId(bob, pidUserLeft);
  ASSERT_TRUE(left);
  EXPECT_EQ(left->payload, "Ann");
  Leave(bob);
}

TEST_F(ToolsLoopback, ChatSaysWhyItEndsWhenRefusedOrRemoved) {
  struct Case {
    const char* name;
    std::function<void()> before;  // runs before the chat starts
    std::function<void()> after;   // runs once the chat has joined
    int exitStatus;
    const char* says;
  };
  std::optional<ChatConnection> other;
  const std::vector<Case> cases = {
      {"nickname in use", [&] { other = Join("Ann", "Hall"); }, nullptr, 3, "nickname Ann is already in use"},
      {"access denied",
       [&] {
         server.OnServerGetUserName = [](TDadideVUDServer*, TDadideVUDServerClient*, bool& dontLetIn, const char*,
                                         const char*) { dontLetIn = true; };
       },
       nullptr, 3, "access denied"},
      {"kicked", nullptr, [&] { server.KickClient(Find("Ann")); }, 4, "kicked by the server"},
      {"asked to disconnect", nullptr, [&] { server.DisconnectClient(Find("Ann")); }, 4, "asked us to disconnect"},
      {"server stopped", nullptr, [&] { server.SetListen(false); }, 1, "connection to the server lost"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.OnServerGetUserName = nullptr;
    if (!server.Listen()) server.SetListen(true);
    port = BoundPort(server.Socket);
    other.reset();
    if (c.before) c.before();

    Tool chat(PARLIVO_CHAT_PATH, {Target(), "Ann"});
    if (c.after) {
      ASSERT_TRUE(chat.waitFor("Joined as Ann")) << chat.output().toStdString();
      ASSERT_TRUE(PumpUntil([&] { return Find("Ann") != nullptr || !server.Listen(); }, kWaitMs));
      c.after();
    }
    EXPECT_EQ(chat.waitExit(), c.exitStatus) << chat.output().toStdString();
    EXPECT_TRUE(chat.output().contains(c.says)) << chat.output().toStdString();
    if (other) Leave(*other);
    EXPECT_TRUE(PumpUntil([&] { return server.Clients->Empty(); }, kWaitMs)) << "the chat left a connection behind";
  }
}

TEST_F(ToolsLoopback, ToolsRejectBadArgumentsAndUnreachableServers) {
  struct Case {
    const char* tool;
    QStringList arguments;
    int exitStatus;
    const char* says;
  };
  const QString nobody = "127.0.0.1:" + QString::number(UnusedPort());
  const QString nobodyPort = QString::number(UnusedPort());
  const std::vector<Case> cases = {
      {PARLIVO_CHAT_PATH, {}, 2, "missing arguments"},
      {PARLIVO_CHAT_PATH, {"127.0.0.1:0", "Ann"}, 2, "bad port"},
      {PARLIVO_CHAT_PATH, {"127.0.0.1", ""}, 2, "nickname must not be empty"},
      {PARLIVO_CHAT_PATH, {nobody, "Ann"}, 1, "connection refused"},
      {PARLIVO_BENCH_PATH, {"--clients", "0"}, 2, "--clients needs a whole number"},
      {PARLIVO_BENCH_PATH, {"--clients", "2", "--senders", "3"}, 2, "cannot exceed --clients"},
      {PARLIVO_BENCH_PATH, {"--window", "2", "--rate", "5"}, 2, "either --window or --rate"},
      {PARLIVO_BENCH_PATH, {"--size", "8"}, 2, "--size needs"},
      {PARLIVO_BENCH_PATH, {"--frobnicate"}, 2, "unknown option --frobnicate"},
      {PARLIVO_BENCH_PATH, {"--port", nobodyPort, "--quiet"}, 3, "connection refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.join(' ').toStdString());
    Tool tool(c.tool, c.arguments);
    EXPECT_EQ(tool.waitExit(), c.exitStatus) << tool.output().toStdString();
    EXPECT_TRUE(tool.output().contains(c.says)) << tool.output().toStdString();
  }
}

// Runs the load generator with --json and returns its report.
QJsonObject RunBench(QStringList arguments, int& exitStatus) {
  arguments << "--json" << "--quiet";
  Tool bench(PARLIVO_BENCH_PATH, arguments, false);
  exitStatus = bench.waitExit();
  const QString output = bench.output();
  const QJsonDocument report = QJsonDocument::fromJson(output.trimmed().toUtf8());
  EXPECT_TRUE(report.isObject()) << "not one JSON line: " << output.toStdString();
  return report.object();
}

TEST_F(ToolsLoopback, BenchCountsEveryRelayedMessageAtEveryClient) {
  const std::vector<QStringList> pacing = {{"--window", "4"}, {"--rate", "400"}};
  for (const QStringList& pace : pacing) {
    SCOPED_TRACE(pace.join(' ').toStdString());
    int status = -1;
    const QJsonObject report = RunBench(QStringList{"--port", QString::number(port), "--clients", "6", "--rooms", "2",
                                                    "--senders", "3", "--messages", "40", "--size", "100",
                                                    "--duration", "30"} +
                                            pace,
                                        status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(report["registered"].toInt(), 6);
    EXPECT_EQ(report["deliveries"].toInt(), 3 * 40 * 6);
    EXPECT_EQ(report["expected_deliveries"].toInt(), 3 * 40 * 6);
    EXPECT_EQ(report["lost_deliveries"].toInt(), 0);
    EXPECT_TRUE(report["latency_ms"].isObject());
    ASSERT_TRUE(PumpUntil([&] { return server.Clients->Empty(); }, kWaitMs));
  }
}

TEST_F(ToolsLoopback, ChatOverTlsMeetsAPlainClientAndRefusesTheServerOnceItsKeyChanged) {
  QTemporaryDir home;
  ASSERT_TRUE(ServeTls(home));
  const QString target = "127.0.0.1:" + QString::number(BoundPort(server.ExtraPortSocket(0)));
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("XDG_CONFIG_HOME", home.path());
  const QString fingerprint = QString::fromStdString(tlsContext->fingerprint());

  port = BoundPort(server.Socket);
  ChatConnection bob = Join("Bob", "Lobby");
  {
    Tool chat(PARLIVO_CHAT_PATH, {"--tls", target, "Ann", "Lobby"}, true, environment);
    ASSERT_TRUE(chat.waitFor("Joined as Ann in room Lobby")) << chat.output().toStdString();
    EXPECT_TRUE(chat.output().contains("fingerprint (SHA-256) is " + fingerprint)) << chat.output().toStdString();
    chat.type("through TLS");
    const auto relayed = ReceiveId(bob, pidMessage);
    ASSERT_TRUE(relayed);
    EXPECT_EQ(DecodeText(relayed->payload), "[BC from Ann @ Lobby]: through TLS");
    chat.endInput();
    EXPECT_EQ(chat.waitExit(), 0) << chat.output().toStdString();
  }
  // Another key under the same name: what a machine in the middle shows.
  QFile known(home.filePath("parlivo/known_servers"));
  ASSERT_TRUE(known.open(QIODevice::WriteOnly | QIODevice::Truncate));
  known.write((target + " 00:11:22\n").toUtf8());
  known.close();
  Tool again(PARLIVO_CHAT_PATH, {"--tls", target, "Ann", "Lobby"}, true, environment);
  EXPECT_EQ(again.waitExit(), 1);
  EXPECT_TRUE(again.output().contains("it was 00:11:22 and is now " + fingerprint)) << again.output().toStdString();
  Leave(bob);
  // A client that refuses the server hangs up at once, whatever the server
  // still sends it: the server may see that as a hang-up, and only that.
  PumpUntil([&] { return server.Clients->Empty(); }, kWaitMs);
  for (const std::string& seen : serverErrors) EXPECT_TRUE(HungUp(seen)) << seen;
  serverErrors.clear();
}

// A pin of the address guards every other way of naming it, and a pin
// store that cannot be read lets no encrypted connection through (nor is
// it rewritten).
TEST_F(ToolsLoopback, ChatOverTlsHoldsToThePinOfTheAddressUnderEveryNameAndToAnUnreadableStore) {
  QTemporaryDir home;
  ASSERT_TRUE(ServeTls(home));
  const QString tlsPort = QString::number(BoundPort(server.ExtraPortSocket(0)));
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("XDG_CONFIG_HOME", home.path());
  const QString known = home.filePath("parlivo/known_servers");
  ASSERT_TRUE(QDir(home.path()).mkpath("parlivo"));
  const QByteArray pin = ("127.0.0.1:" + tlsPort + " 00:11:22\n").toUtf8();
  for (const char* host : {"localhost:", "127.1:", "[::ffff:127.0.0.1]:"}) {
    SCOPED_TRACE(host);
    if (host == std::string_view("localhost:") && !testing::LocalhostResolves()) continue;  // no hosts entry here
    QFile file(known);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(pin);
    file.close();
    Tool chat(PARLIVO_CHAT_PATH, {"--tls", QString(host) + tlsPort, "Ann"}, true, environment);
    EXPECT_EQ(chat.waitExit(), 1);
    EXPECT_TRUE(chat.output().contains("it was 00:11:22 and is now")) << chat.output().toStdString();
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), pin);  // nothing pinned afresh
  }

  ASSERT_TRUE(QFile::remove(known));
  ASSERT_TRUE(QDir(home.path()).mkpath("parlivo/known_servers"));
  Tool chat(PARLIVO_CHAT_PATH, {"--tls", "127.0.0.1:" + tlsPort, "Ann"}, true, environment);
  EXPECT_EQ(chat.waitExit(), 1);
  EXPECT_TRUE(chat.output().contains(known + " cannot be read (it is a folder")) << chat.output().toStdString();
  EXPECT_TRUE(QFileInfo(known).isDir());
  EXPECT_EQ(Find("Ann"), nullptr);
  // Refusing clients hang up at once: the server may see hang-ups, and only those.
  PumpUntil([&] { return server.Clients->Empty(); }, kWaitMs);
  for (const std::string& seen : serverErrors) EXPECT_TRUE(HungUp(seen)) << seen;
  serverErrors.clear();
}

TEST_F(ToolsLoopback, ChatAndBenchReachTheServerOverIPv6) {
  ChatConnection bob = Join("Bob", "Lobby");
  Tool chat(PARLIVO_CHAT_PATH, {"[::1]:" + QString::number(port), "Ann", "Lobby"});
  ASSERT_TRUE(chat.waitFor("Joined as Ann in room Lobby")) << chat.output().toStdString();
  ASSERT_NE(Find("Ann"), nullptr);
  EXPECT_EQ(Find("Ann")->Host, "::1");
  EXPECT_EQ(Find("Bob")->Host, "127.0.0.1");
  chat.type("over six");
  const auto relayed = ReceiveId(bob, pidMessage);
  ASSERT_TRUE(relayed);
  EXPECT_EQ(DecodeText(relayed->payload), "[BC from Ann @ Lobby]: over six");
  chat.endInput();
  EXPECT_EQ(chat.waitExit(), 0) << chat.output().toStdString();
  Leave(bob);

  int status = -1;
  const QJsonObject report = RunBench({"--host", "::1", "--port", QString::number(port), "--clients", "2",
                                       "--messages", "5", "--duration", "30"},
                                      status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(report["deliveries"].toInt(), 5 * 2);
  ASSERT_TRUE(PumpUntil([&] { return server.Clients->Empty(); }, kWaitMs));
}

TEST_F(ToolsLoopback, BenchFailsWhenADeliveryIsMissingOrANameIsTaken) {
  // The relay drops one message to the last of four clients.
  int relayed = 0;
  dropDelivery = [&](std::size_t index) { return index == 3 && ++relayed == 5; };
  int status = -1;
  QJsonObject report = RunBench({"--port", QString::number(port), "--clients", "4", "--senders", "2", "--messages",
                                 "10", "--duration", "3"},
                                status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(report["lost_deliveries"].toInt(), 1);
  ASSERT_TRUE(PumpUntil([&] { return server.Clients->Empty(); }, kWaitMs));
  dropDelivery = nullptr;

  ChatConnection squatter = Join("bench-1", "room-1");
  report = RunBench({"--port", QString::number(port), "--clients", "3", "--duration", "10"}, status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(report["name_in_use"].toInt(), 1);
  EXPECT_EQ(report["registered"].toInt(), 2);
  Leave(squatter);
}

TEST_F(ToolsLoopback, BenchMisbehavesOnRequestAndSeesWhetherTheServerStayedOnline) {
  int status = -1;
  QJsonObject report = RunBench({"--port", QString::number(port), "--clients", "6", "--senders", "2", "--rate", "50",
                                 "--messages", "150", "--churn", "4", "--stalled", "1", "--burst", "10",
                                 "--connect-batch", "all", "--duration", "20", "--server-pid",
                                 QString::number(::getpid())},
                                status);
  EXPECT_EQ(status, 0) << report["error"].toString().toStdString();
  EXPECT_TRUE(report["server_cpu_share"].isDouble());  // the server runs in this process
  EXPECT_EQ(report["lost_deliveries"].toInt(), 0);
  EXPECT_EQ(report["burst_greeted"].toInt(), 10);
  EXPECT_GE(report["churn_resets"].toInt(), 1);
  EXPECT_GT(report["churn_rejoins"].toInt(), 4);  // the 4 churners came back after their resets
  EXPECT_TRUE(report["server_stayed_online"].toBool());
  ASSERT_TRUE(PumpUntil([&] { return server.Clients->Empty(); }, kWaitMs));
  serverErrors.clear();  // the resets and the stalled reader, as asked

  // A server that cuts everybody off half-way through.
  int relayed = 0;
  dropDelivery = [&](std::size_t) {
    if (++relayed == 20) server.SetListen(false);
    return !server.Listen();
  };
  report = RunBench({"--port", QString::number(port), "--clients", "4", "--senders", "2", "--messages", "50",
                     "--duration", "5"},
                    status);
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(report["server_stayed_online"].toBool());
}

TEST_F(ToolsLoopback, BenchProfilesReportWhatHappenedAndABigTextGetsThrough) {
  int status = -1;
  QJsonObject report = RunBench({"--port", QString::number(port), "--clients", "3", "--senders", "1", "--messages",
                                 "5", "--rate", "20", "--big-text", "3000000", "--stalled-pong", "2", "--half-bodies",
                                 "2", "--half-body-size", "65536", "--read-rate", "20000000", "--duration", "10"},
                                status);
  EXPECT_EQ(status, 0) << report["error"].toString().toStdString();
  // The first text is the big one: every client has all five, the big one included.
  EXPECT_EQ(report["texts_offered"].toInt(), 5);
  EXPECT_EQ(report["texts_sent"].toInt(), 5);
  EXPECT_EQ(report["texts_accepted"].toInt(), 5);
  EXPECT_EQ(report["texts_in_flight"].toInt(), 0);
  EXPECT_EQ(report["deliveries"].toInt(), 5 * 3);
  EXPECT_EQ(report["deliveries_due"].toInt(), 5 * 3);
  EXPECT_EQ(report["lost_deliveries"].toInt(), 0);
  EXPECT_EQ(report["readers_kept_reading"].toInt(), 3);
  EXPECT_EQ(report["stalled_pong"].toInt(), 2);
  EXPECT_EQ(report["half_bodies"].toInt(), 2);
  ASSERT_TRUE(PumpUntil([&] { return server.Clients->Empty(); }, kWaitMs));
  serverErrors.clear();  // the stalled and half-body clients end abortively, as asked

  // A flooder against a server that slows it to well below what the readers
  // take: its rate is measured, and readers at 2 MB/s are either still
  // reading or counted as cut off.
  server.FlowControl.InputBytes = TokenRate{256.0 * 1024, 512.0 * 1024};
  report = RunBench({"--port", QString::number(port), "--clients", "2", "--senders", "1", "--messages", "20", "--rate",
                     "20", "--flooders", "1", "--flood-size", "65536", "--read-rate", "2000000", "--slow-ok",
                     "--duration", "4"},
                    status);
  EXPECT_GT(report["flood_texts_sent"].toInt(), 0);
  EXPECT_GT(report["flood_bytes_per_second"].toDouble(), 0);
  EXPECT_EQ(report["readers_kept_reading"].toInt() + report["readers_cut_off"].toInt(), 2);
  EXPECT_EQ(report["lost_deliveries"].toInt(), 0);
  EXPECT_EQ(status, report["readers_cut_off"].toInt() > 0 ? 1 : 0);
  ASSERT_TRUE(PumpUntil([&] { return server.Clients->Empty(); }, kWaitMs));
  serverErrors.clear();
}

// Each misbehaving kind counts what the server did to it in fields of its
// own: stalled, ponging and half-body clients let go by the flow control,
// a flooder kicked (no failure), and a burst client kicked (a failure: a
// burst client is a well-behaved one that came late).
TEST_F(ToolsLoopback, BenchReportsWhatTheServerDidToEachMisbehavingKindUnderItsOwnName) {
  struct Case {
    const char* name;
    QStringList arguments;
    const char* kick;  // clients whose nick holds this are kicked once registered
    std::vector<std::pair<const char*, int>> counts;
    bool online;
    const char* error;
  };
  const std::vector<Case> cases = {
      {"let go by the flow control",
       {"--clients", "2", "--rate", "40", "--messages", "80", "--size", "131072", "--stalled", "2", "--stalled-pong",
        "3", "--half-bodies", "2", "--half-body-size", "65536", "--duration", "6"},
       nullptr,
       {{"stalled", 2}, {"stalled_dropped", 2}, {"stalled_pong_dropped", 3}, {"half_bodies_dropped", 2},
        {"exit_status", 0}},
       true,
       ""},
      {"flooder kicked",
       {"--clients", "2", "--rate", "20", "--messages", "20", "--flooders", "1", "--slow-ok", "--duration", "4"},
       "-flood-",
       {{"flooders_dropped", 1}, {"exit_status", 0}},
       true,
       ""},
      {"burst client kicked", {"--clients", "2", "--burst", "2", "--duration", "4"}, "-burst-", {{"exit_status", 1}},
       false, "burst client bench-burst-"},
  };
  server.FlowControl.LimitInput = false;
  server.FlowControl.SoftQueueLimit = 64 * 1024;
  server.FlowControl.SoftQueueMs = 100;
  server.FlowControl.BodyStallMs = 300;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.OnServerGetUserName = [&](TDadideVUDServer*, TDadideVUDServerClient*, bool&, const char*, const char* nick) {
      if (c.kick == nullptr || std::string(nick).find(c.kick) == std::string::npos) return;
      QTimer::singleShot(0, [this, who = std::string(nick)] {
        if (TDadideVUDServerClient* found = Find(who)) server.KickClient(found);
      });
    };
    int status = -1;
    const QJsonObject report = RunBench(QStringList{"--port", QString::number(port)} + c.arguments, status);
    for (const auto& [field, count] : c.counts) EXPECT_EQ(report[field].toInt(), count) << field;
    if (report["half_bodies_dropped"].toInt() > 0) {
      EXPECT_GT(report["half_body_drop_seconds"].toDouble(), 0);
    }
    EXPECT_EQ(report["server_stayed_online"].toBool(), c.online);
    EXPECT_EQ(report["connections_lost"].toInt(), 0);
    EXPECT_TRUE(report["error"].toString().contains(c.error)) << report["error"].toString().toStdString();
    EXPECT_EQ(status, report["exit_status"].toInt());
    ASSERT_TRUE(PumpUntil([&] { return server.Clients->Empty(); }, kWaitMs));
    serverErrors.clear();  // the misbehaving clients end abortively, as asked
  }
}

TEST_F(ToolsLoopback, BenchHoldsConnectionsAnsweringPings) {
  int status = -1;
  const QJsonObject report =
      RunBench({"--port", QString::number(port), "--clients", "20", "--connect-only", "--duration", "1.5"}, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(report["registered"].toInt(), 20);
  EXPECT_EQ(report["connections_lost"].toInt(), 0);
  // Pings come every 50 ms: each client should answer several.
  EXPECT_GE(report["pings_answered"].toInt(), 20 * 5);
}

}  // namespace
}  // namespace parlivo

namespace parlivo {
namespace {

// parlivo-chat finding servers on the local network: with no responder it
// says so and still ends well; with one (private, see private_responder.h)
// it lists the announced server and joins it by name.
TEST_F(ToolsLoopback, DiscoverWithoutAResponderSaysWhyAndEndsWell) {
  const QByteArray previous = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
  qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/parlivo-test-bus");
  Tool discover(PARLIVO_CHAT_PATH, {"--discover"});
  EXPECT_EQ(discover.waitExit(), 0);
  EXPECT_TRUE(discover.output().contains("cannot look for servers: no mDNS responder")) << discover.output().toStdString();
  // A name nobody announces is taken for a host name, and fails as one.
  Tool chat(PARLIVO_CHAT_PATH, {"no-such-parlivo-host.invalid:" + QString::number(port), "Ann"});
  EXPECT_EQ(chat.waitExit(), 1);
  qputenv("DBUS_SYSTEM_BUS_ADDRESS", previous);
}

TEST_F(ToolsLoopback, DiscoverListsTheAnnouncedServerAndChatJoinsItByName) {
  testing::PrivateResponder responder;
  const std::string whyNot = responder.Start();
  if (!whyNot.empty()) GTEST_SKIP() << "no private mDNS responder: " << whyNot;
  AvahiAdvertiser advertiser;
  bool advertised = false;
  advertiser.OnAdvertised = [&](const std::string&) { advertised = true; };
  advertiser.Advertise("Tools test room", port);
  ASSERT_TRUE(PumpUntil([&] { return advertised; }, 3000));

  Tool discover(PARLIVO_CHAT_PATH, {"--discover"});
  EXPECT_EQ(discover.waitExit(), 0);
  EXPECT_TRUE(discover.output().contains("Tools test room\t127.0.0.1:" + QString::number(port) + "\t"))
      << discover.output().toStdString();

  Tool chat(PARLIVO_CHAT_PATH, {"tools TEST room", "Ann"});  // names match without regard to case
  ASSERT_TRUE(chat.waitFor("Joined as Ann")) << chat.output().toStdString();
  EXPECT_TRUE(chat.output().contains("Found Tools test room on the local network at 127.0.0.1:" +
                                     QString::number(port)));
  chat.endInput();
  EXPECT_EQ(chat.waitExit(), 0);

  // Anybody may announce any name: one called like a host the resolver
  // knows does not stand in for it.
  AvahiAdvertiser impostor;
  bool announced = false;
  impostor.OnAdvertised = [&](const std::string&) { announced = true; };
  impostor.Advertise("localhost", port);
  ASSERT_TRUE(PumpUntil([&] { return announced; }, 3000));
  Tool local(PARLIVO_CHAT_PATH, {"localhost", "Ann"});
  local.endInput();
  local.waitExit();
  EXPECT_FALSE(local.output().contains("Found localhost")) << local.output().toStdString();
  EXPECT_TRUE(local.output().contains("localhost:65535")) << local.output().toStdString();
}

}  // namespace
}  // namespace parlivo
