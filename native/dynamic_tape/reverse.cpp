// Reverse-mode traversal of a frozen DynamicTape: cotangents flow from
// seeded outputs back to inputs through the operations' VJP rules, and a
// consuming walk lets each payload go right after its last reverse use.
#include <array>
#include <vector>

#include "native/dynamic_tape/reverse_call.h"
#include "native/dynamic_tape/traversal.h"
#include "native/dynamic_tape/walks.h"

namespace vorlix::tape {

namespace {

// Whether the walk retires each node's payloads after its last reverse use.
enum class Release : uint8_t { Kept, AfterLastUse };

// The cotangents of the node being called, one per lane, moved out of the
// lanes; kept until the next node's are taken, or the walk ends.
class NodeCotangents {
public:
    // Drops the previous node's and takes `node`'s out of every lane;
    // whether any lane held one.
    bool take(Lanes& lanes, size_t node) {
        Ref* slots = lanes.of(node);
        if (lanes.width() == 1) {
            items_[0] = std::move(slots[0]);
            return static_cast<bool>(items_[0]);
        }
        bool any = false;
        for (size_t l = 0; l < lanes.width(); ++l) {
            items_[l] = std::move(slots[l]);
            any = any || static_cast<bool>(items_[l]);
        }
        return any;
    }
    [[nodiscard]] const Ref* data() const { return items_.data(); }

private:
    std::array<Ref, kMaxLanes> items_;
};

// The walk shared by dynamic_vjp and dynamic_vjp_many: one list of results
// per lane. See Note [What a walk relies on].
Ref reverse_walk(TapeObject* tape, std::vector<SeedSet>& seed_sets, std::span<const uint32_t> requested,
                 Release release, Batching batching) {
    TapeState& state = tape->state;
    Lanes lanes;
    {
        py::SharedHold hold(tape->borrow);
        if (!hold.ok() || !seed_lanes(state, Direction::Vjp, seed_sets, requested, lanes)) return nullptr;
        state.reverse_cache.prepare(lanes.nodes());
    }
    if (lanes.width() == 0) return Ref::steal(PyList_New(0));
    // The seed-set conversion refuses more lanes; a node's cotangents have
    // room for this many.
    if (lanes.width() > kMaxLanes) return py::internal_error("dynamic VJP has too many lanes");
    std::vector<ReverseOp> ops;
    if (!reverse_ops(tape, batching, ops)) return nullptr;

    ReverseCall call;
    NodeCotangents cotangents;
    ActivePositions positions;
    for (size_t i = lanes.nodes(); i-- > 0;) {
        const ArenaNode* record = state.arena.node(i);
        if (record == nullptr) return py::internal_error("dynamic VJP node is unavailable");
        if (record->is_input()) continue;  // its slots are results
        const auto id = static_cast<uint32_t>(i);

        const bool any = cotangents.take(lanes, i);  // the previous node's go, with no hold held
        if (!record->is_active()) continue;
        if (!any) {
            if (release == Release::AfterLastUse && !retire_reverse_payloads(tape, id)) return nullptr;
            continue;
        }
        if (record->encoding == ParentEncoding::EdgeRange && !state.arena.parents(*record)) {
            return py::internal_error(kEdgeRangeMessage);
        }
        PyObject* batched_rule = record->op < ops.size() ? ops[record->op].batched.get() : nullptr;
        const bool called = call.prepare(tape, id, *record, ops, positions) &&
                            (batched_rule != nullptr ? call.call_batched(batched_rule, lanes, cotangents.data())
                                                     : call.call_per_lane(lanes, cotangents.data()));
        call.drop_references();  // with no hold held
        if (!called) return nullptr;
        if (release == Release::AfterLastUse && !retire_reverse_payloads(tape, id)) return nullptr;
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
    const Release release = a.consume == Consume::Yes ? Release::AfterLastUse : Release::Kept;
    return run_traversal(
               a.tape, Traversal::Reverse, a.consume,
               [&]() -> Ref {
                   if (a.consume == Consume::Yes && !prune_before_walk(a.tape)) return nullptr;
                   return single_lane(reverse_walk(a.tape, a.seed_sets, a.requested, release, Batching::PerLane));
               })
        .release();
}

PyObject* dynamic_vjp_many(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    WalkArguments a;
    if (!bind_walk_arguments(module, kDynamicVjpMany, "VJP", args, nargs, kwnames, a)) return nullptr;
    return run_traversal(
               a.tape, Traversal::Reverse, Consume::No,
               [&] { return reverse_walk(a.tape, a.seed_sets, a.requested, Release::Kept, Batching::Batched); })
        .release();
}

}  // namespace vorlix::tape
