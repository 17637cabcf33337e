// Announcing and finding servers through a real mDNS responder (a private
// one, see private_responder.h; skipped where it cannot be started), and
// what both sides report when no responder runs.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "discovery/avahi_advertiser.h"
#include "discovery/avahi_browser.h"
#include "event_loop.h"
#include "private_responder.h"

namespace parlivo::testing {
namespace {

// Watches what a browser reports.
struct Watcher {
  explicit Watcher(ServiceBrowser& browser) {
    browser.OnFound = [this](const FoundServer& server) { found.push_back(server); };
    browser.OnLost = [this](const std::string& name) { lost.push_back(name); };
    browser.OnProblem = [this](const std::string& reason) { problem = reason; };
  }
  std::optional<FoundServer> Named(const std::string& name) const {
    for (const FoundServer& server : found)
      if (server.name == name) return server;
    return std::nullopt;
  }
  std::vector<FoundServer> found;
  std::vector<std::string> lost;
  std::optional<std::string> problem;
};

struct AdvertiserWatcher {
  explicit AdvertiserWatcher(ServiceAdvertiser& advertiser) {
    advertiser.OnAdvertised = [this](const std::string& name) { advertised = name; };
    advertiser.OnNotAdvertised = [this](const std::string& reason) { notAdvertised = reason; };
  }
  std::optional<std::string> advertised;
  std::optional<std::string> notAdvertised;
};

TEST(AvahiDiscovery, WithoutAResponderBothSidesSaySoAtOnce) {
  const QByteArray previous = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
  qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/parlivo-test-bus");
  AvahiAdvertiser advertiser;
  AdvertiserWatcher told(advertiser);
  advertiser.Advertise("Lonely", 4000);
  AvahiBrowser browser;
  Watcher watcher(browser);
  browser.Start();
  EXPECT_TRUE(PumpUntil([&] { return told.notAdvertised && watcher.problem; }, 2000));
  EXPECT_NE(told.notAdvertised.value_or("").find("mDNS responder"), std::string::npos) << *told.notAdvertised;
  EXPECT_FALSE(told.advertised.has_value());
  EXPECT_TRUE(watcher.found.empty());
  advertiser.Withdraw();  // nothing to withdraw: harmless
  qputenv("DBUS_SYSTEM_BUS_ADDRESS", previous);
}

struct WithResponder : ::testing::Test {
  void SetUp() override {
    const std::string whyNot = responder.Start();
    if (!whyNot.empty()) GTEST_SKIP() << "no private mDNS responder: " << whyNot;
  }
  PrivateResponder responder;
};

TEST_F(WithResponder, AnnouncedServerIsFoundWithItsPortsAndLostWhenWithdrawn) {
  AvahiBrowser browser;
  Watcher watcher(browser);
  browser.Start();
  AvahiAdvertiser advertiser;
  AdvertiserWatcher told(advertiser);
  advertiser.Advertise("Parlivo test room", 41234, 41235);
  // Within 2 s of the start, as users expect of a server they just ran.
  ASSERT_TRUE(PumpUntil([&] { return watcher.Named("Parlivo test room").has_value(); }, 2000))
      << watcher.problem.value_or("") << told.notAdvertised.value_or("");
  const FoundServer found = *watcher.Named("Parlivo test room");
  EXPECT_EQ(found.port, 41234);
  EXPECT_EQ(found.tlsPort, 41235);  // joined encrypted without asking the operator
  EXPECT_EQ(found.address, "127.0.0.1");  // the responder's only interface
  EXPECT_FALSE(found.host.empty());
  EXPECT_TRUE(PumpUntil([&] { return told.advertised.has_value(); }, 2000));
  EXPECT_EQ(told.advertised.value_or(""), "Parlivo test room");

  advertiser.Withdraw();
  EXPECT_TRUE(PumpUntil([&] { return !watcher.lost.empty(); }, 2000));
  EXPECT_EQ(watcher.lost, std::vector<std::string>{"Parlivo test room"});
  EXPECT_FALSE(watcher.problem.has_value());
}

TEST_F(WithResponder, ASecondServerOfTheSameNameIsAnnouncedUnderAnother) {
  AvahiAdvertiser first;
  AdvertiserWatcher firstTold(first);
  first.Advertise("Office", 41000);
  ASSERT_TRUE(PumpUntil([&] { return firstTold.advertised.has_value(); }, 3000));
  AvahiAdvertiser second;
  AdvertiserWatcher secondTold(second);
  second.Advertise("Office", 41001);
  ASSERT_TRUE(PumpUntil([&] { return secondTold.advertised.has_value(); }, 3000))
      << secondTold.notAdvertised.value_or("");
  EXPECT_EQ(*firstTold.advertised, "Office");
  EXPECT_NE(*secondTold.advertised, "Office");
  EXPECT_EQ(secondTold.advertised->rfind("Office", 0), 0u) << *secondTold.advertised;

  AvahiBrowser browser;
  Watcher watcher(browser);
  browser.Start();
  ASSERT_TRUE(PumpUntil([&] { return watcher.found.size() == 2; }, 3000));
  EXPECT_EQ(watcher.Named(*secondTold.advertised).value_or(FoundServer{}).port, 41001);
}

}  // namespace
}  // namespace parlivo::testing
