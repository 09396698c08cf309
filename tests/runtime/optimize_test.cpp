// Optimizer passes, reports, node maps and rebuilt stores on hand-made graphs; the working graph's contracts.
#include "runtime/optimize.h"

#include <gtest/gtest.h>

#include <cctype>

#include "tests/runtime/graph_sketch.h"

namespace vorlix {
namespace {

using testing::attrs;
using testing::ints;
using testing::Sketch;
using testing::Spec;
using testing::take;

// Cases print, and name their tests, by their labels.
template <class Case>
requires requires(const Case& c) { c.label; }
void PrintTo(const Case& c, std::ostream* os) { *os << c.label; }

template <class Case>
std::string label_name(const ::testing::TestParamInfo<Case>& info) {
    std::string name;
    for (const char ch : std::string_view(info.param.label)) {
        name += std::isalnum(static_cast<unsigned char>(ch)) != 0 ? ch : '_';
    }
    return name;
}

OptimizedGraph run(GraphStore store) { return take(optimize(std::move(store))); }
// The rendered error of a refusal.
template <class R>
std::string refusal(const R& r) {
    return r ? "accepted" : r.error().rendered();
}
std::vector<NodeId> ids(std::span<const NodeId> span) { return {span.begin(), span.end()}; }
std::vector<NodeId> parents_of(const GraphStore& store, NodeId id) { return take(store.node(id)).parents.to_vec(); }
AttrMap axes(AttrValue value) { return attrs({{"axes", std::move(value)}}); }
AttrMap backend(AttrValue value) { return attrs({{"_vorlix_backend", std::move(value)}}); }

TEST(OptimizeTest, EmptyGraphReportsThreeEmptyPasses) {
    const OptimizedGraph out = run(Sketch().store());
    EXPECT_EQ(out.passes, (std::array<PassReport, 3>{{{"dce"}, {"simplify"}, {"cse"}}}));
    EXPECT_TRUE(out.node_map.empty());
    EXPECT_EQ(out.nodes_before + out.nodes_after + out.total_rewrites, 0u);
}

TEST(OptimizeTest, DeadCodeRemovalRebuildsEveryTable) {
    Sketch s("2022.12");
    const NodeId x0 = s.node("vorlix.input");
    s.node("array.neg", {x0});
    const NodeId c = s.node("vorlix.const");
    s.node("io.log", {x0});
    s.node("vorlix.input");
    const NodeId sum = s.node("array.sum3", {x0, c, x0});
    s.output(sum);
    s.output(sum);
    GraphStore store = std::move(s).store();
    const std::string digest(store.constant(c)->digest());

    const OptimizedGraph out = run(std::move(store));
    EXPECT_EQ(out.node_map, (NodeMap{0, std::nullopt, 1, 2, 3, 4}));
    EXPECT_EQ(out.passes, (std::array<PassReport, 3>{{{"dce", 6, 5, 1}, {"simplify", 5, 5, 0}, {"cse", 5, 5, 0}}}));
    EXPECT_EQ((std::array{out.nodes_before, out.nodes_after, out.total_rewrites}), (std::array<uint64_t, 3>{6, 5, 1}));
    const GraphStore& g = out.store;
    EXPECT_EQ(parents_of(g, 4), (std::vector<NodeId>{0, 1, 0}));
    EXPECT_EQ(ids(g.inputs()), (std::vector<NodeId>{0, 3}));
    EXPECT_EQ(ids(g.outputs()), (std::vector<NodeId>{4, 4}));
    ASSERT_EQ(g.constants().size(), 1u);
    EXPECT_EQ(g.constant(1)->digest(), digest);
    EXPECT_TRUE(g.data().arena.node(3)->is_input());
    EXPECT_EQ(g.required_array_api_version(), "2022.12");
}

// x -> inner transpose p -> outer transpose u -> consumer, all float64.
// Unless given, p and u take x's shape, so that only attributes and flags
// decide.
struct PairCase {
    const char* label;
    Shape shape;
    AttrMap inner;
    AttrMap outer;
    bool collapses;
    std::optional<Shape> inner_shape = std::nullopt;
    std::string outer_dtype = "float64";
    bool outer_is_output = false;
    std::string_view consumer = "array.neg";
};

class TransposePair : public ::testing::TestWithParam<PairCase> {};

TEST_P(TransposePair, CollapsesOnlyWhenTheOuterUndoesTheInner) {
    const PairCase& c = GetParam();
    Sketch s;
    const NodeId x = s.node("vorlix.input", {}, {.shape = c.shape, .dtype = "float64"});
    const Shape inner_shape = c.inner_shape.value_or(c.shape);
    const NodeId p = s.node("array.transpose", {x}, {.shape = inner_shape, .dtype = "float64", .attrs = c.inner});
    const NodeId u = s.node("array.transpose", {p}, {.shape = c.shape, .dtype = c.outer_dtype, .attrs = c.outer});
    s.output(s.node(c.consumer, {u}));
    if (c.outer_is_output) s.output(u);

    const OptimizedGraph out = run(std::move(s).store());
    EXPECT_EQ(out.node_map, (c.collapses ? NodeMap{0, std::nullopt, 0, 1} : NodeMap{0, 1, 2, 3}));
    EXPECT_EQ(out.passes[1], (c.collapses ? PassReport{"simplify", 4, 2, 1} : PassReport{"simplify", 4, 4, 0}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TransposePair,
    ::testing::Values(
        PairCase{"2-D explicit", {2, 2}, axes(ints({1, 0})), axes(ints({1, 0})), true},
        PairCase{"2-D without axes, not square", {2, 3}, {}, {}, true, Shape{3, 2}},
        PairCase{"rank 4", {2, 2, 2, 2}, {}, {}, true},
        PairCase{"null axes", {2, 2, 2}, axes(AttrValue::null()), {}, true},
        PairCase{"3-D swap twice", {2, 2, 2}, axes(ints({0, 2, 1})), axes(ints({0, 2, 1})), true},
        PairCase{"3-D rotation then inverse", {2, 2, 2}, axes(ints({1, 2, 0})), axes(ints({2, 0, 1})), true},
        PairCase{"3-D rotation twice", {2, 2, 2}, axes(ints({1, 2, 0})), axes(ints({1, 2, 0})), false},
        PairCase{"negative axes in a list", {2, 2, 2}, axes(ints({-2, -1, -3}, true)), axes(ints({2, 0, 1})), true},
        PairCase{"repeated axis", {2, 2}, axes(ints({0, 0})), axes(ints({0, 0})), false},
        PairCase{"axes of another rank", {2, 2, 2}, axes(ints({1, 0})), axes(ints({1, 0})), false},
        PairCase{"backends differ",
                 {2, 2},
                 backend(AttrValue::from_string("np")),
                 backend(AttrValue::from_string("cp")),
                 false},
        PairCase{"backend on one side", {2, 2}, {}, backend(AttrValue::from_string("np")), false},
        PairCase{"other attribute", {2, 2}, {}, attrs({{"conjugate", AttrValue::from_bool(false)}}), false},
        PairCase{"outer dtype written differently", {2, 2}, {}, {}, false, std::nullopt, "float"},
        PairCase{"outer is a graph output", {2, 2}, {}, {}, false, std::nullopt, "float64", true},
        PairCase{"outer feeds an effect", {2, 2}, {}, {}, false, std::nullopt, "float64", false, "io.print"}),
    label_name<PairCase>);

// x -> a, [x -> between], x -> b, then consumer(a, b) as the graph output.
struct CseCase {
    const char* label;
    std::string_view op;
    Spec first;
    Spec second;
    bool merges;
    std::string_view between = {};
    bool second_is_output = false;
    std::string_view consumer = "array.add";
};

class CommonSubexpression : public ::testing::TestWithParam<CseCase> {};

TEST_P(CommonSubexpression, MergesIntoTheEarlierNodeOnlyWhenAllowed) {
    const CseCase& c = GetParam();
    Sketch s;
    const NodeId x = s.node("vorlix.input", {}, {.shape = {2, 2}});
    const NodeId a = s.node(c.op, {x}, c.first);
    if (!c.between.empty()) s.node(c.between, {x});
    const NodeId b = s.node(c.op, {x}, c.second);
    const NodeId y = s.node(c.consumer, {a, b});
    s.output(y);
    if (c.second_is_output) s.output(b);

    const OptimizedGraph out = run(std::move(s).store());
    ASSERT_TRUE(out.node_map[a] && out.node_map[b] && out.node_map[y]);
    EXPECT_EQ(out.passes[2].rewrites, c.merges ? 1u : 0u);
    EXPECT_EQ(out.node_map[b] == out.node_map[a], c.merges);
    EXPECT_EQ(parents_of(out.store, *out.node_map[y]), (std::vector<NodeId>{*out.node_map[a], *out.node_map[b]}));
}

const Spec kSquare{.shape = {2, 2}};
Spec square(AttrMap a) { return Spec{.shape = {2, 2}, .attrs = std::move(a)}; }

INSTANTIATE_TEST_SUITE_P(
    Cases, CommonSubexpression,
    ::testing::Values(
        CseCase{"identical", "array.exp", {}, {}, true},
        CseCase{"different names", "array.exp", {.name = "n"}, {.name = "m"}, false},
        CseCase{"different source locations", "array.exp", {.location = "a.py:1"}, {.location = "a.py:2"}, false},
        CseCase{"attributes differ", "array.exp", {}, {.attrs = attrs({{"k", AttrValue::null()}})}, false},
        CseCase{"pure node between", "array.exp", {}, {}, true, "array.neg"},
        CseCase{"effect between", "array.exp", {}, {}, false, "io.tick"},
        CseCase{"later one is a graph output", "array.exp", {}, {}, false, {}, true},
        CseCase{"both feed an effect", "array.exp", {}, {}, false, {}, false, "io.print"},
        CseCase{"equal constants", "vorlix.const", {}, {}, false},
        CseCase{"empty_like", "array.empty_like", {}, {}, false}, CseCase{"copy", "vorlix.copy", {}, {}, false},
        CseCase{"transpose without and with axes", "array.transpose", kSquare, square(axes(ints({1, 0}))), true},
        CseCase{"transpose negative list and null", "array.transpose", square(axes(ints({-1, -2}, true))),
                square(axes(AttrValue::null())), true},
        CseCase{"transpose identity and reversal", "array.transpose", square(axes(ints({0, 1}))), kSquare, false},
        CseCase{"transpose with another attribute", "array.transpose",
                square(attrs({{"axes", ints({1, 0})}, {"conjugate", AttrValue::from_bool(false)}})),
                square(attrs({{"conjugate", AttrValue::from_bool(false)}})), false}),
    label_name<CseCase>);

// Long chains take every walk to a depth no recursion would survive: two
// parallel chains of negations merge link by link in one pass, and a chain
// of transposes cancels pairwise.
TEST(OptimizeTest, LongChainsCollapseInOnePass) {
    constexpr NodeId kLength = 100'000;
    Sketch s;
    const NodeId x = s.node("vorlix.input", {}, kSquare);
    NodeId a = x;
    NodeId b = x;
    for (NodeId i = 0; i < kLength; ++i) {
        a = s.node("array.neg", {a}, kSquare);
        b = s.node("array.neg", {b}, kSquare);
    }
    NodeId t = x;
    for (NodeId i = 0; i < 2 * kLength; ++i) t = s.node("array.transpose", {t}, kSquare);
    s.output(s.node("array.add", {a, b}, kSquare));
    s.output(s.node("array.exp", {t}, kSquare));

    const OptimizedGraph out = run(std::move(s).store());
    const uint64_t n = 4 * uint64_t{kLength} + 3;
    EXPECT_EQ(out.passes[1], (PassReport{"simplify", n, n - 2 * kLength, kLength}));
    EXPECT_EQ(out.passes[2], (PassReport{"cse", n - 2 * kLength, kLength + 3, kLength}));
    EXPECT_EQ(out.node_map[b], out.node_map[a]);
    EXPECT_EQ(parents_of(out.store, kLength + 2), (std::vector<NodeId>{0}));
}

// Blocks of distinct nodes, each block then repeated, separated by effects:
// the table grows within a block and is emptied at each effect.
TEST(OptimizeTest, RepeatsMergeWithinEffectBoundedBlocks) {
    constexpr size_t kBlocks = 4;
    constexpr size_t kDistinct = 300;
    Sketch s;
    const NodeId x = s.node("vorlix.input");
    std::vector<NodeId> all;
    for (size_t i = 0; i < kBlocks * 2 * kDistinct; ++i) {
        const AttrValue by = AttrValue::from_integer(static_cast<int64_t>(i % kDistinct));
        all.push_back(s.node("array.scale", {x}, {.attrs = attrs({{"by", by}})}));
        if (i % (2 * kDistinct) == 2 * kDistinct - 1) s.node("io.tick", {x});
    }
    s.output(s.node("array.stack", all));

    const OptimizedGraph out = run(std::move(s).store());
    EXPECT_EQ(out.passes[2].rewrites, kBlocks * kDistinct);
    for (size_t first = 0; first < all.size(); first += 2 * kDistinct) {
        EXPECT_EQ(out.node_map[all[first + kDistinct + 7]], out.node_map[all[first + 7]]);
        if (first > 0) EXPECT_NE(out.node_map[all[first]], out.node_map[all[first - 2 * kDistinct]]);
    }
}

class WorkingGraphTest : public ::testing::Test {
protected:
    // x, a = neg(x), b = neg(a), c = neg(b), with no outputs.
    WorkingGraph graph = [] {
        Sketch s;
        s.node("array.neg", {s.node("array.neg", {s.node("array.neg", {s.node("vorlix.input")})})});
        return take(WorkingGraph::create(std::move(s).store()));
    }();
};

TEST_F(WorkingGraphTest, AliasesFollowChainsAndRefuseBrokenPreconditions) {
    ASSERT_TRUE(graph.alias_node(2, 1));
    ASSERT_TRUE(graph.alias_node(3, 2));
    EXPECT_EQ(graph.resolve(3), 1u);
    ASSERT_TRUE(graph.alias_node(1, 3));
    EXPECT_EQ(graph.representatives(), (std::vector<NodeId>{0, 1}));
    const ParentList parents = take(graph.resolved_parents(3));
    EXPECT_EQ(ids(parents), std::vector<NodeId>{1});
    EXPECT_EQ(take(graph.ancestors(std::vector<NodeId>{99, 3})), (NodeFlags{1, 1, 0, 0}));

    EXPECT_EQ(refusal(graph.alias_node(1, 9)), "replacement is unavailable at node %1");
    EXPECT_EQ(refusal(graph.alias_node(7, 0)), "alias slot is unavailable at node %7");
    EXPECT_EQ(refusal(graph.alias_node(2, 0)), "node is already inactive at node %2");
}

TEST_F(WorkingGraphTest, PruningLeavesRemovedParentsUnresolvable) {
    EXPECT_EQ(take(graph.prune_unreachable()), 3u);
    EXPECT_EQ(graph.representative_count(), 1u);
    EXPECT_EQ(refusal(graph.resolved_parents(3)), "active node references removed parent %2 at node %3");
}

// The passes alias only to smaller nodes; an alias to a larger one is still
// followed, although the walk has already swept past it.
TEST(WorkingGraphAncestors, FollowAnAliasToALargerNode) {
    Sketch s;
    const NodeId x = s.node("vorlix.input");
    const NodeId a = s.node("array.neg", {x});
    const NodeId v = s.node("array.neg", {a});
    const NodeId r = s.node("array.exp", {x});
    WorkingGraph graph = take(WorkingGraph::create(std::move(s).store()));
    ASSERT_TRUE(graph.alias_node(a, r));
    EXPECT_EQ(take(graph.ancestors(std::vector<NodeId>{v})), (NodeFlags{1, 0, 1, 1}));
}

TEST(OptimizerHelpersTest, RemovedEndpointsAreRefused) {
    const NodeMap map{0, std::nullopt, 1};
    EXPECT_EQ(take(optimizer::remap_endpoints(std::vector<NodeId>{2, 0, 2}, map, "output")),
              (std::vector<NodeId>{1, 0, 1}));
    EXPECT_EQ(refusal(optimizer::remap_endpoints(std::vector<NodeId>{0, 1}, map, "input")),
              "optimizer removed graph input at node %1");
    EXPECT_EQ(refusal(optimizer::remap_endpoints(std::vector<NodeId>{3}, map, "output")),
              "optimizer removed graph output at node %3");
}

}  // namespace
}  // namespace vorlix
