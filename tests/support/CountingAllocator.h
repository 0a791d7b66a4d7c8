#pragma once

// Replaces the global operator new and delete of a test executable to count
// the allocations made on threads that have armed the count: real-time paths
// (the sample step, dispatch, the capture hand-over) must never reach the
// allocator. Include it in exactly one source file of the executable.
//
// Kept out of line: inlined, these let GCC see malloc's pointers reach
// operator delete and warn of a mismatch.

#include <atomic>
#include <cstdlib>
#include <new>

namespace counting_allocator {
inline thread_local bool armed = false;  ///< count this thread's allocations
inline std::atomic<long> allocations{0};

[[gnu::noinline]] inline void* counted(std::size_t size) {
    if (armed) allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
}  // namespace counting_allocator

[[gnu::noinline]] void* operator new(std::size_t size) {
    return counting_allocator::counted(size);
}
[[gnu::noinline]] void* operator new[](std::size_t size) {
    return counting_allocator::counted(size);
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
