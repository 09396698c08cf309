// InlineVec: sizing for overwrite across the inline and heap storage.
#include "runtime/inline_vec.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace vorlix {
namespace {

// Growing past the inline capacity keeps the elements already there;
// shrinking and growing again within the capacity keeps the storage.
TEST(InlineVecTest, ResizeForOverwriteKeepsPrefixAndStorage) {
    InlineVec<uint64_t, 2> v;
    v.resize_for_overwrite(2);
    v[0] = 7;
    v[1] = 8;
    const uint64_t* inline_data = v.data();
    v.resize_for_overwrite(1);
    EXPECT_EQ(v.size(), 1u);
    EXPECT_EQ(v.data(), inline_data);
    EXPECT_EQ(v[0], 7u);

    v.resize_for_overwrite(5);
    ASSERT_EQ(v.size(), 5u);
    EXPECT_GE(v.capacity(), 5u);
    EXPECT_NE(v.data(), inline_data);
    EXPECT_EQ(v[0], 7u);
    for (uint64_t i = 1; i < 5; ++i) v[i] = i * 10;

    const uint64_t* heap_data = v.data();
    v.resize_for_overwrite(0);
    EXPECT_TRUE(v.empty());
    v.resize_for_overwrite(3);
    EXPECT_EQ(v.data(), heap_data);
    EXPECT_EQ(v[2], 20u);

    InlineVec<uint64_t, 2> moved(std::move(v));
    ASSERT_EQ(moved.size(), 3u);
    EXPECT_EQ(moved[0], 7u);
    EXPECT_EQ(moved[1], 10u);
}

}  // namespace
}  // namespace vorlix
