// The operands of one node as its rule sees them: the values (or None) in
// operand order, parents and literals interleaved by the node's layout, with
// each parent's slot for routing tangents and contributions; and the fresh
// argument tuples made from them.
#pragma once

#include <algorithm>
#include <limits>
#include <vector>

#include "native/dynamic_tape/tape.h"
#include "runtime/operands.h"

namespace vorlix::tape {

// Note [Fresh argument tuples]
// Every tuple a rule receives is new and complete before any Python code can
// see it. A tuple refilled once its reference count fell back to one would
// change after Python saw it: the collector may have untracked it while it
// held only atomic items (so a cycle through its new items would leak), a
// cached hash would go stale, and a pooled tuple waiting with unset items
// would be reachable through gc.get_objects(). The interpreter's own tuple
// free list keeps fresh tuples cheap. Tuples that never change for a frozen
// tape (operand specs, active positions) are made once and shared.

// Whether a view reads the operand values or stands None for each.
enum class OperandValues : uint8_t { Read, AsNone };

// One node's operands as its rule call sees them. A walk keeps one view and
// reads each node it calls into it, so that its buffers serve every node.
// The items are borrowed from the tape (see Note [What a walk relies on])
// but for the scalars of weak parents, which the view holds until
// `drop_references`.
class OperandView {
public:
    static constexpr uint32_t kInline = 8;

    OperandView() = default;
    OperandView(const OperandView&) = delete;
    OperandView& operator=(const OperandView&) = delete;

    // Reads the operands of node `record` with `extras` (its record's
    // extras, or nullptr). Raises on failure, with the first of: "dynamic
    // tape edge range is invalid", "operand position range is invalid", an
    // interleave error, per parent in parent order the existence and
    // node-record errors and, reading values, the missing "primal" payload
    // and the weak-scalar rule's own, then "literal range is invalid" and
    // "dynamic tape is missing a required literal payload". Inlined: every
    // walk reads every node it calls.
    [[nodiscard, gnu::always_inline]] bool read(TapeState& tape, const ArenaNode& record, const NodeExtras* extras,
                                                OperandValues values) {
        parent_count = record.parent_count();
        const OperandLayout* layout = extras != nullptr && extras->layout ? &*extras->layout : nullptr;
        in_order = layout == nullptr;
        if (!in_order) {
            if (!read_layout(tape, *layout)) return false;
        } else {
            arity = parent_count;
            literal_count = 0;
            if (arity > capacity_) [[unlikely]] {
                if (!make_room(arity)) return false;
            }
            slots = arity <= kInline ? kIdentity : heap_identity_.data();
        }
        if (record.encoding == ParentEncoding::EdgeRange) [[unlikely]] {
            if (!read_edges(tape, record)) return false;
        } else {
            // Up to two parents inline; the buffers always have room for two.
            parents[0] = record.first;
            parents[1] = record.second;
        }
        // A record exists for every arena node until the payloads are
        // released; either bound makes the reads below safe.
        const size_t limit = std::min(tape.node_records.size(), tape.arena.node_count());
        for (uint32_t k = 0; k < parent_count; ++k) {
            const uint32_t p = parents[k];
            if (p >= limit) [[unlikely]]
                return raise_parent(tape, p);
            PyObject* value = Py_None;
            if (values == OperandValues::Read) {
                const DynamicNode& parent = tape.node_records[p];
                value = parent.value.get();
                if (value == nullptr || parent.weak) [[unlikely]] {
                    value = unusual_parent(tape, p);
                    if (value == nullptr) return false;
                }
            }
            items[slots[k]] = value;
        }
        if (literal_count == 0) return true;
        if (uint64_t{literal_start} + literal_count > tape.literals.size()) [[unlikely]]
            return raise_literal_range();
        for (uint32_t j = 0; j < literal_count; ++j) {
            PyObject* literal = Py_None;
            if (values == OperandValues::Read) {
                literal = tape.literals[literal_start + j].get();
                if (literal == nullptr) [[unlikely]]
                    return raise_missing_literal();
            }
            items[literal_slots[j]] = literal;
        }
        return true;
    }

    // Lets go of the weak parents' scalars, with no hold held.
    void drop_references() {
        if (!converted_.empty()) converted_.clear();
    }

    // The operand specs of the node read, (shape, dtype) per parent and None
    // per literal: built on first use and kept in the tape's reverse cache,
    // which `ReverseCache::prepare` sized; borrowed from there. nullptr with
    // the exception raised on failure.
    [[nodiscard]] PyObject* specs(TapeState& tape, uint32_t id) const {
        PyObject* cached = tape.reverse_cache.operand_specs[id].get();
        return cached != nullptr ? cached : make_specs(tape, id);
    }

