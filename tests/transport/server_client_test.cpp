// The connection object: sending its queue, and closing its socket.

#include "transport/server_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "event_loop.h"
#include "fake_socket_api.h"
#include "recording_socket.h"

namespace parlivo {
namespace {

using testing::FakeSocketApi;
using testing::RecordingSocket;

struct FlushFixture : ::testing::Test {
  FlushFixture() {
    server.OnError = [this](TCustomFasterSocket* sender, SocketHandle, int code, const std::string& text) {
      errors.push_back({sender, code, text});
    };
    client = server.AddClient(7);
  }
  void Queue(std::size_t bytes) {
    client->SendQueue.append(std::string(bytes, 'x'));
  }

  struct Error {
    TCustomFasterSocket* sender;
    int code;
    std::string text;
  };
  FakeSocketApi api;
  RecordingSocket server{api, true};
  TDadideVUDServerClient* client = nullptr;
  std::vector<Error> errors;
};

TEST_F(FlushFixture, PartialSendsKeepTheRestQueuedAndDropALargeSentFront) {
  struct Case {
    std::size_t queued;
    int accepted;
    std::size_t size, position;  // of the queue afterwards
  };
  const std::vector<Case> cases = {
      {100, 40, 100, 40},          // the sent front stays until the queue drains
      {20000, 1000, 20000, 1000},  // a small sent front is not worth moving the rest for
      {40000, 10000, 40000, 10000},  // nor one that is less than half the queue
      {40000, 30000, 10000, 0},    // a large sent front is dropped: the rest moves down once
      {100, 100, 0, 0},            // drained: emptied, and no retry
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.queued);
    client->SendQueue.release();
    api.at(7).writeArmed = false;
    Queue(c.queued);
    api.at(7).sendScript = {c.accepted};
    client->Flush(nullptr);
    EXPECT_EQ(client->SendQueue.size(), c.size);
    EXPECT_EQ(client->SendQueue.position(), c.position);
    // What the socket did not take waits for its write readiness.
    EXPECT_EQ(api.at(7).writeArmed, c.size > 0);
  }
  EXPECT_TRUE(errors.empty());
}

TEST_F(FlushFixture, AFullSocketWaitsForWriteReadinessWithoutPollingOrErrors) {
  for (const int script : {40, -10035}) {  // took a part; took nothing ("would block")
    SCOPED_TRACE(script);
    client->SendQueue.release();
    api.at(7) = {};
    Queue(100);
    api.at(7).sendScript = {script};
    client->Flush(nullptr);
    EXPECT_TRUE(api.at(7).writeArmed);
    testing::PumpFor(30);
    EXPECT_EQ(api.at(7).sendSizes.size(), 1u);  // nothing retries on a clock
    client->Flush(nullptr);                     // what the server does at kCanWrite
    EXPECT_EQ(api.at(7).sent.size(), 100u);
    EXPECT_EQ(client->SendQueue.remaining(), 0u);
  }
  EXPECT_TRUE(errors.empty());
}

TEST_F(FlushFixture, ResetStopsRetriesButKeepsTheQueue) {
  Queue(50);
  api.at(7).sendScript = {-10054};
  client->Flush(nullptr);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].text, "Connection reset by peer");
  EXPECT_EQ(client->SendQueue.remaining(), 50u);
  testing::PumpFor(40);
  EXPECT_EQ(api.at(7).sendSizes.size(), 1u);
  // The next queued packet starts a new attempt with everything that waits.
  QueuePacket(*client, MakePacket(0, 9, nullptr));
  EXPECT_EQ(api.at(7).sent.size(), 58u);
}

TEST_F(FlushFixture, ErrorHandlerThatFreesTheConnectionEndsTheFlushSafely) {
  server.OnError = [this](TCustomFasterSocket*, SocketHandle, int, const std::string&) { server.Clients->Extract(0); };
  Queue(50);
  api.at(7).sendScript = {-10054};
  client->Flush(nullptr);
  EXPECT_TRUE(server.Clients->Empty());
}

TEST_F(FlushFixture, NothingIsSentOnAClosedConnection) {
  client->SetConnected(false);
  Queue(10);
  client->Flush(nullptr);
  EXPECT_TRUE(api.at(7).sendSizes.empty());
  EXPECT_EQ(client->SendQueue.remaining(), 10u);
}

TEST_F(FlushFixture, ClosingCancelsShutsDownLingersZeroAndCloses) {
  client->StreamSize = 5;
  client->SetConnected(false);
  EXPECT_EQ(api.calls, (std::vector<std::string>{"watch 7 0", "shutdown 7", "linger 7 1 0", "close 7"}));
  EXPECT_EQ(client->Socket, kInvalidSocket);
  EXPECT_FALSE(client->Connected);
  EXPECT_EQ(client->StreamSize, 0);
  api.calls.clear();
  client->SetConnected(false);  // already closed: nothing at all
  EXPECT_TRUE(api.calls.empty());
}

TEST_F(FlushFixture, FailedCloseIsReportedAndTheDescriptorIsNeverClosedAgain) {
  api.closeFailures = 1;
  client->SetConnected(false);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, 10038);
  EXPECT_EQ(client->Socket, kInvalidSocket);
  EXPECT_FALSE(client->Connected);
  server.Clients->Extract(0);  // destruction must not close the number again
  EXPECT_EQ(api.closedTwice, 0);
}

TEST_F(FlushFixture, DestroyingAnOpenConnectionClosesItAbortively) {
  Queue(10);
  api.at(7).sendScript = {0};
  client->Flush(nullptr);
  server.Clients->Extract(0);
  EXPECT_FALSE(api.at(7).open);
  EXPECT_TRUE(api.at(7).lingerZero);
  EXPECT_TRUE(api.at(7).shutDown);
  EXPECT_EQ(api.at(7).watchedEvents, 0);
}

// A graceful close reads away what the peer sent unread, up to 64 KiB, so
// that the system does not reset the connection and drop the last packets;
// a peer that sent more gets its reset.
TEST_F(FlushFixture, AGracefulCloseReadsAwayAtMost64KiBTheClientLeftUnread) {
  for (const std::size_t unread : {std::size_t{64 * 1024}, std::size_t{64 * 1024 + 1}}) {
    client->Socket = 7;
    client->Connected = true;
    api.at(7).incoming = std::string(unread, 'x');
    client->CloseGracefully();
    EXPECT_EQ(api.at(7).incoming.size(), unread - 64 * 1024) << unread;
    EXPECT_FALSE(api.at(7).lingerZero) << unread;
  }
}

TEST(OutgoingQueueCap, APacketThatWouldPassTheCapIsRefusedWholeAndFitsOnceBytesAreSent) {
  OutgoingQueue queue(100);
  const std::string payload(40, 'p');
  const OutgoingPacket packet = MakePacket(static_cast<std::int32_t>(payload.size()), 8, payload.data());
  EXPECT_TRUE(queue.append(packet));   // 48 waiting
  EXPECT_TRUE(queue.append(packet));   // 96 waiting
  EXPECT_FALSE(queue.append(packet));  // 144 would pass 100
  EXPECT_EQ(queue.remaining(), 96u);
  queue.consume(48);
  EXPECT_TRUE(queue.append(packet));
  EXPECT_EQ(queue.remaining(), 96u);
}

}  // namespace
}  // namespace parlivo
