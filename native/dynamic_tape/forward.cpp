// Forward-mode traversal of a frozen DynamicTape: tangents flow from seeded
// inputs to marked outputs through the operations' JVP rules.
#include <vector>

#include "native/dynamic_tape/lanes.h"
#include "native/dynamic_tape/snapshot.h"
#include "native/dynamic_tape/traversal.h"
#include "native/dynamic_tape/walks.h"
#include "native/toolkit/call.h"
#include "native/toolkit/names.h"

namespace vorlix::tape {

using py::ErrorKind;
using py::raise;

namespace {

// One node's JVP call, the same for every lane but for the tangents: the
// rule and the objects it borrows from the tape (see Note [Borrowed during a
// traversal]), the primals, and where each parent's tangent goes.
struct ForwardCall {
    PyObject* rule = nullptr;
    PyObject* output_value = Py_None;
    PyObject* attrs = Py_None;
    PyObject* source_location = Py_None;
    Ref primals;
    Ref residual_payload;  // empty for None
    OpId op = 0;
    uint32_t node = 0;
    uint32_t arity = 0;
    uint32_t parent_count = 0;
    const uint32_t* parents = nullptr;
    const uint32_t* slots = nullptr;
};

// Calls the rule once per lane in which a parent carries a tangent, and
// stores each result other than None in the lane's slot for the node.
[[gnu::flatten]] bool call_lanes(TapeState& state, const ForwardCall& call, std::vector<Lane>& lanes) {
    PyObject* args[] = {call.output_value, call.primals.get(), nullptr, call.attrs, call.source_location,
                        call.residual_payload ? call.residual_payload.get() : Py_None};
    // The tangents tuple: literal operands and parents without a tangent are
    // None. See Note [Fresh argument tuples]. The items sit in a plain array
    // rather than an InlineVec, whose storage test on every access costs a
    // forward walk about 20 instructions a node.
    PyObject* inline_items[DirectOperands::kMax];
    std::vector<PyObject*> heap_items;
    PyObject** items = inline_items;
    if (call.arity > DirectOperands::kMax) {
        heap_items.resize(call.arity);
        items = heap_items.data();
    }
    for (uint32_t k = 0; k < call.arity; ++k) items[k] = Py_None;
    for (Lane& lane : lanes) {
        bool present = false;
        for (uint32_t k = 0; k < call.parent_count; ++k) {
            PyObject* tangent = lane[call.parents[k]].get();
            present = present || tangent != nullptr;
            items[call.slots[k]] = tangent != nullptr ? tangent : Py_None;
        }
        if (!present) continue;
        Ref tangents = tuple_of_borrowed(items, call.arity);
        if (!tangents) return false;
        args[2] = tangents.get();
        Ref tangent = Ref::steal(py::call_positional(call.rule, args, 6));
        tangents.reset();
        if (!tangent) {
            note_rule_failure("JVP", op_name_of(state, call.op), call.node);
            return false;
        }
        if (tangent.is_none()) continue;
        lane[call.node] = std::move(tangent);
    }
    return true;
}

bool any_parent_present(const std::vector<Lane>& lanes, const Parents& parents) {
    for (const Lane& lane : lanes) {
        for (size_t k = 0; k < parents.size(); ++k) {
            if (lane[parents[k]]) return true;
        }
    }
    return false;
}

// Prepares a node whose operands read directly (see Note [Direct
// operands]), whose rule is bound, whose output value is present and which
// has no residual (whose payload is read by Python code). Anything else is
// left to prepare_node.
[[gnu::flatten]] Quick prepare_direct(TapeObject* tape, uint32_t id, const ArenaNode& record,
                                      const Parents& parents, DirectOperands& ops, ForwardCall& call) {
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return Quick::Failed;
    TapeState& state = tape->state;
    if (record.op >= state.jvp_bindings.size() || id >= state.node_records.size()) return Quick::Fallback;
    PyObject* rule = state.jvp_bindings[record.op].get();
    const DynamicNode& node = state.node_records[id];
    const NodeExtras* extras = state.extras_of(node);
    if (rule == nullptr || !node.value || (extras != nullptr && extras->residual)) return Quick::Fallback;
    if (!read_direct_operands(state, extras, parents, true, ops)) return Quick::Fallback;
    call.primals = tuple_of_borrowed(ops.items, ops.arity);
    if (!call.primals) return Quick::Failed;
    call.rule = rule;
    call.output_value = node.value.get();
    call.attrs = node.attrs ? node.attrs.get() : Py_None;
    call.source_location = extras != nullptr && extras->source_location ? extras->source_location.get() : Py_None;
    call.parents = ops.parents;
    call.slots = ops.slots;
    call.parent_count = ops.parent_count;
    call.arity = ops.arity;
    return Quick::Done;
}

// Prepares any node under a shared hold: snapshot, binding, output value,
// primals and residual payload.
bool prepare_node(TapeObject* tape, uint32_t id, OpId op, OperandSnapshot& snap, ForwardCall& call) {
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return false;
    TapeState& state = tape->state;
    Invocation inv;
    if (!snapshot_operands(state, id, true, false, snap)) return false;
    if (!bind_invocation(state, Direction::Jvp, id, op, inv)) return false;
    inv.output_value = state.required_payload(id, "output");
    if (inv.output_value == nullptr) return false;
    if (const Ref* residual = state.residual_of(state.node_records[id])) {
        call.residual_payload = Ref::steal(PyObject_GetAttr(residual->get(), py::names::payload()));
        if (!call.residual_payload) return false;
    }
    call.rule = inv.rule;
    call.output_value = inv.output_value;
    call.attrs = inv.attrs;
    call.source_location = inv.source_location;
    call.primals = std::move(snap.values);
    call.parents = snap.parents.data();
    call.slots = snap.slots.data();
    call.parent_count = static_cast<uint32_t>(snap.parents.size());
    call.arity = snap.arity;
    return true;
}

// The walk shared by dynamic_jvp and dynamic_jvp_many: one list of results
// per lane.
Ref forward_walk(TapeObject* tape, std::vector<SeedSet>& seed_sets, std::span<const uint32_t> requested) {
    TapeState& state = tape->state;
    std::vector<Lane> lanes;
    {
        py::SharedHold hold(tape->borrow);
        if (!hold.ok() || !seed_lanes(state, Direction::Jvp, seed_sets, requested, lanes)) return nullptr;
    }
    if (lanes.empty()) return Ref::steal(PyList_New(0));

    const size_t count = state.arena.node_count();
    OperandSnapshot snap;
    DirectOperands ops;
    for (size_t i = 0; i < count; ++i) {
        const ArenaNode* record = state.arena.node(i);
        if (record == nullptr) return py::internal_error("dynamic JVP node is unavailable");
        const auto parents = state.arena.parents(*record);
        if (!parents) return py::internal_error(kEdgeRangeMessage);
        if (record->is_input() || parents->size() == 0 || !any_parent_present(lanes, *parents)) continue;

        const auto id = static_cast<uint32_t>(i);
        ForwardCall call;
        call.op = record->op;
        call.node = id;
        switch (prepare_direct(tape, id, *record, *parents, ops, call)) {
            case Quick::Done: break;
            case Quick::Failed: return nullptr;
            case Quick::Fallback:
                if (!prepare_node(tape, id, record->op, snap, call)) return nullptr;
                break;
        }
        if (!call_lanes(state, call, lanes)) return nullptr;
        // The primals and residual payload go here, with no hold held.
    }
    return take_requested(lanes, requested);
}

}  // namespace

PyObject* dynamic_jvp(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    WalkArguments a;
    if (!bind_walk_arguments(module, kDynamicJvp, "JVP", args, nargs, kwnames, a)) return nullptr;
    return run_traversal(a.tape, Traversal::Forward, a.consume, [&] {
               return single_lane(forward_walk(a.tape, a.seed_sets, a.requested));
           }).release();
}

PyObject* dynamic_jvp_many(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    WalkArguments a;
    if (!bind_walk_arguments(module, kDynamicJvpMany, "JVP", args, nargs, kwnames, a)) return nullptr;
    return run_traversal(a.tape, Traversal::Forward, false, [&] {
               return forward_walk(a.tape, a.seed_sets, a.requested);
           }).release();
}

}  // namespace vorlix::tape
