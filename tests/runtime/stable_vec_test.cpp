#include "runtime/stable_vec.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace vorlix {
namespace {

// Reserving ahead, one element at a time or in one call, never moves an
// element that is already stored, and stored elements keep their values.
TEST(StableVecTest, ReserveKeepsElementsInPlace) {
    StableVec<uint64_t> v;
    v.reserve(0);
    EXPECT_EQ(v.capacity(), 0u);
    const uint64_t* first = nullptr;
    for (uint64_t i = 0; i < 5000; ++i) {
        v.reserve(v.size() + 1);
        EXPECT_GE(v.capacity(), v.size() + 1);
        v.emplace_back(i * 3);
        if (i == 0) first = &v[0];
    }
    EXPECT_EQ(&v[0], first);
    for (uint64_t i = 0; i < 5000; ++i) ASSERT_EQ(v[i], i * 3);
    const size_t capacity = v.capacity();
    v.reserve(v.size());  // already there
    EXPECT_EQ(v.capacity(), capacity);
    v.reserve(capacity + 1);
    EXPECT_GE(v.capacity(), capacity + 1);
    EXPECT_EQ(&v[0], first);
}

// Every index reaches its own element across chunk boundaries, through a
// move and a move assignment, in chunks of elements larger than a word.
TEST(StableVecTest, IndexingFindsEachElementAcrossChunksAndMoves) {
    struct Wide {
        uint64_t a;
        uint32_t b;
    };
    StableVec<Wide> v;
    for (uint32_t i = 0; i < 3000; ++i) v.emplace_back(Wide{uint64_t{i} * 7, i});
    StableVec<Wide> moved(std::move(v));
    EXPECT_EQ(v.size(), 0u);
    StableVec<Wide> assigned;
    assigned.emplace_back(Wide{1, 1});
    assigned = std::move(moved);
    ASSERT_EQ(assigned.size(), 3000u);
    for (uint32_t i = 0; i < 3000; ++i) {
        ASSERT_EQ(assigned[i].a, uint64_t{i} * 7);
        ASSERT_EQ(assigned[i].b, i);
    }
    // Chunk k starts at element 16 * (2^k - 1): the first and last element
    // of each chunk are adjacent in index but not in memory.
    for (size_t start : {16u, 48u, 112u, 240u, 496u, 1008u, 2032u}) {
        EXPECT_EQ(assigned[start - 1].b + 1, assigned[start].b);
    }
}

// Appends after a truncation land right after the kept elements, whether the
// cut falls inside the chunk being filled or in an earlier one.
TEST(StableVecTest, AppendsAfterTruncationContinueFromTheCut) {
    StableVec<uint64_t> v;
    for (uint64_t i = 0; i < 100; ++i) v.emplace_back(i);
    for (const size_t cut : {90u, 20u, 0u}) {
        v.truncate(cut);
        ASSERT_EQ(v.size(), cut);
        v.emplace_back(1000 + cut);
        ASSERT_EQ(v[cut], 1000 + cut);
        if (cut > 0) EXPECT_EQ(v[cut - 1], cut - 1);
    }
}

}  // namespace
}  // namespace vorlix
