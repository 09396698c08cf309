// The linked execution plan of a graph store: one step per node, use counts
// and alias roots, computed once so that every execution only counts down.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "runtime/error.h"
#include "runtime/execution/host.h"
#include "runtime/graph.h"

namespace vorlix::execution {

// An operation's donation positions live in its plan's donation table (see
// `LinkedExecutionPlan::donation_positions`), so that a plan of a million
// operations makes no allocation per operation.
template <class Evaluator>
struct LinkedOperation {
    OutputMode output;
    Evaluator evaluator;
    size_t donations_begin = 0;
    uint32_t declared_donations = 0;
    uint32_t candidate_donations = 0;
};

struct InputStep {};
struct ConstantStep {
    // Position among the store's constants (ascending node ID); empty when
    // the store holds no payload for the node.
    std::optional<uint32_t> ordinal;
};

template <class Evaluator>
using Step = std::variant<InputStep, ConstantStep, LinkedOperation<Evaluator>>;

// What the walk reads of one node, copied out of the store at link time so
// that an execution does no lookups. Views into the plan and its store.
struct PlannedNode {
    std::span<const NodeId> parents;
    const OpSchema& schema;
    // Output 0 first.
    std::span<const SpecView> outputs;
    NodeId id;
};

// Per node, the ascending, duplicate-free IDs of the Owned nodes whose output
// storage the node's value may share; stored flat, in node order.
class AliasRoots {
public:
    void reserve(size_t nodes) { offsets_.reserve(nodes + 1); }
    [[nodiscard]] size_t size() const { return offsets_.size() - 1; }
    // The roots of `id`, or nothing when no set was appended for it. The
    // span is valid until the next append.
    [[nodiscard]] std::optional<std::span<const NodeId>> of(NodeId id) const {
        if (id >= size()) return std::nullopt;
        return std::span<const NodeId>(ids_.data() + offsets_[id], offsets_[id + 1] - offsets_[id]);
    }

    void append_none() { offsets_.push_back(ids_.size()); }
    void append_self(NodeId id) {
        ids_.push_back(id);
        offsets_.push_back(ids_.size());
    }
    // A copy of the roots of `source`; false when `source` has no set yet.
    [[nodiscard]] bool append_copy_of(NodeId source);
    // The union of the parents' roots; false when one of them has no set yet.
    [[nodiscard]] bool append_union_of(const Parents& parents);

private:
    std::vector<size_t> offsets_{0};
    std::vector<NodeId> ids_;
    std::vector<NodeId> scratch_;
};

namespace plan_detail {

// Messages of plan-level failures, out of the linking loop.
[[gnu::cold]] GraphError invalid_position(std::string_view op, NodeId node, std::string_view kind);
[[gnu::cold]] GraphError graph_failure(std::string_view message);

// Adds one use; false when the count is already the largest u64.
[[nodiscard]] inline bool add_use(uint64_t& count) {
    if (count == std::numeric_limits<uint64_t>::max()) return false;
    ++count;
    return true;
}

// One output specification on each side, and equal.
[[nodiscard]] bool same_single_spec(const MetadataView& a, const MetadataView& b);

}  // namespace plan_detail

// Immutable once linked; shares the store, which keeps every view the steps
// and the walk take of node metadata valid for the plan's lifetime.
template <class Evaluator>
class LinkedExecutionPlan {
public:
    template <LinkingHost H>
    requires std::same_as<typename H::Evaluator, Evaluator>
    [[nodiscard]] static Expected<LinkedExecutionPlan, ExecutionError<typename H::Error>> link(
        std::shared_ptr<const GraphStore> store, H& host);

    LinkedExecutionPlan(const LinkedExecutionPlan&) = delete;
    LinkedExecutionPlan& operator=(const LinkedExecutionPlan&) = delete;
    LinkedExecutionPlan(LinkedExecutionPlan&&) noexcept = default;
    LinkedExecutionPlan& operator=(LinkedExecutionPlan&&) noexcept = default;

