#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

// Where a movie's time stands: `time` (in the movie's time scale) at the
// monotonic instant `instant` (microseconds, g_get_monotonic_time's clock),
// moving at `rate` (1 forward at normal speed, negative backwards, 0 stopped).
// The movie model owns the one that counts; the player's worker follows a
// copy, so both compute the same time for the same instant without sharing
// anything but the copy.
struct MovieTiming {
    int64_t time = 0;
    int64_t instant = 0;
    double rate = 0;
    int32_t timeScale = 1000;
    int64_t duration = 0;

    /// The time at `now`, held inside [0, duration]: a movie stops at its ends.
    int64_t timeAt(int64_t now) const {
        const double elapsed = static_cast<double>(now - instant) / 1e6;
        const double moved = std::floor(elapsed * rate * timeScale);
        const double at = static_cast<double>(time) + moved;
        return static_cast<int64_t>(
            std::clamp(at, 0.0, static_cast<double>(std::max<int64_t>(duration, 0))));
    }

    /// The rate at `now`: 0 once the time has run into an end.
    double rateAt(int64_t now) const {
        const int64_t at = timeAt(now);
        if ((rate > 0 && at >= duration) || (rate < 0 && at <= 0)) return 0;
        return rate;
    }
};
