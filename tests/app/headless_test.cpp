// parlivo-server --headless as a process: its output, its clients, its exit.

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "app/ini_file.h"
#include "app/settings_location.h"
#include "client/chat_connection.h"
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
