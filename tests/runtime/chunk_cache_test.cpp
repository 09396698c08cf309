#include "runtime/chunk_cache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "runtime/stable_vec.h"

namespace vorlix {
namespace {

// A large block let go is handed out again for the same size only; small
// blocks are never kept, and the cache never holds more than its limit.
TEST(ChunkCacheTest, KeepsLargeBlocksUpToItsLimit) {
    // Earlier tests in the same process may have filled the cache.
    chunk_cache::release_all();
    const size_t before = chunk_cache::cached_bytes();
    ASSERT_EQ(before, 0u);
    void* large = chunk_cache::allocate(chunk_cache::kMinBytes);
    std::memset(large, 7, chunk_cache::kMinBytes);
    chunk_cache::deallocate(large, chunk_cache::kMinBytes);
    EXPECT_EQ(chunk_cache::cached_bytes(), before + chunk_cache::kMinBytes);
    void* other_size = chunk_cache::allocate(2 * chunk_cache::kMinBytes);
    EXPECT_NE(other_size, large);
    EXPECT_EQ(chunk_cache::allocate(chunk_cache::kMinBytes), large);
    EXPECT_EQ(chunk_cache::cached_bytes(), before);
    chunk_cache::deallocate(other_size, 2 * chunk_cache::kMinBytes);
    chunk_cache::deallocate(large, chunk_cache::kMinBytes);

    void* small = chunk_cache::allocate(64);
    chunk_cache::deallocate(small, 64);
    std::vector<void*> blocks;
    for (size_t k = 0; k < 2 * chunk_cache::kMaxBytes / chunk_cache::kMinBytes; ++k) {
        blocks.push_back(chunk_cache::allocate(chunk_cache::kMinBytes));
    }
    for (void* block : blocks) chunk_cache::deallocate(block, chunk_cache::kMinBytes);
    EXPECT_LE(chunk_cache::cached_bytes(), chunk_cache::kMaxBytes);
}

// A vector built where an earlier one was freed reads only its own values.
TEST(ChunkCacheTest, ReusedChunksHoldTheNewVectorsElements) {
    for (uint64_t round = 1; round <= 3; ++round) {
        StableVec<uint64_t> v;
        for (uint64_t i = 0; i < 200000; ++i) v.emplace_back(i * round);
        for (uint64_t i = 0; i < 200000; i += 997) ASSERT_EQ(v[i], i * round);
    }
    EXPECT_GT(chunk_cache::cached_bytes(), 0u);
}

}  // namespace
}  // namespace vorlix
