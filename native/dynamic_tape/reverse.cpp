// Reverse-mode traversal of a frozen DynamicTape: cotangents flow from
// seeded outputs back to inputs through the operations' VJP rules, and a
// consuming walk lets each payload go right after its last reverse use.
#include <array>
#include <span>
#include <string>
#include <vector>

#include "native/dynamic_tape/contributions.h"
#include "native/dynamic_tape/snapshot.h"
#include "native/dynamic_tape/traversal.h"
#include "native/dynamic_tape/walks.h"
#include "native/toolkit/names.h"
#include "runtime/operands.h"

namespace vorlix::tape {

using py::ErrorKind;
using py::raise;

namespace {

// The cotangents of one node, one per lane, taken out of the lanes.
class LaneCotangents {
public:
    // Drops the previous node's.
    void clear() {
        for (size_t l = 0; l < size_; ++l) items_[l].reset();
        size_ = 0;
    }
    // A walk has at most kMaxLanes lanes: see reverse_walk.
    void push_back(Ref cotangent) { items_[size_++] = std::move(cotangent); }
    [[nodiscard]] std::span<Ref> span() { return {items_.data(), size_}; }

private:
    std::array<Ref, kMaxLanes> items_;
    size_t size_ = 0;
};

// Moves a node's payloads that no later reverse step reads out of the tape,
// then closes and drops them outside the hold.
bool retire_node_payloads(TapeObject* tape, uint32_t id) {
    RetiredReversePayloads bundle;
    {
        py::ExclusiveHold hold(tape->borrow);
        if (!hold.ok()) return false;
        TapeState& state = tape->state;
        const ArenaNode* record = state.arena.node(id);
        if (record == nullptr) return py::internal_failure("dynamic reverse node is unavailable");
        if (record->op >= state.reverse_needs.size() || !state.reverse_needs[record->op]) return true;
        const ReverseNeeds needs = *state.reverse_needs[record->op];
        if (needs.needs_output && !decrement_reverse_use(state, id, bundle)) return false;
        if (needs.needs_inputs) {
            const auto parents = state.arena.parents(*record);
            if (!parents) return py::internal_failure(kEdgeRangeMessage);
            for (size_t k = 0; k < parents->size(); ++k) {
                if (!decrement_reverse_use(state, (*parents)[k], bundle)) return false;
            }
        }
        DynamicNode* node = state.node(id);
        if (node == nullptr) return false;
        if (needs.needs_inputs && !take_literals(state, *node, bundle.literals)) return false;
        if (node->attrs) bundle.attrs.push_back(std::move(node->attrs));
        if (needs.needs_residual) {
            if (state.residual_of(*node) == nullptr) {
                return py::internal_failure("dynamic reverse residual payload is unavailable");
            }
            take_residual(state, *node, bundle.residuals);
        }
    }
    return raise_if_set(bundle.close_and_drop());  // See Note [Payload release order].
}

bool finish_prepare(TapeState& state, uint32_t id, const ReverseNeeds& needs, ReverseInvocation& inv);

// Active positions (0, ..., n-1), by n.
using IdentityPositions = std::array<Ref, 5>;

// The tuple of active positions (0, ..., n-1), made once per walk for each n.
[[gnu::always_inline]] inline Ref identity_positions_of(IdentityPositions& identity_positions, size_t n) {
    Ref& shared = identity_positions[n];
    if (!shared) [[unlikely]] {
        Ref made = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
        if (!made) return nullptr;
        for (size_t k = 0; k < n; ++k) {
            PyObject* position = PyLong_FromSize_t(k);
            if (position == nullptr) return nullptr;
            PyTuple_SET_ITEM(made.get(), static_cast<Py_ssize_t>(k), position);
        }
        shared = std::move(made);
    }
    return shared.clone();
}

// Prepares one node under a shared hold: binding, retention contract,
// snapshot, parent routing data, residual payload and output value.
bool prepare_node(TapeObject* tape, uint32_t id, OpId op, ReverseInvocation& inv,
                  IdentityPositions& identity_positions) {
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return false;
    TapeState& state = tape->state;
    Invocation& call = inv.call;
    if (!bind_invocation(state, Direction::Vjp, id, op, call)) return false;
    if (op >= state.reverse_needs.size() || !state.reverse_needs[op]) {
        return py::fail(ErrorKind::Runtime, "dynamic operation '" + std::string(call.op_name) +
                                             "' has no reverse retention contract");
    }
    const ReverseNeeds needs = *state.reverse_needs[op];
    if (!snapshot_operands(state, id, needs.needs_inputs, true, inv.operands)) return false;

    const OperandSnapshot& ops = inv.operands;
    inv.parent_active.clear();
    size_t active = 0;
    for (const uint32_t p : ops.parents) {
        const bool is_active = state.arena.node(p)->is_active();
        inv.parent_active.push_back(is_active);
        active += is_active ? 1 : 0;
    }
    if (active == ops.parents.size() && active < identity_positions.size() &&
        Operands::is_identity(ops.slots, 0)) {
        // All parents active in operand order: the same immutable tuple
        // serves every such node.
        inv.active_positions = identity_positions_of(identity_positions, active);
        if (!inv.active_positions) return false;
        return finish_prepare(state, id, needs, inv);
    }
    // Other layouts keep their tuple on the node until activity changes.
    Ref& cached = state.reverse_cache.active_positions[id];
    if (!cached) {
        cached = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(active)));
        if (!cached) return false;
        for (size_t k = 0, j = 0; k < ops.parents.size(); ++k) {
            if (!inv.parent_active[k]) continue;
            PyObject* position = PyLong_FromUnsignedLong(ops.slots[k]);
            if (position == nullptr) {
                cached.reset();
                return false;
            }
            PyTuple_SET_ITEM(cached.get(), static_cast<Py_ssize_t>(j++), position);
        }
    }
    inv.active_positions = cached.clone();
    return finish_prepare(state, id, needs, inv);
}

