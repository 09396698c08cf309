// The graph optimizer: dead-code elimination, transpose simplification and common-subexpression elimination.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "runtime/attr.h"
#include "runtime/constant.h"
#include "runtime/error.h"
#include "runtime/graph.h"
#include "runtime/interned/attr_cells.h"
#include "runtime/working_graph.h"

namespace vorlix {

// What one pass did. Node counts are representatives (see Note [Alias slots]).
struct PassReport {
    std::string_view name;  // static text: "dce", "simplify" or "cse"
    uint64_t nodes_before = 0;
    uint64_t nodes_after = 0;
    uint64_t rewrites = 0;

    [[nodiscard]] uint64_t removed() const { return nodes_before > nodes_after ? nodes_before - nodes_after : 0; }
    friend bool operator==(const PassReport&, const PassReport&) = default;
};

// For every node ID of the input graph, the ID of the output node that now
// stands for it, or nothing when the node was removed.
using NodeMap = std::vector<std::optional<NodeId>>;

struct OptimizedGraph {
    // The input store itself when nothing was removed or merged.
    GraphStore store;
    NodeMap node_map;
    std::array<PassReport, 3> passes;
    uint64_t nodes_before = 0;
    uint64_t nodes_after = 0;
    uint64_t total_rewrites = 0;
};

// Runs "dce", "simplify" and "cse" in that order, renumbers the survivors
// densely in their previous order and revalidates the result. Takes the
// store over; on failure nothing is returned and the store is dropped. The
// result depends only on the store, never on hash seeds.
[[nodiscard]] Expected<OptimizedGraph> optimize(GraphStore store);

namespace optimizer {

inline constexpr std::string_view kTransposeOp = "array.transpose";
inline constexpr std::string_view kAxesKey = "axes";

// A permutation of 0..n-1.
using Permutation = std::vector<uint64_t>;

// The permutation a transpose of a rank-`n` value applies: the reversal when
// "axes" is absent or null, otherwise its n integers with negative ones
// counted from the end. Nothing for any other value.
[[nodiscard]] std::optional<Permutation> normalized_axes(const AttrMapView& attrs, uint64_t n);
// The "_vorlix_backend" value, when present and a string.
[[nodiscard]] std::optional<AttrView> transpose_backend(const AttrMapView& attrs);
// True when the attributes hold nothing but "axes" and a string "_vorlix_backend".
[[nodiscard]] bool safe_transpose_attrs(const AttrMapView& attrs);

// Maps graph inputs or outputs (`label` names which) through the node map.
[[nodiscard]] Expected<std::vector<NodeId>> remap_endpoints(std::span<const NodeId> ids, const NodeMap& node_map,
                                                            std::string_view label);
// Re-keys the payloads of surviving constant nodes by their new IDs and
// drops the others.
[[nodiscard]] std::map<NodeId, PortableConstant> remap_constants(std::map<NodeId, PortableConstant> constants,
                                                                 const NodeMap& node_map);

// The passes, each returning its rewrite count. Common-subexpression
// elimination lives in cse.cpp.
[[nodiscard]] Expected<uint64_t> eliminate_dead_code(WorkingGraph& graph);
[[nodiscard]] Expected<uint64_t> simplify_transposes(WorkingGraph& graph);
[[nodiscard]] Expected<uint64_t> eliminate_common_subexpressions(WorkingGraph& graph);

struct Pass {
    std::string_view name;
    Expected<uint64_t> (*run)(WorkingGraph&);
};
inline constexpr std::array<Pass, 3> kPasses{
    Pass{"dce", eliminate_dead_code},
    Pass{"simplify", simplify_transposes},
    Pass{"cse", eliminate_common_subexpressions},
};

// Runs one pass and reports it, adding its rewrites to `total`.
[[nodiscard]] Expected<PassReport> run_pass(WorkingGraph& graph, const Pass& pass, uint64_t& total);
// Renumbers the representatives densely, builds the node map and rebuilds
// the store, or hands the input store back when every node kept its ID.
[[nodiscard]] Expected<OptimizedGraph> materialize(WorkingGraph graph, const std::array<PassReport, 3>& passes,
                                                   uint64_t total_rewrites);

}  // namespace optimizer
}  // namespace vorlix
