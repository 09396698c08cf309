// Chunk storage of StableVec, with huge pages for the large chunks.
#include "runtime/stable_vec.h"

#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vorlix::chunk_memory {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

bool huge(size_t bytes) { return bytes >= kHugePage; }

}  // namespace

void* allocate(size_t bytes) {
    if (!huge(bytes)) return ::operator new(bytes);
    const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* memory = std::aligned_alloc(kHugePage, rounded);
    if (memory == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Advice only: where huge pages are unavailable the memory works as is.
    (void)madvise(memory, rounded, MADV_HUGEPAGE);
#endif
    return memory;
}

void release(void* memory, size_t bytes) {
    if (!huge(bytes)) {
        ::operator delete(memory);
        return;
    }
    std::free(memory);
}

}  // namespace vorlix::chunk_memory
