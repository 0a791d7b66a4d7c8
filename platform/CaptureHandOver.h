#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "platform/EventFdSource.h"
#include "platform/SpscRing.h"

// Carries values from capture threads to the main thread without locking or
// allocating on the capture side: one preallocated ring per producer thread,
// drained by one main-loop source that an eventfd wakes.
//
// Each drain takes the values queued when it starts, one from each ring in
// turn, so a busy device cannot hold back the others while every ring keeps
// its own order. A push onto a full ring drops the new value and counts it:
// the capture thread must never wait for the main thread, and keeping the
// older values keeps each ring in order. The main thread reads the counts and
// reports them; nothing on the capture side prints.
//
// Thread contract: construct and destroy on the main thread, after and before
// every producer runs; push(q, ...) from the one producer thread of ring q;
// dropped() from any thread; the consumer runs on the main thread.
template <typename T>
class CaptureHandOver {
public:
    using Consumer = std::function<void(const T&)>;

    /// `queues` rings of `capacity` values each, all allocated here.
    CaptureHandOver(size_t queues, size_t capacity, Consumer consumer)
        : consumer_(std::move(consumer)), budget_(queues), wake_([this] { drain(); }) {
        lanes_.reserve(queues);
        for (size_t i = 0; i < queues; ++i) lanes_.push_back(std::make_unique<Lane>(capacity));
    }

    /// The producer thread of ring `queue` (below queueCount()). False when the value was dropped.
    bool push(size_t queue, const T& value) noexcept {
        Lane& lane = *lanes_[queue];
        if (!lane.ring.tryPush(value)) {
            lane.dropped.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        wake_.wake();
        return true;
    }

    /// Values dropped so far on ring `queue`; any thread.
    uint64_t dropped(size_t queue) const noexcept {
        return lanes_[queue]->dropped.load(std::memory_order_relaxed);
    }

    size_t queueCount() const noexcept { return lanes_.size(); }

private:
    struct Lane {
        explicit Lane(size_t capacity) : ring(capacity) {}
        SpscRing<T> ring;
        std::atomic<uint64_t> dropped{0};
    };

    // Main thread. Values pushed after the budgets are taken wake the source
    // again, so bounding each pass keeps the main loop responsive under load.
    void drain() {
        size_t left = 0;
        for (size_t i = 0; i < lanes_.size(); ++i) left += budget_[i] = lanes_[i]->ring.size();
        while (left > 0) {
            for (size_t i = 0; i < lanes_.size(); ++i) {
                if (budget_[i] == 0) continue;
                T value;
                if (!lanes_[i]->ring.tryPop(value)) {
                    left -= budget_[i];  // cannot happen on the consumer's own thread; never spin
                    budget_[i] = 0;
                    continue;
                }
                --budget_[i];
                --left;
                consumer_(value);
            }
        }
    }

    std::vector<std::unique_ptr<Lane>> lanes_;
    Consumer consumer_;
    std::vector<size_t> budget_;  ///< main thread: values each ring may still give in this pass
    EventFdSource wake_;          ///< last, so it goes first: no drain after the rings are gone
};
