// The ring's edges: exactly full (never taken for empty, never overwritten),
// one slot, and counters that wrap past the capacity many times.

#include <gtest/gtest.h>

#include "platform/SpscRing.h"

namespace {

TEST(SpscRing, FullRingsOfOneAndOfFourRefuseWithoutOverwriting) {
    for (int capacity : {1, 4}) {
        SCOPED_TRACE(capacity);
        SpscRing<int> ring(capacity);
        int out = -1;
        for (int round = 0; round < 3; ++round) {
            for (int i = 0; i < capacity; ++i) ASSERT_TRUE(ring.tryPush(round * 10 + i));
            EXPECT_FALSE(ring.tryPush(99));
            EXPECT_EQ(ring.size(), size_t(capacity)) << "a full ring is not an empty one";
            for (int i = 0; i < capacity; ++i) {
                ASSERT_TRUE(ring.tryPop(out));
                EXPECT_EQ(out, round * 10 + i);
            }
            EXPECT_FALSE(ring.tryPop(out));
        }
    }
}

TEST(SpscRing, KeepsOrderAcrossManyWrapArounds) {
    SpscRing<int> ring(3);
    int next = 0, expected = 0, out = -1, wrong = 0;
    // Two in, one out, emptying whenever full.
    for (int round = 0; round < 1000; ++round) {
        if (!ring.tryPush(next)) {
            while (ring.tryPop(out)) wrong += out != expected++;
            ASSERT_TRUE(ring.tryPush(next));
        }
        ++next;
        if (round % 2 == 1 && ring.tryPop(out)) wrong += out != expected++;
    }
    while (ring.tryPop(out)) wrong += out != expected++;
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(expected, next);
}

}  // namespace
