// Forward-mode traversal of a frozen DynamicTape: tangents flow from seeded
// inputs to marked outputs through the operations' JVP rules.
#include <vector>

#include "native/dynamic_tape/lanes.h"
#include "native/dynamic_tape/snapshot.h"
#include "native/dynamic_tape/traversal.h"
#include "native/dynamic_tape/walks.h"
#include "native/toolkit/names.h"

namespace vorlix::tape {

using py::ErrorKind;
using py::raise;

namespace {

// The tangents tuple of one lane for a node, or an empty handle when none of
// the node's parents carries a tangent in the lane. Literal operands and
// parents without a tangent are None.
Ref lane_tangents(const Lane& lane, const OperandSnapshot& snap, bool& present) {
    present = false;
    for (const uint32_t p : snap.parents) present = present || static_cast<bool>(lane[p]);
    if (!present) return Ref();
    // See Note [Fresh argument tuples].
    Ref tangents = Ref::steal(PyTuple_New(snap.arity));
    if (!tangents) return nullptr;
    for (uint32_t k = 0; k < snap.arity; ++k) PyTuple_SET_ITEM(tangents.get(), k, Py_NewRef(Py_None));
    for (size_t k = 0; k < snap.parents.size(); ++k) {
        const Ref& tangent = lane[snap.parents[k]];
        if (!tangent) continue;
        PyObject*& slot = PyTuple_GET_ITEM(tangents.get(), snap.slots[k]);
        Py_SETREF(slot, Py_NewRef(tangent.get()));
    }
    return tangents;
}

bool any_parent_present(const std::vector<Lane>& lanes, const Parents& parents) {
    for (const Lane& lane : lanes) {
        for (size_t k = 0; k < parents.size(); ++k) {
            if (lane[parents[k]]) return true;
        }
    }
    return false;
}

// Prepares one node under a shared hold: snapshot, binding, output value,
// primals and residual payload.
bool prepare_node(TapeObject* tape, uint32_t id, OpId op, OperandSnapshot& snap, Invocation& inv) {
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return false;
    TapeState& state = tape->state;
    if (!snapshot_operands(state, id, true, false, snap)) return false;
    if (!bind_invocation(state, Direction::Jvp, id, op, inv)) return false;
    inv.output_value = state.required_payload(id, "output");
    if (inv.output_value == nullptr) return false;
    inv.primals = std::move(snap.values);
    if (const Ref* residual = state.residual_of(state.node_records[id])) {
        inv.residual_payload = Ref::steal(PyObject_GetAttr(residual->get(), py::names::payload()));
        if (!inv.residual_payload) return false;
    }
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
    Invocation inv;
    for (size_t i = 0; i < count; ++i) {
        const ArenaNode* record = state.arena.node(i);
        if (record == nullptr) return py::internal_error("dynamic JVP node is unavailable");
        const auto parents = state.arena.parents(*record);
        if (!parents) return py::internal_error("dynamic tape edge range is invalid");
        if (record->is_input() || parents->size() == 0 || !any_parent_present(lanes, *parents)) continue;

        const auto id = static_cast<uint32_t>(i);
        if (!prepare_node(tape, id, record->op, snap, inv)) return nullptr;
        for (Lane& lane : lanes) {
            bool present = false;
            Ref tangents = lane_tangents(lane, snap, present);
            if (!present) continue;
            if (!tangents) return nullptr;
            PyObject* args[] = {inv.output_value, inv.primals.get(), tangents.get(), inv.attrs, inv.source_location,
                                inv.residual_payload.get()};
            Ref tangent = Ref::steal(PyObject_Vectorcall(inv.rule, args, 6, nullptr));
            tangents.reset();
            if (!tangent) {
                note_rule_failure("JVP", inv.op_name, id);
                return nullptr;
            }
            if (tangent.is_none()) continue;
            if (i >= lane.size()) return py::internal_error("dynamic JVP slot is unavailable");
            lane[i] = std::move(tangent);
        }
        inv.drop_references();  // with no hold held
    }
    return take_requested(lanes, requested);
}

}  // namespace

PyObject* dynamic_jvp(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr py::Signature sig{"dynamic_jvp", {"tape", "tangent_seeds", "requested_outputs", "consume"}, 3, 3};
    WalkArguments a;
    if (!bind_walk_arguments(module, sig, "JVP", args, nargs, kwnames, a)) return nullptr;
    return run_traversal(a.tape, Traversal::Forward, a.consume, [&] {
               return single_lane(forward_walk(a.tape, a.seed_sets, a.requested));
           }).release();
}

PyObject* dynamic_jvp_many(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr py::Signature sig{"dynamic_jvp_many", {"tape", "tangent_seed_sets", "requested_outputs"}, 3, 3};
    WalkArguments a;
    if (!bind_walk_arguments(module, sig, "JVP", args, nargs, kwnames, a)) return nullptr;
    return run_traversal(a.tape, Traversal::Forward, false, [&] {
               return forward_walk(a.tape, a.seed_sets, a.requested);
           }).release();
}

}  // namespace vorlix::tape
