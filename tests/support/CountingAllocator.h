#pragma once

// Counts the allocations of threads that armed the count: real-time paths must
// never reach the allocator. Include in exactly one source file per executable.
// Out of line: inlined, GCC sees malloc's pointers reach delete and warns.

#include <atomic>
#include <cstdlib>
#include <new>

namespace counting_allocator {
inline thread_local bool armed = false;  ///< count this thread's allocations
inline std::atomic<long> allocations{0};
}  // namespace counting_allocator

[[gnu::noinline]] void* operator new(std::size_t size) {
    if (counting_allocator::armed) ++counting_allocator::allocations;
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new[](std::size_t size) {
    return ::operator new(size);
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
