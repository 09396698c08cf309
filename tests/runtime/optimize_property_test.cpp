// Optimizer properties on random graphs: consistent node maps and stores, idempotence, independence of the run.
#include "runtime/optimize.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "tests/runtime/graph_sketch.h"

namespace vorlix {
namespace {

using testing::Sketch;
using testing::Spec;
using testing::take;

// Random graphs over a small vocabulary, every value of extent 2 on each
// axis so that any transpose keeps the shape. Parents come from a short
// window of recent nodes, some nodes repeat an earlier node, and some
// transposes undo the one they read, so that every pass finds work.
GraphStore random_graph(uint64_t seed) {
    struct Made {
        std::string op;
        std::vector<NodeId> parents;
        Spec spec;
        std::vector<int64_t> perm;
    };
    std::mt19937_64 rng(seed);
    const auto pick = [&](uint64_t n) { return rng() % n; };
    const auto rank = static_cast<int64_t>(2 + pick(2));
    Sketch s;
    std::vector<Made> made;
    const auto recent = [&] { return static_cast<NodeId>(made.size() - 1 - pick(std::min<size_t>(made.size(), 4))); };
    for (size_t i = 0, count = 3 + pick(60); i < count; ++i) {
        Made m{"", {}, Spec{.shape = Shape(rank, 2), .dtype = pick(12) == 0 ? "float" : "float64"}, {}};
        if (pick(10) == 0) m.spec.name = "n";
        const uint64_t kind = i < 2 ? 0 : pick(20);
        if (kind < 2) {
            m.op = kind == 0 ? "vorlix.input" : "vorlix.const";
        } else if (kind < 6) {
            m = made[recent()];
        } else if (kind < 8) {
            m.op = kind == 6 ? "array.add" : "array.sum3";
            for (int k = kind == 6 ? 2 : 3; k > 0; --k) m.parents.push_back(recent());
        } else if (kind < 15) {
            m.op = "array.transpose";
            m.parents = {recent()};
            m.perm.resize(rank);
            std::iota(m.perm.begin(), m.perm.end(), 0);
            std::shuffle(m.perm.begin(), m.perm.end(), rng);
            const Made& inner = made[m.parents[0]];
            if (inner.op == m.op && pick(2) == 0) {
                for (int64_t k = 0; k < rank; ++k) m.perm[inner.perm[k]] = k;
            }
            AttrList axes;
            for (const int64_t a : m.perm) axes.push_back(AttrValue::from_integer(pick(3) == 0 ? a - rank : a));
            // The reversal may also be written as absent or null axes.
            const uint64_t form = std::is_sorted(m.perm.rbegin(), m.perm.rend()) ? pick(4) : pick(2);
            if (form < 3) {
                m.spec.attrs.emplace("axes", form == 0   ? AttrValue::from_list(std::move(axes))
                                             : form == 1 ? AttrValue::from_tuple(std::move(axes))
                                                         : AttrValue::null());
            }
            if (pick(8) == 0) m.spec.attrs.emplace("_vorlix_backend", AttrValue::from_string(pick(2) ? "np" : "cp"));
            if (pick(20) == 0) m.spec.attrs.emplace("conjugate", AttrValue::from_bool(false));
        } else {
            static constexpr std::array<const char*, 5> kUnary{"array.neg", "array.exp", "vorlix.copy",
                                                               "array.empty_like", "io.tick"};
            m.op = kUnary[pick(kUnary.size())];
            // Effects mostly read an input, so that they do not shield the whole graph.
            m.parents = {m.op == "io.tick" && pick(3) != 0 ? NodeId{0} : recent()};
        }
        s.node(m.op, m.parents, m.spec);
        made.push_back(std::move(m));
    }
    // Most nodes nothing reads become outputs; the rest is dead code.
    std::vector<bool> read(made.size(), false);
    for (const Made& m : made) {
        for (const NodeId p : m.parents) read[p] = true;
    }
    for (NodeId id = 0; id < made.size(); ++id) {
        if (!read[id] && pick(4) != 0) s.output(id);
    }
    s.output(recent());
    return std::move(s).store();
}

std::vector<NodeId> mapped(std::span<const NodeId> ids, const NodeMap& map) {
    std::vector<NodeId> out;
    for (const NodeId id : ids) out.push_back(map[id].value_or(~NodeId{0}));
    return out;
}

// The reports chain up; every new node comes from the lowest input node
// mapped to it (aliases always point down), in order, carries that node's
// operation and metadata, and has its parents mapped through the node map;
// effects and graph outputs keep their own nodes.
void expect_consistent(const GraphStore& before, const OptimizedGraph& out) {
    const GraphStore& after = out.store;
    ASSERT_EQ(out.node_map.size(), before.node_count());
    EXPECT_EQ(out.passes[0].nodes_before, before.node_count());
    EXPECT_EQ(out.passes[0].nodes_after, out.passes[1].nodes_before);
    EXPECT_EQ(out.passes[1].nodes_after, out.passes[2].nodes_before);
    EXPECT_EQ(out.passes[2].nodes_after, after.node_count());
    EXPECT_EQ(out.nodes_after, after.node_count());
    EXPECT_EQ(out.total_rewrites, out.passes[0].rewrites + out.passes[1].rewrites + out.passes[2].rewrites);

    std::vector<std::optional<NodeId>> source(after.node_count());
    for (NodeId i = 0; i < out.node_map.size(); ++i) {
        if (!out.node_map[i]) continue;
        ASSERT_LT(*out.node_map[i], after.node_count());
        if (!source[*out.node_map[i]]) source[*out.node_map[i]] = i;
    }
    for (NodeId j = 0; j < after.node_count(); ++j) {
        ASSERT_TRUE(source[j].has_value()) << "no input node maps to %" << j;
        if (j > 0) EXPECT_LT(*source[j - 1], *source[j]);
        const NodeRef old_node = take(before.node(*source[j]));
        const NodeRef new_node = take(after.node(j));
        EXPECT_EQ(new_node.schema.name, old_node.schema.name);
        EXPECT_EQ(to_owned(new_node.metadata), to_owned(old_node.metadata));
        EXPECT_EQ(new_node.parents.to_vec(), mapped(old_node.parents.to_vec(), out.node_map)) << "node %" << j;
    }
    for (NodeId i = 0; i < before.node_count(); ++i) {
        if (optimizer::is_known_pure(take(before.node(i)).schema.name)) continue;
        ASSERT_TRUE(out.node_map[i].has_value());
        EXPECT_EQ(source[*out.node_map[i]], i) << "effect %" << i;
    }
    for (const NodeId o : before.outputs()) EXPECT_EQ(source[out.node_map[o].value()], o) << "output %" << o;
    EXPECT_EQ(std::vector<NodeId>(after.inputs().begin(), after.inputs().end()), mapped(before.inputs(), out.node_map));
}

TEST(OptimizeProperty, RandomGraphs) {
    constexpr uint64_t kSeeds = 400;
    std::array<uint64_t, 3> exercised{};
    for (uint64_t seed = 0; seed < kSeeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const GraphStore reference = random_graph(seed);
        OptimizedGraph out = take(optimize(random_graph(seed)));
        expect_consistent(reference, out);
        exercised[0] += out.passes[0].removed();
        exercised[1] += out.passes[1].rewrites;
        exercised[2] += out.passes[2].rewrites;

        // Another run draws other hash keys and must not tell.
        const OptimizedGraph again = take(optimize(random_graph(seed)));
        EXPECT_EQ(again.node_map, out.node_map);
        EXPECT_EQ(again.passes, out.passes);

        // Optimizing again changes nothing and hands the very store back.
        const size_t n = out.store.node_count();
        // The tables stay where they are when the store itself is handed back.
        const SpecView* first = n != 0 ? &out.store.data().metadata.spec(0) : nullptr;
        const OptimizedGraph second = take(optimize(std::move(out.store)));
        EXPECT_EQ(second.total_rewrites, 0u);
        for (const PassReport& r : second.passes) EXPECT_EQ(r.removed(), 0u) << r.name;
        ASSERT_EQ(second.node_map.size(), n);
        for (NodeId i = 0; i < n; ++i) EXPECT_EQ(second.node_map[i], i);
        if (n != 0) EXPECT_EQ(&second.store.data().metadata.spec(0), first);
    }
    // The generator must give every pass work.
    for (const uint64_t count : exercised) EXPECT_GT(count, kSeeds / 2);
}

}  // namespace
}  // namespace vorlix