// The residual payload, output value and primals of a prepared node.
bool finish_prepare(TapeState& state, uint32_t id, const ReverseNeeds& needs, ReverseInvocation& inv) {
    Invocation& call = inv.call;
    if (needs.needs_residual) {
        const Ref* residual = state.residual_of(state.node_records[id]);
        if (residual == nullptr) return py::internal_failure("dynamic reverse residual payload is unavailable");
        call.residual_payload = Ref::steal(PyObject_GetAttr(residual->get(), py::names::payload()));
        if (!call.residual_payload) return false;
    }
    if (needs.needs_output) {
        call.output_value = state.required_payload(id, "output");
        if (call.output_value == nullptr) return false;
    }
    call.primals = std::move(inv.operands.values);
    return true;
}

bool call_batched(PyObject* callback, ReverseCall& call, std::vector<Lane>& lanes, LaneCotangents& cotangents) {
    std::vector<std::pair<size_t, Contributions>> results;
    if (!execute_batched_callback(callback, call, cotangents.span(), results)) return false;
    for (auto& [lane, contributions] : results) {
        if (lane >= lanes.size()) return py::internal_failure("batched VJP seed index is unavailable");
        if (!commit_contributions(lanes[lane], call, contributions)) return false;
    }
    return true;
}

// What a reverse walk needs of each operation, read once per walk: the
// tape's rules and retention contracts cannot change while a traversal runs
// (see Note [Borrowed during a traversal]).
struct ReverseOp {
    PyObject* rule = nullptr;  // borrowed; null when the operation has none
    ReverseNeeds needs{};
    bool has_needs = false;
};

bool reverse_ops(TapeObject* tape, std::vector<ReverseOp>& out) {
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return false;
    const TapeState& state = tape->state;
    out.assign(state.arena.ops().size(), ReverseOp{});
    for (size_t op = 0; op < out.size(); ++op) {
        if (op < state.vjp_bindings.size()) out[op].rule = state.vjp_bindings[op].get();
        if (op < state.reverse_needs.size() && state.reverse_needs[op]) {
            out[op].needs = *state.reverse_needs[op];
            out[op].has_needs = true;
        }
    }
    return true;
}

