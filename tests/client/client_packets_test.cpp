// What a chat client sends and how it cuts what it receives.

#include "client/client_packets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/packet_framing.h"

namespace parlivo {
namespace {

using namespace std::string_literals;

std::string Int32LE(std::int32_t value) {
  std::string out;
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
  return out;
}

// A raw packet with any Size field, for headers a builder would never make.
std::string RawPacket(std::int32_t size, std::int32_t id, const std::string& payload = {}) {
  return Int32LE(size) + Int32LE(id) + payload;
}

TEST(ClientPackets, BuildPacketWritesSizeIdAndPayload) {
  EXPECT_EQ(BuildPacket(8, "abc"), RawPacket(11, 8, "abc"));
  EXPECT_EQ(BuildPacket(10, ""), RawPacket(8, 10));
}

TEST(ClientPackets, RegistrationPayloadUsesShortFormUpTo255Bytes) {
  EXPECT_EQ(RegistrationPayload("Ann", "Lobby"), "\x06\x03" "Ann" "\x06\x05" "Lobby"s);
  EXPECT_EQ(RegistrationPayload("", ""), "\x06\x00\x06\x00"s);
  const std::string longest(255, 'n');
  EXPECT_EQ(RegistrationPayload(longest, "r"), "\x06\xFF"s + longest + "\x06\x01r");
}

TEST(ClientPackets, RegistrationPayloadUsesLongFormAbove255Bytes) {
  const std::string name(300, 'n');
  EXPECT_EQ(RegistrationPayload(name, "Lobby"), "\x0C"s + Int32LE(300) + name + "\x06\x05Lobby");
  EXPECT_EQ(RegistrationString(std::string(256, 'x')).substr(0, 5), "\x0C"s + Int32LE(256));
}

TEST(ClientPackets, PrivateDataPayloadPrefixesTheRecipientsName) {
  EXPECT_EQ(PrivateDataPayload("Bob", "hi\0there"s), Int32LE(3) + "Bob" + "hi\0there"s);
  EXPECT_EQ(PrivateDataPayload("Bob", ""), Int32LE(3) + "Bob");
}

TEST(ClientPackets, ParseUserList) {
  struct Case {
    const char* name;
    std::string payload;
    std::vector<std::string> names;
  };
  const std::vector<Case> cases = {
      {"empty roster", "", {}},
      {"two names", "Ann\r\nBob\r\n", {"Ann", "Bob"}},
      {"trailing part without CR LF is a name", "Ann\r\nBob", {"Ann", "Bob"}},
      {"empty name between terminators", "Ann\r\n\r\nBob\r\n", {"Ann", "", "Bob"}},
      {"lone CR and LF stay in the name", "A\rn\nn\r\n", {"A\rn\nn"}},
      {"CR at the very end is a name part", "Ann\r", {"Ann\r"}},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseUserList(c.payload), c.names) << c.name;
}

std::vector<ReceivedPacket> Drain(PacketReader& reader) {
  std::vector<ReceivedPacket> packets;
  while (auto packet = reader.next()) packets.push_back(*packet);
  return packets;
}

TEST(PacketReader, ByteByByteAndAllAtOnceGiveTheSamePackets) {
  const std::string stream = BuildPacket(12, "") + BuildPacket(21, "Ann\r\nBob\r\n") + RawPacket(3, 9) +
                             RawPacket(-5, 7) + BuildPacket(8, std::string(5000, 'z')) + BuildPacket(24, "\0x"s);
  const std::vector<ReceivedPacket> expected = {
      {12, ""}, {21, "Ann\r\nBob\r\n"}, {9, ""}, {8, std::string(5000, 'z')}, {24, "\0x"s}};

  PacketReader whole;
  whole.append(stream);
  EXPECT_EQ(Drain(whole), expected);
  EXPECT_EQ(whole.buffered(), 0u);

  PacketReader bytewise;
  std::vector<ReceivedPacket> got;
  for (char byte : stream) {
    bytewise.append(std::string_view(&byte, 1));
    for (auto& packet : Drain(bytewise)) got.push_back(packet);
  }
  EXPECT_EQ(got, expected);
  EXPECT_FALSE(bytewise.failed());
}

TEST(PacketReader, WaitsForAnIncompletePacket) {
  const std::string packet = BuildPacket(8, "hello");
  PacketReader reader;
  reader.append(packet.substr(0, packet.size() - 1));
  EXPECT_FALSE(reader.next());
  EXPECT_EQ(reader.buffered(), packet.size() - 1);
  reader.append(packet.substr(packet.size() - 1));
  EXPECT_EQ(reader.next(), (ReceivedPacket{8, "hello"}));
}

TEST(PacketReader, BadSizesAreProtocolErrorsAfterEarlierPackets) {
  struct Case {
    const char* name;
    std::string bad;
  };
  const std::vector<Case> cases = {
      {"size 0", RawPacket(0, 8)},
      {"larger than the limit", RawPacket(kMaxPacketSize + 1, 8)},
  };
  for (const Case& c : cases) {
    PacketReader reader;
    reader.append(BuildPacket(18, "") + c.bad + BuildPacket(8, "after"));
    EXPECT_EQ(Drain(reader), (std::vector<ReceivedPacket>{{18, ""}})) << c.name;
    EXPECT_TRUE(reader.failed()) << c.name;
    EXPECT_NE(reader.error().find("protocol error"), std::string::npos) << c.name;
    reader.append(BuildPacket(8, "later"));
    EXPECT_FALSE(reader.next()) << c.name << ": nothing is cut after a protocol error";
  }
}

TEST(PacketReader, TheLargestAllowedSizeIsWaitedFor) {
  PacketReader reader;
  reader.append(RawPacket(kMaxPacketSize, 8, "partial"));
  EXPECT_FALSE(reader.failed());
  EXPECT_FALSE(reader.next());
}

}  // namespace
}  // namespace parlivo
