// Values and work crossing threads: the ring at its edges, the capture hand-over
// (order, fairness, dropping, no allocation on the capture side) and work posted
// to the main thread.

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <thread>
#include <utility>
#include <vector>

#include "decode/SMPTE_tc.h"
#include "platform/CaptureHandOver.h"
#include "platform/MainThread.h"
#include "platform/SpscRing.h"
#include "tests/platform/MainLoop.h"
#include "tests/support/CountingAllocator.h"

namespace {

using counting_allocator::allocations;
using counting_allocator::armed;
using Pairs = std::vector<std::pair<int, int>>;  // (queue or thread, sequence)

// Against a plain queue at every fill, a ring of one slot included: a full
// ring refuses without overwriting and is never taken for an empty one, and
// order holds while the counters run past the capacity many times.
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

// Records carry their queue in myId and their sequence in u1.
struct HandOver {
    HandOver(size_t queues, size_t capacity)
        : handOver(queues, capacity,
                   [this](const SMPTE_tc& tc) { received.emplace_back(tc.myId, tc.u1); }) {}
    bool push(int queue, int sequence) {
        SMPTE_tc tc{};
        tc.myId = queue, tc.u1 = sequence;
        return handOver.push(size_t(queue), tc);
    }
    Pairs received;
    CaptureHandOver<SMPTE_tc> handOver;
};

// A drain takes one from each queue in turn, keeping each queue's order; a full
// queue drops the newest values, without allocating, and counts them.
TEST(CaptureHandOver, DrainsQueuesInTurnAndAFullOneDropsTheNewestAndCountsThem) {
    HandOver h(3, 2);
    const Pairs pushes = {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {1, 0}, {1, 1}, {2, 0}};
    std::array<bool, 7> accepted{};
    armed = true;
    for (size_t i = 0; i < pushes.size(); ++i)
        accepted[i] = h.push(pushes[i].first, pushes[i].second);
    armed = false;
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_EQ(accepted, (std::array<bool, 7>{true, true, false, false, true, true, true}));
    EXPECT_EQ(h.handOver.dropped(0), 2u);
    EXPECT_EQ(h.handOver.dropped(1), 0u);

    ASSERT_TRUE(runMainLoopUntil([&] { return h.received.size() == 5; }));
    EXPECT_TRUE(h.push(0, 5)) << "a drained queue takes values again";
    ASSERT_TRUE(runMainLoopUntil([&] { return h.received.size() == 6; }));
    EXPECT_EQ(h.received, (Pairs{{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}, {0, 5}}));
}

TEST(CaptureHandOver, ProducerThreadsGetEveryValueDeliveredInOrderOrCountedAsDropped) {
    constexpr int kPerQueue = 20000;
    HandOver h(2, 16);
    auto produce = [&h](int q) {
        armed = true;  // a capture thread: the allocator is out of bounds
        for (int s = 0; s < kPerQueue; ++s) {
            h.push(q, s);
            if (s % 64 == 0) std::this_thread::yield();
        }
        armed = false;
    };
    std::thread first(produce, 0), second(produce, 1);
    int delivered[2] = {0, 0}, last[2] = {-1, -1}, outOfOrder = 0;
    size_t seen = 0;
    const bool accounted = runMainLoopUntil([&] {
        for (; seen < h.received.size(); ++seen) {
            const auto [queue, sequence] = h.received[seen];
            outOfOrder += sequence <= last[queue];
            last[queue] = sequence;
            ++delivered[queue];
        }
        return delivered[0] + h.handOver.dropped(0) == kPerQueue &&
               delivered[1] + h.handOver.dropped(1) == kPerQueue;
    });
    first.join();
    second.join();
    EXPECT_TRUE(accounted);
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_GT(delivered[0], 0);
    EXPECT_GT(delivered[1], 0);
    EXPECT_EQ(allocations.load(), 0);
}

// post() never runs the work inline, not even on the main thread, and work
// from one thread runs in the order it was posted.
TEST(MainThread, WorkRunsOnTheMainLoopInEachPostersOrderAndNeverInline) {
    constexpr int kThreads = 4, kEach = 500;
    const auto mainThread = std::this_thread::get_id();
    Pairs ran;  // main thread only
    int offMainThread = 0;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                MainThread::post([&, t, i] {
                    offMainThread += std::this_thread::get_id() != mainThread;
                    ran.emplace_back(t, i);
                });
            }
        });
    }
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
