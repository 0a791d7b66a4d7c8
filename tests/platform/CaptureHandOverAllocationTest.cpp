// The capture side of the hand-over must never reach the allocator: it runs on
// the audio device's real-time thread.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "decode/SMPTE_tc.h"
#include "platform/CaptureHandOver.h"
#include "tests/support/CountingAllocator.h"

using counting_allocator::allocations;
using counting_allocator::armed;

namespace {

TEST(CaptureHandOverAllocation, PushingAcceptedAndDroppedValuesAllocatesNothing) {
    CaptureHandOver<SMPTE_tc> handOver(2, 4, [](const SMPTE_tc&) {});
    long accepted = 0;
    std::thread capture([&] {
        armed = true;
        SMPTE_tc tc{};
        // Nothing drains meanwhile, so this covers both the accepting and the dropping path.
        for (int i = 0; i < 1000; ++i) accepted += handOver.push(1, tc) ? 1 : 0;
        armed = false;
    });
    capture.join();
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_EQ(accepted, 4);
    EXPECT_EQ(handOver.dropped(1), 996u);
}

}  // namespace
