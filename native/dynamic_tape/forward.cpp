// Forward-mode traversal of a frozen DynamicTape: tangents flow from seeded
// inputs to marked outputs through the operations' JVP rules.
#include <vector>

#include "native/dynamic_tape/forward_call.h"
#include "native/dynamic_tape/traversal.h"
#include "native/dynamic_tape/walks.h"

namespace vorlix::tape {

namespace {

// Whether any lane holds a tangent for any of the node's parents, whose
// edge range was checked.
bool any_parent_present(const TapeState& state, const Lanes& lanes, const ArenaNode& record) {
    const size_t width = lanes.width();
    const uint32_t count = record.parent_count();
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t p = record.encoding == ParentEncoding::EdgeRange ? state.arena.edges()[record.first + k]
                           : k == 0                                     ? record.first
                                                                        : record.second;
        const Ref* slots = lanes.of(p);
        for (size_t l = 0; l < width; ++l) {
            if (slots[l]) return true;
        }
    }
    return false;
}

// The walk shared by dynamic_jvp and dynamic_jvp_many: one list of results
// per lane. See Note [What a walk relies on].
Ref forward_walk(TapeObject* tape, std::vector<SeedSet>& seed_sets, std::span<const uint32_t> requested) {
    TapeState& state = tape->state;
    Lanes lanes;
    {
        py::SharedHold hold(tape->borrow);
        if (!hold.ok() || !seed_lanes(state, Direction::Jvp, seed_sets, requested, lanes)) return nullptr;
    }
    if (lanes.width() == 0) return Ref::steal(PyList_New(0));

    ForwardCall call;
    for (size_t i = 0; i < lanes.nodes(); ++i) {
        const ArenaNode* record = state.arena.node(i);
        if (record == nullptr) return py::internal_error("dynamic JVP node is unavailable");
        if (record->encoding == ParentEncoding::EdgeRange && !state.arena.parents(*record)) {
            return py::internal_error(kEdgeRangeMessage);
        }
        // Parents have smaller IDs, so every parent's slots are in the lanes.
        if (record->is_input() || record->parent_count() == 0 || !any_parent_present(state, lanes, *record)) continue;

        const bool called = call.prepare(tape, static_cast<uint32_t>(i), *record) && call.call_lanes(state, lanes);
        call.drop_references();  // with no hold held
        if (!called) return nullptr;
    }
    return take_requested(lanes, requested);
}

}  // namespace

PyObject* dynamic_jvp(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    WalkArguments a;
    if (!bind_walk_arguments(module, kDynamicJvp, "JVP", args, nargs, kwnames, a)) return nullptr;
    return run_traversal(a.tape, Traversal::Forward, a.consume,
                         [&] { return single_lane(forward_walk(a.tape, a.seed_sets, a.requested)); })
        .release();
}

PyObject* dynamic_jvp_many(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    WalkArguments a;
    if (!bind_walk_arguments(module, kDynamicJvpMany, "JVP", args, nargs, kwnames, a)) return nullptr;
    return run_traversal(a.tape, Traversal::Forward, Consume::No,
                         [&] { return forward_walk(a.tape, a.seed_sets, a.requested); })
        .release();
}

}  // namespace vorlix::tape
