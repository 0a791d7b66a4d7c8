// printTimecodeData runs inside the decoders, on the devices' real-time
// threads: it must never reach the allocator, and what it hands over must
// reach the main thread whole and in order. Its own executable, since it
// replaces the global operator new to count allocations.

#include <atomic>
#include <thread>

#include "tests/platform/MainLoop.h"
#include "tests/routing/ControllerFixture.h"
#include "tests/support/CountingAllocator.h"

using counting_allocator::allocations;
using counting_allocator::armed;

namespace {

using PrintTimecodeDataTest = ControllerFixture;

// Two devices' capture threads at once, more values than a ring holds and
// nothing draining meanwhile: the accepting and the dropping path both run.
TEST_F(PrintTimecodeDataTest, QueuesWithoutAllocatingKeepsOrderAndCountsWhatAFullRingDrops) {
    start("Studio");
    const int perDevice = int(TimecodeController::kValuesPerDevice) + 100;
    auto capture = [&](int device) {
        armed = true;
        for (int i = 0; i < perDevice; ++i) {
            SMPTE_tc tc = timecodeFrom(device * 100 + 1, i % 25);
            tc.u1 = i & 0xF, tc.u2 = (i >> 4) & 0xF, tc.u3 = (i >> 8) & 0xF, tc.u4 = i >> 12;
            printTimecodeData(tc);
        }
        printTimecodeData(timecodeFrom(900, 1));  // no such device
        armed = false;
    };
    std::thread first(capture, 0), second(capture, 1);
    first.join();
    second.join();
    EXPECT_EQ(allocations.load(), 0);

    ASSERT_TRUE(runMainLoopUntil(
        [&] { return listener.heard.size() == TimecodeController::kValuesPerDevice; }));
    for (size_t i = 0; i < listener.heard.size(); ++i) {
        const SMPTE_tc& tc = listener.heard[i];
        ASSERT_EQ(size_t(tc.u1 | tc.u2 << 4 | tc.u3 << 8 | tc.u4 << 12), i);
        ASSERT_EQ(tc.myId, 101);
    }
    controller->refreshTimecode();
    for (const char* device : {"0", "1"}) {
        EXPECT_TRUE(logged(std::string("Dropped 100 timecode values of audio device ") + device +
                           ": the main loop fell behind"));
    }
}

}  // namespace
