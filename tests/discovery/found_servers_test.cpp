// The list of found servers both clients show: one entry per name
// (compared as DNS compares names), sorted, updated in place.

#include <gtest/gtest.h>

#include "discovery/found_servers.h"

namespace parlivo {
namespace {

TEST(FoundServers, OneEntryPerNameSortedAndUpdatedInPlace) {
  FoundServers list;
  EXPECT_TRUE(list.Update({"Lab", "lab.local", "192.168.1.5", 65535}));
  EXPECT_TRUE(list.Update({"Attic", "attic.local", "192.168.1.9", 4000}));
  EXPECT_FALSE(list.Update({"Lab", "lab.local", "192.168.1.5", 65535}));  // the same again: no change
  // Seen again with another port (restarted elsewhere): replaced, not added.
  EXPECT_TRUE(list.Update({"lab", "lab.local", "192.168.1.5", 4100}));
  ASSERT_EQ(list.servers().size(), 2u);
  EXPECT_EQ(list.servers()[0].name, "Attic");
  EXPECT_EQ(list.servers()[1].port, 4100);

  EXPECT_EQ(list.Find("ATTIC").value().address, "192.168.1.9");
  EXPECT_FALSE(list.Find("Att").has_value());
  EXPECT_TRUE(list.Remove("LAB"));
  EXPECT_FALSE(list.Remove("Lab"));
  EXPECT_EQ(list.servers().size(), 1u);
}

TEST(FoundServers, DiscoverLineHasNameAddressPortAndHost) {
  EXPECT_EQ(FoundServerLine({"Lab chat", "lab.local", "192.168.1.5", 65535}),
            "Lab chat\t192.168.1.5:65535\tlab.local");
}

}  // namespace
}  // namespace parlivo
