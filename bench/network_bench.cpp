// What sharing timecode costs: the sender's CPU time for one value sent to a
// full table of ten subscribers, and the delay from handing a value to the
// sender to its arrival at a receiver's delegate, over loopback UDP.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FakeNetServices.h"
#include "UdpPeer.h"
#include "network/SubscriptionMessage.h"
#include "network/TimecodeReceiver.h"
#include "network/TimecodeSender.h"
#include "platform/LogCapture.h"
#include "tests/platform/MainLoop.h"

namespace {

using Clock = std::chrono::steady_clock;

void BM_SendToTenSubscribers(benchmark::State& state) {
    FakeNetServices services;
    LogCapture quiet;
    TimecodeSender sender;
    sender.setBonjourName("mirel://studio");
    std::vector<std::unique_ptr<UdpPeer>> peers;
    for (int i = 0; i < TimecodeSender::maxTscai; ++i) {
        peers.push_back(std::make_unique<UdpPeer>(("127.0.0." + std::to_string(i + 1)).c_str()));
        peers.back()->sendTo(sender.chosenPort(), makeSubscriptionMessage(i));
    }
    if (!runMainLoopUntil(
            [&] { return sender.clientsCurrentlyConnected() == TimecodeSender::maxTscai; })) {
        state.SkipWithError("subscribers not taken");
        return;
    }
    SMPTE_tc tc{};
    tc.hu = 1, tc.mu = 2, tc.su = 3, tc.fu = 4, tc.u1 = 10;
    int sent = 0;
    for (auto _ : state) {
        sender.sendTimecodeToAllClients(&tc);
        tc.fu = (tc.fu + 1) % 10;
        // Keep the subscribers' queues from filling, which would make sends cheaper.
        if (++sent % 100 == 0) {
            state.PauseTiming();
            for (auto& peer : peers) peer->drain();
            state.ResumeTiming();
        }
    }
    state.counters["messages_per_value"] = TimecodeSender::maxTscai;
}
BENCHMARK(BM_SendToTenSubscribers);

// Stamps each value's arrival; the frames count says which value it is.
class StampingDelegate : public TimecodeReceiverDelegate {
public:
    void timecodeReceiverDidFindService(TimecodeReceiver&, const std::shared_ptr<NetService>&,
                                        bool) override {}
    void timecodeReceiverDidRemoveService(TimecodeReceiver&, const std::shared_ptr<NetService>&,
                                          bool) override {}
    void timecode(std::unique_ptr<SMPTE_tc> tc) override {
        const auto now = Clock::now();
        std::lock_guard lock(mutex);
        arrivals.push_back({tc->s() * 100 + tc->f(), now});
        arrived.notify_all();
    }
    struct Arrival {
        int key;
        Clock::time_point at;
    };
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Arrival> arrivals;
};

void BM_LoopbackDelay(benchmark::State& state) {
    constexpr int kValues = 3000;
    FakeNetServices services;
    LogCapture quiet;
    TimecodeSender sender;
    sender.setBonjourName("mirel://studio");
    StampingDelegate delegate;
    TimecodeReceiver receiver;
    receiver.setDelegate(&delegate);
    auto source = std::make_shared<FakeNetService>("mirel://studio");
    source->resolveToLoopback(sender.chosenPort());
    receiver.subscribeToTimeSource(source);
    if (!runMainLoopUntil([&] { return sender.clientsCurrentlyConnected() == 1; })) {
        state.SkipWithError("receiver did not subscribe");
        return;
    }

    std::vector<double> delays;
    for (auto _ : state) {
        delays.clear();
        for (int i = 0; i < kValues; ++i) {
            SMPTE_tc tc{};
            const int key = i % 6000;  // seconds and frames digits
            tc.st = key / 1000, tc.su = key / 100 % 10, tc.ft = key / 10 % 10, tc.fu = key % 10;
            {
                std::lock_guard lock(delegate.mutex);
                delegate.arrivals.clear();
            }
            const auto sentAt = Clock::now();
            sender.sendTimecodeToAllClients(&tc);
            std::unique_lock lock(delegate.mutex);
            const auto mine = [&] {
                return std::find_if(delegate.arrivals.begin(), delegate.arrivals.end(),
                                    [&](const auto& a) { return a.key == key; });
            };
            if (!delegate.arrived.wait_for(lock, std::chrono::seconds(1),
                                           [&] { return mine() != delegate.arrivals.end(); })) {
                continue;  // lost on the way; counted by its absence
            }
            delays.push_back(
                std::chrono::duration<double, std::micro>(mine()->at - sentAt).count());
            lock.unlock();
            // Frame-like spacing, so that the receiver thread is asleep when a value comes.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    std::sort(delays.begin(), delays.end());
    if (delays.empty()) return;
    state.counters["values"] = double(delays.size());
    state.counters["median_us"] = delays[delays.size() / 2];
    state.counters["p99_us"] = delays[delays.size() * 99 / 100];
    state.counters["max_us"] = delays.back();
}
BENCHMARK(BM_LoopbackDelay)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
