// parlivo-server --headless as a process: its output, its clients, its exit.

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "app/headless_front.h"
#include "app/ini_file.h"
#include "app/settings_location.h"
#include "client/chat_connection.h"
#include "encoding/text_codec.h"
#include "transport/packet_ids.h"
#include "form_fixture.h"
#include "loopback_peer.h"

namespace parlivo::testing {
namespace {

struct Headless : ::testing::Test {
  ~Headless() override {
    if (process.state() != QProcess::NotRunning) {
      process.kill();
      process.waitForFinished(3000);
    }
  }
  void Launch(std::uint16_t port) { Launch(PARLIVO_SERVER_BINARY, {"--headless", "--port", QString::number(port)}); }
  void Launch(const QString& program, const QStringList& arguments) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", home.path());
    env.insert("HOME", home.path());
    process.setProcessEnvironment(env);
    process.setProgram(program);
    process.setArguments(arguments);
    process.start();
    ASSERT_TRUE(process.waitForStarted(3000));
  }
  // Reads output lines until one equals `wanted`; false on time-out or exit.
  bool WaitForLine(const std::string& wanted) {
    for (int rounds = 0; rounds < 100; ++rounds) {
      while (process.canReadLine()) {
        const std::string line = process.readLine().trimmed().toStdString();
        lines.push_back(line);
        if (line == wanted) return true;
      }
      if (!process.waitForReadyRead(100) && process.state() == QProcess::NotRunning) return false;
    }
    return false;
  }
  void WriteSettings(const std::string& body) {
    const QString folder = home.path() + "/Mossfold/parlivo-server";
    QDir().mkpath(folder);
    std::ofstream((folder + "/parlivo-server_65535.ini").toStdString()) << "[frmServer]\n" << body;
  }

