#pragma once

#include <glib.h>

#include <chrono>
#include <functional>

// Runs the default main context until `done` holds; false after `limit`, a
// deadline that only turns a hang into a failure.
inline bool runMainLoopUntil(const std::function<bool()>& done,
                             std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
    }
    return true;
}
