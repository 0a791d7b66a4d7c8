// A peer floods the real mirel program with valid timecode (FloodScenario.h):
// the clock keeps showing the peer's time while it lasts, no backlog is left
// to drain after it, and memory does not grow with it. The bounds are
// generous, for a loaded machine; the numbers themselves are printed, and
// bench/mirel-flood-bench measures them against a steady peer.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "tests/app/FloodScenario.h"
#include "tests/fixtures/alsa/VirtualCard.h"
#include "tests/support/DnsSdDaemon.h"

namespace {

TEST(MirelFlood, TheClockKeepsTimeAndMemoryStaysFlatUnderAFloodOfValidTimecode) {
    DnsSdDaemon daemon;  // first: it points this process and the program at the private bus
    ASSERT_TRUE(daemon.start()) << daemon.error();
    const std::string dir = makeTempDir("flood");
    FloodOptions options;
    options.floodSeconds = 8;
    const FloodResult r = runFloodScenario(dir, options);
    ASSERT_EQ(r.error, "") << r.log;
    std::printf(
        "%lld values in %.1f s; longest without a new value: %lld ms steady, %lld ms "
        "flooded; worst lag flooded %lld ms, a second after %lld ms; resident %lld -> "
        "%lld KiB\n",
        static_cast<long long>(r.sent), r.floodSeconds, static_cast<long long>(r.steadyGapMs),
        static_cast<long long>(r.floodGapMs), static_cast<long long>(r.floodLagMs),
        static_cast<long long>(r.lagAfterMs), static_cast<long long>(r.residentBeforeKiB),
        static_cast<long long>(r.residentAfterKiB));
    EXPECT_GT(r.sent, 100000);
    EXPECT_LT(r.floodGapMs, 1000);
    EXPECT_LT(r.floodLagMs, 1000);
    EXPECT_LT(r.lagAfterMs, 500);
    EXPECT_LT(r.residentAfterKiB - r.residentBeforeKiB, 100 * 1024);
    EXPECT_NE(r.log.find("Passed over "), std::string::npos);
    if (!HasFailure()) std::filesystem::remove_all(dir);
}

}  // namespace
