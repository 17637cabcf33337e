// parlivo-bench's bookkeeping of offered, sent, accepted, delivered and lost texts,
// its packet streams and the options of the misbehaving-client profiles.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench_options.h"
#include "bench_report.h"
#include "client/client_packets.h"
#include "encoding/text_codec.h"
#include "flow_accounting.h"
#include "transport/packet_ids.h"

namespace parlivo::bench {
namespace {

using std::chrono::milliseconds;

TEST(SendLedger, CountsATextSentOnlyOnceItsLastByteIsWritten) {
  // Three texts ending at bytes 100, 250 and 400 of the connection.
  struct Step {
    std::uint64_t written;
    std::uint64_t sent;
  };
  const std::vector<Step> steps = {{0, 0}, {99, 0}, {100, 1}, {249, 1}, {400, 3}, {400, 3}};
  SendLedger ledger;
  for (const std::uint64_t end : {100, 250, 400}) ledger.Offered(end);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.written);
    ledger.Written(step.written);
    EXPECT_EQ(ledger.offered(), 3u);
    EXPECT_EQ(ledger.sent(), step.sent);
  }
}

TEST(HoldClock, AddsUpHeldStretchesAndTheOneStillRunning) {
  const FlowClock::time_point t0{};
  HoldClock clock;
  clock.Observe(false, t0);
  EXPECT_FALSE(clock.everHeld());
  clock.Observe(true, t0 + milliseconds(10));
  clock.Observe(true, t0 + milliseconds(20));  // still the same stretch
  clock.Observe(false, t0 + milliseconds(40));
  clock.Observe(true, t0 + milliseconds(100));
  EXPECT_EQ(clock.Total(t0 + milliseconds(150)), milliseconds(80));
  clock.Observe(false, t0 + milliseconds(160));
  EXPECT_EQ(clock.Total(t0 + milliseconds(500)), milliseconds(90));
  EXPECT_TRUE(clock.everHeld());
  EXPECT_FALSE(clock.held());
}

