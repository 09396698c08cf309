// One node's JVP rule call: prepared from the tape, then made once per lane
// that carries a tangent into the node.
#pragma once

#include <vector>

#include "native/dynamic_tape/lanes.h"
#include "native/dynamic_tape/operand_view.h"
#include "native/toolkit/call.h"
#include "native/toolkit/names.h"

namespace vorlix::tape {

// The rule and its arguments but the tangents, and the operands the tangents
// are placed by. A walk keeps one and prepares it for each node in turn, so
// that its buffers serve every node; its methods are inlined into the loop.
class ForwardCall {
public:
    ForwardCall() = default;
    ForwardCall(const ForwardCall&) = delete;
    ForwardCall& operator=(const ForwardCall&) = delete;

    // Prepares node `id` under a shared hold, checking in order: its operands
    // (OperandView::read), its JVP binding, its output value, and its
    // residual's payload when it has a residual. Raises on failure.
    [[nodiscard, gnu::always_inline]] bool prepare(TapeObject* tape, uint32_t id, const ArenaNode& record) {
        py::SharedHold hold(tape->borrow);
        if (!hold.ok()) return false;
        TapeState& state = tape->state;
        if (id >= state.node_records.size()) [[unlikely]]
            return raise_missing_record(state);
        const DynamicNode& node = state.node_records[id];
        const NodeExtras* extras = state.extras_of(node);
        if (!operands_.read(state, record, extras, OperandValues::Read)) return false;
        rule_ = rule_of(state, Direction::Jvp, record.op);
        if (rule_ == nullptr) return false;
        output_ = node.value.get();
        if (output_ == nullptr) [[unlikely]]
            return state.raise_missing_payload(id, "output");
        attrs_ = node.attrs ? node.attrs.get() : Py_None;
        source_location_ = Py_None;
        if (extras != nullptr) {
            if (extras->source_location) source_location_ = extras->source_location.get();
            if (extras->residual) {
                residual_payload_ = Ref::steal(PyObject_GetAttr(extras->residual.get(), py::names::payload()));
                if (!residual_payload_) return false;
            }
        }
        primals_ = tuple_of_borrowed(operands_.items, operands_.arity);
        op_ = record.op;
        node_ = id;
        return static_cast<bool>(primals_);
    }

    // Calls the rule once per lane in which a parent carries a tangent, in
    // lane order, and stores each result but None in the lane's slot for the
    // node. Raises the first failure, noted with the node.
    [[nodiscard, gnu::always_inline]] bool call_lanes(const TapeState& tape, Lanes& lanes) {
        PyObject* args[] = {output_, primals_.get(),   nullptr,
                            attrs_,  source_location_, residual_payload_ ? residual_payload_.get() : Py_None};
        // One lane's tangents in operand order: the parents' slots are set
        // per lane, the literals' stay None.
        const uint32_t arity = operands_.arity;
        PyObject* inline_tangents[OperandView::kInline];
        PyObject** tangents = inline_tangents;
        if (arity > OperandView::kInline) [[unlikely]] {
            heap_tangents_.resize(arity);
            tangents = heap_tangents_.data();
        }
        for (uint32_t j = 0; j < operands_.literal_count; ++j) tangents[operands_.literal_slots[j]] = Py_None;
        const size_t width = lanes.width();
        for (size_t l = 0; l < width; ++l) {
            bool present = false;
            for (uint32_t k = 0; k < operands_.parent_count; ++k) {
                PyObject* tangent = lanes.of(operands_.parents[k])[l].get();
                present = present || tangent != nullptr;
                tangents[operands_.slots[k]] = tangent != nullptr ? tangent : Py_None;
            }
            if (!present) continue;
            Ref tuple = tuple_of_borrowed(tangents, arity);
            if (!tuple) return false;
            args[2] = tuple.get();
            Ref result = Ref::steal(py::call_positional(rule_, args, 6));
            tuple.reset();
            if (!result) [[unlikely]]
                return note_failure(tape);
            if (result.is_none()) continue;
            lanes.of(node_)[l] = std::move(result);
        }
        return true;
    }

    // Lets go of what the node's calls held (residual payload, primals, weak
    // scalars), with no hold held.
    void drop_references() {
        residual_payload_.reset();
        primals_.reset();
        operands_.drop_references();
    }

private:
    [[gnu::cold]] static bool raise_missing_record(const TapeState& tape);
    [[gnu::cold]] bool note_failure(const TapeState& tape) const;

    PyObject* rule_ = nullptr;
    // Borrowed from the tape: see Note [What a walk relies on].
    PyObject* output_ = nullptr;
    PyObject* attrs_ = nullptr;
    PyObject* source_location_ = nullptr;
    Ref primals_;
    Ref residual_payload_;
    OpId op_ = 0;
    uint32_t node_ = 0;
    OperandView operands_;
    // One lane's tangents, for nodes with more operands than fit inline.
    std::vector<PyObject*> heap_tangents_;
};

}  // namespace vorlix::tape
