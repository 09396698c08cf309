// What the traversals share to prepare a rule call: the operand snapshot of a
// node, the bound invocation, and the lanes that carry seeds and results.
#pragma once

#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "native/dynamic_tape/tape.h"

namespace vorlix::tape {

// Note [Fresh argument tuples]
// Every tuple a rule receives is new and complete before any Python code can
// see it. A tuple refilled once its reference count fell back to one would
// change after Python saw it: the collector may have untracked it while it
// held only atomic items (so a cycle through its new items would leak), a
// cached hash would go stale, and a pooled tuple waiting with unset items
// would be reachable through gc.get_objects(). The interpreter's own tuple
// free list keeps fresh tuples cheap.

enum class Direction : uint8_t { Jvp, Vjp };

[[nodiscard]] inline const char* direction_word(Direction d) { return d == Direction::Jvp ? "JVP" : "VJP"; }

// A node's operands in operand order, with what the reverse rules need to
// route contributions back to the parents.
struct OperandSnapshot {
    InlineVec<uint32_t, 4> parents;  // parent IDs, parent order
    InlineVec<uint32_t, 4> slots;    // operand slot of each parent
    uint32_t arity = 0;
    Ref values;  // tuple: operand values, or None for every operand
    Ref specs;   // tuple: (shape, dtype) per parent operand, None per literal
};

// Builds the snapshot of `node`. With `with_values` the operand values are
// the parents' values (weak parents converted by the weak-scalar rule) and
// the literals; otherwise every operand is None. Specs are built only with
// `with_specs`. Raises on failure.
[[nodiscard]] bool snapshot_operands(TapeState& tape, uint64_t node, bool with_values, bool with_specs,
                                     OperandSnapshot& out);

// The weak-scalar rule: a weak rank-zero value as the Python scalar rules
// should see.
[[nodiscard]] Ref weak_scalar(PyObject* value);

// One bound rule call. The operation name views the tape's operation table,
// which cannot change while a traversal runs.
struct Invocation {
    std::string_view op_name;
    Ref source_location;
    Ref rule;
    Ref output_value;
    Ref primals;
    Ref attrs;
    Ref residual_payload;
    uint32_t node = 0;

    void drop_references() {
        source_location.reset();
        rule.reset();
        output_value.reset();
        primals.reset();
        attrs.reset();
        residual_payload.reset();
    }
};

[[nodiscard]] bool bind_invocation(TapeState& tape, Direction direction, uint64_t node, size_t op,
                                   Invocation& out);

// One optional object per tape node, indexed by node ID.
using Lane = std::vector<Ref>;
using SeedSet = std::vector<std::pair<uint32_t, Ref>>;

// Validates the requested IDs, then each seed set, and makes one lane per
// seed set.
[[nodiscard]] bool seed_lanes(TapeState& tape, Direction direction, std::vector<SeedSet>& seed_sets,
                              std::span<const uint32_t> requested, std::vector<Lane>& lanes);

// One list per lane with the requested slots, moved out of the lanes; a
// node requested twice yields None after its first occurrence.
[[nodiscard]] Ref take_requested(std::vector<Lane>& lanes, std::span<const uint32_t> requested);

// The last lane's result list of a list of per-lane results.
[[nodiscard]] Ref single_lane(Ref lanes_results);

// Converts a seed-set argument: a sequence (not a str) of (node ID, object)
// pairs.
[[nodiscard]] bool to_seed_set(PyObject* obj, const char* arg, SeedSet& out);

// Adds "while executing {label} for '{op}' at dynamic node %{node}" to the
// raised exception.
[[gnu::cold]] void note_rule_failure(const char* label, std::string_view op_name, uint32_t node);

}  // namespace vorlix::tape
