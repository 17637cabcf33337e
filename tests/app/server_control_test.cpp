// Starting and stopping from the form, errors and automatic restarts, the
// option warnings, and the settings file.

#include <QDir>
#include <QFile>
#include <fstream>
#include <sstream>

#include "fake_socket_api.h"
#include "form_fixture.h"
#include "loopback_peer.h"
#include "transport/exception.h"
#include "transport/platform/socket_address.h"
#include "transport/socket_error_text.h"

namespace parlivo::testing {
namespace {

using Control = FormFixture;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The key names of an INI text, in file order.
std::vector<std::string> Keys(const std::string& ini) {
  std::vector<std::string> keys;
  std::istringstream lines(ini);
  for (std::string line; std::getline(lines, line);)
    if (const auto eq = line.find('='); eq != std::string::npos) keys.push_back(line.substr(0, eq));
  return keys;
}

std::string Value(const std::string& ini, const std::string& key) {
  std::istringstream lines(ini);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return "<missing>";
}

TEST_F(Control, RunThenStopLogsTheAnnouncementAndTheOfflineLine) {
  ASSERT_TRUE(Start());
  EXPECT_EQ(form.sbRun.Caption, "Stop");
  EXPECT_FALSE(form.edPort.Enabled);
  EXPECT_FALSE(form.rbNone.Enabled);
  form.sbRunClick();
  EXPECT_FALSE(form.Server->Listen());
  ASSERT_EQ(view.log.size(), 6u);
  EXPECT_EQ(view.log[0], "");
  EXPECT_EQ(view.log[1].rfind("Tell this IP \" ", 0), 0u);
  const std::string ending = " \" your Clients to use! (admitted: local network only)";
  ASSERT_GT(view.log[1].size(), ending.size());
  EXPECT_EQ(view.log[1].substr(view.log[1].size() - ending.size()), ending);
  EXPECT_EQ(view.log[2], "Do not forget to tell correct Port! (" + std::to_string(port) + ")");
  EXPECT_EQ(view.log[3], "");
  EXPECT_EQ(view.log[4], "Memory budget 256 MiB, at most " + std::to_string(form.Server->EffectiveMaxClients()) +
                            " clients.");
  EXPECT_EQ(view.log[5], "Server is offline!");
  EXPECT_EQ(form.sbRun.Caption, "Run");
  EXPECT_TRUE(form.edPort.Enabled);
}

TEST_F(Control, PortTextThatIsNoPortBecomes65535) {
  for (const char* text : {"abc", "", "0", "65536", "70000", "-5"}) {
    form.edPort.Text = text;
    form.sbRunClick();  // may fail to listen on 65535; only the field matters here
    EXPECT_EQ(form.edPort.Text, "65535") << text;
    EXPECT_EQ(form.Server->Port, 65535) << text;
    if (form.Server->Listen()) form.sbRunClick();
  }
}

TEST_F(Control, StartingOnAHeldPortFailsVisibly) {
  LoopbackListener holder;
  form.edPort.Text = std::to_string(holder.port());
  form.chkAuto.SetChecked(false);
  EXPECT_FALSE(Start());
  EXPECT_EQ(view.log, (std::vector<std::string>{"Error: Address already in use (#10048)", "Server is offline!"}));
  EXPECT_EQ(form.sbRun.Caption, "Run");
  EXPECT_TRUE(form.edPort.Enabled);
  EXPECT_EQ(view.offline, std::vector<bool>{false});
  EXPECT_FALSE(QFile::exists(QString::fromStdString(form.SettingsFileName())));  // nothing saved
}

TEST_F(Control, AutomaticRestartRetriesABoundedNumberOfTimes) {
  LoopbackListener holder;
  form.edPort.Text = std::to_string(holder.port());
  form.FirstRestartPauseMs = 5;
  EXPECT_FALSE(Start());
  ASSERT_TRUE(PumpUntil([&] { return !view.offline.empty() && !view.offline.back(); }, 5000));
  EXPECT_EQ(CountLines("Error: Address already in use (#10048)"), 1u + TfrmServer::kMaxRestartAttempts);
  EXPECT_EQ(view.log.back(), "Automatic Reconnect gave up after 5 failed attempts.");
  EXPECT_FALSE(form.RestartPending());
  EXPECT_EQ(form.sbRun.Caption, "Run");
}

TEST_F(Control, AutomaticRestartBringsTheServerBackAfterAnError) {
  ASSERT_TRUE(Start());
  Join("Ann", "Lobby");
  form.Server->SocketError(form.Server->Socket, 10050);
  EXPECT_FALSE(form.Server->Listen());
  EXPECT_EQ(form.lvClients.Count(), 0u);  // the roster is cleared
  ASSERT_TRUE(PumpUntil([&] { return form.Server->Listen(); }));
  const std::vector<std::string> tail(view.log.end() - 7, view.log.end());
  EXPECT_EQ(tail[0], "Error: Network is down (#10050)");
  EXPECT_EQ(tail[1], "Server is offline!");
  EXPECT_EQ(tail[2], "");
  EXPECT_EQ(tail[5], "");
}

TEST_F(Control, ManualStopClearsTheRosterSoReturningClientsJoinAgain) {
  ASSERT_TRUE(Start());
  Join("Ann", "Lobby");
  form.sbRunClick();
  EXPECT_EQ(form.lvClients.Count(), 0u);
  clients.clear();
  ASSERT_TRUE(Start());
  Join("Ann", "Lobby");
  EXPECT_EQ(CountLines("Ann has joined."), 2u);
}

TEST_F(Control, TrayStartHidesTheWindowAndCaptionsTheStopItem) {
  form.chkTray.SetChecked(true);
  ASSERT_TRUE(Start());
  EXPECT_EQ(view.minimized, 1);
  EXPECT_FALSE(view.taskbarButton);
  EXPECT_TRUE(form.TrayIcon.Visible());
  EXPECT_TRUE(desktop.shell.shown);
  EXPECT_EQ(form.mmStop.Caption, "Stop &Server");
  form.mmStop.Click();
  EXPECT_EQ(form.mmStop.Caption, "&Run Server");
  form.mmStop.Click();
  EXPECT_EQ(form.mmStop.Caption, "&Stop Server");
}

TEST_F(Control, RiskyOptionsLogTheirWarningsAndPaintTheirPanels) {
  form.rbNone.Click();
  EXPECT_EQ(form.pnlNone.Color, TColor::clRed);
  EXPECT_FALSE(form.rbRooms.Checked());
  EXPECT_TRUE(form.rbNone.FontBold);
  EXPECT_EQ(form.Server->ClientStatusUpdate, UpdateNone);
  EXPECT_EQ(view.log, (std::vector<std::string>{
                          "", "Warning:", " - No Client see any other inside Connected Client List!",
                          " - Sent Text can't be executed without a list, so all is quit.",
                          " - the only way to communicate is via broadcast to all!",
                          " - Your connected Clients will have no possibility to PM someone!", ""}));
  view.log.clear();
  form.rbRooms.Click();
  EXPECT_TRUE(view.log.empty());
  for (const TPanel* panel : {&form.pnlAll, &form.pnlRooms, &form.pnlNone}) EXPECT_EQ(panel->Color, TColor::clBtnFace);
  form.rbAll.Click();
  EXPECT_EQ(view.log.size(), 6u);
  EXPECT_EQ(view.log[2], " - Your connected Clients will see all in their List!");
  EXPECT_EQ(form.pnlAll.Color, TColor::clRed);
  view.log.clear();
  form.chkSameNick.Click();
  EXPECT_EQ(view.log, (std::vector<std::string>{"", "Info: This setting affect the clients in a bad way!",
                                                "PM might reach a wrong Person!", "PM doesn't work room restricted!",
                                                ""}));
  EXPECT_TRUE(form.Server->AllowSameUserNames);
  form.chkSameNick.Click();
  EXPECT_EQ(form.pnlSameName.Color, TColor::clBtnFace);
  EXPECT_FALSE(form.Server->AllowSameUserNames);
}

TEST_F(Control, SettingsFileAfterOneAndTwoStarts) {
  form.Left = 10;
  form.Top = 20;
  ASSERT_TRUE(Start());
  const std::string path = form.SettingsFileName();
  EXPECT_EQ(path, DataHome() + "/Mossfold/parlivo-server/parlivo-server_" + std::to_string(port) + ".ini");
  std::string ini = ReadFile(path);
  EXPECT_EQ(ini.rfind("[frmServer]", 0), 0u);
  EXPECT_EQ(Keys(ini), (std::vector<std::string>{"Position", "Top", "Left", "Height", "Width", "AllClients", "Rooms",
                                                 "None", "SameNick", "Tray", "Wordwrap", "Auto", "Port", "Advertise",
                                                 "ServiceName", "AllowFrom", "DenyFrom", "AdmitAny", "TimesRun",
                                                 "LastRun", "MemoryBudgetMiB", "UnlimitedInput", "MaxClients",
                                                 "MaxClientsPerAddress", "Enabled", "Port", "Certificate", "Key", "Only"}));
  // The limits and the TLS port are written where an operator finds them, in sections of their own.
  EXPECT_NE(ini.find("[Limits]\nMemoryBudgetMiB=256\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("[TLS]\nEnabled=0\nPort=" + std::to_string(port + 1) + "\n"), std::string::npos) << ini;
  for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
           {"Position", "0"}, {"Top", "20"}, {"Left", "10"}, {"Height", "413"}, {"Width", "703"},
           {"AllClients", "0"}, {"Rooms", "1"}, {"None", "0"}, {"SameNick", "0"}, {"Tray", "0"},
           {"Wordwrap", "1"}, {"Auto", "1"}, {"Port", std::to_string(port)}, {"TimesRun", "1"}})
    EXPECT_EQ(Value(ini, key), value) << key;
  form.sbRunClick();
  ASSERT_TRUE(Start());
  EXPECT_EQ(Value(ReadFile(path), "TimesRun"), "2");
}

TEST_F(Control, TheTlsPortStartsWithAKeyItMadeOrNotAtAllWhenTheGivenOneDoesNotLoad) {
  form.chkTls.SetChecked(true);
  form.edTlsPort.Text = std::to_string(FreePort());
  const std::string broken = DataHome() + "/broken.pem";
  std::ofstream(broken) << "no certificate\n";
  form.Tls = TlsFiles{broken, broken};
  EXPECT_FALSE(Start());  // never a silent fall back to clear text
  EXPECT_EQ(view.log.back(), "Not started: TLS cannot load the certificate " + broken + ": no start line");
  EXPECT_EQ(form.sbRun.Caption, "Run");
  form.Tls = TlsFiles{broken, ""};
  EXPECT_FALSE(Start());
  EXPECT_EQ(view.log.back(), "Not started: TLS a certificate needs its key, and a key its certificate");

  form.Tls = TlsFiles{};
  ASSERT_TRUE(Start());
  EXPECT_EQ(form.edFingerprint.Text.size(), 95u);
  const auto fingerprintLine = std::find_if(view.log.begin(), view.log.end(), [&](const std::string& line) {
    return line.find(form.edFingerprint.Text) != std::string::npos;
  });
  ASSERT_NE(fingerprintLine, view.log.end());
  EXPECT_NE(fingerprintLine->find("Port " + form.edTlsPort.Text), std::string::npos) << *fingerprintLine;
  // The pair is kept under the names the operator is told.
  const std::string folder = DataHome() + "/Mossfold/parlivo-server/";
  EXPECT_EQ(form.TlsKeyFile(), folder + "parlivo-server_tls.key");
  EXPECT_EQ(form.TlsCertificateFile(), folder + "parlivo-server_tls.crt");
  EXPECT_TRUE(QFile::exists(QString::fromStdString(form.TlsKeyFile())));
  EXPECT_TRUE(QFile::exists(QString::fromStdString(form.TlsCertificateFile())));
  EXPECT_EQ(Value(ReadFile(form.SettingsFileName()), "Enabled"), "1");
  // While it runs, the options that shape it are locked.
  for (const TControl* option : std::initializer_list<const TControl*>{
           &form.rbAll, &form.rbRooms, &form.rbNone, &form.chkSameNick, &form.edPort, &form.chkTls, &form.edTlsPort,
           &form.chkAdvertise})
    EXPECT_FALSE(option->Enabled);
  // Turned off, the TLS port is gone at the next start.
  form.sbRunClick();
  form.chkTls.SetChecked(false);
  ASSERT_TRUE(Start());
  EXPECT_EQ(form.Server->ExtraPortSocket(0), kInvalidSocket);
}

TEST_F(Control, TlsOnlyKeepsThePlainPortOnThisMachineAndNeverStartsWithoutTls) {
  form.TlsOnly = true;
  EXPECT_FALSE(Start());  // no TLS port: no chat at all rather than chat in clear
  EXPECT_EQ(view.log.back(), "Not started: TLS only needs the TLS port (Encrypted (TLS) Port, or --tls-port)");
  form.chkTls.SetChecked(true);
  form.edTlsPort.Text = std::to_string(FreePort());
  ASSERT_TRUE(Start());
  // Every plain listening socket is bound to a loopback address; the TLS one to every address.
  ASSERT_FALSE(form.Server->ListeningSockets().empty());
  for (const SocketHandle s : form.Server->ListeningSockets()) {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length), 0);
    const std::string address = AddressText(FromPosixAddress(reinterpret_cast<const sockaddr&>(bound)));
    EXPECT_TRUE(address == "127.0.0.1" || address == "::1") << address;
  }
  EXPECT_EQ(CountLines("TLS only: Port " + form.edPort.Text +
                       " serves this machine alone; the network chats over TLS on Port " + form.edTlsPort.Text),
            1u);
  ASSERT_FALSE(advertiser.advertised.empty());
  EXPECT_EQ(std::to_string(advertiser.advertised.back().port), form.edTlsPort.Text);
  // This machine still reaches the plain port.
  Join("Local", "Lobby");
}

