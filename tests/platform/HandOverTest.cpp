// Values and work crossing threads: the ring, the capture hand-over, posts to the main thread.

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <thread>
#include <utility>
#include <vector>

#include "platform/CaptureHandOver.h"
#include "platform/MainThread.h"
#include "platform/SpscRing.h"
#include "tests/platform/MainLoop.h"
#include "tests/support/CountingAllocator.h"

namespace {

using Pair = std::array<int, 2>;  // (queue or thread, sequence)
using Pairs = std::vector<Pair>;

// Against a plain queue at every fill, one slot included: a full ring refuses without
// overwriting, is never taken for empty, and keeps order as the counters wrap.
TEST(SpscRing, BehavesAsABoundedQueueAtEveryFillAndAcrossWrapArounds) {
    for (size_t capacity : {1, 3, 4}) {
        SCOPED_TRACE(capacity);
        SpscRing<int> ring(capacity);
        std::deque<int> model;
        int next = 0, out = -1;
        for (size_t round = 0; round < 500; ++round) {
            for (size_t i = 0; i < round % (capacity + 2); ++i, ++next) {  // up to one past full
                ASSERT_EQ(ring.tryPush(next), model.size() < capacity);
                if (model.size() < capacity) model.push_back(next);
                ASSERT_EQ(ring.size(), model.size());
            }
            for (size_t i = 0; i < round * 7 % (capacity + 2); ++i) {
                ASSERT_EQ(ring.tryPop(out), !model.empty());
                if (model.empty()) continue;
                ASSERT_EQ(out, model.front());
                model.pop_front();
            }
        }
    }
}

// A drain takes one from each queue in turn, keeping each queue's order; a full
// queue drops the newest values, without allocating, and counts them.
TEST(CaptureHandOver, DrainsQueuesInTurnAndAFullOneDropsTheNewestAndCountsThem) {
    Pairs received;
    CaptureHandOver<Pair> h(3, 2, [&](const Pair& p) { received.push_back(p); });
    const Pairs pushes = {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {1, 0}, {1, 1}, {2, 0}};
    const bool accepted[] = {true, true, false, false, true, true, true};
    counting_allocator::armed = true;  // EXPECT_EQ allocates only to report a failure
    for (size_t i = 0; i < pushes.size(); ++i)
        EXPECT_EQ(h.push(size_t(pushes[i][0]), pushes[i]), accepted[i]) << i;
    counting_allocator::armed = false;
    EXPECT_EQ(counting_allocator::allocations.load(), 0);
    EXPECT_EQ(std::vector({h.dropped(0), h.dropped(1)}), std::vector<uint64_t>({2, 0}));

    ASSERT_TRUE(runMainLoopUntil([&] { return received.size() == 5; }));
    EXPECT_TRUE(h.push(0, {0, 5})) << "a drained queue takes values again";
    ASSERT_TRUE(runMainLoopUntil([&] { return received.size() == 6; }));
    EXPECT_EQ(received, (Pairs{{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}, {0, 5}}));
}

TEST(CaptureHandOver, ProducerThreadsGetEveryValueDeliveredInOrderOrCountedAsDropped) {
    constexpr int kPerQueue = 20000;
    Pairs received;
    CaptureHandOver<Pair> h(2, 16, [&](const Pair& p) { received.push_back(p); });
    auto produce = [&h](int q) {
        counting_allocator::armed = true;  // a capture thread: the allocator is out of bounds
        for (int s = 0; s < kPerQueue; ++s) {
            h.push(size_t(q), {q, s});
            if (s % 64 == 0) std::this_thread::yield();
        }
        counting_allocator::armed = false;
    };
    std::thread first(produce, 0), second(produce, 1);
    EXPECT_TRUE(runMainLoopUntil(
        [&] { return received.size() + h.dropped(0) + h.dropped(1) == 2 * kPerQueue; }));
    first.join();
    second.join();
    int delivered[2] = {0, 0}, last[2] = {-1, -1};
    for (const auto& [queue, sequence] : received) {
        ASSERT_GT(sequence, std::exchange(last[queue], sequence)) << "queue " << queue;
        ++delivered[queue];
    }
    for (int q : {0, 1}) {
        EXPECT_GT(delivered[q], 0);
        EXPECT_EQ(delivered[q] + h.dropped(size_t(q)), uint64_t(kPerQueue));
    }
    EXPECT_EQ(counting_allocator::allocations.load(), 0);
}

// post() never runs the work inline, not even on the main thread, and work
// from one thread runs in the order it was posted.
TEST(MainThread, WorkRunsOnTheMainLoopInEachPostersOrderAndNeverInline) {
    constexpr int kThreads = 4, kEach = 500;
    const auto mainThread = std::this_thread::get_id();
    Pairs ran;  // main thread only
    int offMainThread = 0;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                MainThread::post([&, t, i] {
                    offMainThread += std::this_thread::get_id() != mainThread;
                    ran.push_back({t, i});
                });
        });
    std::vector<int> nested;
    MainThread::post([&] {
        MainThread::post([&] { nested.push_back(2); });
        nested.push_back(1);
    });
    EXPECT_TRUE(nested.empty()) << "nothing runs before the main loop does";
    for (std::thread& poster : posters) poster.join();
    ASSERT_TRUE(runMainLoopUntil([&] { return ran.size() == size_t(kThreads) * kEach; }));
    ASSERT_TRUE(runMainLoopUntil([&] { return nested.size() == 2; }));
    EXPECT_EQ(nested, (std::vector<int>{1, 2}));
    EXPECT_EQ(offMainThread, 0);
    std::vector<int> next(kThreads, 0);
    for (const auto& [thread, index] : ran) EXPECT_EQ(index, next[thread]++);
}

}  // namespace
