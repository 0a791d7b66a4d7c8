#pragma once

#include <exception>

#include "platform/Log.h"

// Runs the body of a C library's callback. No exception may unwind through C
// frames, so whatever escapes the body ends here as a log line naming `what`.
template <typename Body>
void runGuarded(const char* what, Body&& body) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        Log::line("%s failed: %s", what, e.what());
    } catch (...) {
        Log::line("%s failed", what);
    }
}
