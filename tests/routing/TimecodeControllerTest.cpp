// The controller on fakes: what it accepts, writes and sends on; capture threads never allocate.

#include <array>
#include <thread>
#include <tuple>

#include "platform/Host.h"
#include "tests/network/UdpPeer.h"
#include "tests/platform/MainLoop.h"
#include "tests/routing/ControllerFixture.h"
#include "tests/support/CountingAllocator.h"

using namespace std::chrono_literals;

namespace {

using TimecodeControllerTest = ControllerFixture;

TEST_F(TimecodeControllerTest, AcceptsOnlyTheHalfOpenRangeOfTheSelectedSource) {
    // (audioInput, "default" for the registered one; accepted ids; dropped ids)
    const std::tuple<nlohmann::json, std::vector<int>, std::vector<int>> cases[] = {
        {"default", {-200}, {0, 100}},
        {"Studio", {100, 101, 198}, {99, 199, 200, -200}},  // the first device of that name
        {"Built-in Input", {0, 98}, {99, -200}},
        {"", {-200, -102}, {-201, -101, 0, 100}},
        {nullptr, {-200}, {0}},
    };
    for (const auto& [audioInput, accepted, dropped] : cases) {
        ids.clear();
        start(audioInput == "default" ? std::nullopt : std::optional(audioInput));
        for (int id : accepted) deliver(timecodeFrom(id, 1));
        for (int id : dropped) deliver(timecodeFrom(id, 1));
        EXPECT_EQ(ids, accepted) << audioInput.dump();
    }
}

TEST_F(TimecodeControllerTest, AnotherChannelTakesOverOnlyAfterTwentyMilliseconds) {
    start("Built-in Input");
    // (channel, ms after the previous value): the 2nd, 4th and 7th come too soon.
    const std::pair<int, int> steps[] = {{0, 0}, {1, 5},  {0, 1}, {1, 19}, {1, 1},
                                         {1, 1}, {0, 13}, {0, 7}, {1, 25}};
    for (const auto& [id, ms] : steps) deliver(timecodeFrom(id, 3), ms);
    controller->stopListening(*this);
    deliver(timecodeFrom(1, 4));  // accepted, but no longer heard
    EXPECT_EQ(ids, (std::vector{0, 0, 1, 1, 0, 1}));
}

TEST_F(TimecodeControllerTest, WritesTheFrameRateOnAWrapAfterFrame23Or24Or29) {
    start("Built-in Input");
    std::vector<nlohmann::json>& fpsString = written["values.fpsString"];
    // (frame before the wrap, drop frame, what is written: empty for nothing)
    const std::tuple<int, bool, std::string> wraps[] = {
        {24, false, "25"},   {24, false, ""},     {23, false, "24"},   {29, false, "30"},
        {23, true, "23.97"}, {24, true, "24.97"}, {29, true, "29.97"}, {29, true, ""},
        {59, false, ""},     {12, false, ""}};
    for (const auto& [lastFrame, dropFrame, text] : wraps) {
        fpsString.clear();
        deliver(timecodeFrom(0, lastFrame, dropFrame));
        deliver(timecodeFrom(100, 0, !dropFrame, 1));  // not the selected source: no say
        deliver(timecodeFrom(0, 0, dropFrame, 1));
        EXPECT_EQ(fpsString, std::vector<nlohmann::json>(!text.empty(), text)) << lastFrame;
    }
}

TEST_F(TimecodeControllerTest, TheTickWritesTheStatusOnlyWhenItChanges) {
    start("Built-in Input");
    const std::vector<nlohmann::json>& status = written["values.timecodeRunning"];
    controller->refreshTimecode();
    deliver(timecodeFrom(0, 1));
    now += 250'000;
    controller->refreshTimecode();  // the window's bound still counts as running
    now += 1;
    controller->refreshTimecode();
    settings.setObjectForKey("", "audioInput");  // a new selection alone writes nothing
    controller->refreshTimecode();
    controller->timecode(std::make_unique<SMPTE_tc>(timecodeFrom(7, 2)));  // as a movie would
    ASSERT_TRUE(runMainLoopUntil([&] { return ids == std::vector{0, -200}; }));
    controller->refreshTimecode();
    now += 300'000;
    controller->refreshTimecode();
    EXPECT_EQ(status, (std::vector<nlohmann::json>{"Stopped", "Running", "Stopped", "Running",
                                                   "Disconnected"}));
}

// Network values go on to subscribers like audio ones; while none is accepted, each tick resends.
TEST_F(TimecodeControllerTest, SubscribersGetEachAcceptedValueAndTheLastOneWhileStopped) {
    start("");
    UdpPeer subscriber;
    subscriber.sendTo(controller->networkTimecodeSender().chosenPort(), "TCMDPing: #7\n");
    ASSERT_TRUE(runMainLoopUntil(
        [&] { return controller->networkTimecodeSender().clientsCurrentlyConnected() > 0; }));
    auto timeSent = [&]() -> std::string {
        const std::optional<std::string> datagram = subscriber.receive(300ms);
        return datagram ? datagram->substr(datagram->find("TC: ") + 4, 11) : "nothing";
    };
    controller->refreshTimecode();
    EXPECT_EQ(timeSent(), "00:00:00.00");
    controller->timecode(std::make_unique<SMPTE_tc>(timecodeFrom(0, 5)));
    EXPECT_EQ(timeSent(), "nothing");  // not before the main loop takes it
    ASSERT_TRUE(runMainLoopUntil([&] { return !heard.empty(); }));
    EXPECT_EQ(timeSent(), "01:00:00.05");
    controller->refreshTimecode();
    EXPECT_EQ(timeSent(), "nothing");
    now += 500'000;
    controller->refreshTimecode();
    EXPECT_EQ(timeSent(), "01:00:00.05");
}

// Never our own service, found or chosen first: each value we sent would come back, for ever.
TEST_F(TimecodeControllerTest, ANetworkSourceIsFollowedOnceFoundUnlessItIsOurOwn) {
    const std::string own = "mirel://" + Host::currentName();
    start("mirel://peer");
    int refreshes = 0;
    controller->setDevicesListRefresher([&] { ++refreshes; });
    const TimecodeReceiver& receiver = controller->networkTimecodeReceiver();
    browser().find(std::make_shared<FakeNetService>("mirel://other"), true);  // more to come
    EXPECT_EQ(std::pair(receiver.subscribedServicesCount(), refreshes), std::pair(0, 0));
    auto peer = std::make_shared<FakeNetService>("mirel://peer");
    browser().find(peer, false);
    EXPECT_EQ(receiver.subscribedServicesCount(), 1);
    browser().remove(peer, false);  // gone, but still subscribed: it may come back
    EXPECT_EQ(std::pair(receiver.subscribedServicesCount(), refreshes), std::pair(1, 2));
    settings.setObjectForKey("Studio", "audioInput");
    EXPECT_EQ(receiver.subscribedServicesCount(), 0);

    settings.setObjectForKey(own, "audioInput");
    browser().find(std::make_shared<FakeNetService>(own), false);
    EXPECT_EQ(receiver.subscribedServicesCount(), 0);
    EXPECT_TRUE(logged("Not following \"" + own + "\": it is this copy's own timecode"));
    browser().find(peer, false);
    ASSERT_EQ(controller->otherTimecodeSources().size(), 2u);
    EXPECT_EQ(controller->otherTimecodeSources()[1], peer);
    settings.setObjectForKey("mirel://peer", "audioInput");
    EXPECT_EQ(receiver.subscribedServicesCount(), 1);
    settings.setObjectForKey(own, "audioInput");
    EXPECT_EQ(receiver.subscribedServicesCount(), 0);
}

// The pages switch the source from another thread; it switches on the main one, between values.
TEST_F(TimecodeControllerTest, ASourceChosenOnAnotherThreadIsSelectedOnTheMainThread) {
    start("Built-in Input");
    std::thread pages([&] { settings.setObjectForKey("Studio", "audioInput"); });
    for (int i = 0; i < 50; ++i) deliver(timecodeFrom(0, i % 25));
    pages.join();
    deliver(timecodeFrom(100, 1));
    EXPECT_EQ(heard.back().myId, 0);  // not selected yet
    ASSERT_TRUE(runMainLoopUntil([&] {
        deliver(timecodeFrom(100, 2));
        return heard.back().myId == 100;
    }));
}

// Two capture threads overfill their rings undrained: what gets through arrives whole, in order.
TEST_F(TimecodeControllerTest, CaptureQueuesWithoutAllocatingKeepsOrderAndCountsWhatItDrops) {
    start("Studio");
    auto capture = [&](int device) {
        counting_allocator::armed = true;
        for (int i = 0; i < int(TimecodeController::kValuesPerDevice) + 100; ++i) {
            SMPTE_tc tc = timecodeFrom(device * 100 + 1, i % 25);
            tc.u1 = i & 0xF, tc.u2 = (i >> 4) & 0xF, tc.u3 = (i >> 8) & 0xF, tc.u4 = i >> 12;
            queueDecodedTimecode(tc, controller.get());
        }
        queueDecodedTimecode(timecodeFrom(900, 1), controller.get());  // no such device
        counting_allocator::armed = false;
    };
    for (auto& thread : std::array{std::thread(capture, 0), std::thread(capture, 1)}) thread.join();
    EXPECT_EQ(counting_allocator::allocations.load(), 0);

    ASSERT_TRUE(
        runMainLoopUntil([&] { return heard.size() == TimecodeController::kValuesPerDevice; }));
    EXPECT_EQ(ids, std::vector(heard.size(), 101));
    for (size_t i = 0; const SMPTE_tc& tc : heard)
        ASSERT_EQ(size_t(tc.u1 | tc.u2 << 4 | tc.u3 << 8 | tc.u4 << 12), i++);
    controller->refreshTimecode();
    for (const char* device : {"0", "1"})
        EXPECT_TRUE(logged(std::string("Dropped 100 timecode values of audio device ") + device +
                           ": the main loop fell behind"));
}

}  // namespace