// A failed TLS handshake is an error of its connection (a client at the
// wrong port, a scanner) and comes as fast as one host connects: each kind
// is logged once a second, the next line counting those not shown. Other
// connection errors are each worth their line.
TEST_F(Control, FailedHandshakesAreALineASecondPerKindOtherConnectionErrorsEach) {
  std::int64_t now = 0;
  form.NowMs = [&] { return now; };
  TDadideVUDServerClient client(api, form.Server.get());
  client.Host = "10.0.0.7";
  const std::string who = "Connection error of Client at IP 10.0.0.7: ";
  struct Row {
    std::int64_t at;
    int code;
    std::string logged;  // empty: not shown
  };
  const Row rows[] = {
      {0, 30001, "TLS handshake failed (#30001)"},
      {0, 30002, "TLS handshake timed out (#30002)"},
      {10, 30001, ""},
      {20, 10054, "Connection reset by peer (#10054)"},
      {30, 10054, "Connection reset by peer (#10054)"},
      {999, 30002, ""},
      {1000, 30001, "TLS handshake failed (#30001) (1 more like it not shown)"},
      {1000, 30002, "TLS handshake timed out (#30002) (1 more like it not shown)"},
  };
  for (const Row& row : rows) {
    now = row.at;
    const std::size_t before = view.log.size();
    form.ServerError(&client, kInvalidSocket, row.code, std::string(SocketErrorText(row.code)));
    SCOPED_TRACE(std::to_string(row.at) + " ms, #" + std::to_string(row.code));
    EXPECT_EQ(view.log.size(), before + (row.logged.empty() ? 0 : 1));
    if (!row.logged.empty()) {
      EXPECT_EQ(view.log.back(), who + row.logged);
    }
  }
  EXPECT_FALSE(form.Server->Listen());  // a connection's error, never the server's
  EXPECT_TRUE(view.offline.empty());
}

