// The flow control's decisions on both sides of each boundary, on a clock
// the test moves: when a reader goes for lack of progress and when not,
// when a packet under way counts as stuck, when a hold starts, ends and is
// told, when a machine's connections are refused, what one read may take.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording_socket.h"
#include "transport/flow_controller.h"
#include "transport/packet_ids.h"

namespace parlivo {
namespace {

using testing::Packet;
using Verdict = FlowController::Verdict;

struct FlowRules : ::testing::Test {
  // The first `bytes` of a packet of `size` bytes, as a receive buffer holds them.
  static ByteStream PartOf(std::size_t size, std::size_t bytes) {
    return ByteStream(Packet(static_cast<std::int32_t>(size), pidMessage, std::string(size - 8, 'x')).substr(0, bytes));
  }
  void Advance(std::int64_t ms) {
    nowMs += ms;
    flow.StartPass();
  }

  std::int64_t nowMs = 5000;
  FlowController flow{[this] { return nowMs; }};
  const ByteStream nothing;
};

TEST_F(FlowRules, AQueueAboveTheSoftLimitGoesAtTheSoftTimeUnlessTheReaderTookTheLimitsWorthMeanwhile) {
  flow.SoftQueueLimit = 1000;
  flow.SoftQueueMs = 300;
  ConnectionFlow reader;
  EXPECT_EQ(flow.Check(reader, nothing, 1000), Verdict::Idle);  // at the limit is not above it
  EXPECT_EQ(flow.Check(reader, nothing, 1001), Verdict::Idle);  // the soft clock starts
  Advance(299);
  EXPECT_EQ(flow.Check(reader, nothing, 5000), Verdict::Idle);
  reader.bytesTaken += 1000;  // a soft limit's worth taken: the clock starts again
  Advance(1);
  EXPECT_EQ(flow.Check(reader, nothing, 5000), Verdict::Idle);
  reader.bytesTaken += 999;  // not quite
  Advance(299);
  EXPECT_EQ(flow.Check(reader, nothing, 5000), Verdict::Idle);
  Advance(1);
  EXPECT_EQ(flow.Check(reader, nothing, 5000), Verdict::TooSlow);
  // Below the limit once in between, the clock starts from zero.
  ConnectionFlow dipping;
  EXPECT_EQ(flow.Check(dipping, nothing, 2000), Verdict::Idle);
  Advance(200);
  EXPECT_EQ(flow.Check(dipping, nothing, 10), Verdict::Idle);
  EXPECT_EQ(flow.Check(dipping, nothing, 2000), Verdict::Idle);
  Advance(299);
  EXPECT_EQ(flow.Check(dipping, nothing, 2000), Verdict::Idle);

  // As shipped: more than 8 MiB waiting for 30 s.
  FlowController shipped{[this] { return nowMs; }};
  const std::size_t limit = std::size_t{8} << 20;
  ConnectionFlow full, over;
  EXPECT_EQ(shipped.Check(full, nothing, limit), Verdict::Idle);
  EXPECT_EQ(shipped.Check(over, nothing, limit + 1), Verdict::Idle);
  nowMs += 29999;
  shipped.StartPass();
  EXPECT_EQ(shipped.Check(over, nothing, limit + 1), Verdict::Idle);
  nowMs += 1;
  shipped.StartPass();
  EXPECT_EQ(shipped.Check(full, nothing, limit), Verdict::Idle);
  EXPECT_EQ(shipped.Check(over, nothing, limit + 1), Verdict::TooSlow);
}

TEST_F(FlowRules, APacketUnderWayIsStuckOnlyOnceItGained16KiBNoMoreForTheStallTime) {
  flow.BodyStallMs = 1000;
  flow.LimitInput = false;
  ConnectionFlow sender;
  flow.Start(sender);
  const ByteStream part = PartOf(100000, 20000);
  // One read of 16 KiB less a byte is no progress; the next byte makes it.
  ASSERT_EQ(flow.ReadAllowance(sender, part, 16383), 16383u);
  Advance(999);
  EXPECT_EQ(flow.Check(sender, part, 0), Verdict::Partial);
  Advance(1);
  EXPECT_EQ(flow.Check(sender, part, 0), Verdict::Stalled);
  ASSERT_EQ(flow.ReadAllowance(sender, part, 1), 1u);
  EXPECT_EQ(flow.Check(sender, part, 0), Verdict::Partial);
  // Bytes waiting in its socket: it is held back, not stuck.
  Advance(1000);
  ASSERT_EQ(flow.Check(sender, part, 0), Verdict::Stalled);
  flow.StillSending(sender);
  Advance(999);
  EXPECT_EQ(flow.Check(sender, part, 0), Verdict::Partial);
}

TEST_F(FlowRules, APacketWaitingForItsRoomIsNeverStuckAndItsRoomIsGivenBackWhenItsSenderGoes) {
  flow.Budget.setLimit(1 << 20);  // reservations up to 512 KiB, 128 KiB for one machine
  flow.BodyStallMs = 100;
  ConnectionFlow first, second;
  flow.Attach(first, "192.0.2.8");
  flow.Attach(second, "192.0.2.8");
  const ByteStream large = PartOf(100000, 1000);
  flow.Start(first);
  flow.Start(second);
  EXPECT_FALSE(flow.Settle(first, large));
  EXPECT_EQ(flow.Budget.input(), 100000u);  // reserved whole
  EXPECT_EQ(flow.ReadAllowance(second, large, 1000), 0u);  // the machine's share is taken
  Advance(1000);
  EXPECT_EQ(flow.Check(second, large, 0), Verdict::Partial);
  flow.Detach(first);
  EXPECT_EQ(flow.Budget.input(), 0u);
  EXPECT_EQ(flow.ReadAllowance(second, large, 1000), 1000u);
}

TEST_F(FlowRules, OneReadTakesAtMostAChunkAndAPartialPacketOnlyWhatTheBudgetHasRoomFor) {
  flow.LimitInput = false;
  flow.Budget.setLimit(4000);  // partial input up to 3000 bytes in all
  ConnectionFlow reader, other;
  EXPECT_EQ(flow.ReadAllowance(reader, nothing, 10 << 20), 256u * 1024) << "one read takes at most 256 KiB";
  EXPECT_EQ(flow.ReadAllowance(reader, nothing, 5000), 5000u) << "with no partial input held, a packet always gets in";
  flow.Settle(reader, PartOf(3000, 2008));
  EXPECT_EQ(flow.ReadAllowance(other, nothing, 1000), 0u) << "reserved 3000: the budget's room is gone";
  EXPECT_EQ(flow.ReadAllowance(reader, PartOf(3000, 2008), 1000), 1000u)
      << "its own reserved body needs no more room";
}

// A second large packet waits in its sender's socket until its whole room
// is free, even where its first bytes would fit: a budget full of half-sent
// packets would hold everybody back.
TEST_F(FlowRules, AnotherLargePacketIsReadOnlyOnceItsWholeRoomFits) {
  flow.LimitInput = false;
  flow.Budget.setLimit(4000);  // reservations up to 2000 in all
  ConnectionFlow first, second;
  flow.Settle(first, PartOf(1500, 508));  // reserves its 1500 whole
  EXPECT_EQ(flow.ReadAllowance(second, PartOf(1000, 100), 100), 0u) << "2500 would be reserved";
  EXPECT_EQ(flow.ReadAllowance(second, PartOf(500, 100), 100), 100u) << "2000 fits exactly";
}

TEST_F(FlowRules, AHoldStartsAboveHighWaterEndsAtLowWaterAndEachIsToldOnce) {
  constexpr std::size_t KiB = 1024;
  flow.Budget.setLimit(4000 * KiB);
  flow.Budget.addOutput(2000 * KiB);
  EXPECT_EQ(flow.UpdateHolding(), FlowController::Holding::Unchanged);
  flow.Budget.addOutput(1);
  EXPECT_EQ(flow.UpdateHolding(), FlowController::Holding::Started);
  ConnectionFlow newcomer;
  EXPECT_TRUE(flow.Start(newcomer)) << "a newcomer is held back with the others";
  EXPECT_FALSE(flow.MayRead(newcomer));
  EXPECT_EQ(flow.HoldingNotice(), "Holding senders back: 2 MiB queued for clients that read slowly (budget 4 MiB).");
  EXPECT_EQ(flow.HoldingNotice(), "");
  Advance(1500);
  flow.Budget.removeOutput(1000 * KiB);
  EXPECT_EQ(flow.UpdateHolding(), FlowController::Holding::Unchanged);  // a byte above low water
  flow.Budget.removeOutput(1);
  EXPECT_EQ(flow.UpdateHolding(), FlowController::Holding::Ended);
  EXPECT_TRUE(flow.MayRead(newcomer));
  EXPECT_EQ(flow.HoldingNotice(), "Reading from senders again (held back 1.5 s in all).");
  EXPECT_EQ(flow.HeldBackSeconds(), 1.5);
  EXPECT_TRUE(flow.NeedsClock(false)) << "the budget still holds output";
  flow.Budget.removeOutput(1000 * KiB);
  EXPECT_FALSE(flow.NeedsClock(false));
  EXPECT_TRUE(flow.NeedsClock(true));
  // A stop leaves nothing to tell the operator after the next start.
  flow.Stop();
  Advance(1500);
  EXPECT_EQ(flow.HoldingNotice(), "");
}

TEST_F(FlowRules, UnderPressureAReaderGoesForLessThanItsFairShareOfAWholeWindowWithABacklog) {
  flow.Budget.setLimit(1000);
  flow.Budget.addOutput(600);
  flow.UpdateHolding();
  // The window is the shipped one, 2 s.
  flow.FairShareFloorBytes = 1000;
  constexpr std::size_t kBacklog = FlowController::kPressureBacklog;
  // The five compared take 2000000 in the window: the fair share is a
  // quarter of their average, 100000.
  struct Reader {
    const char* name;
    std::size_t waiting;
    std::uint64_t takes;
    bool goes;
  };
  const Reader cases[] = {
      {"its fair share exactly", kBacklog * 4, 100000, false},
      {"a byte short of it", kBacklog * 4, 99999, true},
      {"all it had, less than a fair share", kBacklog, kBacklog, false},
      {"a byte short of all it had", kBacklog, kBacklog - 1, true},
      {"no backlog to speak of", kBacklog - 1, 0, false},
      {"far ahead", 2000000, 2000000 - 100000 - 99999 - kBacklog - (kBacklog - 1), false},
  };
  std::vector<ConnectionFlow> flows(std::size(cases));
  std::vector<FlowController::Reader> readers;
  for (std::size_t i = 0; i < flows.size(); ++i) readers.push_back({&flows[i], cases[i].waiting});
  EXPECT_TRUE(flow.CheckUnderPressure(readers).empty());  // the first window starts
  for (std::size_t i = 0; i < flows.size(); ++i) flows[i].bytesTaken += cases[i].takes;
  ConnectionFlow late;  // joined in the middle of the window: not compared
  readers.push_back({&late, kBacklog * 4});
  Advance(1999);
  EXPECT_TRUE(flow.CheckUnderPressure(readers).empty());  // the window is not over
  Advance(1);
  std::vector<std::string> expected, gone;
  for (const Reader& c : cases)
    if (c.goes) expected.push_back(c.name);
  for (const std::size_t i : flow.CheckUnderPressure(readers)) gone.push_back(i < std::size(cases) ? cases[i].name : "late");
  EXPECT_EQ(gone, expected);
  // Once senders are read again, nobody is compared any more.
  flow.Budget.removeOutput(600);
  flow.UpdateHolding();
  Advance(5000);
  EXPECT_TRUE(flow.CheckUnderPressure(readers).empty());
}

TEST_F(FlowRules, AMachineIsRefusedAtItsLimitsAndLoopbackOnlyWhenTheServerIsFull) {
  flow.MaxClients = 10;
  flow.MaxClientsPerAddress = 3;
  flow.UnregisteredPerAddress = 2;
  std::vector<ConnectionFlow> flows(3);
  EXPECT_EQ(flow.RefusalReason("192.0.2.8", 9, 0), "");
  EXPECT_EQ(flow.RefusalReason("127.0.0.1", 10, 0), "the server is full (10 clients)");
  flow.Attach(flows[0], "192.0.2.8");
  flow.Attach(flows[1], "192.0.2.8");
  EXPECT_EQ(flow.RefusalReason("192.0.2.8", 2, 0),
            "2 connections from that address have not registered yet (the most allowed)");
  EXPECT_EQ(flow.RefusalReason("192.0.2.9", 2, 0), "");
  flow.MarkRegistered(flows[0]);
  flow.MarkRegistered(flows[0]);  // granted twice, counted once
  EXPECT_EQ(flow.RefusalReason("192.0.2.8", 2, 0), "");
  flow.Attach(flows[2], "192.0.2.8");
  EXPECT_EQ(flow.RefusalReason("192.0.2.8", 3, 0), "3 connections from that address already (the most allowed)");
  for (int i = 0; i < 20; ++i) EXPECT_EQ(flow.RefusalReason("127.0.0.1", 3, 0), "");
  flow.MaxClients = 0;  // derived from the descriptors: 256 less those kept for the rest
  EXPECT_EQ(flow.EffectiveMaxClients(256), 224u);
  EXPECT_EQ(flow.EffectiveMaxClients(65), 33u);
  EXPECT_EQ(flow.EffectiveMaxClients(64), 32u);  // from here down, half of them
  EXPECT_EQ(flow.EffectiveMaxClients(40), 20u);
}

}  // namespace
}  // namespace parlivo
