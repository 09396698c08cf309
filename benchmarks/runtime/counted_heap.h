// The global allocation functions of a benchmark program, replaced so that
// it can count what a measured stretch allocates: allocations, live heap
// bytes (as the allocator sizes the blocks) and their peak, all counted only
// while `g_counting` is set (timed runs count nothing). Included by one
// source file per program.
#pragma once

#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace counted_heap {

inline std::atomic<bool> g_counting{false};
inline std::atomic<size_t> g_allocations{0};
inline std::atomic<size_t> g_live{0};
inline std::atomic<size_t> g_peak{0};

inline void note_allocated(void* p) {
    if (!g_counting.load(std::memory_order_relaxed)) return;
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    const size_t live = g_live.fetch_add(malloc_usable_size(p), std::memory_order_relaxed) + malloc_usable_size(p);
    size_t peak = g_peak.load(std::memory_order_relaxed);
    while (live > peak && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
    }
}

}  // namespace counted_heap

void* operator new(size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    counted_heap::note_allocated(p);
    return p;
}
void* operator new[](size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept {
    if (p == nullptr) return;
    if (counted_heap::g_counting.load(std::memory_order_relaxed)) {
        counted_heap::g_live.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
    }
    std::free(p);
}
void operator delete(void* p, size_t) noexcept { ::operator delete(p); }
void operator delete[](void* p) noexcept { ::operator delete(p); }
void operator delete[](void* p, size_t) noexcept { ::operator delete(p); }
