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

// How a fast path ended: done, left to the general path (nothing raised,
// nothing changed), or failed with the exception raised.
enum class Quick : uint8_t { Done, Fallback, Failed };

// Note [Direct operands]
// Nearly every node of a tape has a few operands, no weak parent (whose
// conversion runs Python code) and every payload present. The walks read
// such a node's operands straight from the records into a flat view of
// borrowed objects (see Note [Borrowed during a traversal]); any other node,
// including one whose layout would fail, goes through snapshot_operands,
// which raises the precise error.
struct DirectOperands {
    static constexpr size_t kMax = 16;

    PyObject* items[kMax];    // operand values in operand order, or None each
    uint32_t parents[kMax];   // parent IDs, parent order
    uint32_t slots[kMax];     // operand slot of each parent
    uint32_t parent_count;
    uint32_t arity;
};

// Reads the operands of a node with the given extras and parents into
// `out`, the parents' values (and the literals) with `with_values` and None
// otherwise. False, with nothing raised, when the node does not read
// directly.
[[nodiscard, gnu::always_inline]] inline bool read_direct_operands(const TapeState& tape, const NodeExtras* extras,
                                               const Parents& parents, bool with_values, DirectOperands& out) {
    const OperandLayout* layout = extras != nullptr && extras->layout ? &*extras->layout : nullptr;
    const size_t parent_count = parents.size();
    const size_t literal_count = layout != nullptr ? layout->literal_len : 0;
    const size_t arity = parent_count + literal_count;
    if (arity > DirectOperands::kMax) return false;
    if (layout != nullptr && (uint64_t{layout->position_start} + parent_count > tape.operand_positions.size() ||
                              uint64_t{layout->literal_start} + literal_count > tape.literals.size())) {
        return false;
    }
    uint32_t filled = 0;
    for (size_t k = 0; k < parent_count; ++k) {
        const uint32_t p = parents[k];
        if (p >= tape.node_records.size()) return false;
        const DynamicNode& parent = tape.node_records[p];
        PyObject* value = Py_None;
        if (with_values) {
            if (!parent.value || parent.weak) return false;
            value = parent.value.get();
        }
        uint32_t slot = static_cast<uint32_t>(k);
        if (layout != nullptr) {
            // Checked again, though recording checked it: the walk must not
            // trust a layout into an out-of-bounds write.
            slot = tape.operand_positions[layout->position_start + k];
            if (slot >= arity || ((filled >> slot) & 1) != 0) return false;
            filled |= uint32_t{1} << slot;
        }
        out.items[slot] = value;
        out.parents[k] = p;
        out.slots[k] = slot;
    }
    if (literal_count > 0) {
        for (size_t s = 0, j = layout->literal_start; s < arity; ++s) {
            if (((filled >> s) & 1) != 0) continue;
            PyObject* literal = with_values ? tape.literals[j].get() : Py_None;
            ++j;
            if (literal == nullptr) return false;
            out.items[s] = literal;
        }
    }
    out.parent_count = static_cast<uint32_t>(parent_count);
    out.arity = static_cast<uint32_t>(arity);
    return true;
}

// A new tuple of `count` borrowed items, complete before it is returned. See
// Note [Fresh argument tuples].
[[nodiscard]] inline Ref tuple_of_borrowed(PyObject* const* items, uint32_t count) {
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return nullptr;
    PyObject** slots = &PyTuple_GET_ITEM(tuple.get(), 0);
    for (uint32_t k = 0; k < count; ++k) slots[k] = Py_NewRef(items[k]);
    return tuple;
}

// The weak-scalar rule: a weak rank-zero value as the Python scalar rules
// should see.
[[nodiscard]] Ref weak_scalar(PyObject* value);

}  // namespace vorlix::tape
