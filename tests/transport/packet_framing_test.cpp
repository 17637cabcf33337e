// Cutting packets out of a receive buffer, and appending them to a queue.

#include "transport/packet_framing.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "recording_socket.h"

namespace parlivo {
namespace {

using testing::Packet;

struct Cut {
  std::int32_t id;
  std::string payload;
  bool operator==(const Cut&) const = default;
};

struct PassResult {
  std::vector<Cut> delivered;
  std::string left;
  ReceivePassEnd end = ReceivePassEnd::Drained;
};

// Appends `bytes` to `buffer` and runs one pass over it.
PassResult Feed(ByteStream& buffer, const std::string& bytes, PassResult result = {}) {
  buffer.append(bytes.data(), bytes.size());
  ByteStream payload;
  result.end = RunReceivePass(buffer, payload, [&](std::int32_t id, ByteStream& data) {
    EXPECT_EQ(data.position(), 0u);
    result.delivered.push_back({id, PayloadToString(data)});
    return true;
  });
  result.left = std::string(buffer.unread());
  return result;
}

struct FramingCase {
  const char* name;
  std::string bytes;
  std::vector<Cut> delivered;
  std::string left;  // unfinished bytes kept for the next pass
};

std::vector<FramingCase> FramingCases() {
  const std::string twelve = "0123456789AB";
  return {
      {"header only", Packet(8, 9), {{9, ""}}, ""},
      {"five bytes wait", Packet(8, 9).substr(0, 5), {}, Packet(8, 9).substr(0, 5)},
      {"payload incomplete", Packet(20, 4, "abcd"), {}, Packet(20, 4, "abcd")},
      {"payload complete", Packet(20, 4, twelve), {{4, twelve}}, ""},
      {"two packets and three bytes", Packet(1, "x") + Packet(2, "yz") + "abc", {{1, "x"}, {2, "yz"}}, "abc"},
      {"size 3 has no payload", Packet(3, 7) + Packet(2, "q"), {{7, ""}, {2, "q"}}, ""},
      {"negative size skipped", Packet(-1, 7) + Packet(5, "hello"), {{5, "hello"}}, ""},
      {"size 0 drops the rest", Packet(1, "a") + Packet(0, 7) + Packet(5, "hello"), {{1, "a"}}, ""},
      {"zero bytes in payload", Packet(8, std::string("a\0b\0", 4)), {{8, std::string("a\0b\0", 4)}}, ""},
      {"largest allowed size waits", Packet(kMaxPacketSize, 19, "xy"), {}, Packet(kMaxPacketSize, 19, "xy")},
  };
}

TEST(ReceivePass, DeliversTheSameWhetherBytesComeAtOnceOrOneByOne) {
  for (const FramingCase& c : FramingCases()) {
    SCOPED_TRACE(c.name);
    ByteStream whole;
    const PassResult atOnce = Feed(whole, c.bytes);
    EXPECT_EQ(atOnce.delivered, c.delivered);
    EXPECT_EQ(atOnce.left, c.left);
    // Delivered bytes are dropped: a connection's buffer never grows with what it relayed.
    EXPECT_EQ(whole.size(), c.left.size());

    ByteStream trickled;
    PassResult byByte;
    for (char byte : c.bytes) byByte = Feed(trickled, std::string(1, byte), std::move(byByte));
    if (c.bytes.find(Packet(0, 7)) == std::string::npos) {
      EXPECT_EQ(byByte.delivered, c.delivered);
      EXPECT_EQ(byByte.left, c.left);
      EXPECT_EQ(trickled.size(), c.left.size());
    }
  }
}

TEST(ReceivePass, SizeZeroDropsOnlyWhatIsInTheBufferAtThatMoment) {
  ByteStream buffer;
  PassResult first = Feed(buffer, Packet(1, "a") + Packet(0, 7) + Packet(5, "gone"));
  EXPECT_EQ(first.end, ReceivePassEnd::SizeZero);
  EXPECT_EQ(buffer.size(), 0u);
  const PassResult next = Feed(buffer, Packet(6, "later"));
  EXPECT_EQ(next.delivered, (std::vector<Cut>{{6, "later"}}));
}

TEST(ReceivePass, RefusesAHeaderAboveTheLimitWithoutWaitingForItsPayload) {
  ByteStream buffer;
  const PassResult result = Feed(buffer, Packet(1, "a") + Packet(kMaxPacketSize + 1, 19, "xy"));
  EXPECT_EQ(result.end, ReceivePassEnd::Oversized);
  EXPECT_EQ(result.delivered, (std::vector<Cut>{{1, "a"}}));
}

TEST(ReceivePass, AHandlerThatThrowsLeavesTheBufferJustAfterItsPacket) {
  ByteStream buffer;
  const std::string bytes = Packet(1, "a") + Packet(2, "b") + Packet(3, "c") + "xy";
  buffer.append(bytes.data(), bytes.size());
  std::vector<std::int32_t> ids;
  ByteStream payload;
  const auto deliver = [&](std::int32_t id, ByteStream&) {
    ids.push_back(id);
    if (id == 2) throw std::runtime_error("handler failed");
    return true;
  };
  EXPECT_THROW(RunReceivePass(buffer, payload, deliver), std::runtime_error);
  EXPECT_EQ(ids, (std::vector<std::int32_t>{1, 2}));

  // The next pass, with more bytes appended, starts after the failed packet.
  const PassResult next = Feed(buffer, "z" + Packet(4, ""));
  ASSERT_EQ(next.delivered.size(), 1u);
  EXPECT_EQ(next.delivered[0].id, 3);
}

TEST(ReceivePass, AbandonedPassDoesNotTouchTheBufferAgain) {
  ByteStream buffer;
  const std::string bytes = Packet(1, "a") + Packet(2, "b");
  buffer.append(bytes.data(), bytes.size());
  ByteStream payload;
  int calls = 0;
  const auto end = RunReceivePass(buffer, payload, [&](std::int32_t, ByteStream&) {
    ++calls;
    return false;
  });
  EXPECT_EQ(end, ReceivePassEnd::Abandoned);
  EXPECT_EQ(calls, 1);
}

TEST(ReceivePass, NestedPassOfTheSameBufferNeitherRepeatsNorLosesPackets) {
  ByteStream buffer;
  ByteStream outerPayload;
  std::vector<std::int32_t> ids;
  bool nested = false;
  const std::string first = Packet(1, "a") + Packet(2, "b");
  buffer.append(first.data(), first.size());
  RunReceivePass(buffer, outerPayload, [&](std::int32_t id, ByteStream&) {
    ids.push_back(id);
    if (!nested) {
      // A handler pumps the event loop and the next bytes arrive meanwhile.
      nested = true;
      const std::string more = Packet(3, "c") + Packet(4, "d").substr(0, 5);
      buffer.append(more.data(), more.size());
      ByteStream innerPayload;
      RunReceivePass(buffer, innerPayload, [&](std::int32_t inner, ByteStream&) {
        ids.push_back(inner);
        return true;
      });
    }
    return true;
  });
  EXPECT_EQ(ids, (std::vector<std::int32_t>{1, 2, 3}));
  EXPECT_EQ(std::string(buffer.unread()), Packet(4, "d").substr(0, 5));
  const PassResult rest = Feed(buffer, Packet(4, "d").substr(5));
  EXPECT_EQ(rest.delivered, (std::vector<Cut>{{4, "d"}}));
}

TEST(ExtractPacket, CutsOneStepAtATime) {
  ByteStream buffer(Packet(1, "abc") + Packet(-5, 2) + Packet(20, 3, "part"));
  ByteStream payload;
  PacketHeader header;

  ExtractPacket(buffer, payload, header);
  EXPECT_EQ(header.Size, 11);
  EXPECT_EQ(header.ID, 1);
  EXPECT_EQ(PayloadToString(payload), "abc");

  ExtractPacket(buffer, payload, header);
  EXPECT_EQ(header.Size, -5);
  EXPECT_EQ(header.ID, 2);
  EXPECT_EQ(payload.size(), 0u);

  ExtractPacket(buffer, payload, header);
  EXPECT_EQ(header.Size, 0);
  EXPECT_EQ(std::string(payload.view()), Packet(20, 3, "part"));
  EXPECT_EQ(payload.position(), 0u);
}

TEST(QueuePacketBytes, AppendsBehindUnsentBytesWithoutMovingThePosition) {
  ByteStream queue;
  queue.append("unsent", 6);
  queue.setPosition(2);
  AppendPacket(queue, MakePacket(0, 9, nullptr));
  EXPECT_EQ(queue.size(), 14u);
  EXPECT_EQ(queue.position(), 2u);
  EXPECT_EQ(std::string(queue.view().substr(6)), Packet(8, 9));

  const std::string text = "hi";
  AppendPacket(queue, MakePacket(2, 8, text.data()));
  EXPECT_EQ(std::string(queue.view().substr(14)), Packet(8, "hi"));
  // A Size of 8 or less writes the header alone, whatever Data holds.
  AppendPacket(queue, OutgoingPacket{5, 3, text.data()});
  EXPECT_EQ(std::string(queue.view().substr(24)), Packet(5, 3));
}

}  // namespace
}  // namespace parlivo
