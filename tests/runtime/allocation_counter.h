// Counts heap allocations by replacing the global allocation functions; include in exactly one file per executable.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace vorlix::testing {

inline std::atomic<size_t> g_allocations{0};

// Allocations made by the whole executable so far; callers compare two readings.
inline size_t allocation_count() { return g_allocations.load(std::memory_order_relaxed); }

}  // namespace vorlix::testing

void* operator new(size_t size) {
    vorlix::testing::g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
