// The client's list of servers on the network follows the browser's
// reports, and its note says how the search stands.

#include <gtest/gtest.h>

#include "chatclient/server_finder.h"
#include "fake_browser.h"

namespace parlivo::testing {
namespace {

TEST(ServerFinder, ListFollowsServersAsTheyComeAndGoAndTheNoteSaysWhereTheSearchStands) {
  FakeBrowser browser;
  ServerFinder finder(browser);
  int changes = 0;
  finder.OnChanged = [&] { ++changes; };
  finder.Start();
  EXPECT_EQ(browser.starts, 1);
  EXPECT_TRUE(finder.note().startsWith("Looking for servers")) << finder.note().toStdString();

  browser.OnAllForNow();
  EXPECT_TRUE(finder.note().startsWith("No server announces itself")) << finder.note().toStdString();

  browser.OnFound({"Lab", "lab.local", "192.168.1.5", 4000});
  browser.OnFound({"Attic", "attic.local", "192.168.1.9", 65535});
  const int afterTwo = changes;
  browser.OnFound({"Lab", "lab.local", "192.168.1.5", 4000});  // the other interface's copy: no change
  EXPECT_EQ(changes, afterTwo);
  ASSERT_EQ(finder.servers().size(), 2u);
  EXPECT_EQ(ServerFinder::EntryText(finder.servers()[0]), "Attic  (attic.local:65535)");
  EXPECT_EQ(finder.ServerFieldText(1), "192.168.1.5:4000");
  EXPECT_EQ(finder.ServerFieldText(2), "");
  EXPECT_TRUE(finder.note().startsWith("Click a server")) << finder.note().toStdString();

  browser.OnLost("Attic");
  ASSERT_EQ(finder.servers().size(), 1u);
  EXPECT_EQ(finder.servers()[0].name, "Lab");

  browser.OnProblem("no mDNS responder running (avahi-daemon)");
  EXPECT_TRUE(finder.servers().empty());
  EXPECT_TRUE(finder.note().contains("no mDNS responder")) << finder.note().toStdString();
  EXPECT_TRUE(finder.note().contains("type the server's address"));
}

}  // namespace
}  // namespace parlivo::testing
