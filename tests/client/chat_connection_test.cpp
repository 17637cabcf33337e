// One client connection against a plain loopback peer: partial writes,
// ping answers and the words it uses for failures.

#include "client/chat_connection.h"

#include <netdb.h>
#include <poll.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "loopback_peer.h"
#include "transport/packet_framing.h"
#include "transport/packet_ids.h"

namespace parlivo {
namespace {

using testing::LoopbackListener;
using testing::LoopbackPeer;

constexpr int kWaitMs = 5000;

// A connection to a fresh listener, and the listener's end of it.
struct Linked {
  LoopbackListener listener;
  ChatConnection client;
  LoopbackPeer server{Connect()};

  int Connect() {
    EXPECT_TRUE(client.connect("127.0.0.1", listener.port(), kWaitMs)) << client.error();
    return listener.accept(kWaitMs);
  }
};

TEST(ChatConnection, QueuesWhatTheSocketDoesNotTakeAndSendsItLaterInOrder) {
  Linked link;
  // Far more than the socket buffers hold while the peer reads nothing.
  const std::string big(8 * 1024 * 1024, 'b');
  ASSERT_TRUE(link.client.send(pidStreamData, big));
  ASSERT_TRUE(link.client.wantsWrite()) << "the whole packet fitted into the socket; the test needs a bigger one";
  ASSERT_TRUE(link.client.send(pidMessage, "after"));

  const std::string expected = BuildPacket(pidStreamData, big) + BuildPacket(pidMessage, "after");
  std::string received;
  for (int round = 0; round < 10000 && received.size() < expected.size(); ++round) {
    received += link.server.receive(expected.size() - received.size(), 10);
    ASSERT_TRUE(link.client.flush()) << link.client.error();
  }
  EXPECT_TRUE(received == expected) << "bytes lost, doubled or reordered";
  EXPECT_FALSE(link.client.wantsWrite());
}

TEST(ChatConnection, AnswersPingsAtOnceAndStillHandsThemOut) {
  Linked link;
  ASSERT_TRUE(link.server.sendAll(BuildPacket(pidConnected, "") + BuildPacket(pidPing, "") +
                                  BuildPacket(pidMessage, "x")));
  std::vector<std::int32_t> ids;
  for (int i = 0; i < 3; ++i) {
    const auto packet = link.client.waitPacket(kWaitMs);
    ASSERT_TRUE(packet) << link.client.error();
    ids.push_back(packet->id);
  }
  EXPECT_EQ(ids, (std::vector<std::int32_t>{pidConnected, pidPing, pidMessage}));
  EXPECT_EQ(link.server.receive(8, kWaitMs), BuildPacket(pidPong, ""));
  EXPECT_EQ(link.client.pingsAnswered(), 1u);
}

TEST(ChatConnection, WaitingForAPacketThatDoesNotComeEndsWhenItsTimeIsUp) {
  Linked link;
  EXPECT_FALSE(link.client.waitPacket(50));
  EXPECT_TRUE(link.client.isOpen()) << link.client.error();
}

TEST(ChatConnection, NamesWhatWentWrong) {
  // Nobody listens: a listener that was closed again.
  std::uint16_t freedPort = 0;
  {
    LoopbackListener listener;
    freedPort = listener.port();
  }
  ChatConnection refused;
  EXPECT_FALSE(refused.connect("127.0.0.1", freedPort, kWaitMs));
  EXPECT_EQ(refused.error(), "connection refused");

  {
    Linked link;
    ASSERT_TRUE(link.server.sendAll(BuildPacket(pidMessage, "last words")));
    link.server.close();
    const auto last = link.client.waitPacket(kWaitMs);
    ASSERT_TRUE(last) << "packets that came before the close are still handed out";
    EXPECT_EQ(last->payload, "last words");
    EXPECT_FALSE(link.client.waitPacket(kWaitMs));
    EXPECT_EQ(link.client.error(), "connection closed by peer");
  }
  {
    // The first read that meets the end says so, and so does every later one.
    Linked link;
    link.server.close();
    pollfd readable{link.client.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&readable, 1, kWaitMs), 1);
    EXPECT_FALSE(link.client.readAvailable());
    EXPECT_FALSE(link.client.readAvailable());
    EXPECT_TRUE(link.client.peerClosed());
  }
  {
    Linked link;
    std::string oversized = BuildPacket(pidMessage, "");
    const std::int32_t size = kMaxPacketSize + 1;
    for (int i = 0; i < 4; ++i) oversized[static_cast<std::size_t>(i)] = static_cast<char>((size >> (8 * i)) & 0xFF);
    ASSERT_TRUE(link.server.sendAll(oversized));
    EXPECT_FALSE(link.client.waitPacket(kWaitMs));
    EXPECT_NE(link.client.error().find("protocol error"), std::string::npos) << link.client.error();
  }
}

// Only a name without an address is "not found"; a resolver that cannot be
// reached is told as such, as trying again later may work.
TEST(ChatConnection, ALookupThatFailsSaysWhetherTheNameOrTheResolverIsAtFault) {
  struct Case {
    int status, error;
    const char* text;
  };
  for (const Case& c : {Case{EAI_NONAME, 0, "host not found: box"}, Case{EAI_NODATA, 0, "host not found: box"},
                        Case{EAI_ADDRFAMILY, 0, "host not found: box"},
                        Case{EAI_SYSTEM, ETIMEDOUT, "cannot look up box: timed out"}})
    EXPECT_EQ(LookupErrorText("box", c.status, c.error), c.text) << c.status;
  EXPECT_EQ(LookupErrorText("box", EAI_AGAIN, 0), std::string("cannot look up box: ") + ::gai_strerror(EAI_AGAIN));
}

// One address is one attempt: a lookup must not list it again for other
// socket types, or an unreachable server is tried over and over.
TEST(ChatConnection, AnAddressResolvesToOneEndpointOfItsFamily) {
  for (const char* host : {"127.0.0.1", "::1"}) {
    std::string error;
    const std::vector<Endpoint> found = ChatConnection::Resolve(host, 4000, error);
    ASSERT_EQ(found.size(), 1u) << host << " " << error;
    EXPECT_EQ(found[0].family(), std::string(host) == "::1" ? AF_INET6 : AF_INET) << host;
  }
}

// A client that closed while the server still sent would make the server
// see a reset instead of a goodbye: leaving reads on until the server ends.
TEST(ChatConnection, LeavingReadsWhatTheServerStillSendsUntilItCloses) {
  Linked link;
  // What is still queued goes out first.
  const std::string big(4 * 1024 * 1024, 'q');
  ASSERT_TRUE(link.client.send(pidStreamData, big));
  ASSERT_TRUE(link.client.wantsWrite());
  std::thread leaving([&] { link.client.leave(kWaitMs); });
  const std::string expected = BuildPacket(pidStreamData, big);
  EXPECT_TRUE(link.server.receive(expected.size(), kWaitMs) == expected) << "queued bytes lost at the leave";
  EXPECT_EQ(link.server.waitForClose(kWaitMs), 0) << "the client's end of stream comes first";
  for (const char* words : {"one", "two"}) {
    ASSERT_TRUE(link.server.sendAll(BuildPacket(pidMessage, words)));
    ::poll(nullptr, 0, 100);
  }
  EXPECT_EQ(link.server.pendingError(200), 0) << "the client closed before the server did";
  link.server.close();
  leaving.join();
  EXPECT_FALSE(link.client.isOpen());
}

}  // namespace
}  // namespace parlivo