// The TLS port field takes any port number; anything else falls back to
// the port after the plain one.
TEST_F(Control, TheTlsPortFieldTakesEveryPortNumber) {
  struct Case {
    const char* text;
    std::uint16_t port;
  };
  form.Server->SetPort(4000);
  for (const Case& c : {Case{"1", 1}, Case{"65535", 65535}, Case{"0", 4001}, Case{"65536", 4001}, Case{"x", 4001}}) {
    form.edTlsPort.Text = c.text;
    EXPECT_EQ(form.TlsPortValue(), c.port) << c.text;
  }
}

TEST_F(Control, AnIPv6AddressIsAnnouncedOnALineOfItsOwnInTheFormUsersType) {
  api.ipv6Address = "fd12::5";
  ASSERT_TRUE(Start());
  ASSERT_GE(view.log.size(), 4u);
  EXPECT_EQ(view.log[1].rfind("Tell this IP \" ", 0), 0u);
  EXPECT_EQ(view.log[2], "Over IPv6 they use \" [fd12::5]:" + std::to_string(port) + " \"");
  EXPECT_EQ(view.log[3], "Do not forget to tell correct Port! (" + std::to_string(port) + ")");
}

TEST_F(Control, ListenAddressLimitsTheServerAndIsKeptOnceSet) {
  form.ListenAddress = "::1";
  ASSERT_TRUE(Start());
  ChatConnection six;
  EXPECT_TRUE(six.connect("::1", port, 2000)) << six.error();
  ChatConnection four;
  EXPECT_FALSE(four.connect("127.0.0.1", port, 2000));
  EXPECT_EQ(Value(ReadFile(form.SettingsFileName()), "ListenAddress"), "::1");
  six.close();
  form.sbRunClick();
  // Cleared, the key stays, empty: every address again at the next start.
  form.ListenAddress.clear();
  ASSERT_TRUE(Start());
  EXPECT_EQ(Value(ReadFile(form.SettingsFileName()), "ListenAddress"), "");
  EXPECT_TRUE(four.connect("127.0.0.1", port, 2000)) << four.error();
}

