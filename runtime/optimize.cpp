// The optimizer's entry point, its dead-code and transpose passes, and the dense rebuild of the optimized store.
#include "runtime/optimize.h"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

namespace vorlix {

namespace optimizer {

namespace {

constexpr std::string_view kBackendKey = "_vorlix_backend";

[[gnu::cold, gnu::noinline]] GraphError removed_endpoint(std::string_view label, NodeId id) {
    return GraphError("optimizer removed graph " + std::string(label), id);
}

[[gnu::cold, gnu::noinline]] GraphError unmaterialized_parent(NodeId u, NodeId p) {
    return GraphError("cannot materialize parent " + node_ref(p), u);
}

[[gnu::cold, gnu::noinline]] GraphError rebuild_failure(const char* message, NodeId u) {
    return GraphError(message, u);
}

// Both absent, or both present and the same text (one table's texts are
// equal exactly when their IDs are).
[[nodiscard]] bool same_backend(const std::optional<AttrView>& a, const std::optional<AttrView>& b) {
    if (!a || !b) return a.has_value() == b.has_value();
    return a->cell()->payload == b->cell()->payload;
}

// Equal output specifications, output for output (each interned once per graph).
[[nodiscard]] bool same_outputs(const MetadataView& a, const MetadataView& b) {
    return std::ranges::equal(a.outputs(), b.outputs(),
                              [](const SpecView& x, const SpecView& y) { return x.id == y.id; });
}

// The node `u` stands for when it transposes back what its parent
// transposed, or nothing.
[[nodiscard]] Expected<std::optional<NodeId>> cancelled_transpose(const WorkingGraph& graph, NodeId u) {
    auto outer = graph.node(u);
    if (!outer) return std::move(outer).error();
    if (outer->ref.schema.name != kTransposeOp) return std::optional<NodeId>();
    auto outer_parents = graph.resolved_parents(u);
    if (!outer_parents) return std::move(outer_parents).error();
    if (outer_parents->size() != 1) return std::optional<NodeId>();
    auto inner = graph.node((*outer_parents)[0]);
    if (!inner) return std::move(inner).error();
    if (inner->ref.schema.name != outer->ref.schema.name || inner->ref.schema.version != outer->ref.schema.version) {
        return std::optional<NodeId>();
    }
    auto inner_parents = graph.resolved_parents(inner->ref.id);
    if (!inner_parents) return std::move(inner_parents).error();
    if (inner_parents->size() != 1) return std::optional<NodeId>();

    const AttrMapView outer_attrs = outer->ref.metadata.attrs();
    const AttrMapView inner_attrs = inner->ref.metadata.attrs();
    if (!same_backend(transpose_backend(outer_attrs), transpose_backend(inner_attrs))) return std::optional<NodeId>();
    if (!safe_transpose_attrs(outer_attrs) || !safe_transpose_attrs(inner_attrs)) return std::optional<NodeId>();
    const NodeId g = (*inner_parents)[0];
    auto source = graph.node(g);
    if (!source) return std::move(source).error();
    if (!same_outputs(outer->ref.metadata, source->ref.metadata)) return std::optional<NodeId>();
    const uint64_t n = source->ref.metadata.shape().size();
    const std::optional<Permutation> p = normalized_axes(inner_attrs, n);
    const std::optional<Permutation> q = normalized_axes(outer_attrs, n);
    if (!p || !q) return std::optional<NodeId>();
    for (uint64_t i = 0; i < n; ++i) {
        if ((*p)[(*q)[i]] != i) return std::optional<NodeId>();
    }
    return std::optional<NodeId>(g);
}

// Dense IDs in ascending order of the representatives; every other node
// takes the ID of the representative it resolves to.
[[nodiscard]] Expected<NodeMap> dense_node_map(const WorkingGraph& graph) {
    NodeMap map(graph.node_count());
    uint64_t next = 0;
    for (uint64_t id = 0; id < map.size(); ++id) {
        if (!graph.is_representative(id)) continue;
        if (next > std::numeric_limits<NodeId>::max()) return GraphError("optimizer node ID exceeded its range");
        map[id] = static_cast<NodeId>(next++);
    }
    for (uint64_t id = 0; id < map.size(); ++id) {
        if (map[id]) continue;
        if (const std::optional<NodeId> r = graph.resolve(id)) map[id] = map[*r];
    }
    return map;
}

[[nodiscard]] bool is_identity(const NodeMap& map) {
    for (uint64_t id = 0; id < map.size(); ++id) {
        if (map[id] != id) return false;
    }
    return true;
}

// Appends the survivors to a fresh arena in ascending order and keeps their
// metadata, in the same order, in the old metadata table (whose interned
// tables stand as they are), and maps the graph-level tables.
[[nodiscard]] Expected<GraphData> rebuild(GraphData old, std::span<const NodeId> survivors, const NodeMap& node_map) {
    GraphData out;
    out.arena.reserve(survivors.size(), old.arena.edges().size());
    // Each operation is interned by name once; later nodes reuse its new ID.
    std::vector<std::optional<OpId>> new_ops(old.arena.ops().size());
    std::vector<NodeId> parents;
    for (const NodeId u : survivors) {
        const ArenaNode* record = old.arena.node(u);
        if (record == nullptr) return rebuild_failure("optimizer source node is unavailable", u);
        const OpSchema* schema = old.arena.schema(record->op);
        if (schema == nullptr) return rebuild_failure("optimizer operation schema is unavailable", u);
        const std::optional<Parents> stored = old.arena.parents(*record);
        if (!stored) return rebuild_failure("optimizer parent range is invalid", u);
        parents.clear();
        for (size_t k = 0; k < stored->size(); ++k) {
            const NodeId p = (*stored)[k];
            if (p >= node_map.size() || !node_map[p]) return unmaterialized_parent(u, p);
            parents.push_back(*node_map[p]);
        }
        if (u >= old.metadata.size()) return rebuild_failure("optimizer metadata is unavailable", u);
        if (u >= node_map.size() || !node_map[u]) return rebuild_failure("optimizer dense-ID slot is unavailable", u);

        std::optional<OpId>& op = new_ops[record->op];
        auto id = op ? out.arena.append_interned(*op, parents, record->flags)
                     : out.arena.append(schema->name, schema->version, parents, record->flags);
        if (!id) return std::move(id).error();
        if (*id != *node_map[u]) return rebuild_failure("optimizer dense-ID slot is unavailable", u);
        if (!op) op = out.arena.node(*id)->op;
    }
    // Survivors are ascending, so each node's metadata moves down or stays.
    old.metadata.retain(survivors);
    out.metadata = std::move(old.metadata);

    auto inputs = remap_endpoints(old.inputs, node_map, "input");
    if (!inputs) return std::move(inputs).error();
    auto outputs = remap_endpoints(old.outputs, node_map, "output");
    if (!outputs) return std::move(outputs).error();
    out.inputs = std::move(*inputs);
    out.outputs = std::move(*outputs);
    out.required_array_api_version = std::move(old.required_array_api_version);
    out.constants = remap_constants(std::move(old.constants), node_map);
    return out;
}

}  // namespace

std::optional<Permutation> normalized_axes(const AttrMapView& attrs, uint64_t n) {
    const std::optional<AttrView> axes = attrs.find(kAxesKey);
    if (!axes || axes->kind() == AttrKind::Null) {
        Permutation reversed(n);
        for (uint64_t i = 0; i < n; ++i) reversed[i] = n - 1 - i;
        return reversed;
    }
    if (!axes->is_sequence() || axes->container_size() != n) return std::nullopt;
    // n is the length of a sequence in memory here, so it fits an int64.
    const auto rank = static_cast<int64_t>(n);
    Permutation out;
    out.reserve(n);
    std::vector<bool> seen(n, false);
    for (attr::detail::CellCursor items(*axes); !items.done(); items.advance()) {
        const AttrView item = items.item();
        if (item.kind() != AttrKind::Integer) return std::nullopt;
        const int64_t axis = item.as_integer() < 0 ? item.as_integer() + rank : item.as_integer();
        if (axis < 0 || axis >= rank || seen[axis]) return std::nullopt;
        seen[axis] = true;
        out.push_back(static_cast<uint64_t>(axis));
    }
    return out;
}

std::optional<AttrView> transpose_backend(const AttrMapView& attrs) {
    const std::optional<AttrView> backend = attrs.find(kBackendKey);
    if (!backend || backend->kind() != AttrKind::String) return std::nullopt;
    return backend;
}

bool safe_transpose_attrs(const AttrMapView& attrs) {
    for (size_t k = 0; k < attrs.size(); ++k) {
        const AttrMapView::Entry entry = attrs[k];
        if (entry.key == kAxesKey) continue;
        if (entry.key != kBackendKey || entry.value.kind() != AttrKind::String) return false;
    }
    return true;
}

Expected<std::vector<NodeId>> remap_endpoints(std::span<const NodeId> ids, const NodeMap& node_map,
                                              std::string_view label) {
    std::vector<NodeId> out;
    out.reserve(ids.size());
    for (const NodeId id : ids) {
        if (id >= node_map.size() || !node_map[id]) return removed_endpoint(label, id);
        out.push_back(*node_map[id]);
    }
    return out;
}

std::map<NodeId, PortableConstant> remap_constants(std::map<NodeId, PortableConstant> constants,
                                                   const NodeMap& node_map) {
    std::map<NodeId, PortableConstant> out;
    while (!constants.empty()) {
        auto entry = constants.extract(constants.begin());
        const NodeId id = entry.key();
        if (id >= node_map.size() || !node_map[id]) continue;
        entry.key() = *node_map[id];
        // The optimizer's node maps keep the survivors' order, so this appends.
        out.insert(out.end(), std::move(entry));
    }
    return out;
}

Expected<uint64_t> eliminate_dead_code(WorkingGraph& graph) { return graph.prune_unreachable(); }

Expected<uint64_t> simplify_transposes(WorkingGraph& graph) {
    auto protected_nodes = graph.effect_reachable();
    if (!protected_nodes) return std::move(protected_nodes).error();
    uint64_t rewrites = 0;
    for (const NodeId u : graph.representatives()) {
        if (graph.is_output(u) || (*protected_nodes)[u] != 0) continue;
        auto target = cancelled_transpose(graph, u);
        if (!target) return std::move(target).error();
        if (!*target) continue;
        if (auto aliased = graph.alias_node(u, **target); !aliased) return std::move(aliased).error();
        ++rewrites;
    }
    // The inner transposes are usually left without users.
    if (rewrites != 0) {
        if (auto pruned = graph.prune_unreachable(); !pruned) return std::move(pruned).error();
    }
    return rewrites;
}

Expected<PassReport> run_pass(WorkingGraph& graph, const Pass& pass, uint64_t& total) {
    const uint64_t before = graph.representative_count();
    auto rewrites = pass.run(graph);
    if (!rewrites) return std::move(rewrites).error();
    if (__builtin_add_overflow(total, *rewrites, &total)) return GraphError("optimizer rewrite count overflowed");
    return PassReport{pass.name, before, graph.representative_count(), *rewrites};
}

Expected<OptimizedGraph> materialize(WorkingGraph graph, const std::array<PassReport, 3>& passes,
                                     uint64_t total_rewrites) {
    const uint64_t before = graph.node_count();
    const uint64_t after = graph.representative_count();
    auto node_map = dense_node_map(graph);
    if (!node_map) return std::move(node_map).error();
    if (is_identity(*node_map)) {
        return OptimizedGraph{
            std::move(graph).into_store(), std::move(*node_map), passes, before, after, total_rewrites};
    }
    const std::vector<NodeId> survivors = graph.representatives();
    auto data = rebuild(std::move(graph).into_store().into_data(), survivors, *node_map);
    if (!data) return std::move(data).error();
    auto store = GraphStore::create(std::move(*data));
    if (!store) return std::move(store).error();
    return OptimizedGraph{std::move(*store), std::move(*node_map), passes, before, after, total_rewrites};
}

}  // namespace optimizer

Expected<OptimizedGraph> optimize(GraphStore store) {
    auto graph = WorkingGraph::create(std::move(store));
    if (!graph) return std::move(graph).error();
    std::array<PassReport, 3> passes;
    uint64_t total = 0;
    for (size_t i = 0; i < passes.size(); ++i) {
        auto report = optimizer::run_pass(*graph, optimizer::kPasses[i], total);
        if (!report) return std::move(report).error();
        passes[i] = *report;
    }
    return optimizer::materialize(std::move(*graph), passes, total);
}

}  // namespace vorlix
