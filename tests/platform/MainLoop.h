#pragma once

#include <glib.h>

#include <chrono>
#include <functional>
#include <thread>

// Runs the default main context until `done` holds; false after `limit`, a
// deadline that only turns a hang into a failure.
inline bool runMainLoopUntil(const std::function<bool()>& done,
                             std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (!g_main_context_iteration(nullptr, FALSE))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
