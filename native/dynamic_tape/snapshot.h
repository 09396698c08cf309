// The operand snapshot of a node: its operand values (and specs) in operand
// order, parents and literals interleaved, as the traversals hand them to a
// rule.
#pragma once

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

}  // namespace vorlix::tape