TEST_F(Control, SettingsThatCannotBeWrittenReachTheTopLevelErrorDisplay) {
  // A folder where the file should be: the write fails.
  QDir().mkpath(QString::fromStdString(form.SettingsFileName()));
  try {
    form.sbRunClick();
    ADD_FAILURE() << "no exception";
  } catch (const Exception& error) {
    EXPECT_EQ(std::string(error.what()), "Unable to write to " + form.SettingsFileName());
  }
  // The server listens, and the window says so before the error is shown.
  EXPECT_TRUE(form.Server->Listen());
  EXPECT_EQ(form.sbRun.Caption, "Stop");
  EXPECT_FALSE(form.edPort.Enabled);
  form.sbRunClick();
  EXPECT_FALSE(form.Server->Listen());
  EXPECT_EQ(form.sbRun.Caption, "Run");
}

// Sockets whose host-name lookup fails; that stops the server.
struct NoHostName final : FakeSocketApi {
  int gethostname(char*, int) override { return kSocketError; }
  int lastError() override { return 10050; }
};

// A form on scripted sockets.
template <typename Api>
struct FakeForm {
  Api api;
  RecordingView view;
  FakeDesktop desktop;
  QTemporaryDir home;
  TfrmServer form{api, view, desktop.Services(), FormEnvironment{home.path().toStdString(), "parlivo-server"}};
};

