// Values from capture threads reach the main loop in order, fairly across
// queues, and a full queue drops and counts instead of blocking.

#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

#include "decode/SMPTE_tc.h"
#include "platform/CaptureHandOver.h"
#include "tests/platform/MainLoop.h"

namespace {

using Received = std::vector<std::pair<int, int>>;  // (queue, sequence)

// A hand-over whose records carry their queue in myId and their sequence in u1.
struct Fixture {
    Fixture(size_t queues, size_t capacity)
        : handOver(queues, capacity,
                   [this](const SMPTE_tc& tc) { received.emplace_back(tc.myId, tc.u1); }) {}
    bool push(int queue, int sequence) {
        SMPTE_tc tc{};
        tc.myId = queue;
        tc.u1 = sequence;
        return handOver.push(size_t(queue), tc);
    }
    Received received;
    CaptureHandOver<SMPTE_tc> handOver;
};

TEST(CaptureHandOver, DrainTakesOneFromEachQueueInTurnAndKeepsEachQueuesOrder) {
    Fixture f(3, 8);
    for (auto [queue, sequence] : Received{{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {2, 0}}) {
        f.push(queue, sequence);
    }
    ASSERT_TRUE(runMainLoopUntil([&] { return f.received.size() == 6; }));
    EXPECT_EQ(f.received, (Received{{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}, {0, 2}}));
}

TEST(CaptureHandOver, FullQueueDropsTheNewestValuesAndCountsThem) {
    Fixture f(2, 2);
    std::vector<bool> accepted;
    accepted.reserve(5);
    for (int s = 0; s < 5; ++s) accepted.push_back(f.push(0, s));
    EXPECT_EQ(accepted, (std::vector<bool>{true, true, false, false, false}));
    EXPECT_EQ(f.handOver.dropped(0), 3u);
    EXPECT_EQ(f.handOver.dropped(1), 0u);

    ASSERT_TRUE(runMainLoopUntil([&] { return f.received.size() == 2; }));
    EXPECT_TRUE(f.push(0, 5)) << "a drained queue takes values again";
    ASSERT_TRUE(runMainLoopUntil([&] { return f.received.size() == 3; }));
    EXPECT_EQ(f.received, (Received{{0, 0}, {0, 1}, {0, 5}}));
}

TEST(CaptureHandOver, ProducerThreadsGetEveryValueDeliveredInOrderOrCountedAsDropped) {
    constexpr int kPerQueue = 20000;
    Fixture f(2, 16);
    std::vector<std::thread> producers;
    producers.reserve(2);
    for (int q = 0; q < 2; ++q) {
        producers.emplace_back([&f, q] {
            for (int s = 0; s < kPerQueue; ++s) {
                f.push(q, s);
                if (s % 64 == 0) std::this_thread::yield();
            }
        });
    }
    int delivered[2] = {0, 0}, last[2] = {-1, -1}, outOfOrder = 0;
    size_t seen = 0;
    const bool accounted = runMainLoopUntil([&] {
        for (; seen < f.received.size(); ++seen) {
            const auto [queue, sequence] = f.received[seen];
            outOfOrder += sequence <= last[queue];
            last[queue] = sequence;
            ++delivered[queue];
        }
        return delivered[0] + f.handOver.dropped(0) == kPerQueue &&
               delivered[1] + f.handOver.dropped(1) == kPerQueue;
    });
    for (std::thread& producer : producers) producer.join();
    EXPECT_TRUE(accounted);
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_GT(delivered[0], 0);
    EXPECT_GT(delivered[1], 0);
}

}  // namespace