    // What `read` found: `arity` operand items; per parent (parent order)
    // its node ID and operand slot; per literal the slot it fills, and where
    // the literals start in the tape's literal arena.
    PyObject** items = inline_items_;
    uint32_t* parents = inline_parents_;
    const uint32_t* slots = kIdentity;
    const uint32_t* literal_slots = nullptr;
    uint32_t parent_count = 0;
    uint32_t literal_count = 0;
    uint32_t literal_start = 0;
    uint32_t arity = 0;
    bool in_order = true;  // the node has no layout: parent k is operand k
    // Names the parents' and literals' slots: equal for two nodes read in
    // turn only when their slots are equal. Without a layout, the slots
    // follow from the parent count alone (an even name); a layout is named
    // by the odd serial of its placing.
    [[nodiscard]] uint64_t placement() const { return in_order ? uint64_t{parent_count} << 1 : layout_serial_; }

private:
    static constexpr uint32_t kIdentity[kInline] = {0, 1, 2, 3, 4, 5, 6, 7};

    // Reads an explicit layout: the literals' range and every operand's
    // slot, by the one interleave routine.
    [[nodiscard, gnu::always_inline]] bool read_layout(TapeState& tape, const OperandLayout& layout) {
        literal_count = layout.literal_len;
        literal_start = layout.literal_start;
        const uint64_t total = uint64_t{parent_count} + literal_count;
        if (total > capacity_) [[unlikely]] {
            if (!make_room(total)) return false;
        }
        uint32_t* own_slots = capacity_ > kInline ? heap_slots_.data() : inline_slots_;
        uint32_t* own_literal_slots = capacity_ > kInline ? heap_literal_slots_.data() : inline_literal_slots_;
        arity = static_cast<uint32_t>(total);
        // Checked again, though recording checked it: a walk must not trust
        // a layout into an out-of-bounds write.
        if (uint64_t{layout.position_start} + parent_count > tape.operand_positions.size()) [[unlikely]] {
            return raise_position_range();
        }
        // Nodes of one operation mostly repeat a layout: when the counts and
        // positions are those of the layout placed last, so are the literals'
        // slots, and the interleave is not run again.
        bool repeated = placed_parents_ == parent_count && placed_literals_ == literal_count;
        for (uint32_t k = 0; k < parent_count; ++k) {
            const uint32_t position = tape.operand_positions[layout.position_start + k];
            repeated = repeated && own_slots[k] == position;
            own_slots[k] = position;
        }
        if (!repeated) {
            placed_parents_ = kNonePlaced;
            const auto error = Operands::assign(
                std::span<const uint32_t>(own_slots, parent_count), parent_count, literal_count, arity,
                [](size_t, size_t) {},
                [own_literal_slots](size_t j, size_t slot) { own_literal_slots[j] = static_cast<uint32_t>(slot); });
            if (error) [[unlikely]]
                return raise_interleave(*error);
            placed_parents_ = parent_count;
            placed_literals_ = literal_count;
            layout_serial_ += 2;
        }
        // A valid layout gives the parents distinct slots and the literals
        // the rest, so `read` writes every item.
        slots = own_slots;
        literal_slots = own_literal_slots;
        return true;
    }

    // Room for the operands of a node with `count` operands in every buffer;
    // fails beyond 32 bits.
    [[gnu::cold]] bool make_room(uint64_t count);
    // The parents of a node whose parents are a range of the arena's edges.
    [[gnu::cold]] bool read_edges(const TapeState& tape, const ArenaNode& record);
    [[gnu::cold]] PyObject* make_specs(TapeState& tape, uint32_t id) const;
    // A parent outside the arena or without a record: raises the error.
    [[gnu::cold]] static bool raise_parent(TapeState& tape, uint32_t p);
    // The value of a parent whose value is missing (raising) or weak
    // (converted, and held by the view).
    [[gnu::cold]] PyObject* unusual_parent(TapeState& tape, uint32_t p);
    [[gnu::cold]] static bool raise_position_range();
    [[gnu::cold]] static bool raise_interleave(InterleaveError error);
    [[gnu::cold]] static bool raise_literal_range();
    [[gnu::cold]] static bool raise_missing_literal();

    uint64_t capacity_ = kInline;
    // The counts of the layout whose slots the slot buffers hold, or
    // kNonePlaced: see `read_layout`.
    static constexpr uint32_t kNonePlaced = std::numeric_limits<uint32_t>::max();
    uint32_t placed_parents_ = kNonePlaced;
    uint32_t placed_literals_ = 0;
    uint64_t layout_serial_ = 1;  // odd: the name of the layout placed last
    PyObject* inline_items_[kInline];
    uint32_t inline_parents_[kInline];
    uint32_t inline_slots_[kInline];
    uint32_t inline_literal_slots_[kInline];
    std::vector<PyObject*> heap_items_;
    std::vector<uint32_t> heap_parents_;
    std::vector<uint32_t> heap_slots_;
    std::vector<uint32_t> heap_literal_slots_;
    std::vector<uint32_t> heap_identity_;
    std::vector<Ref> converted_;
};

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
