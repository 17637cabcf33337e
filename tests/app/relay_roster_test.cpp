// The form with real clients: the chat relay, the event log of arrivals and
// departures, the roster, and moderation.

#include "form_fixture.h"

namespace parlivo::testing {
namespace {

using Relay = FormFixture;

TEST_F(Relay, ChatTextIsLoggedAndRelayedToEveryConnection) {
  struct Case {
    const char* name;
    bool registered;
    std::string text;
    std::string logLine;
    std::string relay;
  };
  const std::vector<Case> cases = {
      {"registered", true, "hi all", "Broadcasting \"hi all\" from Ann (Lobby) (127.0.0.1)",
       "[BC from Ann @ Lobby]: hi all"},
      {"unregistered", false, "psst", "Broadcasting \"psst\" from  () (127.0.0.1)", "[BC from  @ ]: psst"},
      {"empty text", true, "", "Broadcasting \"\" from Ann (Lobby) (127.0.0.1)", "[BC from Ann @ Lobby]: "},
      {"long text", true, std::string(5000, 'x'),
       "Broadcasting \"" + std::string(4096, 'x') + "... (5000 bytes)\" from Ann (Lobby) (127.0.0.1)",
       "[BC from Ann @ Lobby]: " + std::string(5000, 'x')},
  };
  ASSERT_TRUE(Start());
  Client& ann = Join("Ann", "Lobby");
  Client& bob = Join("Bob", "Other");
  Client& silent = Connect();
  Client& anonymous = Connect();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Settle();
    for (auto& client : clients) client->received.clear();
    (c.registered ? ann : anonymous).connection.sendChat(c.text);
    ASSERT_TRUE(PumpUntil([&] {
      silent.Poll();
      return !silent.Payloads(8).empty();
    }));
    Settle();
    EXPECT_EQ(CountLines(c.logLine), 1u);
    for (Client* client : {&ann, &bob, &silent, &anonymous})
      EXPECT_EQ(client->Payloads(8), std::vector<std::string>{EncodeText(c.relay)});
  }
}

TEST_F(Relay, JoinedOncePerRegistrationAndLeftOnlyForRegisteredClients) {
  ASSERT_TRUE(Start());
  Client& ann = Join("Ann", "Lobby");
  Client& unregistered = Connect();
  Settle(100);  // several pongs
  EXPECT_EQ(CountLines("Ann has joined."), 1u);
  EXPECT_EQ(form.lvClients.Rows(), (std::vector<RosterRow>{{"Ann", "Lobby"}}));

  const std::size_t before = view.log.size();
  Leave(unregistered);
  Leave(ann);
  EXPECT_EQ(std::vector<std::string>(view.log.begin() + static_cast<std::ptrdiff_t>(before), view.log.end()),
            std::vector<std::string>{"Ann has left..."});
  EXPECT_EQ(form.lvClients.Count(), 0u);
}

TEST_F(Relay, RosterRowMovesBetweenTwoHoldersOfOneNickname) {
  form.chkSameNick.SetChecked(true);
  ASSERT_TRUE(Start());
  Client& first = Join("bob", "Red");
  Client& second = Connect();
  second.connection.registerUser("bob", "Blue");
  Settle(100);
  EXPECT_EQ(form.lvClients.Rows(), (std::vector<RosterRow>{{"bob", "Red"}}));  // the first to answer a ping

  Leave(first);
  ASSERT_TRUE(WaitUntil([&] { return CountLines("bob has joined.") == 2; }));
  EXPECT_EQ(CountLines("bob has left..."), 1u);
  EXPECT_EQ(form.lvClients.Rows(), (std::vector<RosterRow>{{"bob", "Blue"}}));
}

TEST_F(Relay, KickAndDisconnectReachEveryHolderOfTheSelectedName) {
  form.chkSameNick.SetChecked(true);
  ASSERT_TRUE(Start());
  Client& a = Join("bob", "Red");
  Client& b = Connect();
  b.connection.registerUser("bob", "Blue");
  Client& other = Join("Cid", "Red");
  Settle();
  for (auto& client : clients) client->received.clear();

  form.pmKick.Click();  // no row selected: nothing
  Settle();
  EXPECT_TRUE(a.received.empty());

  form.lvClients.Select(form.lvClients.IndexOf("bob"));
  form.pmKick.Click();
  form.pmDisconnect.Click();
  Settle();
  for (Client* holder : {&a, &b}) {
    ASSERT_EQ(holder->received.size(), 2u);
    EXPECT_EQ(holder->received[0].id, 15);
    EXPECT_EQ(holder->received[1].id, 14);
  }
  EXPECT_TRUE(other.received.empty());

  form.pmDisconnectAll.Click();
  Settle();
  EXPECT_EQ(other.Payloads(14).size(), 1u);
}

TEST_F(Relay, ModerationDoesNothingWhileTheServerIsStopped) {
  ASSERT_TRUE(Start());
  Client& ann = Join("Ann", "Lobby");
  form.lvClients.Select(0);
  form.Server->SetListen(false);
  form.pmKick.Click();
  form.pmDisconnect.Click();
  form.pmDisconnectAll.Click();
  Settle();
  EXPECT_TRUE(ann.Payloads(15).empty());
  EXPECT_TRUE(ann.Payloads(14).empty());
}

TEST(RosterSorting, HeaderClicksAlternateTheDirectionAndIgnoreLetterCase) {
  Roster roster;
  for (const auto& [nick, room] : std::vector<std::pair<std::string, std::string>>{
           {"carl", "b"}, {"Anna", "C"}, {"bob", "a"}, {"ANNA2", "B"}})
    roster.Add(nick, room);
  roster.Select(roster.IndexOf("bob"));
  const auto nicks = [&] {
    std::vector<std::string> out;
    for (const auto& row : roster.Rows()) out.push_back(row.Nickname);
    return out;
  };
  roster.ColumnClick(0);
  EXPECT_EQ(nicks(), (std::vector<std::string>{"Anna", "ANNA2", "bob", "carl"}));
  EXPECT_EQ(roster.Rows()[static_cast<std::size_t>(roster.Selected())].Nickname, "bob");
  roster.ColumnClick(0);
  EXPECT_EQ(nicks(), (std::vector<std::string>{"carl", "bob", "ANNA2", "Anna"}));
  roster.ColumnClick(1);
  EXPECT_EQ(nicks(), (std::vector<std::string>{"bob", "carl", "ANNA2", "Anna"}));  // rooms a, b, B, C: b and B tie
  EXPECT_EQ(CompareText("abc", "ABC"), 0);
  EXPECT_LT(CompareText("ab", "abc"), 0);
  EXPECT_GT(CompareText("_", "a"), 0);  // '_' (0x5F) sorts after 'A' (0x41)
}

}  // namespace
}  // namespace parlivo::testing
