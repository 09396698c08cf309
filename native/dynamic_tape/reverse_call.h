// One node's VJP rule call: prepared once from the tape, then made once per
// lane that holds a cotangent for the node, or once for all of them through
// the operation's batched rule.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "native/dynamic_tape/contributions.h"
#include "native/dynamic_tape/lanes.h"
#include "native/dynamic_tape/operand_view.h"
#include "native/toolkit/call.h"
#include "native/toolkit/names.h"

namespace vorlix::tape {

// The tuples of active positions one walk hands its rules: (0, ..., n-1) for
// small n, made once, and the last other tuple made, kept while the nodes
// repeat it. A call borrows its tuple until the next node is prepared.
class ActivePositions {
public:
    // Names which parents of a node are active, bit k for parent k, when it
    // has at most 64 parents; kNoMask otherwise.
    static constexpr uint64_t kNoMask = ~uint64_t{0};

    // The operand positions of the active parents, in parent order; nullptr
    // with the exception raised when the tuple cannot be made. `all_active`
    // says that every parent is active, `mask` which are.
    [[nodiscard, gnu::always_inline]] PyObject* of(const OperandView& operands, const uint8_t* active, uint64_t mask,
                                                   bool all_active) {
        // Every parent active, in operand order: the common node.
        if (all_active && operands.in_order && operands.parent_count < identity_.size() &&
            identity_[operands.parent_count]) {
            return identity_[operands.parent_count].get();
        }
        // The same slots and the same active parents as the node before.
        const uint64_t placement = operands.placement();
        if (mask != kNoMask && mask == found_mask_ && placement == found_placement_) return found_;
        PyObject* found = find(operands, active);
        // Recorded even without a mask, which never matches: `find` may
        // have replaced the tuple found before.
        if (found != nullptr) {
            found_ = found;
            found_mask_ = mask;
            found_placement_ = placement;
        }
        return found;
    }

private:
    [[nodiscard, gnu::always_inline]] PyObject* find(const OperandView& operands, const uint8_t* active) {
        // Up to four positions below 2^15 - 1 are keyed by their sequence,
        // 15 bits each, offset by one so that no position keys as none.
        size_t count = 0;
        uint64_t key = 0;
        for (uint32_t k = 0; k < operands.parent_count; ++k) {
            if (!active[k]) continue;
            const uint64_t field = uint64_t{operands.slots[k]} + 1;
            key = count < 4 && field < kFieldLimit ? key | field << (15 * count) : kUnkeyed;
            ++count;
        }
        if (key != kUnkeyed) {
            if (count < identity_.size() && key == kIdentityKeys[count] && identity_[count]) {
                return identity_[count].get();
            }
            if (key == last_key_) return last_.get();
        }
        return make(operands, active, count, key);
    }

    static constexpr uint64_t kFieldLimit = uint64_t{1} << 15;
    static constexpr uint64_t kUnkeyed = ~uint64_t{0};
    // The keys of (0, ..., n-1) for n up to 4.
    static constexpr uint64_t kIdentityKeys[5] = {0, 1, 1 | 2 << 15, 1 | 2 << 15 | uint64_t{3} << 30,
                                                  1 | 2 << 15 | uint64_t{3} << 30 | uint64_t{4} << 45};
    [[nodiscard]] PyObject* make(const OperandView& operands, const uint8_t* active, size_t count, uint64_t key);