// A node prepared straight from its records, for the common case: its
// operands read directly (see Note [Direct operands]), its rule and
// retention contract present, no residual wanted (its payload is read by
// Python code), its operand specs and, unless every parent is active in
// operand order, its active positions already cached by an earlier walk.
// Anything else is left to prepare_node.
struct DirectReverse {
    DirectOperands operands;
    bool active[DirectOperands::kMax];
    Ref primals;
    Ref active_positions;
    Ref specs;

    // With no hold held.
    void drop_references() {
        primals.reset();
        active_positions.reset();
        specs.reset();
    }
};

[[gnu::flatten, gnu::always_inline]] inline Quick prepare_direct(
    TapeObject* tape, uint32_t id, const ArenaNode& record, const Parents& parents,
    std::span<const ReverseOp> reverse_ops, IdentityPositions& identity_positions, DirectReverse& direct,
    ReverseCall& call) {
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return Quick::Failed;
    TapeState& state = tape->state;
    const OpId op = record.op;
    if (op >= reverse_ops.size() || id >= state.node_records.size() ||
        id >= state.reverse_cache.operand_specs.size()) {
        return Quick::Fallback;
    }
    const ReverseOp& entry = reverse_ops[op];
    PyObject* rule = entry.rule;
    const ReverseNeeds needs = entry.needs;
    const DynamicNode& node = state.node_records[id];
    PyObject* specs = state.reverse_cache.operand_specs[id].get();
    if (rule == nullptr || !entry.has_needs || needs.needs_residual || (needs.needs_output && !node.value) ||
        specs == nullptr) {
        return Quick::Fallback;
    }
    const NodeExtras* extras = state.extras_of(node);
    DirectOperands& ops = direct.operands;
    if (!read_direct_operands(state, extras, parents, needs.needs_inputs, ops)) return Quick::Fallback;

    size_t active = 0;
    bool in_order = true;
    for (uint32_t k = 0; k < ops.parent_count; ++k) {
        direct.active[k] = state.arena.node(ops.parents[k])->is_active();
        active += direct.active[k] ? 1 : 0;
        in_order = in_order && ops.slots[k] == k;
    }
    if (active == ops.parent_count && in_order && active < identity_positions.size()) {
        direct.active_positions = identity_positions_of(identity_positions, active);
        if (!direct.active_positions) return Quick::Failed;
    } else {
        if (id >= state.reverse_cache.active_positions.size() || !state.reverse_cache.active_positions[id]) {
            return Quick::Fallback;
        }
        direct.active_positions = state.reverse_cache.active_positions[id].clone();
    }
    direct.primals = tuple_of_borrowed(ops.items, ops.arity);
    if (!direct.primals) return Quick::Failed;
    direct.specs = Ref::new_ref(specs);

    call.rule = rule;
    call.args[0] = needs.needs_output ? node.value.get() : Py_None;
    call.args[1] = direct.primals.get();
    call.args[3] = node.attrs ? node.attrs.get() : Py_None;
    call.args[4] = direct.active_positions.get();
    call.args[5] = Py_None;
    call.args[6] = specs;
    call.args[7] = extras != nullptr && extras->source_location ? extras->source_location.get() : Py_None;
    call.op_name = op_name_of(state, op);
    call.node = id;
    call.arity = ops.arity;
    call.parents = std::span<const uint32_t>(ops.parents, ops.parent_count);
    call.slots = std::span<const uint32_t>(ops.slots, ops.parent_count);
    call.active = std::span<const bool>(direct.active, ops.parent_count);
    return Quick::Done;
}

// The batched callback of every operation, or an empty handle.
bool batched_callbacks(TapeObject* tape, std::vector<Ref>& out) {
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return false;
    const std::vector<Ref>& bindings = tape->state.vjp_bindings;
    out.clear();
    out.resize(tape->state.arena.ops().size());
    for (size_t op = 0; op < out.size() && op < bindings.size(); ++op) {
        if (!bindings[op]) continue;
        PyObject* callback = nullptr;
        if (PyObject_GetOptionalAttr(bindings[op].get(), py::names::vjp_many(), &callback) < 0) return false;
        out[op] = Ref::steal(callback);
    }
    return true;
}

