// Who may connect, seen from outside: connections from chosen source
// addresses (a loopback connection whose peer address the sockets layer
// reports as given) are let in or closed as the access options say, with
// one log line for each refusal; and the server's announcement on the
// network follows Run and Stop.

#include <QSysInfo>

#include "form_fixture.h"

namespace parlivo::testing {
namespace {

using Access = FormFixture;

// The outcome a connection from `peer` meets: the server closes it without a
// word, or greets it (ID 12). Waits for one or the other.
enum class Outcome { Closed, Greeted, Undecided };

Outcome Meet(Access& f, const std::string& peer) {
  f.api.nextPeers = {peer};
  Client& client = f.Connect();
  Outcome outcome = Outcome::Undecided;
  PumpUntil([&] {
    const bool open = client.connection.readAvailable();
    while (auto packet = client.connection.nextPacket()) client.received.push_back(std::move(*packet));
    if (client.Has(12)) outcome = Outcome::Greeted;
    else if (!open) outcome = Outcome::Closed;
    return outcome != Outcome::Undecided;
  });
  return outcome;
}

TEST_F(Access, EachPolicyAdmitsOrClosesAtAcceptAndLogsEveryRefusal) {
  struct Case {
    const char* name;
    AccessSettings access;
    const char* peer;
    Outcome outcome;
    const char* logStart;  // the refusal line's start, when refused
  };
  const Case cases[] = {
      {"public address, default", {}, "203.0.113.7", Outcome::Closed,
       "Refused a connection from 203.0.113.7: not on the local network"},
      {"private address, default", {}, "10.1.2.3", Outcome::Greeted, nullptr},
      {"link-local address, default", {}, "169.254.3.4", Outcome::Greeted, nullptr},
      {"CGNAT address, default", {}, "100.100.1.1", Outcome::Greeted, nullptr},
      {"public address in the allow list", {"203.0.113.0/24", "", false}, "203.0.113.7", Outcome::Greeted, nullptr},
      {"public address, admit any", {"", "", true}, "198.51.100.1", Outcome::Greeted, nullptr},
      {"private address in the deny list", {"", "192.168.0.0/16", true}, "192.168.1.1", Outcome::Closed,
       "Refused a connection from 192.168.1.1: in the deny list (192.168.0.0/16)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    form.Access = c.access;
    ASSERT_TRUE(Start());
    const std::size_t logBefore = view.log.size();
    EXPECT_EQ(Meet(*this, c.peer), c.outcome);
    Settle();
    std::size_t refusals = 0;
    for (std::size_t i = logBefore; i < view.log.size(); ++i) {
      if (view.log[i].rfind("Refused a connection", 0) == 0) {
        ++refusals;
        EXPECT_EQ(view.log[i].rfind(c.logStart ? c.logStart : "(no refusal expected)", 0), 0u) << view.log[i];
      }
    }
    EXPECT_EQ(refusals, c.outcome == Outcome::Closed ? 1u : 0u);
    // A refused connection never reaches the list or the log of arrivals.
    EXPECT_EQ(form.Server->Clients->Count(), c.outcome == Outcome::Greeted ? 1u : 0u);
    clients.back()->connection.close();
    form.sbRunClick();  // stop
    ASSERT_FALSE(form.Server->Listen());
  }
}

// One host that connects as fast as it can must not flood the log: the
// first refusal is the line it always was, later ones wait a second, and
// the next line shown counts those that were not.
TEST_F(Access, ABurstOfRefusalsIsOneLineASecondTheNextCountingTheRest) {
  std::int64_t now = 5000;
  form.NowMs = [&] { return now; };
  ASSERT_TRUE(Start());
  const std::size_t logBefore = view.log.size();
  for (int i = 1; i <= 30; ++i) ASSERT_EQ(Meet(*this, "203.0.113." + std::to_string(i)), Outcome::Closed) << i;
  now += 999;
  ASSERT_EQ(Meet(*this, "203.0.113.99"), Outcome::Closed);
  now += 1;
  ASSERT_EQ(Meet(*this, "198.51.100.1"), Outcome::Closed);
  Settle();
  std::vector<std::string> refusals;
  for (std::size_t i = logBefore; i < view.log.size(); ++i)
    if (view.log[i].rfind("Refused a connection", 0) == 0) refusals.push_back(view.log[i]);
  EXPECT_EQ(refusals, (std::vector<std::string>{
                          "Refused a connection from 203.0.113.1: not on the local network; --allow 203.0.113.1 "
                          "(settings key AllowFrom) or --admit-any (AdmitAny=1) admits it",
                          "Refused a connection from 198.51.100.1: not on the local network; --allow 198.51.100.1 "
                          "(settings key AllowFrom) or --admit-any (AdmitAny=1) admits it (30 more like it not shown)",
                      }));
  EXPECT_EQ(form.Server->Clients->Count(), 0u);
}

TEST_F(Access, ARefusedOutsiderLeavesTheLocalClientsChatting) {
  ASSERT_TRUE(Start());
  Client& ann = Join("Ann", "Lobby");
  EXPECT_EQ(Meet(*this, "8.8.4.4"), Outcome::Closed);
  Client& bob = Join("Bob", "Lobby");
  ann.connection.sendChat("still here");
  ASSERT_TRUE(WaitUntil([&] { return !bob.Payloads(8).empty(); }));
  EXPECT_EQ(bob.Payloads(8).back(), EncodeText("[BC from Ann @ Lobby]: still here"));
  EXPECT_EQ(CountLines("Incomming connection from IP 8.8.4.4 detected!"), 0u);
  EXPECT_TRUE(form.Server->Listen());
}

TEST_F(Access, TheAddressLineStatesThePolicyInForce) {
  form.Access = {"203.0.113.0/24", "10.9.0.0/16", false};
  ASSERT_TRUE(Start());
  const auto line = std::find_if(view.log.begin(), view.log.end(),
                                 [](const std::string& l) { return l.rfind("Tell this IP", 0) == 0; });
  ASSERT_NE(line, view.log.end());
  EXPECT_NE(line->find("your Clients to use! (admitted: local network and 203.0.113.0/24, except 10.9.0.0/16)"),
            std::string::npos)
      << *line;
}

TEST_F(Access, AListThatIsNoRangeKeepsTheServerStopped) {
  for (const AccessSettings& access : {AccessSettings{"10.0.0.0/33", "", false},
                                       AccessSettings{"", "intranet", false}}) {
    form.Access = access;
    view.log.clear();
    form.sbRunClick();
    EXPECT_FALSE(form.Server->Listen());
    EXPECT_EQ(form.sbRun.Caption, "Run");
    ASSERT_FALSE(view.log.empty());
    EXPECT_EQ(view.log.back().rfind("Not started: ", 0), 0u) << view.log.back();
    EXPECT_TRUE(advertiser.advertised.empty());
  }
}

using Announcement = FakeAdvertiser::Announcement;

TEST_F(Access, RunAnnouncesUnderTheChosenNameAndEveryStopWithdraws) {
  ASSERT_TRUE(Start());
  EXPECT_EQ(advertiser.advertised, (std::vector<Announcement>{{QSysInfo::machineHostName().toStdString(), port}}));
  form.sbRunClick();
  EXPECT_EQ(advertiser.withdrawals, 1);

  form.edName.Text = "Lab \xE9quipe";  // Windows-1252 in the form, UTF-8 on the network
  ASSERT_TRUE(Start());
  EXPECT_EQ(advertiser.advertised.back(), (Announcement{"Lab \xC3\xA9quipe", port}));
  // A failure of the server's own socket takes it offline: withdrawn too.
  form.chkAuto.SetChecked(false);
  form.Server->SetListen(false);
  form.ServerError(form.Server.get(), kInvalidSocket, 10038, "Socket operation on non-socket");
  EXPECT_EQ(advertiser.withdrawals, 2);

  ASSERT_TRUE(Start());
  form.FormCloseQuery();
  EXPECT_EQ(advertiser.withdrawals, 3);
}

// The responder answers when it likes, also after the window has closed:
// a form that is gone must leave no handler of its own behind.
TEST(Announcement, AFormThatIsGoneLeavesNoHandlerInTheAdvertiserThatOutlivesIt) {
  QTemporaryDir home;
  RecordingView view;
  FakeDesktop desktop;
  PosixSocketApi api;
  FakeAdvertiser advertiser;
  {
    TfrmServer form{api, view, desktop.Services(), FormEnvironment{home.path().toStdString(), "parlivo-server"},
                    &advertiser};
    ASSERT_TRUE(advertiser.OnAdvertised && advertiser.OnNotAdvertised);
  }
  EXPECT_FALSE(advertiser.OnAdvertised);
  EXPECT_FALSE(advertiser.OnNotAdvertised);
}

TEST_F(Access, AnnouncementCanBeTurnedOffAndItsFailureIsOneLogLine) {
  form.chkAdvertise.SetChecked(false);
  ASSERT_TRUE(Start());
  EXPECT_TRUE(advertiser.advertised.empty());
  form.sbRunClick();

  form.chkAdvertise.SetChecked(true);
  ASSERT_TRUE(Start());
  advertiser.OnNotAdvertised("no mDNS responder running (start avahi-daemon)");
  EXPECT_EQ(view.log.back(), "not advertised: no mDNS responder running (start avahi-daemon)");
  advertiser.OnAdvertised("box #2");
  EXPECT_EQ(view.log.back(), "Advertised on the local network as \"box #2\" (_parlivo._tcp)");
  EXPECT_TRUE(form.Server->Listen());
  // The options are the operator's to change only while the server is stopped.
  EXPECT_FALSE(form.chkAdvertise.Enabled);
  EXPECT_FALSE(form.edName.Enabled);
}

}  // namespace
}  // namespace parlivo::testing