    std::array<Ref, 5> identity_;
    Ref last_;
    uint64_t last_key_ = kUnkeyed;
    // The tuple found last (one of the above: `make` replaces `last_` only
    // just before its successor is recorded here), and the slots and mask it
    // was found for.
    PyObject* found_ = nullptr;
    uint64_t found_mask_ = kNoMask;
    uint64_t found_placement_ = 0;
};

// Whether an operation's batched rule, when it has one, serves all lanes.
enum class Batching : uint8_t { PerLane, Batched };

// What a reverse walk needs of each operation, read once per walk: the
// tape's rules and retention contracts do not change while it runs (see
// Note [What a walk relies on]).
struct ReverseOp {
    PyObject* rule = nullptr;  // borrowed; null when the operation has none
    Ref batched;               // its batched rule, in a batched walk, or empty
    ReverseNeeds needs{};
    bool has_needs = false;
};

// Reads every operation's entry under a shared hold, with its batched rule
// (the binding's `__vorlix_vjp_many__`) in a batched walk; an error raised
// by that lookup ends the walk.
[[nodiscard]] bool reverse_ops(TapeObject* tape, Batching batching, std::vector<ReverseOp>& out);

// The rule and its arguments but the cotangent, and the routing of the
// contributions back to the active parents. A walk keeps one and prepares it
// for each node in turn, so that its buffers serve every node; its hot
// methods are inlined into the loop.
class ReverseCall {
public:
    ReverseCall() = default;
    ReverseCall(const ReverseCall&) = delete;
    ReverseCall& operator=(const ReverseCall&) = delete;

    // Prepares node `id` under a shared hold, checking in order: its VJP
    // binding, its record, its retention contract, its operands (with values
    // when the contract needs the inputs), its residual's payload when the
    // contract needs it, and its output value when the contract needs it.
    // Raises on failure.
    [[nodiscard, gnu::always_inline]] bool prepare(TapeObject* tape, uint32_t id, const ArenaNode& record,
                                                   std::span<const ReverseOp> ops, ActivePositions& positions) {
        py::SharedHold hold(tape->borrow);
        if (!hold.ok()) return false;
        TapeState& state = tape->state;
        tape_ = &state;
        op_ = record.op;
        node_ = id;
        if (op_ >= ops.size() || ops[op_].rule == nullptr) [[unlikely]] {
            raise_unbound(state, Direction::Vjp, op_);
            return false;
        }
        const ReverseOp& op = ops[op_];
        rule_ = op.rule;
        if (id >= state.node_records.size()) [[unlikely]]
            return raise_missing_record();
        if (!op.has_needs) [[unlikely]]
            return raise_no_contract();
        const ReverseNeeds needs = op.needs;
        const DynamicNode& node = state.node_records[id];
        const NodeExtras* extras = state.extras_of(node);
        const OperandValues values = needs.needs_inputs ? OperandValues::Read : OperandValues::AsNone;
        if (!operands_.read(state, record, extras, values)) return false;
        specs_ = operands_.specs(state, id);
        if (specs_ == nullptr) return false;

        const uint32_t parent_count = operands_.parent_count;
        if (parent_count > OperandView::kInline) [[unlikely]] {
            heap_active_.resize(parent_count);
            active_ = heap_active_.data();
        }
        // `read` checked that every parent is in the arena.
        bool all_active = true;
        uint64_t mask = 0;
        for (uint32_t k = 0; k < parent_count; ++k) {
            const bool active = state.arena.node(operands_.parents[k])->is_active();
            active_[k] = active;
            all_active = all_active && active;
            mask |= uint64_t{active} << (k & 63);
        }
        if (parent_count > 64) [[unlikely]]
            mask = ActivePositions::kNoMask;
        positions_ = positions.of(operands_, active_, mask, all_active);
        if (positions_ == nullptr) return false;

        if (needs.needs_residual) {
            const Ref* residual = state.residual_of(node);
            if (residual == nullptr) [[unlikely]]
                return raise_no_residual();
            residual_payload_ = Ref::steal(PyObject_GetAttr(residual->get(), py::names::payload()));
            if (!residual_payload_) return false;
        }
        output_ = Py_None;
        if (needs.needs_output) {
            output_ = node.value.get();
            if (output_ == nullptr) [[unlikely]]
                return state.raise_missing_payload(id, "output");
        }
        attrs_ = node.attrs ? node.attrs.get() : Py_None;
        source_location_ = extras != nullptr && extras->source_location ? extras->source_location.get() : Py_None;
        primals_ = tuple_of_borrowed(operands_.items, operands_.arity);
        return static_cast<bool>(primals_);
    }