// The walk shared by dynamic_vjp and dynamic_vjp_many: one list of results
// per lane.
Ref reverse_walk(TapeObject* tape, std::vector<SeedSet>& seed_sets, std::span<const uint32_t> requested,
                 bool release, bool batched) {
    TapeState& state = tape->state;
    std::vector<Lane> lanes;
    {
        py::SharedHold hold(tape->borrow);
        if (!hold.ok() || !seed_lanes(state, Direction::Vjp, seed_sets, requested, lanes)) return nullptr;
    }
    if (lanes.empty()) return Ref::steal(PyList_New(0));
    // The seed-set conversion refuses more lanes; the cotangents of a node
    // have room for this many.
    if (lanes.size() > kMaxLanes) return py::internal_error("dynamic VJP has too many lanes");
    // Every lane has a slot per node, and a frozen tape's node count cannot
    // change: checked once here rather than per node.
    const size_t count = state.arena.node_count();
    for (const Lane& lane : lanes) {
        if (lane.size() != count) return py::internal_error("dynamic cotangent slot is unavailable");
    }
    std::vector<ReverseOp> ops;
    if (!reverse_ops(tape, ops)) return nullptr;
    std::vector<Ref> callbacks;
    if (batched && !batched_callbacks(tape, callbacks)) return nullptr;

    ReverseInvocation inv;
    DirectReverse direct;
    ReverseCall call;
    LaneCotangents cotangents;
    IdentityPositions identity_positions;
    for (size_t i = count; i-- > 0;) {
        const ArenaNode* record = state.arena.node(i);
        if (record == nullptr) return py::internal_error("dynamic VJP node is unavailable");
        if (record->is_input()) continue;
        const auto id = static_cast<uint32_t>(i);

        cotangents.clear();  // the previous node's, dropped with no hold held
        bool any = false;
        for (Lane& lane : lanes) {
            any = any || static_cast<bool>(lane[i]);
            cotangents.push_back(std::move(lane[i]));
        }
        if (!record->is_active()) continue;
        if (!any) {
            if (release && !retire_node_payloads(tape, id)) return nullptr;
            continue;
        }

        const auto parents = state.arena.parents(*record);
        if (!parents) return py::internal_error(kEdgeRangeMessage);
        bool general = false;
        switch (prepare_direct(tape, id, *record, *parents, ops, identity_positions, direct, call)) {
            case Quick::Done: break;
            case Quick::Failed: return nullptr;
            case Quick::Fallback:
                if (!prepare_node(tape, id, record->op, inv, identity_positions)) return nullptr;
                call = inv.view();
                general = true;
                break;
        }
        PyObject* callback = batched ? callbacks[record->op].get() : nullptr;
        const bool called = callback != nullptr ? call_batched(callback, call, lanes, cotangents)
                                                : call_per_lane(call, lanes, cotangents.span());
        if (!called) return nullptr;
        // With no hold held:
        if (general) {
            inv.drop_references();
        } else {
            direct.drop_references();
        }
        if (release && !retire_node_payloads(tape, id)) return nullptr;
    }
    return take_requested(lanes, requested);
}

// With `consume`, the payloads no reverse step reads go before the walk.
bool prune_before_walk(TapeObject* tape) {
    py::ExclusiveHold hold(tape->borrow);
    return hold.ok() && prune_and_close(tape, hold);
}

}  // namespace

PyObject* dynamic_vjp(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    WalkArguments a;
    if (!bind_walk_arguments(module, kDynamicVjp, "VJP", args, nargs, kwnames, a)) return nullptr;
    return run_traversal(a.tape, Traversal::Reverse, a.consume, [&]() -> Ref {
               if (a.consume && !prune_before_walk(a.tape)) return nullptr;
               return single_lane(reverse_walk(a.tape, a.seed_sets, a.requested, a.consume, false));
           }).release();
}

PyObject* dynamic_vjp_many(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    WalkArguments a;
    if (!bind_walk_arguments(module, kDynamicVjpMany, "VJP", args, nargs, kwnames, a)) return nullptr;
    return run_traversal(a.tape, Traversal::Reverse, false, [&] {
               return reverse_walk(a.tape, a.seed_sets, a.requested, false, true);
           }).release();
}

}  // namespace vorlix::tape
