#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/EventFdSource.h"

// Carries the latest of a stream of values from a producer thread to the main
// thread. A value posted before the main loop took the one before replaces
// it: however fast values come, at most one hand-over is pending and the main
// thread takes only the newest. For values worth nothing once a newer one
// exists, from a producer that may outpace the main thread (a peer on the
// network sending timecode as fast as it can).
//
// Thread contract: construct and destroy on the main thread, destroy only once
// no producer posts any more; post() and replaced() from any thread but a
// real-time one (they take a short lock); the consumer runs on the main thread.
template <typename T>
class LatestValue {
public:
    using Consumer = std::function<void(const T&)>;

    explicit LatestValue(Consumer consumer)
        : consumer_(std::move(consumer)), wake_([this] { take(); }) {}

    void post(const T& value) {
        bool pending = false;
        {
            std::lock_guard lock(mutex_);
            pending = latest_.has_value();
            if (pending) ++replaced_;
            latest_ = value;
        }
        if (!pending) wake_.wake();
    }

    /// Values replaced by a newer one before the main thread took them.
    uint64_t replaced() const {
        std::lock_guard lock(mutex_);
        return replaced_;
    }

private:
    void take() {
        std::optional<T> value;
        {
            std::lock_guard lock(mutex_);
            value.swap(latest_);
        }
        if (value) consumer_(*value);
    }

    mutable std::mutex mutex_;  ///< guards the two below
    std::optional<T> latest_;   ///< the value not yet taken; empty when none is pending
    uint64_t replaced_ = 0;
    Consumer consumer_;
    EventFdSource wake_;  ///< last, so it goes first: no take() after the rest is gone
};
