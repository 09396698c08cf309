// How payloads leave a DynamicTape: bundles of retired objects that are
// closed and dropped only after the tape's hold is given up, the reverse-use
// bookkeeping, and the traversal guard.
#pragma once

#include <vector>

#include "native/dynamic_tape/tape.h"

namespace vorlix::tape {

// Note [Payload release order]
// Retired objects may run Python code when they go (a residual's close(), a
// finalizer) and that code may call back into the tape. Every path that lets
// payloads go therefore first moves them into a bundle while the tape is
// held, gives up the hold, and only then closes and drops the bundle.

// What a wholesale release moves out of the tape.
struct RetiredPayloads {
    StableVec<DynamicNode> node_records;
    StableVec<ValueSpec> value_specs;
    StableVec<NodeExtras> node_extras;
    StableVec<Ref> literals;
    std::vector<Ref> jvp_bindings;
    std::vector<Ref> vjp_bindings;
    std::vector<std::optional<ReverseNeeds>> reverse_needs;
    ReverseCache reverse_cache;

    // Calls close() on each residual in node order, then drops everything.
    // Returns the first exception a close() raised, or an empty handle.
    [[nodiscard]] Ref close_and_drop();
};

// What pruning and the consuming reverse walk move out, one object at a time.
struct RetiredReversePayloads {
    std::vector<Ref> values;
    std::vector<Ref> attrs;
    std::vector<Ref> literals;
    std::vector<Ref> residuals;

    [[nodiscard]] bool empty() const {
        return values.empty() && attrs.empty() && literals.empty() && residuals.empty();
    }
    // Calls close() on each residual in order, dropping it after its call,
    // then drops the values, attrs and literals. Returns the first exception
    // a close() raised, or an empty handle.
    [[nodiscard]] Ref close_and_drop();
};

// Marks the tape consumed and moves its invocation payloads out.
[[nodiscard]] RetiredPayloads retire_invocation_payloads(TapeState& tape);

// Starts a traversal of `kind` (forward or reverse); raises on failure.
[[nodiscard]] bool begin_traversal(TapeState& tape, Traversal kind);

// Moves the values, attrs, literals and residuals that no reverse step will
// read into `bundle`. Raises on failure; on failure `bundle` holds what was
// retired so far.
[[nodiscard]] bool prune_zero_reverse_payloads(TapeState& tape, RetiredReversePayloads& bundle);

// Prunes under `hold`, gives the hold up, then closes and drops what was
// pruned. Raises the first failure.
[[nodiscard]] bool prune_and_close(TapeObject* tape, py::ExclusiveHold& hold);

// After a consuming reverse walk's calls for node `id`: takes the tape
// exclusively, moves out the payloads of the node that no later reverse step
// reads (its value and its parents' at their last use, its literals, attrs
// and residual), gives the hold up, then closes and drops them.
[[nodiscard]] bool retire_reverse_payloads(TapeObject* tape, uint32_t id);

// One reverse use of a node's value has happened; at zero the value moves
// into `bundle`.
[[nodiscard]] bool decrement_reverse_use(TapeState& tape, uint64_t id, RetiredReversePayloads& bundle);

// Moves a node's literals out of the literal arena, appending them to `out`.
[[nodiscard]] bool take_literals(TapeState& tape, const DynamicNode& node, std::vector<Ref>& out);

// Moves a node's residual, if it has one, to the end of `out`.
void take_residual(TapeState& tape, const DynamicNode& node, std::vector<Ref>& out);

// The reverse-needs triple of an active operation node, or nullptr.
[[nodiscard]] const ReverseNeeds* active_node_needs(const TapeState& tape, const ArenaNode& node);

// Raises `error` if it is set; returns whether nothing was raised.
bool raise_if_set(Ref error);

}  // namespace vorlix::tape
