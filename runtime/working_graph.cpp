// Alias slots, reachability and pruning over a graph store being optimized.
#include "runtime/working_graph.h"

#include <array>
#include <numeric>
#include <string>

namespace vorlix {

namespace optimizer {

bool is_known_pure(std::string_view op) {
    static constexpr std::array<std::string_view, 7> kPureNames{
        "vorlix.copy",      "vorlix.input",       "vorlix.const",        "vorlix.getitem",
        "vorlix.getoutput", "vorlix.scatter_add", "vorlix.index_update",
    };
    if (op.starts_with("array.") || op.starts_with("array_ext.")) return true;
    for (const std::string_view name : kPureNames) {
        if (op == name) return true;
    }
    return false;
}

}  // namespace optimizer

namespace {

[[gnu::cold, gnu::noinline]] GraphError removed_parent(NodeId u, NodeId p) {
    return GraphError("active node references removed parent " + node_ref(p), u);
}

}  // namespace

Expected<WorkingGraph> WorkingGraph::create(GraphStore store) {
    const size_t n = store.node_count();
    if (uint64_t{n} > RawArena::kMaxNodes) return GraphError("optimizer node ID exceeded its range");
    WorkingGraph graph(std::move(store));
    graph.slots_.resize(n);
    std::iota(graph.slots_.begin(), graph.slots_.end(), NodeId{0});
    graph.marks_.assign(n, 0);
    graph.representatives_ = n;
    for (const NodeId id : graph.store_.outputs()) {
        if (id >= n) return GraphError("graph output does not exist", id);
        graph.marks_[id] |= kOutput;
    }
    const std::span<const OpSchema> schemas = graph.store_.data().arena.ops().schemas();
    graph.pure_ops_.reserve(schemas.size());
    for (const OpSchema& schema : schemas) graph.pure_ops_.push_back(optimizer::is_known_pure(schema.name) ? 1 : 0);
    return graph;
}

std::vector<NodeId> WorkingGraph::representatives() const {
    std::vector<NodeId> out;
    out.reserve(representatives_);
    for (uint64_t id = 0; id < slots_.size(); ++id) {
        if (is_representative(id)) out.push_back(static_cast<NodeId>(id));
    }
    return out;
}

Expected<WorkingNode> WorkingGraph::node(NodeId id) const {
    auto ref = store_.node(id);
    if (!ref) return std::move(ref).error();
    // The lookup succeeded, so the arena record and its operation exist.
    const OpId op = store_.data().arena.node(id)->op;
    return WorkingNode{*ref, op, pure_ops_[op] != 0};
}

Expected<std::vector<NodeId>> WorkingGraph::effect_roots() const {
    std::vector<NodeId> roots;
    for (uint64_t wide = 0; wide < slots_.size(); ++wide) {
        const auto id = static_cast<NodeId>(wide);
        if (!is_representative(id)) continue;
        auto node = this->node(id);
        if (!node) return std::move(node).error();
        if (!node->pure) roots.push_back(id);
    }
    return roots;
}

// Note [Ancestor sweep]
// Parents always have smaller IDs than their users, and the passes only
// alias a node to a smaller one, so the walk visits the reached nodes in
// descending ID order: one sweep from the top, reading the arena in order
// rather than jumping about as a depth-first walk would. A parent that
// resolves above the sweep (an alias to a larger node, which the passes do
// not make) is expanded at once from an explicit stack. Either way each
// reached node is expanded exactly once and nothing recurses.
Expected<NodeFlags> WorkingGraph::ancestors(std::span<const NodeId> roots) const {
    NodeFlags reached(slots_.size(), 0);
    for (const NodeId root : roots) {
        if (const std::optional<NodeId> r = resolve(root)) reached[*r] = 1;
    }
    std::vector<NodeId> above;
    const auto expand = [&](NodeId id, uint64_t cursor) -> Status<> {
        auto node = store_.node(id);
        if (!node) return std::move(node).error();
        const Parents& parents = node->parents;
        for (size_t k = 0; k < parents.size(); ++k) {
            const std::optional<NodeId> r = resolve(parents[k]);
            if (!r || reached[*r] != 0) continue;
            reached[*r] = 1;
            if (*r > cursor) above.push_back(*r);
        }
        return Status<>::ok();
    };
    for (uint64_t cursor = slots_.size(); cursor-- > 0;) {
        if (reached[cursor] == 0) continue;
        if (auto done = expand(static_cast<NodeId>(cursor), cursor); !done) return std::move(done).error();
        while (!above.empty()) {
            const NodeId id = above.back();
            above.pop_back();
            if (auto done = expand(id, cursor); !done) return std::move(done).error();
        }
    }
    return reached;
}

Expected<NodeFlags> WorkingGraph::effect_reachable() const {
    auto roots = effect_roots();
    if (!roots) return std::move(roots).error();
    return ancestors(*roots);
}

Expected<uint64_t> WorkingGraph::prune_unreachable() {
    const uint64_t before = representatives_;
    auto roots = effect_roots();
    if (!roots) return std::move(roots).error();
    roots->insert(roots->end(), store_.inputs().begin(), store_.inputs().end());
    roots->insert(roots->end(), store_.outputs().begin(), store_.outputs().end());
    auto reached = ancestors(*roots);
    if (!reached) return std::move(reached).error();
    for (uint64_t id = 0; id < slots_.size(); ++id) {
        if (is_representative(id) && (*reached)[id] == 0) {
            marks_[id] |= kRemoved;
            --representatives_;
        }
    }
    return before - representatives_;
}

Expected<ParentList> WorkingGraph::resolved_parents(NodeId u) const {
    auto node = store_.node(u);
    if (!node) return std::move(node).error();
    const Parents& parents = node->parents;
    ParentList out;
    out.reserve(parents.size());
    for (size_t k = 0; k < parents.size(); ++k) {
        const std::optional<NodeId> r = resolve(parents[k]);
        if (!r) return removed_parent(u, parents[k]);
        out.push_back(*r);
    }
    return out;
}

Status<> WorkingGraph::alias_node(NodeId u, NodeId target) {
    const std::optional<NodeId> r = resolve(target);
    if (!r) return GraphError("replacement is unavailable", u);
    if (*r == u) return Status<>::ok();
    if (u >= slots_.size()) return GraphError("alias slot is unavailable", u);
    if (!is_representative(u)) return GraphError("node is already inactive", u);
    slots_[u] = *r;
    --representatives_;
    return Status<>::ok();
}

}  // namespace vorlix
