// The pieces of flow control as plain values: the memory budget's marks,
// the input token bucket, the notice throttle, and a send queue's budget
// accounting and shared packets.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/flow_controller.h"
#include "transport/memory_budget.h"
#include "transport/notice_throttle.h"
#include "transport/outgoing_queue.h"
#include "transport/token_bucket.h"

namespace parlivo {
namespace {

TEST(MemoryBudgetMarks, HoldingStartsAboveHighWaterAndEndsOnlyAtLowWater) {
  MemoryBudget budget(1000);  // high water 500, low water 250
  struct Step {
    std::size_t output;
    bool holding;
  };
  // Up past the high mark, down through the band between the marks (still
  // holding), to the low mark (released), up into the band again (not yet).
  const std::vector<Step> steps = {{500, false}, {501, true}, {400, true}, {251, true},
                                   {250, false}, {400, false}, {500, false}, {501, true}};
  for (const Step& step : steps) {
    SCOPED_TRACE(step.output);
    budget.removeOutput(budget.output());
    budget.addOutput(step.output);
    budget.update();
    EXPECT_EQ(budget.holdingSenders(), step.holding);
  }
}

TEST(MemoryBudgetMarks, PartialInputFitsUnderTheCeilingAndReservationsUnderHalf) {
  MemoryBudget budget(1000);  // input ceiling 750, reservations up to 500
  budget.addOutput(300);
  budget.addInput(200);
  EXPECT_TRUE(budget.inputFits(250));   // exactly at the ceiling
  EXPECT_FALSE(budget.inputFits(251));
  EXPECT_TRUE(budget.reservationFits(250));   // input 450 of 500, all 750 of 750
  EXPECT_FALSE(budget.reservationFits(251));
  budget.removeOutput(300);
  EXPECT_TRUE(budget.reservationFits(300));   // input exactly half the limit
  EXPECT_FALSE(budget.reservationFits(301));
}

TEST(InputBucket, ABurstPassesThenTheSenderWaitsForTheRateAndABigPacketGoesIntoDebt) {
  const TokenRate rate{1000, 4000};  // 1000 a second, 4000 at once
  TokenBucket bucket(rate, 0);
  bucket.take(3999);
  EXPECT_TRUE(bucket.available());
  bucket.take(3000);  // more than is left still goes through whole...
  EXPECT_FALSE(bucket.available());
  EXPECT_EQ(bucket.msUntilAvailable(rate), 2999 + 1);  // ...and is paid back at the rate
  bucket.refill(rate, 2999);
  EXPECT_FALSE(bucket.available());
  bucket.refill(rate, 3001);
  EXPECT_TRUE(bucket.available());
  bucket.refill(rate, 1'000'000);  // a long pause fills it up to the burst, no further
  EXPECT_DOUBLE_EQ(bucket.tokens(), 4000);
  bucket.refill(rate, 10);  // a clock that seems to go back changes nothing
  EXPECT_DOUBLE_EQ(bucket.tokens(), 4000);

  // A client's own bytes: 8 MiB at once, then 1 MiB a second.
  TokenBucket client(FlowController::kInputBytes, 0);
  client.take(9.0 * 1024 * 1024);
  EXPECT_EQ(client.msUntilAvailable(FlowController::kInputBytes), 1000 + 1);
  // And its packets: 1000 at once, then 200 a second.
  TokenBucket packets(FlowController::kInputPackets, 0);
  packets.take(1000 + 200);
  EXPECT_EQ(packets.msUntilAvailable(FlowController::kInputPackets), 1000 + 1);
}

TEST(Notices, AtMostOneASecondAndTheNextSaysHowManyWereHeldBack) {
  NoticeThrottle throttle(1000);
  EXPECT_TRUE(throttle.due(0));
  EXPECT_EQ(throttle.unsaid(), 0);
  for (const std::int64_t at : {1, 500, 999}) EXPECT_FALSE(throttle.due(at));
  EXPECT_TRUE(throttle.due(1000));
  EXPECT_EQ(throttle.unsaid(), 3);
  EXPECT_TRUE(throttle.due(2500));
  EXPECT_EQ(throttle.unsaid(), 0);
}

std::string Drain(OutgoingQueue& queue, std::size_t perSend) {
  std::string sent;
  for (int i = 0; i < 1000 && queue.remaining() > 0; ++i) {
    const std::string_view front = queue.waiting().substr(0, perSend);
    sent.append(front);
    queue.consume(front.size());
  }
  return sent;
}

TEST(SendQueue, ASharedPacketCountsOnceInTheBudgetUntilItsLastHolderLetsItGo) {
  MemoryBudget budget;
  const std::string big(100000, 'B');
  SharedPacket shared = MakeSharedPacket(MakePacket(static_cast<std::int32_t>(big.size()), 8, big.data()));
  const std::size_t packet = shared->wire().size();
  std::string expected;
  {
    OutgoingQueue a, b;
    for (OutgoingQueue* queue : {&a, &b}) {
      queue->setBudget(&budget);
      ASSERT_TRUE(queue->append(std::string_view("first")));
      ASSERT_TRUE(queue->append(shared));
      ASSERT_TRUE(queue->append(std::string_view("last")));
    }
    expected = "first" + shared->wire() + "last";
    EXPECT_EQ(a.remaining(), expected.size());  // each queue's own view holds it whole
    EXPECT_EQ(budget.output(), 2 * (expected.size() - packet) + packet);  // the memory holds it once
    EXPECT_EQ(Drain(a, 7777), expected);  // sends that cut across segments
    EXPECT_EQ(budget.output(), expected.size());  // b still holds all of it
    b.consume(3);
    EXPECT_EQ(budget.output(), expected.size() - 3);
  }  // b goes with bytes still waiting: its own leave the budget
  EXPECT_EQ(budget.output(), packet);  // the caller still holds the packet
  EXPECT_EQ(shared.use_count(), 1);
  shared.reset();
  EXPECT_EQ(budget.output(), 0u);
}

TEST(SendQueue, AQueueFilledExactlyToItsCapTakesNoByteMore) {
  MemoryBudget budget;
  OutgoingQueue queue(100);
  queue.setBudget(&budget);
  ASSERT_TRUE(queue.append(std::string(60, 'x')));
  EXPECT_TRUE(queue.append(std::string(40, 'y')));  // exactly the cap
  EXPECT_FALSE(queue.append(std::string_view("z")));
  const SharedPacket one = MakeSharedPacket(MakePacket(0, 9, nullptr));
  EXPECT_FALSE(queue.append(one));
  EXPECT_EQ(queue.remaining(), 100u);
  EXPECT_EQ(budget.output(), 100u);  // the refused bytes were never counted
  queue.release();
  EXPECT_EQ(budget.output(), 0u);
  // The same boundary for one packet into an empty queue.
  EXPECT_FALSE(queue.append(std::string(101, 'w')));
  EXPECT_TRUE(queue.append(std::string(100, 'w')));
}

}  // namespace
}  // namespace parlivo
