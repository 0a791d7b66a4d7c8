#include "tests/app/FloodScenario.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "network/SubscriptionMessage.h"
#include "platform/NetService.h"
#include "tests/app/ProgramCopy.h"
#include "tests/fixtures/alsa/VirtualCard.h"
#include "tests/network/UdpPeer.h"

using namespace std::chrono_literals;

namespace {

constexpr int64_t kFramesPerDay = 24 * 3600 * 25;

int wallFrame(int64_t ms) {
    return int(ms * 25 / 1000 % kFramesPerDay);
}

std::string message(int number, const std::string& name, int frame) {
    char text[160];
    const int s = frame / 25;
    std::snprintf(text, sizeof text, "TCMD: %d\nNAME: %s\nTC: %02d:%02d:%02d.%02d 00000000 n 0\n",
                  number, name.c_str(), s / 3600, s / 60 % 60, s % 60, frame % 25);
    return text;
}

enum class Phase { kSteady, kFlood, kDone };

// The peer's own thread: learns the program's address and number from its
// first subscription message, then sends by the phase.
struct Peer {
    UdpPeer socket;
    std::atomic<Phase> phase{Phase::kSteady};
    std::atomic<int64_t> sent{0};
    int perSecond = 0;
    std::string name;

    void run() {
        std::optional<int> number;
        sockaddr_in program{};
        int64_t nextSteadyMs = 0;
        while (phase != Phase::kDone) {
            if (const auto ping = socket.receive(number ? 0ms : 5ms)) {
                if (auto n = readSubscriptionMessage(*ping)) {
                    number = n;
                    program = socket.lastSource;
                }
            }
            if (!number) continue;
            const int64_t now = wallMs();
            if (phase == Phase::kFlood && perSecond > 0) {
                // One millisecond's share at a time, then wait for the next.
                const std::string bytes = message(*number, name, wallFrame(now));
                for (int i = 0; i < perSecond / 1000; ++i) socket.sendTo(program, bytes);
                sent += perSecond / 1000;
                while (wallMs() == now) std::this_thread::yield();
            } else if (now >= nextSteadyMs) {
                socket.sendTo(program, message(*number, name, wallFrame(now)));
                nextSteadyMs = now + 40;
            } else {
                std::this_thread::sleep_for(2ms);
            }
        }
    }
};

// The longest the page went, within [from, to), without showing a new value;
// and its worst lag behind the wall clock there. A page that reported nothing
// there lagged the whole time.
void measure(const std::vector<ClockSample>& samples, int64_t from, int64_t to, int64_t& gapMs,
             int64_t& lagMs) {
    int64_t changedAt = from;
    int lastFrame = -1;
    gapMs = 0;
    lagMs = to - from;
    if (std::ranges::any_of(samples,
                            [&](const ClockSample& s) { return s.atMs >= from && s.atMs < to; })) {
        lagMs = 0;
    }
    for (const ClockSample& sample : samples) {
        if (sample.atMs < from || sample.atMs >= to) continue;
        if (sample.frame != lastFrame) {
            gapMs = std::max(gapMs, sample.atMs - changedAt);
            changedAt = sample.atMs;
            lastFrame = sample.frame;
        }
        lagMs = std::max(lagMs, int64_t(wallFrame(sample.atMs) - sample.frame) * 40);
    }
    gapMs = std::max(gapMs, to - changedAt);
}

}  // namespace

FloodResult runFloodScenario(const std::string& dir, const FloodOptions& options) {
    FloodResult result;
    const std::string program = installProgram(dir + "/root");
    std::filesystem::create_directories(dir + "/none");
    const std::string noCards = writeAlsaConfig(dir + "/none", {});

    // A name of its own for each run: the last run's may not be withdrawn yet.
    static int runs = 0;
    Peer peer;
    peer.perSecond = options.floodPerSecond;
    peer.name = "mirel://flood-peer-" + std::to_string(++runs);
    std::shared_ptr<NetService> service =
        netServices().makeService("", "_mirel._udp.", peer.name, peer.socket.port());
    service->publish();
    std::thread sending([&] { peer.run(); });

    Copy copy(program, dir + "/copy", noCards,
              {{"sourceType", "Network"},
               {"audioInput", peer.name},
               {"e2eInput", peer.name},
               {"e2eSampleMs", 50}});
    if (!runUntil([&] { return running(clockSamples(copy.log())).size() >= 10; })) {
        result.error = "the clock never ran";
    } else {
        const int64_t steadyFrom = wallMs();
        runUntil([] { return false; }, std::chrono::seconds(options.steadySeconds));
        result.residentBeforeKiB = copy.residentKiB();
        const int64_t floodFrom = wallMs();
        peer.phase = Phase::kFlood;
        runUntil([] { return false; }, std::chrono::seconds(options.floodSeconds));
        peer.phase = Phase::kSteady;
        const int64_t floodTo = wallMs();
        result.residentAfterKiB = copy.residentKiB();
        runUntil([] { return false; }, std::chrono::seconds(options.steadySeconds));

        const std::vector<ClockSample> samples = running(clockSamples(copy.log()));
        int64_t lag = 0;
        measure(samples, steadyFrom, floodFrom, result.steadyGapMs, lag);
        measure(samples, floodFrom, floodTo, result.floodGapMs, result.floodLagMs);
        int64_t gap = 0;
        measure(samples, floodTo + 1000, floodTo + 1500, gap, result.lagAfterMs);
        result.sent = peer.sent;
        result.floodSeconds = double(floodTo - floodFrom) / 1000.0;
    }
    peer.phase = Phase::kDone;
    sending.join();
    service->stop();
    if (copy.finish() != 0 && result.error.empty()) result.error = "the program did not end well";
    result.log = copy.log();
    return result;
}
