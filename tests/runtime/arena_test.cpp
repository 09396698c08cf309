// Structural arena: encodings, interning, check order, activity, statistics.
#include "runtime/arena.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace vorlix {
namespace {

std::string error_of(const Expected<NodeId>& r) { return r ? std::string("<ok>") : r.error().rendered(); }

TEST(GraphErrorTest, RendersNodeOnlyWhenPresent) {
    EXPECT_EQ(GraphError("parent range is invalid", 3).rendered(), "parent range is invalid at node %3");
    EXPECT_EQ(GraphError("parent range is invalid").rendered(), "parent range is invalid");
    EXPECT_EQ(GraphError("node does not exist", 7).into_message(), "node does not exist at node %7");
}

TEST(GraphErrorTest, ExecutionErrorFromGraphErrorRendersMessage) {
    ExecutionError<int> e(GraphError("bad", 2));
    ASSERT_TRUE(e.is_graph());
    EXPECT_EQ(e.graph()->message, "bad at node %2");
}

TEST(RawArenaTest, ParentEncodingsAndEdges) {
    RawArena arena;
    ASSERT_EQ(*arena.append("in", 1, {}, node_flags::kInput), 0u);
    ASSERT_EQ(*arena.append("in", 1, {}, node_flags::kInput), 1u);
    const std::vector<NodeId> one{0}, two{0, 1}, three{1, 0, 1};
    ASSERT_EQ(*arena.append("neg", 1, one, 0), 2u);
    ASSERT_EQ(*arena.append("add", 1, two, 0), 3u);
    EXPECT_TRUE(arena.edges().empty());
    ASSERT_EQ(*arena.append("sum3", 1, three, 0), 4u);

    const ArenaNode* n = arena.node(4);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->encoding, ParentEncoding::EdgeRange);
    EXPECT_EQ(n->first, 0u);
    EXPECT_EQ(n->second, 3u);
    EXPECT_EQ(arena.edges().size(), 3u);
    EXPECT_EQ(arena.parents(*n)->to_vec(), three);
    EXPECT_EQ(arena.parents(*arena.node(3))->to_vec(), two);
    EXPECT_EQ(arena.parents(*arena.node(2))->to_vec(), one);
    EXPECT_TRUE(arena.parents(*arena.node(0))->to_vec().empty());
    EXPECT_EQ(arena.node(5), nullptr);
}

TEST(RawArenaTest, SchemaVersionConflictLeavesArenaUnchanged) {
    RawArena arena;
    ASSERT_TRUE(arena.append("add", 1, {}, 0));
    auto r = arena.append("add", 2, {}, 0);
    EXPECT_EQ(error_of(r), "arena operation 'add' is already schema version 1, not 2");
    EXPECT_EQ(arena.node_count(), 1u);
    EXPECT_FALSE(r.error().node.has_value());
}

// append_interned encodes nodes of up to two valid parents inline and hands
// everything else to the general path; either way it must do exactly what
// append does under the same name.
TEST(RawArenaTest, AppendInternedMatchesAppend) {
    const std::vector<std::vector<NodeId>> cases{
        {}, {0}, {2}, {1, 0}, {2, 2}, {0, 1, 2}, {3}, {0, 3}, {3, 0}, {0, 1, 7},
    };
    for (const std::vector<NodeId>& parents : cases) {
        RawArena by_name;
        RawArena interned;
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(by_name.append("in", 1, {}, node_flags::kInput));
            ASSERT_TRUE(interned.append("in", 1, {}, node_flags::kInput));
        }
        ASSERT_EQ(*by_name.append("op", 1, {}, 0), 3u);
        auto op_node = interned.append("op", 1, {}, 0);
        ASSERT_EQ(*op_node, 3u);
        const OpId op = interned.node(*op_node)->op;

        auto expected = by_name.append("op", 1, parents, node_flags::kActive);
        auto got = interned.append_interned(op, parents, node_flags::kActive);
        ASSERT_EQ(error_of(got), error_of(expected)) << parents.size() << " parents";
        ASSERT_EQ(interned.node_count(), by_name.node_count());
        ASSERT_EQ(interned.edges().size(), by_name.edges().size());
        if (!got) continue;
        const ArenaNode& a = *interned.node(*got);
        const ArenaNode& b = *by_name.node(*expected);
        EXPECT_EQ(a.encoding, b.encoding);
        EXPECT_EQ(a.first, b.first);
        EXPECT_EQ(a.second, b.second);
        EXPECT_EQ(a.op, b.op);
        EXPECT_EQ(a.flags, b.flags);
        EXPECT_EQ(a.reserved, b.reserved);
        EXPECT_EQ(interned.parents(a)->to_vec(), parents);
    }
}

