// Operand interleaving: layouts, the no-copy identity path, and each failure.
#include "runtime/operands.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vorlix {
namespace {

using Strings = std::vector<std::string>;

struct LayoutCase {
    std::vector<uint32_t> positions;
    Strings parents;
    Strings literals;
    Strings expected;
};

class InterleaveLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(InterleaveLayout, PlacesParentsAndFillsTheRestWithLiterals) {
    const LayoutCase& c = GetParam();
    auto out = Operands::interleave<std::string>(c.positions, c.parents, c.literals);
    ASSERT_TRUE(out) << interleave_message(out.error());
    EXPECT_EQ(*out, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Layouts, InterleaveLayout,
                         ::testing::Values(LayoutCase{{}, {}, {"a", "b"}, {"a", "b"}},
                                           LayoutCase{{1}, {"p"}, {"a", "b"}, {"a", "p", "b"}},
                                           LayoutCase{{2, 0}, {"p", "q"}, {"a"}, {"q", "a", "p"}},
                                           LayoutCase{{0, 1}, {"p", "q"}, {"a", "b"}, {"p", "q", "a", "b"}},
                                           LayoutCase{{1, 0}, {"p", "q"}, {}, {"q", "p"}},
                                           LayoutCase{{0, 1}, {"p", "q"}, {}, {"p", "q"}}),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(InterleaveTest, IdentityLayoutReturnsTheParentListItself) {
    std::vector<std::unique_ptr<int>> parents;
    parents.push_back(std::make_unique<int>(1));
    parents.push_back(std::make_unique<int>(2));
    const int* first = parents[0].get();
    const int* storage_before = reinterpret_cast<const int*>(parents.data());
    const std::vector<uint32_t> positions{0, 1};
    auto out = Operands::interleave(positions, 0, std::move(parents), [](size_t) { return std::unique_ptr<int>(); });
    ASSERT_TRUE(out);
    EXPECT_EQ((*out)[0].get(), first);
    EXPECT_EQ(reinterpret_cast<const int*>(out->data()), storage_before);
}

struct FailureCase {
    std::vector<uint32_t> positions;
    size_t parents;
    size_t literals;
    std::string message;
};

class InterleaveFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(InterleaveFailure, ReportsItsMessage) {
    const FailureCase& c = GetParam();
    std::vector<int> parents(c.parents, 7);
    auto out = Operands::interleave(c.positions, c.literals, std::move(parents), [](size_t j) { return int(j); });
    ASSERT_FALSE(out);
    EXPECT_EQ(interleave_message(out.error()), c.message);
}

INSTANTIATE_TEST_SUITE_P(Failures, InterleaveFailure,
                         ::testing::Values(FailureCase{{3}, 1, 1, "operand position is unavailable"},
                                           // two parents share slot 0, so slot 1 wants a literal there is none of
                                           FailureCase{{0, 0}, 2, 0, "literal layout is inconsistent"},
                                           FailureCase{{0, 0}, 2, 1, "literal layout is inconsistent"}),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(InterleaveTest, LiteralsLeftOverAfterTheLastSlotAreRefused) {
    std::vector<uint32_t> positions{0};
    std::vector<int> parents{7};
    std::vector<int> slots(2);
    auto error = Operands::fill<int>(
        positions, 2, std::span<int>(parents), [](size_t j) { return int(j); }, std::span<int>(slots));
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(interleave_message(*error), "literal layout retained unused values");
}

TEST(InterleaveTest, LaterParentForTheSameSlotReplacesTheEarlier) {
    std::vector<uint32_t> positions{1, 1};
    std::vector<std::string> parents{"p", "q"};
    std::vector<std::string> slots(3);
    auto error = Operands::fill<std::string>(
        positions, 1, std::span<std::string>(parents), [](size_t) { return std::string("lit"); },
        std::span<std::string>(slots));
    EXPECT_EQ(error, InterleaveError::LiteralLayoutInconsistent);
    EXPECT_EQ(slots[1], "q");
}

}  // namespace
}  // namespace vorlix