TEST(ReadBudget, RefillsAtItsRateUpToATenthOfASecondsWorth) {
  const FlowClock::time_point t0{};
  ReadBudget budget(2'000'000, t0);  // 2 MB/s: portions of 200 kB
  EXPECT_EQ(budget.Available(t0), 200'000u);
  budget.Spend(200'000);
  EXPECT_EQ(budget.Available(t0), 0u);
  EXPECT_EQ(budget.Available(t0 + milliseconds(25)), 50'000u);
  budget.Spend(80'000);  // more than there was: empty, not negative
  EXPECT_EQ(budget.Available(t0 + milliseconds(25)), 0u);
  EXPECT_EQ(budget.Available(t0 + std::chrono::seconds(10)), 200'000u);

  ReadBudget slow(1000, t0);  // a slow reader may still take a whole short text at once
  EXPECT_EQ(slow.capacity(), 64u * 1024);
}

TEST(MissingDeliveries, CountsAcceptedTextsAReaderNeverGot) {
  struct Case {
    const char* name;
    std::vector<std::uint32_t> accepted;
    std::vector<std::uint32_t> next;
    std::vector<SkippedTexts> skipped;
    std::uint64_t missing;
  };
  const std::vector<Case> cases = {
      {"everything arrived", {5, 3}, {5, 3}, {}, 0},
      {"one short from the second sender", {5, 3}, {5, 2}, {}, 1},
      {"nothing from anybody", {5, 3}, {0, 0}, {}, 8},
      {"a reader without counts yet", {2, 1}, {}, {}, 3},
      {"past what was accepted never goes below zero", {1, 1}, {2, 1}, {}, 0},
      // Texts 1 and 2 of sender 0 were skipped; text 4 came later.
      {"a skipped accepted text is missing", {5}, {5}, {{0, 1, 3}}, 2},
      // Skipped 3 to 5, but only texts below 4 were accepted.
      {"a skipped text not accepted is not", {4}, {7}, {{0, 3, 6}}, 1},
      {"a skip past the accepted ones counts nothing", {3}, {9}, {{0, 5, 8}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MissingDeliveries(c.accepted, c.next, c.skipped), c.missing);
  }
}

TEST(DeliveryTally, SentButNotEchoedIsInFlightAndEchoedButMissingIsLost) {
  struct Case {
    const char* name;
    std::uint64_t sent;
    std::uint32_t echoedUpTo;
    std::vector<std::uint32_t> readerNext;  // what each of two readers got from it
    std::uint64_t accepted, inFlight, lost;
  };
  const std::vector<Case> cases = {
      // 10 sent, 6 echoed back: the 4 others may still sit in socket
      // buffers; readers that got only the 6 lost nothing.
      {"held-back texts are in flight", 10, 6, {6, 6}, 6, 4, 0},
      {"a reader ahead of the echo", 10, 6, {9, 6}, 6, 4, 0},
      {"an echoed text a reader lacks is lost", 10, 6, {6, 4}, 6, 4, 2},
      {"all through", 10, 10, {10, 10}, 10, 0, 0},
      // A sender cut off after 3 echoes: the rest is unknown, not lost.
      {"a sender cut off", 8, 3, {3, 3}, 3, 5, 0},
      // An echo count above the texts sent cannot accept more than was sent.
      {"never more accepted than sent", 2, 5, {2, 2}, 2, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeliveryTally tally;
    tally.AddSender(c.sent, c.echoedUpTo);
    tally.AddSender(3, 3);  // a second sender, fully through
    for (const std::uint32_t next : c.readerNext) tally.AddReader({next, 3}, {});
    EXPECT_EQ(tally.sent(), c.sent + 3);
    EXPECT_EQ(tally.accepted(), c.accepted + 3);
    EXPECT_EQ(tally.inFlight(), c.inFlight);
    EXPECT_EQ(tally.readers(), 2u);
    EXPECT_EQ(tally.due(), (c.accepted + 3) * 2);
    EXPECT_EQ(tally.lost(), c.lost);
  }
}

std::string Drain(PacketStream stream, std::size_t piece) {
  std::string all;
  for (int guard = 0; guard < 1'000'000 && !stream.done(); ++guard) {
    const std::string next = stream.Next(piece);
    EXPECT_LE(next.size(), piece);
    if (next.empty()) break;
    all += next;
  }
  EXPECT_TRUE(stream.done());
  return all;
}

TEST(PacketStream, ChatTextInPiecesIsTheSamePacketAsOneBuiltWhole) {
  struct Case {
    std::string marker;
    std::uint32_t textBytes;
    std::size_t piece;
  };
  const std::vector<Case> cases = {
      {"pb 1a2b 0 0 12345 ", 64, 7},
      {"pb 1a2b 3 0 99 ", 1001, 1000},  // not whole groups: rounded up
      {"pb 1a2b 2 0 99 ", 100'000, 65'536},
      {"a marker longer than the asked size ", 8, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.textBytes);
    std::string text = c.marker;
    const std::size_t groups = (std::max<std::size_t>(text.size(), c.textBytes) + 3) / 4;
    text.resize(groups * 4, 'x');
    const std::string whole = BuildPacket(pidMessage, EncodeText(text));
    const PacketStream stream = PacketStream::ChatText(c.marker, c.textBytes);
    EXPECT_EQ(stream.length(), whole.size());
    EXPECT_EQ(Drain(stream, c.piece), whole);
  }
}

TEST(PacketStream, HalfBodyAnnouncesTheWholeSizeAndStopsHalfWay) {
  const PacketStream stream = PacketStream::HalfBody(16 * 1024 * 1024);
  const std::string written = Drain(stream, 256 * 1024);
  ASSERT_EQ(written.size(), 8u + (16u * 1024 * 1024 - 8) / 2);
  EXPECT_EQ(written.substr(0, 8), std::string("\x00\x00\x00\x01\x08\x00\x00\x00", 8));  // 16 MiB, ID 8
  PacketReader reader;
  reader.append(written);
  EXPECT_FALSE(reader.next()) << "half a body must never make a whole packet";
  EXPECT_FALSE(reader.failed());
}

TEST(BenchOptions, MisbehavingProfilesAndFlowOptionsParseAndCount) {
  const BenchOptions o = ParseBenchOptions(
      {"--clients", "10", "--stalled-pong", "3", "--half-bodies", "2", "--half-body-size=2048", "--flooders", "1",
       "--flood-size", "65536", "--read-rate", "2000000", "--big-text", "11184548", "--slow-ok", "--timeline", "t.csv",
       "--stalled", "4"});
  EXPECT_EQ(o.stalledPong, 3u);
  EXPECT_EQ(o.halfBodies, 2u);
  EXPECT_EQ(o.halfBodySize, 2048u);
  EXPECT_EQ(o.flooders, 1u);
  EXPECT_EQ(o.floodSize, 65536u);
  EXPECT_DOUBLE_EQ(o.readRate, 2e6);
  EXPECT_EQ(o.bigText, kMaxBigText);
  EXPECT_TRUE(o.slowOk);
  EXPECT_EQ(o.timeline, "t.csv");
  // Every connection needs a descriptor: the new profiles are counted too.
  EXPECT_EQ(TotalClients(o), 10u + 4 + 3 + 2 + 1);

  const BenchOptions defaults = ParseBenchOptions({});
  EXPECT_EQ(defaults.halfBodySize, 16u * 1024 * 1024);
  EXPECT_EQ(defaults.floodSize, 64u * 1024);
  EXPECT_FALSE(defaults.slowOk);
}

TEST(BenchOptions, OutOfRangeProfileValuesAreRefusedByName) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const std::vector<Case> cases = {
      {{"--half-body-size", "16777217"}, "--half-body-size needs"},
      {{"--half-body-size", "100"}, "--half-body-size needs"},
      {{"--big-text", "11184549"}, "--big-text needs"},
      {{"--flood-size", "63"}, "--flood-size needs"},
      {{"--read-rate", "0"}, "--read-rate needs"},
      {{"--flooders", "-1"}, "--flooders needs"},
      {{"--timeline="}, "--timeline needs"},
      {{"--slow-ok=yes"}, "--slow-ok takes no value"},
      {{"--connect-only", "--flooders", "1"}, "do not go with --connect-only"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    try {
      ParseBenchOptions(c.args);
      ADD_FAILURE() << "accepted";
    } catch (const UsageError& error) {
      EXPECT_NE(error.message.find(c.says), std::string::npos) << error.message;
    }
  }
}

TEST(BenchOptions, TheLongestBigTextStillFitsInARelayedPacket) {
  // The relay puts "[BC from NICK @ ROOM]: " in front and encodes it all;
  // the client reader refuses anything above 16 MiB.
  const std::string prefix = "[BC from " + std::string(32, 'n') + "-999999 @ room-100000]: ";
  const std::size_t relayedPayload = (prefix.size() + kMaxBigText + 3) / 4 * 6;
  EXPECT_LE(8 + relayedPayload, kMaxPacketBytes);
}

TEST(BenchReport, ShowsOfferedSentAcceptedInFlightDeliveredLostAndHeldBackInBothForms) {
  BenchReport r;
  r.senders = 2;
  r.messagesPerSender = 10;
  r.messagesSent = 20;
  r.textsSent = 17;
  r.textsAccepted = 12;
  r.textsInFlight = 5;
  r.deliveries = 50;
  r.deliveriesDue = 51;
  r.lost = 1;
  r.readersKept = 3;
  r.connectionsLost = 2;
  r.heldBackSeconds = 4.5;
  r.heldBackMaxSeconds = 3.25;
  r.sendersHeldBack = 2;
  r.flooders = 1;
  r.floodBytesPerSecond = 1.5e6;
  r.floodersDropped = 1;
  r.halfBodies = 4;
  r.halfBodiesDropped = 4;
  r.halfBodyDropSeconds = 31;
  r.stalledPong = 5;
  r.stalledPongDropped = 0;
  const std::string json = FormatJson(r);
  for (const char* field :
       {"\"texts_offered\":20", "\"texts_sent\":17", "\"texts_accepted\":12", "\"texts_in_flight\":5",
        "\"deliveries\":50", "\"deliveries_due\":51",
        "\"lost_deliveries\":1", "\"readers_kept_reading\":3", "\"readers_cut_off\":2", "\"connections_lost\":2",
        "\"held_back_seconds\":4.500", "\"held_back_max_seconds\":3.250", "\"senders_held_back\":2",
        "\"flood_bytes_per_second\":1500000", "\"flooders_dropped\":1", "\"half_bodies_dropped\":4",
        "\"half_body_drop_seconds\":31.000", "\"stalled_pong\":5", "\"messages_sent\":20"}) {
    EXPECT_NE(json.find(field), std::string::npos) << field << " missing in " << json;
  }
  const std::string table = FormatTable(r);
  for (const char* row : {"texts offered          20 of 20", "texts sent             17", "texts accepted         12",
                          "texts in flight        5", "lost deliveries        1",
                          "3.250 s for one", "1.500 MB/s", "after 31.0 s on average", "stalled, ponging       5"}) {
    EXPECT_NE(table.find(row), std::string::npos) << row << " missing in\n" << table;
  }
}

}  // namespace
}  // namespace parlivo::bench