    // Calls the rule once per lane that holds a cotangent (`cotangents[l]`
    // is lane l's), in lane order, committing each lane's contributions
    // before the next call.
    [[nodiscard, gnu::always_inline]] bool call_per_lane(Lanes& lanes, const Ref* cotangents) {
        PyObject* args[8];
        fill_args(args);
        for (size_t l = 0; l < lanes.width(); ++l) {
            if (!cotangents[l]) continue;
            args[2] = cotangents[l].get();
            Ref result = Ref::steal(py::call_positional(rule_, args, 8));
            if (!result) [[unlikely]]
                return note_failure("VJP");
            PyObject* list = result.get();
            Ref converted;
            if (!PyList_CheckExact(list) && !PyTuple_CheckExact(list)) [[unlikely]] {
                converted = converted_sequence(list);
                if (!converted) return false;
                list = converted.get();
            }
            const auto count = static_cast<size_t>(PySequence_Fast_GET_SIZE(list));
            if (count != operands_.arity) [[unlikely]]
                return raise_count_mismatch("VJP", count);
            if (!commit_contributions(lanes, l, operands_, active_, PySequence_Fast_ITEMS(list), count)) return false;
        }
        return true;
    }

    // Calls `callback`, the operation's batched rule, once with the
    // cotangents of the lanes that hold one, checks every contribution list
    // it returns, then commits them lane by lane.
    [[nodiscard]] bool call_batched(PyObject* callback, Lanes& lanes, const Ref* cotangents);

    // Lets go of what the node's calls held (residual payload, primals, weak
    // scalars), with no hold held.
    void drop_references() {
        residual_payload_.reset();
        primals_.reset();
        operands_.drop_references();
    }

private:
    // The rule's arguments, the cotangent (args[2]) left to the caller:
    // (output value, primals, cotangent, attrs, active positions, residual
    // payload, operand specs, source location).
    void fill_args(PyObject* (&args)[8]) const {
        args[0] = output_;
        args[1] = primals_.get();
        args[3] = attrs_;
        args[4] = positions_;
        args[5] = residual_payload_ ? residual_payload_.get() : Py_None;
        args[6] = specs_;
        args[7] = source_location_;
    }
    // A result that is not a list or tuple as one; raises "VJP for '{op}' at
    // dynamic node %{id} must return a sequence: {why}" when it is none.
    [[nodiscard]] Ref converted_sequence(PyObject* result) const;
    [[gnu::cold]] bool raise_missing_record() const;
    [[gnu::cold]] bool raise_no_contract() const;
    [[gnu::cold]] static bool raise_no_residual();
    [[gnu::cold]] bool note_failure(const char* label) const;
    [[gnu::cold]] bool raise_count_mismatch(const char* label, size_t count) const;
    [[gnu::cold]] bool raise_batched(const std::string& detail) const;
    [[nodiscard]] std::string_view op_name() const { return op_name_of(*tape_, op_); }

    const TapeState* tape_ = nullptr;
    OpId op_ = 0;
    uint32_t node_ = 0;
    PyObject* rule_ = nullptr;
    // Borrowed: from the tape (see Note [What a walk relies on]), and the
    // active positions from the walk's ActivePositions.
    PyObject* output_ = nullptr;
    PyObject* attrs_ = nullptr;
    PyObject* positions_ = nullptr;
    PyObject* specs_ = nullptr;
    PyObject* source_location_ = nullptr;
    Ref primals_;
    Ref residual_payload_;
    OperandView operands_;
    // Whether each parent is active, parent order.
    uint8_t inline_active_[OperandView::kInline];
    uint8_t* active_ = inline_active_;
    std::vector<uint8_t> heap_active_;
};

}  // namespace vorlix::tape
