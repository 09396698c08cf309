// One execution of a linked plan: slots, remaining counts and live alias
// counts, donation of dying operands, and release of every value at its last use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/error.h"
#include "runtime/execution/host.h"
#include "runtime/execution/plan.h"

namespace vorlix::execution {

namespace evaluate_detail {

// "{prefix}%{id}{suffix}", out of the walk loop.
[[gnu::cold]] std::string node_message(std::string_view prefix, NodeId id, std::string_view suffix = {});
[[gnu::cold]] std::string missing_parent(std::string_view op, NodeId node, NodeId parent);
[[gnu::cold]] std::string count_mismatch(std::string_view what, size_t expected, size_t received);

}  // namespace evaluate_detail

// Runs a plan once. `constants` holds one value per store constant in
// ascending node-ID order; `inputs` one per store input in declaration
// order. Nothing survives the call: on failure every value still held here
// is dropped before the error is returned. The plan is only read, so executions of one
// plan may nest.
template <ExecutingHost H>
class Execution {
public:
    using Value = typename H::Value;
    using Error = ExecutionError<typename H::Error>;
    using Plan = LinkedExecutionPlan<typename H::Evaluator>;
    using Result = Expected<std::vector<Value>, Error>;

    Execution(const Plan& plan, H& host) : plan_(plan), graph_(plan.graph()), host_(host) {}
    Execution(const Execution&) = delete;
    Execution& operator=(const Execution&) = delete;

    [[nodiscard]] Result run(std::vector<Value> inputs, std::vector<Value> constants);

private:
    using Walk = Status<Error>;

    [[nodiscard]] static Error graph_error(std::string message) {
        return Error(typename Error::Graph{std::move(message)});
    }
    [[nodiscard]] static Walk graph_failure(std::string message) { return Walk(graph_error(std::move(message))); }
    [[nodiscard]] Walk node_failure(const PlannedNode& node, typename H::Error error) const {
        return Walk(Error(typename Error::Host{std::string(node.schema.name), std::move(error), node.id}));
    }

    [[nodiscard]] Walk run_node(size_t index);
    [[nodiscard]] Walk evaluate(const PlannedNode& node, const LinkedOperation<typename H::Evaluator>& operation,
                                Value& out);
    [[nodiscard]] Walk add_live(NodeId id);
    [[nodiscard]] Walk remove_live(NodeId id);
    // Drops the value of `id` if one is still held, and only then gives up
    // its share of its roots' live counts (a donated value gave it up when
    // it was handed over).
    [[nodiscard]] Walk release(NodeId id);
    [[nodiscard]] Result collect_outputs();

