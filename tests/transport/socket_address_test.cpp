// Addresses as the server shows and announces them.

#include "transport/platform/socket_address.h"

#include <gtest/gtest.h>
#include <net/if.h>

namespace parlivo {
namespace {

SockAddrIn6 Six(const std::string& text) {
  const auto address = ParseNumericAddress(text, 0);
  EXPECT_TRUE(address && address->family == kAfInet6) << text;
  return address ? address->ipv6() : SockAddrIn6{};
}

// A link-local address on interface 1 (loopback), with its zone as the
// system names it.
std::string OnFirstInterface(const std::string& address) {
  char name[IF_NAMESIZE] = {};
  return address + "%" + (::if_indextoname(1, name) != nullptr ? name : "1");
}

TEST(SocketAddress, PeersAreShownAsUsersWriteThem) {
  const std::string loopbackZone = OnFirstInterface("fe80::1");
  const struct {
    std::string text;
    std::string shown;
  } cases[] = {
      {"192.0.2.7", "192.0.2.7"},
      {"::ffff:192.0.2.7", "192.0.2.7"},  // an IPv4 peer on a dual-stack socket
      {"::ffff:127.0.0.1", "127.0.0.1"},
      {"2001:db8::7", "2001:db8::7"},
      {"::1", "::1"},
      {loopbackZone, loopbackZone},
  };
  for (const auto& c : cases) {
    const auto address = ParseNumericAddress(c.text, 4000);
    ASSERT_TRUE(address) << c.text;
    EXPECT_EQ(AddressText(*address), c.shown) << c.text;
  }
  for (const std::string bad : {"", "localhost", "192.0.2.300", "[::1]", "fd12::5::6"})
    EXPECT_FALSE(ParseNumericAddress(bad, 4000)) << bad;
}

TEST(SocketAddress, TheAnnouncedIPv6AddressIsOneOthersCanReach) {
  const std::string linkLocal = OnFirstInterface("fe80::5");
  const struct {
    std::vector<std::string> addresses;
    bool hasIPv4;
    std::string announced;
  } cases[] = {
      {{"::1", "fe80::5%1", "2001:db8::5", "fd12::5"}, true, "2001:db8::5"},
      {{"::1", "fd12::5"}, true, "fd12::5"},
      {{"::1", "fe80::5%1"}, true, ""},             // the IPv4 address is announced instead
      {{"::1", "fe80::5%1"}, false, linkLocal},     // nothing else to reach it by
      {{"::1", "::ffff:192.0.2.7", "ff02::1"}, false, ""},
      {{}, false, ""},
  };
  for (const auto& c : cases) {
    std::vector<SockAddrIn6> addresses;
    for (const std::string& text : c.addresses) addresses.push_back(Six(text));
    EXPECT_EQ(ChooseAnnouncedIPv6(addresses, c.hasIPv4), c.announced) << ::testing::PrintToString(c.addresses);
  }
}

}  // namespace
}  // namespace parlivo
