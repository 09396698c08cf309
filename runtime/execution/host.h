// What linking and executing a staged graph ask of the host that evaluates its
// operations: the host's value, evaluator and error types and its per-node steps.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "runtime/error.h"
#include "runtime/node_view.h"

namespace vorlix::execution {

enum class OutputKind : uint8_t { Owned, Alias, Unspecified };

// What an operation's output may share storage with: nothing (Owned), the
// operand at `alias_position` (Alias), or any operand (Unspecified).
struct OutputMode {
    OutputKind kind = OutputKind::Unspecified;
    uint64_t alias_position = 0;

    [[nodiscard]] static OutputMode owned() { return {OutputKind::Owned, 0}; }
    [[nodiscard]] static OutputMode alias(uint64_t position) { return {OutputKind::Alias, position}; }
    [[nodiscard]] static OutputMode unspecified() { return {OutputKind::Unspecified, 0}; }

    friend bool operator==(const OutputMode&, const OutputMode&) = default;
};

// What a host's link step found for one operation node, before the plan
// checks the positions against the node's operand count.
template <class Evaluator>
struct Declarations {
    Evaluator evaluator;
    OutputMode output;
    // Operand positions the evaluator may consume in place, in declared
    // order, duplicates kept.
    std::vector<uint64_t> donation_positions;
};

// Links one operation node at a time. `link` sees every node that is neither
// an input nor a constant, once, in ID order.
template <class H>
concept LinkingHost = requires(H& host, const NodeRef& node) {
    typename H::Evaluator;
    typename H::Error;
    { host.link(node) } -> std::same_as<Expected<Declarations<typename H::Evaluator>, typename H::Error>>;
};

// Note [Donating only what the walk alone holds]
// The plan's conditions for donating a parent (its last read, its only live
// alias root, equal specifications) trust what the evaluators declare. An
// evaluator that declares an owned output but hands back an operand (the
// caller's input array, say) would have that object donated, and a
// donating evaluator would then write into what the caller still holds. So
// the walk also requires that its slot holds the value's only reference;
// when it does not, the operand is read like any other and no position is
// donated. This only ever declines a donation the plan allowed: results
// never change, and the value is never consumed behind someone's back.

// Evaluates the operations of a linked plan. A `Value` is a move-only handle
// whose default and moved-from states are empty and test false; the walk
// drops a value by destroying its handle.
template <class H>
concept ExecutingHost = std::default_initializable<typename H::Value> && std::movable<typename H::Value> &&
    requires(H& host, const typename H::Evaluator& evaluator, const typename H::Value& value, typename H::Value owned,
             typename H::Value& out, std::span<const typename H::Value* const> operands,
             std::optional<uint32_t> donated_position, std::span<const SpecView> specs, std::string message) {
    typename H::Error;
    {static_cast<bool>(value)};
    // Calls the evaluator with one operand per position. At
    // `donated_position` the entry of `operands` is null and `owned`
    // carries the value instead, handed over for in-place reuse: the
    // host keeps no reference to it once the call returns.
    {
        host.evaluate(evaluator, operands, donated_position, std::move(owned), out)
        } -> std::same_as<Status<typename H::Error>>;
    // Checks a produced (or input, or constant) value against the node's
    // output specifications.
    { host.validate(value, specs) } -> std::same_as<Status<typename H::Error>>;
    // A second handle to the same value.
    { host.share(value) } -> std::same_as<typename H::Value>;
    // Whether `value` is the only reference to its value anywhere. See
    // Note [Donating only what the walk alone holds].
    { host.sole_reference(value) } -> std::same_as<bool>;
    // The host's error for a failure the walk finds while evaluating a
    // node (reported with the node like an evaluator's own failure).
    { host.node_error(std::move(message)) } -> std::same_as<typename H::Error>;
};

}  // namespace vorlix::execution
