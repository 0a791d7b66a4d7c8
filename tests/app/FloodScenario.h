#pragma once

#include <cstdint>
#include <string>

// A peer that floods a real mirel program with valid timecode: the program
// follows the peer's network service; the peer answers its subscription with
// the wall clock's time at 25 frames a second, then for a while sends the
// same time line as fast as it can (or at a given rate), then steadily again.
// The program's clock page reports what it shows every 50 ms (ProgramCopy.h).
//
// Needs a private avahi-daemon running (DnsSdDaemon), a display, and the main
// context free for the peer's DNS-SD.

struct FloodOptions {
    int steadySeconds = 3;  ///< before and after the flood
    int floodSeconds = 10;
    int floodPerSecond = 130000;  ///< at most; 0 keeps the steady 25 a second throughout
};

struct FloodResult {
    std::string error;  ///< empty when the scenario ran
    int64_t sent = 0;   ///< timecode messages sent during the flood
    double floodSeconds = 0;
    /// The longest the page went without showing a new value, before and during the flood.
    int64_t steadyGapMs = 0, floodGapMs = 0;
    /// How far the page's time lagged behind the peer's at worst during the flood,
    /// and a second after it.
    int64_t floodLagMs = 0, lagAfterMs = 0;
    /// The program and its web views' processes, before and after the flood.
    int64_t residentBeforeKiB = 0, residentAfterKiB = 0;
    std::string log;  ///< the program's
};

/// Runs the scenario with the program installed under `dir`.
FloodResult runFloodScenario(const std::string& dir, const FloodOptions& options);