    [[nodiscard]] const GraphStore& graph() const { return *store_; }
    [[nodiscard]] const std::shared_ptr<const GraphStore>& shared_graph() const { return store_; }
    [[nodiscard]] std::span<const Step<Evaluator>> steps() const { return steps_; }
    [[nodiscard]] std::span<const uint64_t> use_counts() const { return use_counts_; }
    [[nodiscard]] const AliasRoots& alias_roots() const { return alias_roots_; }
    [[nodiscard]] size_t constant_count() const { return constant_count_; }
    // As declared: in order, duplicates kept, each below the operand count.
    [[nodiscard]] std::span<const uint32_t> donation_positions(const LinkedOperation<Evaluator>& op) const {
        return std::span<const uint32_t>(donations_).subspan(op.donations_begin, op.declared_donations);
    }
    // The declared positions whose operand has the one output specification
    // the operation's node has, in declared order: the only ones execution
    // examines, since the specification test cannot change between executions.
    [[nodiscard]] std::span<const uint32_t> donation_candidates(const LinkedOperation<Evaluator>& op) const {
        return std::span<const uint32_t>(donations_)
            .subspan(op.donations_begin + op.declared_donations, op.candidate_donations);
    }
    // `index` must be below the step count.
    [[nodiscard]] PlannedNode node(size_t index) const {
        const NodeInfo& info = nodes_[index];
        return {std::span<const NodeId>(parents_.data() + info.parent_begin, info.parent_count), *info.schema,
                info.outputs, static_cast<NodeId>(index)};
    }

private:
    struct NodeInfo {
        const OpSchema* schema;
        std::span<const SpecView> outputs;
        size_t parent_begin;
        size_t parent_count;
    };

    LinkedExecutionPlan() = default;

    // Linking's parts, in the order of their checks: a node's parents
    // recorded and each counted as a use; one operation bound through the
    // host, its declarations checked and its alias roots set; the declared
    // donations whose operand has the node's one output specification.
    [[nodiscard]] Status<> count_use(NodeId id);
    [[nodiscard]] Status<> count_parent_uses(const NodeRef& node);
    template <LinkingHost H>
    [[nodiscard]] Status<ExecutionError<typename H::Error>> link_operation(const GraphStore& graph, const NodeRef& node,
                                                                           NodeId id, H& host);
    [[nodiscard]] Status<> add_donation_candidates(const GraphStore& graph, const NodeRef& node,
                                                   LinkedOperation<Evaluator>& operation);

