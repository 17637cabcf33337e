// The access policy as tables: which peer addresses each policy admits,
// how range lists are read, and what the refusal line tells the operator.

#include <gtest/gtest.h>

#include <string>

#include "app/access_policy.h"

namespace parlivo {
namespace {

AccessPolicy Policy(const std::string& allow = "", const std::string& deny = "", bool any = false) {
  std::string error;
  AccessPolicy policy;
  policy.admitAny = any;
  policy.allow = ParseAddressRanges(allow, error).value();
  policy.deny = ParseAddressRanges(deny, error).value();
  return policy;
}

struct Case {
  const char* peer;
  AccessVerdict verdict;
};

void ExpectVerdicts(const AccessPolicy& policy, std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(DecideAccess(policy, c.peer).verdict, c.verdict) << c.peer;
  }
}

TEST(AccessPolicy, DefaultAdmitsTheLocalNetworkAndNothingElse) {
  using V = AccessVerdict;
  ExpectVerdicts(Policy(), {
      {"127.0.0.1", V::LocalNetwork},     {"127.255.255.254", V::LocalNetwork},
      {"10.0.0.1", V::LocalNetwork},      {"10.255.255.255", V::LocalNetwork},
      {"172.16.0.1", V::LocalNetwork},    {"172.31.255.255", V::LocalNetwork},
      {"192.168.1.20", V::LocalNetwork},  {"169.254.10.10", V::LocalNetwork},
      {"100.64.0.1", V::LocalNetwork},    {"100.127.255.255", V::LocalNetwork},
      {"::1", V::LocalNetwork},           {"fd12:3456::1", V::LocalNetwork},
      {"fc00::1", V::LocalNetwork},       {"fe80::1", V::LocalNetwork},
      {"fe80::1%eth0", V::LocalNetwork},  {"::ffff:192.168.0.5", V::LocalNetwork},
      {"::ffff:127.0.0.1", V::LocalNetwork},
      // Just outside each range, and plainly public addresses.
      {"11.0.0.1", V::NotLocal},          {"172.15.255.255", V::NotLocal},
      {"172.32.0.0", V::NotLocal},        {"192.169.0.1", V::NotLocal},
      {"169.255.0.1", V::NotLocal},       {"100.63.255.255", V::NotLocal},
      {"100.128.0.0", V::NotLocal},       {"8.8.8.8", V::NotLocal},
      {"203.0.113.7", V::NotLocal},       {"::ffff:203.0.113.7", V::NotLocal},
      {"2001:db8::1", V::NotLocal},       {"fec0::1", V::NotLocal},
      {"::", V::NotLocal},                {"0.0.0.0", V::NotLocal},
      // What cannot be read is refused, never admitted.
      {"", V::Unreadable},                {"not an address", V::Unreadable},
      {"300.1.1.1", V::Unreadable},
  });
}

TEST(AccessPolicy, AllowListAddsToTheLocalNetwork) {
  using V = AccessVerdict;
  ExpectVerdicts(Policy("203.0.113.0/24, 2001:db8::/32 198.51.100.9"), {
      {"203.0.113.200", V::Allowed},
      {"::ffff:203.0.113.1", V::Allowed},
      {"2001:db8:1::5", V::Allowed},
      {"198.51.100.9", V::Allowed},
      {"198.51.100.10", V::NotLocal},
      {"203.0.114.1", V::NotLocal},
      {"192.168.0.1", V::LocalNetwork},
  });
}

TEST(AccessPolicy, DenyListWinsOverEverythingThatAdmits) {
  using V = AccessVerdict;
  ExpectVerdicts(Policy("203.0.113.0/24", "192.168.7.0/24, 203.0.113.66, ::ffff:10.9.0.0/112"), {
      {"192.168.7.3", V::Denied},
      {"::ffff:192.168.7.3", V::Denied},
      {"192.168.8.3", V::LocalNetwork},
      {"203.0.113.66", V::Denied},
      {"203.0.113.67", V::Allowed},
      {"10.9.0.5", V::Denied},  // a mapped range counts for plain IPv4 peers
      {"10.10.0.5", V::LocalNetwork},
  });
  ExpectVerdicts(Policy("", "8.8.0.0/16", true), {
      {"8.8.8.8", V::Denied},
      {"8.9.8.8", V::AnyAddress},
      {"2001:db8::1", V::AnyAddress},
      {"10.0.0.1", V::AnyAddress},
  });
}

// Only a range inside ::ffff:0:0/96 is an IPv4 range written the IPv6 way;
// an IPv6 range that holds the whole mapped block (::/0) means IPv6 only,
// so --allow ::/0 opens no IPv4 address and --deny ::/0 shuts none.
TEST(AccessPolicy, OnlyRangesInsideTheMappedBlockCountForIPv4Peers) {
  using V = AccessVerdict;
  struct Row {
    const char* allow;
    const char* deny;
    bool any;
    const char* peer;
    AccessVerdict verdict;
  };
  const Row rows[] = {
      {"::/0", "", false, "203.0.113.7", V::NotLocal},
      {"::/0", "", false, "2001:db8::1", V::Allowed},
      {"", "::/0", true, "::ffff:10.0.0.1", V::AnyAddress},
      {"", "::/0", true, "2001:db8::1", V::Denied},
      {"", "::ffff:0:0/80", true, "8.8.8.8", V::AnyAddress},
      // Inside the block: the IPv4 range it maps, however the peer is written.
      {"::ffff:0:0/96", "", false, "203.0.113.7", V::Allowed},
      {"::ffff:203.0.113.0/120", "", false, "::ffff:203.0.113.9", V::Allowed},
      {"::ffff:203.0.113.0/120", "", false, "203.0.114.1", V::NotLocal},
      // "::" is no IPv4 peer, whatever Qt's conversion says of it.
      {"0.0.0.0/0", "", false, "::", V::NotLocal},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(DecideAccess(Policy(row.allow, row.deny, row.any), row.peer).verdict, row.verdict)
        << "allow " << row.allow << ", deny " << row.deny << ", peer " << row.peer;
  }
  std::string error;
  EXPECT_EQ(AddressRangesText(ParseAddressRanges("::/0, ::ffff:10.0.0.0/104, ::ffff:0:0/80", error).value()),
            "::/0, 10.0.0.0/8, ::/80");
}

TEST(AccessPolicy, RangeListsAreReadOrRefusedWithTheBadEntryNamed) {
  std::string error;
  const auto ranges = ParseAddressRanges(" 10.1.0.0/16,,2001:db8::/32\t203.0.113.7 ", error);
  ASSERT_TRUE(ranges.has_value()) << error;
  EXPECT_EQ(AddressRangesText(*ranges), "10.1.0.0/16, 2001:db8::/32, 203.0.113.7");
  EXPECT_TRUE(ParseAddressRanges("", error).value().empty());

  for (const char* bad : {"10.0.0.0/33", "example.org", "10.0.0/8x", "2001:db8::/129", "/8"}) {
    error.clear();
    EXPECT_FALSE(ParseAddressRanges(std::string("10.0.0.0/8,") + bad, error).has_value()) << bad;
    EXPECT_NE(error.find(bad), std::string::npos) << error;
  }
}

TEST(AccessPolicy, DescriptionNamesWhatIsAdmitted) {
  EXPECT_EQ(DescribeAccessPolicy(Policy()), "local network only");
  EXPECT_EQ(DescribeAccessPolicy(Policy("203.0.113.0/24", "192.168.7.0/24")),
            "local network and 203.0.113.0/24, except 192.168.7.0/24");
  EXPECT_EQ(DescribeAccessPolicy(Policy("203.0.113.0/24", "", true)), "any address");
}

TEST(AccessPolicy, RefusalLineNamesTheAddressAndTheOptionThatAdmitsIt) {
  const std::string notLocal = RefusalLogLine("203.0.113.7", DecideAccess(Policy(), "203.0.113.7"));
  EXPECT_EQ(notLocal.rfind("Refused a connection from 203.0.113.7: not on the local network", 0), 0u) << notLocal;
  for (const char* option : {"--allow 203.0.113.7", "AllowFrom", "--admit-any", "AdmitAny"}) {
    EXPECT_NE(notLocal.find(option), std::string::npos) << option;
  }
  const std::string denied = RefusalLogLine("10.2.3.4", DecideAccess(Policy("", "10.2.0.0/16"), "10.2.3.4"));
  EXPECT_NE(denied.find("10.2.0.0/16"), std::string::npos) << denied;
  EXPECT_NE(denied.find("DenyFrom"), std::string::npos) << denied;
}

}  // namespace
}  // namespace parlivo
