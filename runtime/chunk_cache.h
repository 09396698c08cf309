// Large blocks of the chunked vectors, kept for reuse once their vector lets
// them go. A tape is typically recorded, walked and dropped over and over,
// and every page of a fresh block costs a page fault the first time it is
// written: a block the previous tape used is already mapped.
#pragma once

#include <cstddef>

namespace vorlix::chunk_cache {

// Blocks smaller than this are left to the allocator, which reuses them
// cheaply; the cache holds at most kMaxBytes in all.
inline constexpr size_t kMinBytes = size_t{1} << 18;
inline constexpr size_t kMaxBytes = size_t{32} << 20;

// A block of exactly `bytes` bytes from the cache or from operator new;
// throws std::bad_alloc as operator new does.
[[nodiscard]] void* allocate(size_t bytes);

// Keeps the block for reuse, or frees it when the cache is full.
void deallocate(void* block, size_t bytes) noexcept;

// The bytes the cache holds now.
[[nodiscard]] size_t cached_bytes() noexcept;

// Frees every block the cache holds: for a process that is done with tapes
// for a while, and for tests that need to start from an empty cache.
void release_all() noexcept;

}  // namespace vorlix::chunk_cache
