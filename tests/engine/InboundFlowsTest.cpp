#include <gtest/gtest.h>

#include "mqtt/engine/InboundFlows.h"

// Bounded: beyond the capacity the oldest open flow is forgotten (and counted),
// a reopened identifier takes the newest place, a closed one frees its place.
TEST(InboundFlows, TheOldestFlowIsForgottenBeyondTheCapacity)
{
    TInboundFlows flows(2);
    flows.Open(1, "one");
    flows.Open(2, "two");
    flows.Open(1, "one again");   // reopened: now the newest
    flows.Open(3, "three");       // pushes out 2, the oldest
    EXPECT_EQ(flows.Count(), 2u);
    EXPECT_EQ(flows.Forgotten(), 1u);
    EXPECT_FALSE(flows.Contains(2));
    ASSERT_NE(flows.Find(1), nullptr);
    EXPECT_EQ(*flows.Find(1), "one again");

    flows.Close(1);
    flows.Open(4, "four");
    EXPECT_EQ(flows.Forgotten(), 1u) << "a closed flow made room";
    EXPECT_TRUE(flows.Contains(3));
    EXPECT_TRUE(flows.Contains(4));
}
