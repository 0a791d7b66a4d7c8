#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

// A bounded queue between exactly one producer thread and exactly one consumer
// thread. All storage is allocated by the constructor; pushing and popping
// touch only that storage and two counters, so both are safe on a real-time
// thread.
//
// The counters run freely (they are never wrapped back), so a full ring and an
// empty one are told apart without sacrificing a slot: the ring holds exactly
// `capacity` values, a capacity of 1 included. A push onto a full ring fails
// and leaves every queued value as it was; nothing is overwritten.
//
// Thread contract: tryPush() from the one producer thread only, tryPop() from
// the one consumer thread only; size() and capacity() from any thread.
template <typename T>
class SpscRing {
    static_assert(std::is_trivially_copyable_v<T>, "values are copied whole across threads");

public:
    /// `capacity` must be at least 1.
    explicit SpscRing(size_t capacity)
        : capacity_(capacity < 1 ? 1 : capacity), slots_(std::make_unique<T[]>(capacity_)) {}

    SpscRing(const SpscRing&) = delete;
    SpscRing& operator=(const SpscRing&) = delete;

    /// Producer thread. False, with the ring unchanged, when it is full.
    bool tryPush(const T& value) noexcept {
        const uint64_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) >= capacity_) return false;
        slots_[tail % capacity_] = value;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    /// Consumer thread. False, with `out` untouched, when the ring is empty.
    bool tryPop(T& out) noexcept {
        const uint64_t head = head_.load(std::memory_order_relaxed);
        if (tail_.load(std::memory_order_acquire) == head) return false;
        out = slots_[head % capacity_];
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

    /// Values queued at some moment during the call; exact on either end's own thread
    /// while the other end is idle.
    size_t size() const noexcept {
        const uint64_t head = head_.load(std::memory_order_acquire);
        return size_t(tail_.load(std::memory_order_acquire) - head);
    }

    size_t capacity() const noexcept { return capacity_; }

private:
    // Each counter on its own cache line: the two threads write one each. The
    // fixed fields share the consumer's line, which the producer reads anyway.
    alignas(64) std::atomic<uint64_t> head_{0};  ///< next slot to pop; written by the consumer
    const size_t capacity_;
    const std::unique_ptr<T[]> slots_;
    alignas(64) std::atomic<uint64_t> tail_{0};  ///< next slot to fill; written by the producer
};