    const Plan& plan_;
    const GraphStore& graph_;
    H& host_;
    // Entries in each of slots_, remaining_ and live_.
    size_t count_ = 0;
    std::vector<Value> slots_;
    std::vector<uint64_t> remaining_;
    std::vector<uint64_t> live_;
    std::vector<Value> constants_;
    std::vector<const Value*> operands_;
};

template <ExecutingHost H>
typename Execution<H>::Result Execution<H>::run(std::vector<Value> inputs, std::vector<Value> constants) {
    using evaluate_detail::count_mismatch;
    if (constants.size() != plan_.constant_count()) {
        return Result(Error(typename Error::Graph{count_mismatch("constants", plan_.constant_count(), constants.size()),
                                                  Error::Kind::InvalidArgument}));
    }
    const auto declared_inputs = graph_.inputs();
    if (inputs.size() != declared_inputs.size()) {
        return Result(graph_error(count_mismatch("inputs", declared_inputs.size(), inputs.size())));
    }
    const size_t count = plan_.steps().size();
    if (plan_.use_counts().size() != count) return Result(graph_error("staged use-count slot is unavailable"));
    // Slots, remaining uses and live counts all hold one entry per step from
    // here on, so one comparison with the step count checks an index for all
    // three.
    count_ = count;
    slots_.resize(count);
    for (size_t k = 0; k < inputs.size(); ++k) {
        const NodeId id = declared_inputs[k];
        if (id >= count) return Result(graph_error("staged graph input slot is unavailable"));
        slots_[id] = std::move(inputs[k]);
    }
    constants_ = std::move(constants);
    remaining_.assign(plan_.use_counts().begin(), plan_.use_counts().end());
    live_.assign(count, 0);

    for (size_t i = 0; i < count; ++i) {
        if (Walk step = run_node(i); !step) return Result(std::move(step).error());
    }
    return collect_outputs();
}

template <ExecutingHost H>
typename Execution<H>::Walk Execution<H>::run_node(size_t index) {
    using evaluate_detail::node_message;
    const auto id = static_cast<NodeId>(index);
    const PlannedNode node = plan_.node(index);
    const auto& step = plan_.steps()[index];

    Value value;
    // Operations first: they are nearly every step of a large graph.
    if (const auto* operation = std::get_if<LinkedOperation<typename H::Evaluator>>(&step)) {
        if (Walk done = evaluate(node, *operation, value); !done) return done;
    } else if (std::holds_alternative<InputStep>(step)) {
        value = std::move(slots_[index]);
        if (!value) return graph_failure(node_message("staged graph input ", id, " is unavailable"));
    } else {
        const auto* constant = std::get_if<ConstantStep>(&step);
        if (!constant->ordinal || *constant->ordinal >= constants_.size()) {
            return graph_failure(node_message("staged graph constant ", id, " is unavailable"));
        }
        value = std::move(constants_[*constant->ordinal]);
        if (!value) {
            std::string message = node_message("staged graph constant value for node ", id, " is unavailable");
            return node_failure(node, host_.node_error(std::move(message)));
        }
    }

    if (auto valid = host_.validate(value, node.outputs); !valid) {
        return node_failure(node, std::move(valid).error());
    }

    slots_[index] = std::move(value);
    if (Walk added = add_live(id); !added) return added;
    for (const NodeId p : node.parents) {
        if (p >= count_) return graph_failure("staged use-count slot is unavailable");
        if (remaining_[p] == 0) {
            return graph_failure(node_message("staged value ", p, " was consumed more often than planned"));
        }
        if (--remaining_[p] == 0) {
            if (Walk released = release(p); !released) return released;
        }
    }
    if (remaining_[index] == 0) return release(id);
    return Walk();
}

template <ExecutingHost H>
typename Execution<H>::Walk Execution<H>::evaluate(const PlannedNode& node,
                                                   const LinkedOperation<typename H::Evaluator>& operation,
                                                   Value& out) {
    using evaluate_detail::node_message;
    const std::span<const NodeId> parents = node.parents;
    const size_t arity = parents.size();

    std::optional<uint32_t> donated_position;
    Value donated;
    for (const uint32_t d : plan_.donation_candidates(operation)) {
        if (d >= arity) return graph_failure("validated staged donation position is unavailable");
        const NodeId p = parents[d];
        if (p >= count_) return graph_failure("staged use-count slot is unavailable");
        if (remaining_[p] != 1 || live_[p] != 1) continue;
        if (!slots_[p]) return graph_failure(node_message("staged donation source ", p, " has no live value"));
        // See Note [Donating only what the walk alone holds].
        if (!host_.sole_reference(slots_[p])) continue;
        donated = std::move(slots_[p]);
        if (Walk removed = remove_live(p); !removed) return removed;
        donated_position = d;
        break;
    }

    // Grown to the widest operation met, never cleared: each position is
    // written below before the call reads it.
    if (operands_.size() < arity) operands_.resize(arity);
    for (size_t k = 0; k < arity; ++k) {
        if (donated_position && k == *donated_position) {
            operands_[k] = nullptr;
            continue;
        }
        const NodeId p = parents[k];
        if (p >= count_) return graph_failure("staged value slot is unavailable");
        if (!slots_[p]) return graph_failure(evaluate_detail::missing_parent(node.schema.name, node.id, p));
        operands_[k] = &slots_[p];
    }

    // The operand list only points into the slots, which nothing resizes
    // while the evaluator runs; a nested execution has slots of its own.
    auto called = host_.evaluate(operation.evaluator, std::span<const Value* const>(operands_.data(), arity),
                                 donated_position, std::move(donated), out);
    if (!called) return node_failure(node, std::move(called).error());
    return Walk();
}

template <ExecutingHost H>
typename Execution<H>::Walk Execution<H>::add_live(NodeId id) {
    const auto roots = plan_.alias_roots().of(id);
    if (!roots) return graph_failure("staged alias-root set is unavailable");
    for (const NodeId r : *roots) {
        if (r >= count_) return graph_failure("staged live-alias slot is unavailable");
        if (live_[r] == std::numeric_limits<uint64_t>::max()) {
            return graph_failure("staged live-alias count overflowed");
        }
        ++live_[r];
    }
    return Walk();
}

template <ExecutingHost H>
typename Execution<H>::Walk Execution<H>::remove_live(NodeId id) {
    const auto roots = plan_.alias_roots().of(id);
    if (!roots) return graph_failure("staged alias-root set is unavailable");
    for (const NodeId r : *roots) {
        if (r >= count_) return graph_failure("staged live-alias slot is unavailable");
        if (live_[r] == 0) return graph_failure("staged live-alias count underflowed");
        --live_[r];
    }
    return Walk();
}

template <ExecutingHost H>
typename Execution<H>::Walk Execution<H>::release(NodeId id) {
    if (id >= count_) return graph_failure("staged value slot is unavailable");
    if (!slots_[id]) return Walk();
    { Value dying = std::move(slots_[id]); }
    return remove_live(id);
}

template <ExecutingHost H>
typename Execution<H>::Result Execution<H>::collect_outputs() {
    using evaluate_detail::node_message;
    const auto outputs = graph_.outputs();
    std::vector<Value> collected;
    collected.reserve(outputs.size());
    for (const NodeId o : outputs) {
        if (o >= remaining_.size()) return Result(graph_error("staged output count is unavailable"));
        if (o >= slots_.size()) return Result(graph_error("staged graph output slot is unavailable"));
        if (remaining_[o] == 0) return Result(graph_error("staged output count underflowed"));
        if (!slots_[o]) {
            return Result(graph_error(node_message("staged graph output ", o, " has no computed value")));
        }
        if (--remaining_[o] == 0) {
            collected.push_back(std::move(slots_[o]));
        } else {
            collected.push_back(host_.share(slots_[o]));
        }
    }
    return Result(std::move(collected));
}

// Runs `plan` once with `host`; see `Execution`.
template <ExecutingHost H>
[[nodiscard]] Expected<std::vector<typename H::Value>, ExecutionError<typename H::Error>> execute(
    const LinkedExecutionPlan<typename H::Evaluator>& plan, H& host, std::vector<typename H::Value> inputs,
    std::vector<typename H::Value> constants) {
    Execution<H> execution(plan, host);
    return execution.run(std::move(inputs), std::move(constants));
}

}  // namespace vorlix::execution
