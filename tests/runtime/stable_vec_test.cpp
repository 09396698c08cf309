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

}  // namespace
}  // namespace vorlix
