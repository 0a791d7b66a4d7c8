#pragma once

#include <exception>
#include <type_traits>
#include <utility>

#include "platform/Log.h"

// Runs the body of a C library's callback. No exception may unwind through C
// frames, so whatever escapes the body ends here as a log line naming `what`,
// and the callback answers `failed`.
template <typename Result, typename Body>
Result runGuarded(const char* what, Result failed, Body&& body) noexcept {
    try {
        return static_cast<Result>(std::forward<Body>(body)());
    } catch (const std::exception& e) {
        Log::line("%s failed: %s", what, e.what());
    } catch (...) {
        Log::line("%s failed", what);
    }
    return failed;
}

// The same for a callback that answers nothing.
template <typename Body>
void runGuarded(const char* what, Body&& body) noexcept {
    runGuarded(what, true, [&] {
        std::forward<Body>(body)();
        return true;
    });
}
