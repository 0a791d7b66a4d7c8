// The capture side of the hand-over must never reach the allocator: it runs on
// the audio device's real-time thread.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#include "decode/SMPTE_tc.h"
#include "platform/CaptureHandOver.h"

namespace {
// Only allocations made on a thread that has armed the count are counted.
thread_local bool tCounting = false;
std::atomic<long> gAllocations{0};

void* counted(std::size_t size) {
    if (tCounting) gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) {
    return counted(size);
}
void* operator new[](std::size_t size) {
    return counted(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

TEST(CaptureHandOverAllocation, PushingAcceptedAndDroppedValuesAllocatesNothing) {
    CaptureHandOver<SMPTE_tc> handOver(2, 4, [](const SMPTE_tc&) {});
    long accepted = 0;
    std::thread capture([&] {
        tCounting = true;
        SMPTE_tc tc{};
        // Nothing drains meanwhile, so this covers both the accepting and the dropping path.
        for (int i = 0; i < 1000; ++i) accepted += handOver.push(1, tc) ? 1 : 0;
        tCounting = false;
    });
    capture.join();
    EXPECT_EQ(gAllocations.load(), 0);
    EXPECT_EQ(accepted, 4);
    EXPECT_EQ(handOver.dropped(1), 996u);
}

}  // namespace