    std::shared_ptr<const GraphStore> store_;
    std::vector<Step<Evaluator>> steps_;
    std::vector<uint64_t> use_counts_;
    AliasRoots alias_roots_;
    std::vector<NodeInfo> nodes_;
    // Every node's parents in operand order, node after node.
    std::vector<NodeId> parents_;
    // Per operation, its declared donation positions followed by its candidates.
    std::vector<uint32_t> donations_;
    size_t constant_count_ = 0;
};

template <class Evaluator>
template <LinkingHost H>
requires std::same_as<typename H::Evaluator, Evaluator>
    Expected<LinkedExecutionPlan<Evaluator>, ExecutionError<typename H::Error>> LinkedExecutionPlan<Evaluator>::link(
        std::shared_ptr<const GraphStore> store, H& host) {
    using Error = ExecutionError<typename H::Error>;
    using Result = Expected<LinkedExecutionPlan, Error>;

    const GraphStore& graph = *store;
    const size_t count = graph.node_count();
    LinkedExecutionPlan plan;
    plan.use_counts_.assign(count, 0);
    plan.steps_.reserve(count);
    plan.alias_roots_.reserve(count);
    plan.nodes_.reserve(count);
    // Most nodes read one parent; the edge list grows past that only for wider graphs.
    plan.parents_.reserve(count);

    const auto& constants = graph.constants();
    auto next_constant = constants.begin();
    uint32_t constant_ordinal = 0;

    for (size_t index = 0; index < count; ++index) {
        const auto id = static_cast<NodeId>(index);
        auto found = graph.node(id);
        if (!found) return Result(Error(std::move(found).error()));
        const NodeRef& node = *found;
        if (auto counted = plan.count_parent_uses(node); !counted) return Result(Error(std::move(counted).error()));

        const std::string_view op = node.schema.name;
        if (op == graph::kInputOp) {
            plan.steps_.emplace_back(InputStep{});
            plan.alias_roots_.append_none();
            continue;
        }
        if (op == graph::kConstOp) {
            while (next_constant != constants.end() && next_constant->first < id) {
                ++next_constant;
                ++constant_ordinal;
            }
            ConstantStep step;
            if (next_constant != constants.end() && next_constant->first == id) step.ordinal = constant_ordinal;
            plan.steps_.emplace_back(step);
            plan.alias_roots_.append_none();
            continue;
        }
        if (auto linked = plan.link_operation(graph, node, id, host); !linked) return Result(std::move(linked).error());
    }

    for (const NodeId o : graph.outputs()) {
        if (auto counted = plan.count_use(o); !counted) return Result(Error(std::move(counted).error()));
    }

    plan.constant_count_ = constants.size();
    plan.store_ = std::move(store);
    return Result(std::move(plan));
}

template <class Evaluator>
Status<> LinkedExecutionPlan<Evaluator>::count_use(NodeId id) {
    if (id >= use_counts_.size()) return plan_detail::graph_failure("staged use-count slot is unavailable");
    if (!plan_detail::add_use(use_counts_[id])) return plan_detail::graph_failure("staged use count overflowed");
    return {};
}

template <class Evaluator>
Status<> LinkedExecutionPlan<Evaluator>::count_parent_uses(const NodeRef& node) {
    const Parents& parents = node.parents;
    nodes_.push_back({&node.schema, node.metadata.outputs(), parents_.size(), parents.size()});
    for (size_t k = 0; k < parents.size(); ++k) {
        if (auto counted = count_use(parents[k]); !counted) return counted;
        parents_.push_back(parents[k]);
    }
    return {};
}

template <class Evaluator>
template <LinkingHost H>
Status<ExecutionError<typename H::Error>> LinkedExecutionPlan<Evaluator>::link_operation(const GraphStore& graph,
                                                                                         const NodeRef& node, NodeId id,
                                                                                         H& host) {
    using Error = ExecutionError<typename H::Error>;
    const std::string_view op = node.schema.name;
    const Parents& parents = node.parents;
    const size_t arity = parents.size();

    auto linked = host.link(node);
    if (!linked) return Error(typename Error::Host{std::string(op), std::move(linked).error(), id});
    Declarations<Evaluator>& declared = *linked;

    LinkedOperation<Evaluator> operation{declared.output, std::move(declared.evaluator), donations_.size()};
    for (const uint64_t d : declared.donation_positions) {
        if (d >= arity) return Error(plan_detail::invalid_position(op, id, "donation"));
        donations_.push_back(static_cast<uint32_t>(d));
    }
    operation.declared_donations = static_cast<uint32_t>(declared.donation_positions.size());
    if (declared.output.kind == OutputKind::Alias && declared.output.alias_position >= arity) {
        return Error(plan_detail::invalid_position(op, id, "alias"));
    }

    bool roots_found = true;
    switch (declared.output.kind) {
        case OutputKind::Owned: alias_roots_.append_self(id); break;
        case OutputKind::Alias:
            roots_found = alias_roots_.append_copy_of(parents[declared.output.alias_position]);
            break;
        case OutputKind::Unspecified: roots_found = alias_roots_.append_union_of(parents); break;
    }
    if (!roots_found) return Error(plan_detail::graph_failure("staged alias-root set is unavailable"));

    if (auto added = add_donation_candidates(graph, node, operation); !added) return Error(std::move(added).error());
    steps_.emplace_back(std::move(operation));
    return {};
}

template <class Evaluator>
Status<> LinkedExecutionPlan<Evaluator>::add_donation_candidates(const GraphStore& graph, const NodeRef& node,
                                                                 LinkedOperation<Evaluator>& operation) {
    for (size_t k = 0; k < operation.declared_donations; ++k) {
        const uint32_t d = donations_[operation.donations_begin + k];
        auto parent = graph.node(node.parents[d]);
        if (!parent) return std::move(parent).error();
        if (plan_detail::same_single_spec(parent->metadata, node.metadata)) {
            donations_.push_back(d);
            ++operation.candidate_donations;
        }
    }
    return {};
}

}  // namespace vorlix::execution
