// Reference counting per object and per client connection, and the clients a connection
// registered.

#include "server/host/reference_table.h"

#include <gtest/gtest.h>

namespace tavra::host {
namespace {

TEST(HostReferenceTable, CountsPerObjectAndConnection) {
  ReferenceTable t;
  EXPECT_EQ(t.Add("/P1", ":1.1"), 1u);
  EXPECT_EQ(t.Add("/P1", ":1.1"), 2u);
  EXPECT_EQ(t.Add("/P1", ":1.2"), 3u);
  EXPECT_EQ(t.Add("/P2", ":1.2"), 1u);
  EXPECT_EQ(t.Held("/P1", ":1.1"), 2u);
  EXPECT_EQ(t.Held("/P1", ":1.2"), 1u);
  EXPECT_EQ(t.Release("/P1", ":1.1"), 2u);
  EXPECT_EQ(t.Release("/P1", ":1.2"), 1u);
  EXPECT_EQ(t.Release("/P1", ":1.1"), 0u);
  EXPECT_EQ(t.Total("/P1"), 0u);
  EXPECT_EQ(t.Total("/P2"), 1u);
}

TEST(HostReferenceTable, ReleaseByAConnectionHoldingNoneChangesNothing) {
  ReferenceTable t;
  t.Add("/P1", ":1.1");
  EXPECT_EQ(t.Release("/P1", ":1.9"), 1u);
  EXPECT_EQ(t.Release("/unknown", ":1.1"), 0u);
  EXPECT_EQ(t.Release("/P1", ":1.1"), 0u);
  EXPECT_EQ(t.Release("/P1", ":1.1"), 0u);  // no wrap below 0
  EXPECT_EQ(t.Add("/P1", ":1.1"), 1u);
}

TEST(HostReferenceTable, DroppedConnectionGivesItsClientsAndTheObjectsItAloneHeld) {
  ReferenceTable t;
  t.Add("/Pool", ":1.1");
  t.Add("/Pool", ":1.2");
  t.Add("/P1", ":1.1");
  t.Add("/P1", ":1.1");
  t.Add("/P3", ":1.1");
  t.Add("/P3", ":1.2");
  t.Register(":1.1", {"/P1", 4});
  t.Register(":1.1", {"/P3", 2});
  t.Register(":1.2", {"/P3", 5});

  const ReferenceTable::Dropped d = t.DropConnection(":1.1");
  EXPECT_EQ(d.clients, (std::vector<ReferenceTable::Registration>{{"/P1", 4}, {"/P3", 2}}));
  EXPECT_EQ(d.released, std::vector<std::string>{"/P1"});
  EXPECT_EQ(t.Total("/Pool"), 1u);
  EXPECT_EQ(t.Total("/P3"), 1u);
  EXPECT_FALSE(t.Knows(":1.1"));
  EXPECT_TRUE(t.Knows(":1.2"));
  // A second drop finds nothing.
  const ReferenceTable::Dropped again = t.DropConnection(":1.1");
  EXPECT_TRUE(again.clients.empty());
  EXPECT_TRUE(again.released.empty());
}

TEST(HostReferenceTable, ARegistrationBelongsToOneConnection) {
  ReferenceTable t;
  t.Register(":1.1", {"/P1", 7});
  // The id was given out again (after a removal) to another connection's client.
  t.Register(":1.2", {"/P1", 7});
  EXPECT_TRUE(t.RegistrationsOf(":1.1").empty());
  EXPECT_EQ(t.RegistrationsOf(":1.2").size(), 1u);
  t.Register(":1.2", {"/P2", 7});
  t.UnregisterObject("/P1");
  EXPECT_EQ(t.RegistrationsOf(":1.2"), (std::vector<ReferenceTable::Registration>{{"/P2", 7}}));
  t.Unregister({"/P2", 7});
  EXPECT_FALSE(t.Knows(":1.2"));
}

}  // namespace
}  // namespace tavra::host
