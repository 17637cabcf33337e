// The byte rules that keep one client from passing for another or from
// making a packet no client takes: the name rules, the roster cut to a
// packet, and the key that groups a machine's addresses.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/name_rules.h"
#include "transport/platform/socket_address.h"
#include "transport/roster_text.h"

namespace parlivo {
namespace {

TEST(NameRules, NamesThatCouldPassForAnotherOrBreakTheSenderPrefixAreRefused) {
  struct Case {
    std::string name;
    bool refused;
  };
  const Case cases[] = {
      {"", false},
      {"Ann Smith", false},
      {"Zo\xeb", false},                         // accents of the code page
      {"\x80uro", false},                        // the code page's printable high bytes
      {std::string(1024, 'n'), false},           // long names of the written forms still fit
      {std::string(1025, 'n'), true},
      {"Watcher @ Lobby]: I am leaving", true},  // would forge a relay's sender
      {"a]: b", true},
      {"a @ b", true},
      {"a@b", false},                            // an e-mail-like name is fine
      {"Watcher\xa0", true},                     // no-break space
      {"Wat\xad" "cher", true},                    // soft hyphen
      {"Watcher ", true},
      {" Watcher", true},
      {"line\nbreak", true},
      {std::string("nul\0byte", 8), true},
      {"del\x7f", true},
      {"c1\x81", true},                          // undefined in the code page: a C1 control
  };
  for (const Case& c : cases) EXPECT_EQ(NameFault(c.name) != nullptr, c.refused) << "\"" << c.name << "\"";
}

TEST(NameRules, EveryByteIsAllowedInsideANameButControlsAndInvisibleOnes) {
  const auto refused = [](unsigned char c) {
    return c < 0x20 || c == 0x7f || c == 0x81 || c == 0x8d || c == 0x8f || c == 0x90 || c == 0x9d || c == 0xa0 ||
           c == 0xad;
  };
  for (int c = 0; c < 256; ++c) {
    const std::string name = "a" + std::string(1, static_cast<char>(c)) + "b";
    EXPECT_EQ(NameFault(name) != nullptr, refused(static_cast<unsigned char>(c))) << "byte " << c;
  }
}

TEST(RosterText, NamesThatDoNotFitThePacketAreCutWholeAndCounted) {
  const std::vector<std::string> names = {"Ann", "Bob", "Carol"};
  const RosterPayload all = RosterText(names, 1000);
  EXPECT_EQ(all.text, "Ann\r\nBob\r\nCarol\r\n");
  EXPECT_EQ(all.listed, 3u);
  const RosterPayload exact = RosterText(names, 10);  // "Ann\r\nBob\r\n" is exactly 10
  EXPECT_EQ(exact.text, "Ann\r\nBob\r\n");
  EXPECT_EQ(exact.listed, 2u);
  EXPECT_EQ(RosterText(names, 9).listed, 1u);
  EXPECT_EQ(RosterText(names, 0).text, "");
}

TEST(AddressGroup, AMachineIsItsIPv4AddressOrItsIPv6Network) {
  EXPECT_EQ(AddressGroup("192.0.2.7"), "192.0.2.7");
  EXPECT_EQ(AddressGroup("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
  EXPECT_EQ(AddressGroup("2001:db8:1:2:bbbb::9"), AddressGroup("2001:db8:1:2:aaaa::1"));
  EXPECT_NE(AddressGroup("2001:db8:1:3::1"), AddressGroup("2001:db8:1:2::1"));
  EXPECT_EQ(AddressGroup("not an address"), "not an address");
  EXPECT_TRUE(IsLoopbackText("127.0.0.1"));
  EXPECT_TRUE(IsLoopbackText("127.5.0.1"));
  EXPECT_TRUE(IsLoopbackText("::1"));
  EXPECT_FALSE(IsLoopbackText("10.127.0.1"));
}

}  // namespace
}  // namespace parlivo