  QTemporaryDir home;
  QProcess process;
  std::vector<std::string> lines;
};

TEST_F(Headless, AReaderOfTheLogThatGoesAwayDoesNotStopTheServer) {
  const std::uint16_t port = FreePort();
  // The log goes to a pager that quits after the first line.
  QProcess pager;
  pager.setProgram("head");
  pager.setArguments({"-n", "1"});
  process.setStandardOutputProcess(&pager);
  pager.start();
  Launch(port);
  ASSERT_TRUE(pager.waitForFinished(5000));
  ChatConnection ann;
  ASSERT_TRUE(ann.connect("127.0.0.1", port, 2000));
  ann.registerUser("Ann", "Lobby");
  for (int i = 0; i < 3; ++i) {
    ann.sendChat("still there?");
    bool relayed = false;
    while (auto packet = ann.waitPacket(2000)) {
      if (packet->id == pidMessage) {
        relayed = true;
        break;
      }
    }
    EXPECT_TRUE(relayed) << "round " << i;
  }
  EXPECT_EQ(process.state(), QProcess::Running);
}

TEST_F(Headless, RunsUntilSigtermAndAsksEveryClientToLeave) {
  const std::uint16_t port = FreePort();
  Launch(port);
  ASSERT_TRUE(WaitForLine("Do not forget to tell correct Port! (" + std::to_string(port) + ")"));

  ChatConnection ann, bob;
  ASSERT_TRUE(ann.connect("127.0.0.1", port, 2000));
  ASSERT_TRUE(bob.connect("127.0.0.1", port, 2000));
  ann.registerUser("Ann", "Lobby");
  ann.sendChat("hello \xE9t\xE9");  // Windows-1252 text is printed as UTF-8
  ASSERT_TRUE(WaitForLine("Broadcasting \"hello \u00E9t\u00E9\" from Ann (Lobby) (127.0.0.1)"));
  ann.sendChat("\r\nServer is offline!");  // no line of its own
  ASSERT_TRUE(WaitForLine("Broadcasting \"\\r\\nServer is offline!\" from Ann (Lobby) (127.0.0.1)"));

  process.terminate();  // SIGTERM
  for (ChatConnection* client : {&ann, &bob}) {
    bool askedToLeave = false;
    for (int i = 0; i < 20 && !askedToLeave; ++i) {
      const auto packet = client->waitPacket(200);
      askedToLeave = packet && packet->id == 14;
    }
    EXPECT_TRUE(askedToLeave);
  }
  ASSERT_TRUE(process.waitForFinished(3000));
  EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(process.exitCode(), 0);
}

TEST_F(Headless, ClientsOnIPv6AndIPv4ChatInOneRoomAndTheLogNamesEachAsUsersWriteIt) {
  const std::uint16_t port = FreePort();
  Launch(port);
  ASSERT_TRUE(WaitForLine("Do not forget to tell correct Port! (" + std::to_string(port) + ")"));
  ChatConnection six, four;
  ASSERT_TRUE(six.connect("::1", port, 2000)) << six.error();
  ASSERT_TRUE(WaitForLine("Incomming connection from IP ::1 detected!"));
  ASSERT_TRUE(four.connect("127.0.0.1", port, 2000)) << four.error();
  ASSERT_TRUE(WaitForLine("Incomming connection from IP 127.0.0.1 detected!"));
  for (auto [client, nick] : {std::pair{&six, "Six"}, std::pair{&four, "Four"}}) {
    client->registerUser(nick, "Lobby");
    bool granted = false;
    for (int i = 0; i < 20 && !granted; ++i) {
      const auto packet = client->waitPacket(200);
      granted = packet && packet->id == pidAccessGranted;
    }
    ASSERT_TRUE(granted) << nick;
  }
  four.sendChat("over four");
  ASSERT_TRUE(WaitForLine("Broadcasting \"over four\" from Four (Lobby) (127.0.0.1)"));
  six.sendChat("over six");
  ASSERT_TRUE(WaitForLine("Broadcasting \"over six\" from Six (Lobby) (::1)"));
  // Each has what the other said.
  for (auto [client, text] : {std::pair{&six, "over four"}, std::pair{&four, "over six"}}) {
    bool heard = false;
    for (int i = 0; i < 20 && !heard; ++i) {
      const auto packet = client->waitPacket(200);
      heard = packet && packet->id == pidMessage && DecodeText(packet->payload).find(text) != std::string::npos;
    }
    EXPECT_TRUE(heard) << text;
  }
}

TEST_F(Headless, ExitsWithAnErrorWhenItCannotListen) {
  LoopbackListener holder;
  WriteSettings("Auto=0\n");
  Launch(holder.port());
  ASSERT_TRUE(process.waitForFinished(5000));
  const std::string output = process.readAllStandardOutput().toStdString();
  EXPECT_NE(output.find("Error: Address already in use (#10048)\nServer is offline!\n"), std::string::npos) << output;
  EXPECT_EQ(process.exitCode(), 1);
}

TEST_F(Headless, ASignalAtAnyPointOfTheStartStopsCleanlyWithTheSettingsSaved) {
  const QString port = QString::number(FreePort());
  const std::string settings = SettingsFilePath(home.path().toStdString(), "headless_probe", port.toStdString());
  // Before the server is made, at each line of the announcement (before the
  // save), and in the event loop.
  const std::vector<std::pair<int, int>> cases = {{0, SIGTERM}, {1, SIGINT}, {2, SIGTERM},
                                                  {3, SIGHUP},  {4, SIGTERM}, {-1, SIGTERM}};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto [point, signal] = cases[i];
    Launch(PARLIVO_PROBE_BINARY, {port, QString::number(point), QString::number(signal), "1"});
    ASSERT_TRUE(process.waitForFinished(5000)) << point;
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << point;
    EXPECT_EQ(process.exitCode(), 0) << point;
    EXPECT_EQ(IniFile(settings).ReadInteger("frmServer", "TimesRun", 0), static_cast<int>(i) + 1) << point;
  }
  // A second signal does not wait for the clean stop.
  Launch(PARLIVO_PROBE_BINARY, {port, "2", QString::number(SIGTERM), "2"});
  ASSERT_TRUE(process.waitForFinished(5000));
  EXPECT_EQ(process.exitStatus(), QProcess::CrashExit);
}

}  // namespace
}  // namespace parlivo::testing

