// Live decoding cost and delay on a virtual 64-channel, 48 kHz capture card:
// the CPU share of one core the whole process uses while every channel
// carries LTC; the delay from the start of the IO cycle that completes a
// frame to the record reaching the main thread; and the whole delay, from the
// card's capture of a frame's last sample to its record on the main thread
// (the card logs when it started, and the signal says which sample that is).
//
//   build/release/bench/mirel-live-bench [CHANNELS] [SECONDS]

#include <glib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/CaptureHandOver.h"
#include "routing/DecoderRegistry.h"
#include "tools/LtcSignal.h"
#include "tools/virtual-card/VirtualCard.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Timed {
    SMPTE_tc tc;
    int64_t cycleStartNs;
    int64_t decodedNs;
};

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

std::unique_ptr<CaptureHandOver<Timed>> gHandOver;
thread_local int64_t tCycleStart = 0;
std::vector<int64_t> gInCycle, gToMain;
std::vector<std::pair<int, int64_t>> gArrivals;  ///< channel 0: frame in the loop, when on main

long timedData(int sampleCount, int channelCount, float* samples, void* userValue) noexcept {
    tCycleStart = nowNs();
    return dispatchSamples(sampleCount, channelCount, samples, userValue);
}

void queueRecord(const SMPTE_tc& tc, void*) noexcept {
    gHandOver->push(0, Timed{tc, tCycleStart, nowNs()});
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void report(const char* what, std::vector<int64_t>& ns) {
    if (ns.empty()) return;
    std::sort(ns.begin(), ns.end());
    std::printf("%-36s median %7.1f us   99th percentile %7.1f us   max %7.1f us\n", what,
                double(ns[ns.size() / 2]) / 1e3, double(ns[ns.size() * 99 / 100]) / 1e3,
                double(ns.back()) / 1e3);
}

constexpr int kLoopFrames = 100;  // four seconds of 25 fps LTC, over and over
constexpr int64_t kLoopSamples = kLoopFrames * 48000 / 25;

// The sample of the loop that completes each frame, found by decoding it here.
std::vector<int64_t> gCompletes(kLoopFrames, 0);
int64_t gAt = 0;

void findCompletingSamples(const std::vector<float>& loop) {
    TCListener decoder;
    decoder.setCallbackId(
        [](const SMPTE_tc& tc, void*) noexcept {
            gCompletes[size_t((tc.s() * 25 + tc.f()) % kLoopFrames)] = gAt;
        },
        0);
    for (int pass = 0; pass < 2; ++pass) {  // the first frame of the first pass only locks on
        for (gAt = 0; gAt < int64_t(loop.size()); ++gAt) sampleStep(decoder, loop[size_t(gAt)]);
    }
}

// From the card's capture of the sample that completes each frame to its
// record on the main thread: the card started at `startNs` with file frame `base`.
std::vector<int64_t> fromCapture(int64_t startNs, int64_t base) {
    const int64_t loop = kLoopSamples;
    std::vector<int64_t> ns;
    for (const auto& [frame, arrivedNs] : gArrivals) {
        const int64_t last = (gCompletes[size_t(frame)] - base % loop + loop) % loop;
        const int64_t captured = (arrivedNs - startNs) * 48 / 1'000'000;  // samples by now
        const int64_t sample = last + (captured - last) / loop * loop;    // the latest such
        ns.push_back(arrivedNs - (startNs + sample * 1'000'000 / 48));
    }
    return ns;
}

}  // namespace

int main(int argc, char** argv) {
    const int channels = argc > 1 ? std::atoi(argv[1]) : 64;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 10.0;

    LtcSignalOptions o;
    o.frameCount = kLoopFrames;
    const std::vector<float> mono = makeLtcSignal(o).samples;
    findCompletingSamples(mono);
    std::vector<float> interleaved(mono.size() * size_t(channels));
    for (size_t i = 0; i < mono.size(); ++i) {
        for (int c = 0; c < channels; ++c) interleaved[i * size_t(channels) + size_t(c)] = mono[i];
    }
    const std::string dir = makeTempDir("live-bench");
    writeRawFloat32(dir + "/ltc.f32", interleaved);
    const std::string starts = dir + "/starts";
    const std::string config = writeAlsaConfig(dir, {{.name = "ltc_many",
                                                      .channels = channels,
                                                      .rawFile = dir + "/ltc.f32",
                                                      .loop = true,
                                                      .startLog = starts}});
    setenv("ALSA_CONFIG_PATH", config.c_str(), 1);

    gHandOver = std::make_unique<CaptureHandOver<Timed>>(1, 8192, [](const Timed& t) {
        gInCycle.push_back(t.decodedNs - t.cycleStartNs);
        const int64_t now = nowNs();
        gToMain.push_back(now - t.cycleStartNs);
        if (t.tc.myId == 0) gArrivals.emplace_back((t.tc.s() * 25 + t.tc.f()) % kLoopFrames, now);
    });
    gInCycle.reserve(size_t(seconds * 30 * channels) + 1024);
    gToMain.reserve(gInCycle.capacity());

    startDecodersAndCapture(queueRecord, nullptr, timedData);
    g_timeout_add(
        1000, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr);
    // Settle for a second, then measure.
    const auto settle = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < settle) g_main_context_iteration(nullptr, TRUE);
    gInCycle.clear(), gToMain.clear(), gArrivals.clear();
    const double cpuStart = cpuSeconds();
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) g_main_context_iteration(nullptr, TRUE);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuStart;

    std::printf("%d channels at 48 kHz for %.1f s: %zu records (%.0f per channel per second)\n",
                channels, wall, gToMain.size(), double(gToMain.size()) / wall / channels);
    std::printf(
        "CPU: %.1f %% of one core (whole process: PortAudio, ALSA, virtual card, decoding)\n",
        100.0 * cpu / wall);
    report("cycle start -> record decoded", gInCycle);
    report("cycle start -> record on main thread", gToMain);
    long long startNs = 0, base = 0;
    if (FILE* log = std::fopen(starts.c_str(), "r")) {
        // The last start is the one that runs now; an overrun would have restarted the card.
        while (std::fscanf(log, "%lld %lld", &startNs, &base) == 2) {
        }
        std::fclose(log);
    }
    std::vector<int64_t> captureToMain = fromCapture(startNs, base);
    report("card capture -> record on main thread", captureToMain);
    std::printf("records dropped: %llu\n", static_cast<unsigned long long>(gHandOver->dropped(0)));
    return 0;
}
