// The chat client's pure pieces: reading the relay text apart and the
// command line.

#include <gtest/gtest.h>

#include "chatclient/connect_values.h"
#include "chatclient/relay_text.h"

namespace parlivo {
namespace {

TEST(RelayText, PartsAreTakenApartOrTheTextIsLeftAsItCame) {
  const std::vector<std::pair<std::string, std::optional<RelayText>>> cases = {
      {"[BC from Ann @ Lobby]: hi", RelayText{"Ann", "Lobby", "hi"}},
      {"[BC from  @ ]: ", RelayText{"", "", ""}},  // an unregistered sender, empty text
      {"[BC from Ann @ Lobby]: a @ b]: c", RelayText{"Ann", "Lobby", "a @ b]: c"}},
      {"[BC from Ann @ Lobby] no colon", std::nullopt},
      {"Server restarts at noon", std::nullopt},
      {"[BC from Ann]: no room", std::nullopt},
  };
  for (const auto& [relay, parts] : cases) EXPECT_EQ(ParseRelayText(relay), parts) << relay;
}

TEST(ClientCommandLine, PositionalValuesPrefillTheFormAndJoinWhenServerAndNickAreGiven) {
  // The remembered server was picked from those found on the network; a
  // server given on the command line is typed, so that name goes.
  const RememberedValues remembered{{"10.0.0.9", "Zed", "Attic", false, "Lab"}, false};
  struct Case {
    QStringList arguments;
    std::optional<int> exitStatus;
    ConnectValues values;
    bool joinAtStart;
  };
  const std::vector<Case> cases = {
      {{}, std::nullopt, {"10.0.0.9", "Zed", "Attic", false, "Lab"}, false},
      {{"host:4000"}, std::nullopt, {"host:4000", "Zed", "Attic"}, false},
      {{"host", "Ann"}, std::nullopt, {"host", "Ann", ""}, true},
      {{"host", "Ann", "Lobby"}, std::nullopt, {"host", "Ann", "Lobby"}, true},
      {{"a", "b", "c", "d"}, 2, {"10.0.0.9", "Zed", "Attic", false, "Lab"}, false},
      {{"--bogus"}, 2, {"10.0.0.9", "Zed", "Attic", false, "Lab"}, false},
      {{"--help"}, 0, {"10.0.0.9", "Zed", "Attic", false, "Lab"}, false},
  };
  for (const Case& c : cases) {
    const ClientCommandLine parsed =
        ParseClientCommandLine(QStringList{"parlivo-client"} + c.arguments, remembered, "1.2.3");
    SCOPED_TRACE(c.arguments.join(' ').toStdString());
    EXPECT_EQ(parsed.exitStatus, c.exitStatus);
    EXPECT_EQ(parsed.start.values, c.values);
    EXPECT_EQ(parsed.start.joinAtStart, c.joinAtStart);
  }
  EXPECT_EQ(ParseClientCommandLine({"parlivo-client", "--version"}, remembered, "1.2.3").output,
            "parlivo-client 1.2.3\n");
  // The help names every argument the program takes.
  const QString help = ParseClientCommandLine({"parlivo-client", "--help"}, remembered, "1.2.3").output;
  for (const char* part : {"[options] [HOST[:PORT] [NICK [ROOM]]]", "HOST, HOST:PORT or [IPV6]:PORT",
                           "Your nickname.", "--tls"})
    EXPECT_TRUE(help.contains(part)) << part << "\n" << help.toStdString();
}

}  // namespace
}  // namespace parlivo
