// Live decoding cost and delay on a virtual 64-channel, 48 kHz capture card:
// the CPU share of one core the whole process uses while every channel
// carries LTC, and the delay from the start of the IO cycle that completes a
// frame to the record reaching the main thread.
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

#include "decode/TCReaderMain.h"
#include "platform/CaptureHandOver.h"
#include "tests/fixtures/alsa/VirtualCard.h"
#include "tests/support/LtcSignal.h"

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

long timedData(int sampleCount, int channelCount, float* samples, void* userValue) {
    tCycleStart = nowNs();
    return theData(sampleCount, channelCount, samples, userValue);
}

void queueRecord(const SMPTE_tc& tc) {
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

}  // namespace

int main(int argc, char** argv) {
    const int channels = argc > 1 ? std::atoi(argv[1]) : 64;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 10.0;

    LtcSignalOptions o;
    o.frameCount = 25 * 4;  // looped: four seconds of LTC, over and over
    const std::vector<float> mono = makeLtcSignal(o).samples;
    std::vector<float> interleaved(mono.size() * size_t(channels));
    for (size_t i = 0; i < mono.size(); ++i) {
        for (int c = 0; c < channels; ++c) interleaved[i * size_t(channels) + size_t(c)] = mono[i];
    }
    const std::string dir = makeTempDir("live-bench");
    writeRawFloat32(dir + "/ltc.f32", interleaved);
    const std::string config = writeAlsaConfig(
        dir,
        {{.name = "ltc_many", .channels = channels, .rawFile = dir + "/ltc.f32", .loop = true}});
    setenv("ALSA_CONFIG_PATH", config.c_str(), 1);

    gHandOver = std::make_unique<CaptureHandOver<Timed>>(1, 8192, [](const Timed& t) {
        gInCycle.push_back(t.decodedNs - t.cycleStartNs);
        gToMain.push_back(nowNs() - t.cycleStartNs);
    });
    gInCycle.reserve(size_t(seconds * 30 * channels) + 1024);
    gToMain.reserve(gInCycle.capacity());

    DoInitMainThingyBeforeRunLoop(queueRecord, timedData);
    g_timeout_add(
        1000, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr);
    // Settle for a second, then measure.
    const auto settle = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < settle) g_main_context_iteration(nullptr, TRUE);
    gInCycle.clear(), gToMain.clear();
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
    std::printf("records dropped: %llu\n", static_cast<unsigned long long>(gHandOver->dropped(0)));
    return 0;
}