TEST(StartFailure, AnAddressLookupThatStopsTheServerLeavesTheWindowAtRun) {
  FakeForm<NoHostName> f;
  f.form.chkAuto.SetChecked(false);
  f.form.sbRunClick();
  EXPECT_EQ(f.view.log, (std::vector<std::string>{"Error: Network is down (#10050)", "Server is offline!"}));
  EXPECT_EQ(f.form.sbRun.Caption, "Run");
  EXPECT_TRUE(f.form.edPort.Enabled);
}

TEST(Closing, AnErrorWhileClosingIsLoggedOnceAndStartsNothing) {
  FakeForm<FakeSocketApi> f;
  f.form.chkTray.SetChecked(false);
  f.form.sbRunClick();
  f.view.log.clear();
  f.api.closeFailures = 1;  // the listening socket's close
  f.form.FormCloseQuery();
  ASSERT_EQ(f.view.log.size(), 1u);
  EXPECT_EQ(f.view.log[0].rfind("Error: ", 0), 0u);
  EXPECT_TRUE(f.view.offline.empty());
  EXPECT_FALSE(f.form.RestartPending());
}

struct Loading : ::testing::Test {
  // Writes the design port's settings file and creates a form that loads it.
  std::unique_ptr<TfrmServer> Load(const std::string& body) {
    const std::string folder = home.path().toStdString() + "/Mossfold/parlivo-server";
    QDir().mkpath(QString::fromStdString(folder));
    std::ofstream(folder + "/parlivo-server_65535.ini") << "[frmServer]\n" << body;
    auto form = std::make_unique<TfrmServer>(api, view, desktop.Services(),
                                             FormEnvironment{home.path().toStdString(), "parlivo-server"});
    form->FormCreate();
    return form;
  }
  QTemporaryDir home;
  RecordingView view;
  FakeDesktop desktop;
  PosixSocketApi api;
};

