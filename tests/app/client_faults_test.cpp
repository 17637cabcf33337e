// What the operator sees when one client misbehaves: the client's trouble
// is logged and that client leaves; the server stays online for the rest.

#include <netinet/in.h>
#include <sys/socket.h>

#include "form_fixture.h"

namespace parlivo::testing {
namespace {

using ClientFaults = FormFixture;

TEST_F(ClientFaults, AClientThatResetsLeavesAloneAndTheOthersChatOn) {
  ASSERT_TRUE(Start());
  Client& ann = Join("Ann", "Lobby");
  Client& bob = Join("Bob", "Lobby");
  const linger abortive{1, 0};
  ::setsockopt(ann.connection.fd(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  ann.connection.close();
  ASSERT_TRUE(WaitUntil([&] { return CountLines("Ann has left...") == 1; }));

  // Named as the client's own trouble, never as an error of the server.
  EXPECT_EQ(CountLines("Connection error of Ann (127.0.0.1): Connection reset by peer (#10054)"), 1u);
  EXPECT_EQ(CountLines("Error: Connection reset by peer (#10054)"), 0u);
  EXPECT_EQ(CountLines("Server is offline!"), 0u);
  EXPECT_LT(form.lvClients.IndexOf("Ann"), 0);
  bob.received.clear();
  bob.connection.sendChat("still here");
  ASSERT_TRUE(WaitUntil([&] { return bob.Has(pidMessage); }));
  EXPECT_EQ(DecodeText(bob.Payloads(pidMessage)[0]), "[BC from Bob @ Lobby]: still here");
}

TEST_F(ClientFaults, AClientThatStopsAnsweringPingsIsDisconnectedAndItsNameFreed) {
  form.MaxMissedPings = 3;
  ASSERT_TRUE(Start());
  Client& mute = Join("Mute", "Lobby");
  Join("Bob", "Lobby");
  mute.connection.answerPings = false;
  ASSERT_TRUE(WaitUntil([&] { return CountLines("Mute has left...") == 1; }));

  EXPECT_EQ(CountLines("Mute (127.0.0.1) did not answer 3 pings and is disconnected."), 1u);
  EXPECT_EQ(CountLines("Server is offline!"), 0u);
  EXPECT_LT(form.lvClients.IndexOf("Mute"), 0);
  Join("Mute", "Lobby");  // the nickname can be taken again
}

}  // namespace
}  // namespace parlivo::testing
