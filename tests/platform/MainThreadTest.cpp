// Work handed to the main thread runs there, never inline, in posting order.

#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

#include "platform/MainThread.h"
#include "tests/platform/MainLoop.h"

namespace {

TEST(MainThread, WorkFromManyThreadsRunsOnTheMainLoopInEachThreadsOrder) {
    constexpr int kThreads = 4, kEach = 500;
    const auto mainThread = std::this_thread::get_id();
    std::vector<std::pair<int, int>> ran;  // main thread only
    int offMainThread = 0;
    std::vector<std::thread> posters;
    posters.reserve(kThreads);
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
    for (std::thread& poster : posters) poster.join();
    ASSERT_TRUE(runMainLoopUntil([&] { return ran.size() == size_t(kThreads) * kEach; }));

    EXPECT_EQ(offMainThread, 0);
    std::vector<int> next(kThreads, 0);
    for (const auto& [thread, index] : ran) EXPECT_EQ(index, next[thread]++);
}

TEST(MainThread, PostingOnTheMainThreadQueuesTheWorkBehindTheCurrentOne) {
    std::vector<int> order;
    MainThread::post([&] {
        MainThread::post([&] { order.push_back(2); });
        order.push_back(1);
    });
    EXPECT_TRUE(order.empty()) << "nothing runs before the main loop does";
    ASSERT_TRUE(runMainLoopUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

}  // namespace