TEST_F(Loading, NothingToLoadKeepsTheDesignAndLogsNothing) {
  auto form = Load("");
  EXPECT_TRUE(view.log.empty());
  EXPECT_EQ(form->Position, TPosition::poScreenCenter);
  EXPECT_TRUE(form->rbRooms.Checked());
  EXPECT_EQ(form->edPort.Text, "65535");
  EXPECT_EQ(form->Width, 703);
}

TEST_F(Loading, RiskyModesAreWarnedTwiceAndWordWrapFollowsTheFile) {
  auto form = Load("Position=0\nRooms=0\nNone=1\nSameNick=1\nWordwrap=0\nPort=4000\n");
  EXPECT_EQ(form->Position, TPosition::poDesigned);
  EXPECT_TRUE(form->rbNone.Checked());
  EXPECT_FALSE(form->rbRooms.Checked());
  EXPECT_EQ(std::count(view.log.begin(), view.log.end(), "Warning:"), 2);
  EXPECT_EQ(std::count(view.log.begin(), view.log.end(), "Info: This setting affect the clients in a bad way!"), 2);
  EXPECT_FALSE(form->mChatWordWrap);
  EXPECT_EQ(form->mChatScrollBars, TScrollStyle::ssBoth);
  EXPECT_EQ(form->edPort.Text, "4000");
}

TEST_F(Loading, ExactlyOneListingModeWhateverTheFileSays) {
  struct Case {
    const char* body;
    TClientStatusUpdate mode;
  };
  for (const Case& c : {Case{"AllClients=0\nRooms=0\nNone=0\n", Rooms}, Case{"AllClients=1\nNone=1\n", Rooms},
                        Case{"AllClients=1\nRooms=1\nNone=1\n", Rooms}, Case{"None=1\n", UpdateNone},
                        Case{"AllClients=1\nRooms=0\n", AllClients}}) {
    auto form = Load(c.body);
    EXPECT_EQ(form->Server->ClientStatusUpdate, c.mode) << c.body;
    EXPECT_EQ((std::vector<bool>{form->rbAll.Checked(), form->rbRooms.Checked(), form->rbNone.Checked()}),
              (std::vector<bool>{c.mode == AllClients, c.mode == Rooms, c.mode == UpdateNone}))
        << c.body;
  }
}