struct RefusalCase {
    std::string op;
    uint32_t version;
    std::vector<NodeId> parents;
    std::string message;
};

class ArenaRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ArenaRefusal, RefusesWithMessageAndChangesNothing) {
    RawArena arena;
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(arena.append("in", 1, {}, 0));
    const RefusalCase& c = GetParam();
    auto r = arena.append(c.op, c.version, c.parents, 0);
    EXPECT_EQ(error_of(r), c.message);
    EXPECT_EQ(arena.node_count(), 4u);
    EXPECT_TRUE(arena.edges().empty());
}

INSTANTIATE_TEST_SUITE_P(
    CheckOrder, ArenaRefusal,
    ::testing::Values(RefusalCase{"f", 1, {4}, "node %4 must reference only earlier nodes; got input %4"},
                      RefusalCase{"", 1, {0, 9}, "node %4 must reference only earlier nodes; got input %9"},
                      RefusalCase{"", 1, {0, 1}, "arena operation name must not be empty"},
                      RefusalCase{"", 0, {0, 1, 2}, "arena operation name must not be empty"},
                      RefusalCase{"f", 0, {0}, "arena operation schema version must be at least 1"}));

TEST(RawArenaTest, OperationTableIdRange) {
    RawArena arena;
    for (size_t i = 0; i < RawArena::kMaxOps; ++i) ASSERT_TRUE(arena.append("op" + std::to_string(i), 1, {}, 0));
    auto refused = arena.append("one_too_many", 1, {}, 0);
    EXPECT_EQ(error_of(refused), "arena operation table exceeded its ID range");
    auto reused = arena.append("op17", 1, {}, 0);
    ASSERT_TRUE(reused);
    EXPECT_EQ(arena.node(*reused)->op, 17);
}

TEST(RawArenaTest, ReplaceActivityKeepsInputBits) {
    RawArena arena;
    ASSERT_TRUE(arena.append("in", 1, {}, node_flags::kInput | node_flags::kActive));
    ASSERT_TRUE(arena.append("f", 1, std::vector<NodeId>{0}, node_flags::kActive));
    ASSERT_TRUE(arena.append("g", 1, std::vector<NodeId>{1}, 0));

    bool raw_short[] = {true, true};
    auto refused = arena.replace_activity(std::span<const bool>(raw_short, 2));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "arena activity table has 2 entries for 3 nodes");
    EXPECT_TRUE(arena.node(1)->is_active());
    EXPECT_FALSE(arena.node(2)->is_active());

    bool mask[] = {false, false, true};
    ASSERT_TRUE(arena.replace_activity(mask));
    EXPECT_FALSE(arena.node(0)->is_active());
    EXPECT_TRUE(arena.node(0)->is_input());
    EXPECT_FALSE(arena.node(1)->is_active());
    EXPECT_TRUE(arena.node(2)->is_active());
    EXPECT_FALSE(arena.node(2)->is_input());
}

TEST(RawArenaTest, StructuralStatsCountCapacities) {
    RawArena fresh;
    const StructuralStats empty = fresh.structural_stats();
    EXPECT_EQ(empty.node_count, 0u);
    EXPECT_EQ(empty.index_capacity, 0u);
    EXPECT_EQ(empty.node_bytes + empty.edge_bytes + empty.operation_bytes + empty.index_bytes, 0u);

    RawArena arena;
    ASSERT_TRUE(arena.append("in", 1, {}, 0));
    ASSERT_TRUE(arena.append("f", 1, std::vector<NodeId>{0, 0, 0}, 0));
    const StructuralStats s = arena.structural_stats();
    EXPECT_EQ(s.node_count, 2u);
    EXPECT_EQ(s.edge_count, 3u);
    EXPECT_EQ(s.operation_count, 2u);
    EXPECT_EQ(s.node_bytes, s.node_capacity * 16);
    EXPECT_EQ(s.edge_bytes, s.edge_capacity * 4);
    EXPECT_EQ(s.operation_bytes, s.operation_capacity * 32);
    EXPECT_EQ(s.index_bytes, s.index_capacity * 32);
    EXPECT_GE(s.index_capacity, 2u);
}

TEST(SaturatingTest, StopsAtMax) {
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(saturating_mul(kMax / 2, 3), kMax);
    EXPECT_EQ(saturating_mul(5, 16), 80u);
    EXPECT_EQ(saturating_add(kMax, 1), kMax);
}

}  // namespace
}  // namespace vorlix
