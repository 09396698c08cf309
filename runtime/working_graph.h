// The optimizer's view of a graph store: alias slots over its nodes, alias resolution, reachability and pruning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "runtime/arena.h"
#include "runtime/error.h"
#include "runtime/graph.h"
#include "runtime/inline_vec.h"
#include "runtime/node.h"

namespace vorlix {

namespace optimizer {

// Operations known to have no effects: the "array." and "array_ext."
// families and the reserved structural operations. Every other operation is
// treated as effectful.
[[nodiscard]] bool is_known_pure(std::string_view op);

}  // namespace optimizer

// A node's parents after alias resolution; most nodes have few.
using ParentList = InlineVec<NodeId, 4>;
// One flag byte per node, indexed by node ID.
using NodeFlags = std::vector<uint8_t>;

// A node of the working graph: the store's view plus what the passes ask of
// its operation. Valid while the working graph lives.
struct WorkingNode {
    NodeRef ref;
    OpId op;
    bool pure;
};

// Note [Alias slots]
// Each node's slot either stands for the node itself (a representative),
// stands for another node (an alias, redirected there when the graph is
// rebuilt), or is removed. Slots only move forward: representative to alias
// or representative to removed. Aliases are set to a representative, but
// that representative may itself become an alias later, so chains are
// followed on demand rather than kept flat. The removed state lives in a
// separate mark byte, so that every 32-bit value stays a usable node ID even
// for a graph of 2^32 nodes.
class WorkingGraph {
public:
    // Takes the store over, every node standing for itself. Fails when the
    // store has more nodes than 32-bit IDs can number or lists an output it
    // does not hold.
    [[nodiscard]] static Expected<WorkingGraph> create(GraphStore store);

    WorkingGraph(const WorkingGraph&) = delete;
    WorkingGraph& operator=(const WorkingGraph&) = delete;
    WorkingGraph(WorkingGraph&&) noexcept = default;
    WorkingGraph& operator=(WorkingGraph&&) noexcept = default;

    [[nodiscard]] size_t node_count() const { return slots_.size(); }
    [[nodiscard]] uint64_t representative_count() const { return representatives_; }
    [[nodiscard]] const GraphStore& store() const { return store_; }
    // Gives the store back, unchanged: the slots never touch it.
    [[nodiscard]] GraphStore into_store() && { return std::move(store_); }

    // The representative that `id` stands for, or nothing when the chain
    // meets a removed node, leaves the graph or runs longer than the graph.
    [[nodiscard]] std::optional<NodeId> resolve(uint64_t id) const {
        const uint64_t n = slots_.size();
        for (uint64_t links = 0; links <= n; ++links) {
            if (id >= n || (marks_[id] & kRemoved) != 0) return std::nullopt;
            const NodeId next = slots_[id];
            if (next == id) return next;
            id = next;
        }
        return std::nullopt;
    }
    [[nodiscard]] bool is_representative(uint64_t id) const {
        return id < slots_.size() && (marks_[id] & kRemoved) == 0 && slots_[id] == id;
    }
    [[nodiscard]] bool is_output(uint64_t id) const { return id < marks_.size() && (marks_[id] & kOutput) != 0; }
    // The representatives in ascending ID order.
    [[nodiscard]] std::vector<NodeId> representatives() const;

    // The store's lookup, with the node's operation ID and purity.
    [[nodiscard]] Expected<WorkingNode> node(NodeId id) const;

    // Representatives whose operation is not known to be pure, ascending.
    [[nodiscard]] Expected<std::vector<NodeId>> effect_roots() const;
    // Flags the representatives reachable from `roots` through parent edges,
    // roots included. Roots and parents that do not resolve are skipped. See
    // Note [Ancestor sweep].
    [[nodiscard]] Expected<NodeFlags> ancestors(std::span<const NodeId> roots) const;
    // The ancestors of the effect roots: nodes the passes must not rewrite.
    [[nodiscard]] Expected<NodeFlags> effect_reachable() const;
    // Removes every representative that no effect, graph input or graph
    // output depends on; returns how many were removed.
    [[nodiscard]] Expected<uint64_t> prune_unreachable();

    // The node's parents, each resolved, in operand order.
    [[nodiscard]] Expected<ParentList> resolved_parents(NodeId u) const;
    // Makes `u` stand for the representative of `target`.
    [[nodiscard]] Status<> alias_node(NodeId u, NodeId target);

private:
    static constexpr uint8_t kOutput = 1u << 0;
    static constexpr uint8_t kRemoved = 1u << 1;

    explicit WorkingGraph(GraphStore store) : store_(std::move(store)) {}

    GraphStore store_;
    std::vector<NodeId> slots_;
    std::vector<uint8_t> marks_;
    // Purity of every interned operation, by operation ID.
    std::vector<uint8_t> pure_ops_;
    uint64_t representatives_ = 0;
};

}  // namespace vorlix