// An operator edits the limits by hand: a count is taken, and what is no
// count keeps the default (a budget of 0 MiB would hold every sender back).
TEST_F(Loading, LimitsEditedByHandAreTakenAndWhatIsNoCountKeepsTheDefault) {
  const std::uint32_t budget = MemoryBudget::kDefaultLimit >> 20;
  struct Case {
    const char* limits;
    std::uint32_t budgetMiB, maxClients, perAddress;
  };
  for (const Case& c : {Case{"MemoryBudgetMiB=64\nMaxClients=500\nMaxClientsPerAddress=8\n", 64, 500, 8},
                        Case{"MemoryBudgetMiB=0\nMaxClients=0\nMaxClientsPerAddress=0\n", budget, 0, 0},
                        Case{"MemoryBudgetMiB=-1\nMaxClients=-3\nMaxClientsPerAddress=x\n", budget, 0, 0}}) {
    auto form = Load(std::string("[Limits]\n") + c.limits);
    EXPECT_EQ(form->MemoryBudgetMiB, c.budgetMiB) << c.limits;
    EXPECT_EQ(form->MaxClients, c.maxClients) << c.limits;
    EXPECT_EQ(form->MaxClientsPerAddress, c.perAddress) << c.limits;
  }
}

TEST_F(Loading, HexadecimalAndGarbageValues) {
  auto form = Load("Top=0x10\nLeft=$20\nHeight=abc\nWidth=\nAuto=2\nTray=x\n");
  EXPECT_EQ(form->Top, 16);
  EXPECT_EQ(form->Left, 32);
  EXPECT_EQ(form->Height, 413);
  EXPECT_EQ(form->Width, 703);
  EXPECT_TRUE(form->chkAuto.Checked());
  EXPECT_TRUE(form->chkTray.Checked());
}

TEST_F(Loading, AClientPathWhoseFileIsGoneIsDroppedButKeptInTheFile) {
  auto form = Load("PLV=/no/such/PLV.exe\nTimesRun=7\n");
  EXPECT_TRUE(form->edPLV.Text.empty());
  form->chkTray.SetChecked(false);
  form->edPort.Text = "65535";
  form->SaveSettings();
  const std::string ini = ReadFile(form->SettingsFileName());
  EXPECT_EQ(Value(ini, "PLV"), "/no/such/PLV.exe");
  EXPECT_EQ(Value(ini, "TimesRun"), "8");
}

// A send that fails in the middle of the relay walk is that connection's
// trouble alone: the walk goes on to the others and the server stays up.
TEST(RelayFailure, AFailedSendDuringTheRelayCostsOnlyThatConnection) {
  FakeSocketApi api;
  RecordingView view;
  FakeDesktop desktop;
  QTemporaryDir home;
  TfrmServer form(api, view, desktop.Services(), FormEnvironment{home.path().toStdString(), "parlivo-server"});
  form.chkTray.SetChecked(false);
  form.chkAuto.SetChecked(false);
  form.sbRunClick();
  ASSERT_TRUE(form.Server->Listen());
  std::vector<SocketHandle> sockets;
  for (int i = 0; i < 4; ++i) {
    api.notify(form.Server->Socket, kCanAccept);
    sockets.push_back((*form.Server->Clients)[form.Server->Clients->Count() - 1]->Socket);
  }
  api.at(sockets[1]).sendScript = {-10054};
  ByteStream packet;
  const std::string text = EncodeText("hello");
  AppendPacket(packet, MakePacket(static_cast<std::int32_t>(text.size()), 8, text.data()));
  api.at(sockets[0]).incoming = std::string(packet.view());
  api.notify(sockets[0], kCanRead);
  form.Server->FlushPendingOutput();

  EXPECT_TRUE(form.Server->Listen());
  EXPECT_EQ(std::count(view.log.begin(), view.log.end(), "Connection error of Client at IP 127.0.0.1: Connection reset by peer (#10054)"),
            1);
  EXPECT_EQ(std::count(view.log.begin(), view.log.end(), "Server is offline!"), 0);
  // Everybody else got the relay: greeting (8 bytes) plus one relayed packet.
  for (const std::size_t other : {0, 2, 3}) EXPECT_GT(api.at(sockets[other]).sent.size(), 8u) << other;
  ASSERT_TRUE(PumpUntil([&] { return form.Server->Clients->Count() == 3; }, 1000));
  EXPECT_FALSE(api.at(sockets[1]).open);
  PumpFor(5);
}

}  // namespace
}  // namespace parlivo::testing