namespace parlivo::testing {
namespace {

// The first line read so far (reading on, up to 10 s) that starts with `prefix`; empty when none.
std::string WaitForPrefix(Headless& f, const std::string& prefix) {
  for (int rounds = 0; rounds < 100; ++rounds) {
    while (f.process.canReadLine()) {
      f.lines.push_back(f.process.readLine().trimmed().toStdString());
      if (f.lines.back().rfind(prefix, 0) == 0) return f.lines.back();
    }
    if (!f.process.waitForReadyRead(100) && f.process.state() == QProcess::NotRunning) break;
  }
  return {};
}

TEST_F(Headless, AccessAndAnnouncementOptionsReachTheServerAndAreSaved) {
  const std::uint16_t port = FreePort();
  // No responder: one line says so, and the server serves all the same.
  qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/parlivo-test-bus");
  Launch(PARLIVO_SERVER_BINARY, {"--headless", "--port", QString::number(port), "--name", "Lab", "--allow",
                                 "203.0.113.0/24", "--deny", "10.9.0.0/16"});
  qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  const std::string address = WaitForPrefix(*this, "Tell this IP");
  EXPECT_NE(address.find("(admitted: local network and 203.0.113.0/24, except 10.9.0.0/16)"), std::string::npos)
      << address;
  EXPECT_EQ(WaitForPrefix(*this, "not advertised: "), "not advertised: no mDNS responder running (start avahi-daemon)");
  ChatConnection client;
  ASSERT_TRUE(client.connect("127.0.0.1", port, 3000)) << client.error();
  EXPECT_NE(WaitForPrefix(*this, "Incomming connection from IP 127.0.0.1"), "");
  client.shutdownSend();
  process.terminate();
  ASSERT_TRUE(process.waitForFinished(5000));
  EXPECT_EQ(process.exitCode(), 0);

  const IniFile ini(home.path().toStdString() + "/Mossfold/parlivo-server/parlivo-server_" + std::to_string(port) +
                    ".ini");
  EXPECT_EQ(ini.ReadString("frmServer", "ServiceName", ""), "Lab");
  EXPECT_EQ(ini.ReadString("frmServer", "AllowFrom", ""), "203.0.113.0/24");
  EXPECT_EQ(ini.ReadString("frmServer", "DenyFrom", ""), "10.9.0.0/16");
  EXPECT_FALSE(ini.ReadBool("frmServer", "AdmitAny", true));
}

TEST_F(Headless, ARangeThatIsNoRangeIsABadArgument) {
  Launch(PARLIVO_SERVER_BINARY, {"--headless", "--deny", "10.0.0.0/8,intranet"});
  ASSERT_TRUE(process.waitForFinished(5000));
  EXPECT_EQ(process.exitCode(), 2);
  const std::string errors = process.readAllStandardError().toStdString();
  EXPECT_NE(errors.find("--deny: \"intranet\" is not an address range"), std::string::npos) << errors;
}

// A service manager restarts the program on status 1 (the unit says
// Restart=on-failure): that must come when the server is offline for good,
// and never while the form's own restart is on its way.
TEST(HeadlessFront, EndsWithStatusOneOnlyWhenNoRestartIsComing) {
  std::FILE* sink = std::tmpfile();
  ASSERT_NE(sink, nullptr);
  {
    HeadlessFront front(sink);
    front.ServerWentOffline(true);
    EXPECT_FALSE(front.Ended());
    front.ServerWentOffline(false);
    EXPECT_TRUE(front.Ended());
    EXPECT_EQ(front.Status(), 1);
  }
  std::fclose(sink);
}

}  // namespace
}  // namespace parlivo::testing
