// The real mirel program following a network peer, side by side: a peer that
// sends 25 values a second, and one that floods it with valid timecode. For
// each: how long the clock page went without a new value, how far it lagged
// behind the peer's time, and how much the program (with its web views'
// processes) grew. Runs a private avahi-daemon, so it needs root, and a
// display:
//
//   xvfb-run -a build/release/bench/mirel-flood-bench [PER_SECOND] [SECONDS]

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tests/app/FloodScenario.h"
#include "tests/fixtures/alsa/VirtualCard.h"
#include "tests/support/DnsSdDaemon.h"

int main(int argc, char** argv) {
    DnsSdDaemon daemon;
    if (!daemon.start()) {
        std::fprintf(stderr, "mirel-flood-bench: %s\n", daemon.error().c_str());
        return 1;
    }
    FloodOptions flood;
    if (argc > 1) flood.floodPerSecond = std::atoi(argv[1]);
    if (argc > 2) flood.floodSeconds = std::atoi(argv[2]);
    FloodOptions steady = flood;
    steady.floodPerSecond = 0;

    std::printf("%-8s %12s %10s %14s %12s %14s %16s\n", "peer", "values/s", "gap ms", "lag ms",
                "lag after", "resident KiB", "growth KiB");
    for (const auto& [name, options] : {std::pair{"steady", steady}, std::pair{"flood", flood}}) {
        const std::string dir = makeTempDir("flood-bench");
        const FloodResult r = runFloodScenario(dir, options);
        std::filesystem::remove_all(dir);
        if (!r.error.empty()) {
            std::fprintf(stderr, "mirel-flood-bench: %s: %s\n", name, r.error.c_str());
            return 1;
        }
        const double rate = options.floodPerSecond > 0 ? double(r.sent) / r.floodSeconds : 25.0;
        std::printf("%-8s %12.0f %10lld %14lld %12lld %14lld %16lld\n", name, rate,
                    static_cast<long long>(r.floodGapMs), static_cast<long long>(r.floodLagMs),
                    static_cast<long long>(r.lagAfterMs),
                    static_cast<long long>(r.residentAfterKiB),
                    static_cast<long long>(r.residentAfterKiB - r.residentBeforeKiB));
    }
    return 0;
}
