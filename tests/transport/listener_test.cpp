// A port's listener over the scriptable sockets layer: how many connections
// one notice takes, which failures pause it and for how long, and that a
// burst ends where its owner says.

#include "transport/listener.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "event_loop.h"
#include "fake_socket_api.h"

namespace parlivo {
namespace {

using testing::FakeSocketApi;

struct Owner : ListenerOwner {
  void ListenerNotice(const std::function<void()>& work) override { work(); }
  bool Accepted(Listener&, SocketHandle socket, const SockAddrStorage&) override {
    accepted.push_back(socket);
    return onAccepted ? onAccepted() : true;
  }
  void AcceptPaused(int errorCode) override { paused.push_back(errorCode); }
  void ListenerError(SocketHandle, int errorCode) override { errors.push_back(errorCode); }

  std::function<bool()> onAccepted;
  std::vector<SocketHandle> accepted;
  std::vector<int> paused;
  std::vector<int> errors;
};

struct ListenerTest : ::testing::Test {
  // One listening socket, so that every accept below is this one's.
  ListenerTest() {
    SockAddrIn loopback;
    loopback.family = kAfInet;
    loopback.address = 0x0100007F;  // 127.0.0.1 in network order
    EXPECT_EQ(listener.OpenAt(loopback), 0);
  }
  SocketHandle first() const { return listener.First(); }

  FakeSocketApi api;
  Owner owner;
  Listener listener{api, owner};
};

TEST(ListenerPause, DoublesFromTheFirstPauseUpToTheLongest) {
  const std::vector<std::pair<int, int>> steps = {{0, 50}, {50, 100}, {400, 800}, {800, 1000}, {1000, 1000}};
  for (const auto& [before, after] : steps) EXPECT_EQ(Listener::NextPauseMs(before), after) << before;
}

// A burst larger than one notice's share waits for the next notice, so the
// connections in service are not kept waiting behind it.
TEST_F(ListenerTest, ANoticeTakesAtMostItsShareOfABurstAndTheNextTakesTheRest) {
  api.waitingConnections = Listener::kAcceptsPerNotice + 6;
  api.notify(first(), kCanAccept);
  EXPECT_EQ(owner.accepted.size(), static_cast<std::size_t>(Listener::kAcceptsPerNotice));
  api.notify(first(), kCanAccept);
  EXPECT_EQ(owner.accepted.size(), static_cast<std::size_t>(Listener::kAcceptsPerNotice) + 6);
  EXPECT_TRUE(owner.paused.empty());
}

TEST_F(ListenerTest, APeerThatGaveUpFirstCostsNothingAndTheBurstGoesOn) {
  api.waitingConnections = 3;
  api.acceptError = 10053;
  api.notify(first(), kCanAccept);
  EXPECT_EQ(owner.accepted.size(), 3u);
  EXPECT_TRUE(owner.paused.empty());
  EXPECT_EQ(listener.PauseMs(), 0);
}

TEST_F(ListenerTest, TheOwnerEndsABurstByRefusingOrByClosingThePort) {
  for (const bool closes : {false, true}) {
    owner.accepted.clear();
    api.waitingConnections = 5;
    owner.onAccepted = [&] {
      if (closes) listener.Close();
      return closes;
    };
    api.notify(first(), kCanAccept);
    EXPECT_EQ(owner.accepted.size(), 1u) << closes;
  }
  EXPECT_TRUE(owner.paused.empty());
  EXPECT_TRUE(listener.Sockets().empty());
}

// Out of descriptors: the port is not watched until the pause is over, so
// its readiness does not spin the loop; then it takes the waiting one, and
// a success forgets the pauses before it.
TEST_F(ListenerTest, AFailedAcceptPausesThePortUntilItsPauseIsOver) {
  api.waitingConnections = 1;
  api.acceptError = 10024;
  api.notify(first(), kCanAccept);
  EXPECT_EQ(owner.paused, std::vector<int>{10024});
  EXPECT_EQ(listener.PauseMs(), Listener::kAcceptRetryFirstMs);
  for (const SocketHandle s : listener.Sockets()) EXPECT_EQ(api.at(s).watchedEvents, 0) << s;
  EXPECT_TRUE(owner.accepted.empty());

  ASSERT_TRUE(testing::PumpUntil([&] { return !owner.accepted.empty(); }, 2000));
  for (const SocketHandle s : listener.Sockets()) EXPECT_EQ(api.at(s).watchedEvents, kCanAccept) << s;
  EXPECT_EQ(listener.PauseMs(), 0);
  api.acceptError = 10055;
  api.notify(first(), kCanAccept);
  EXPECT_EQ(listener.PauseMs(), Listener::kAcceptRetryFirstMs);
}

TEST_F(ListenerTest, AnErrorNoticeGoesToTheOwnerAndAcceptsNothing) {
  api.notify(first(), kCanAccept, 10050);
  EXPECT_EQ(owner.errors, std::vector<int>{10050});
  EXPECT_TRUE(owner.accepted.empty());
}

}  // namespace
}  // namespace parlivo
