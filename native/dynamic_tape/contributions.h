// Reverse contributions: adding them into the parents' cotangent slots of a
// lane, and the batched reverse-rule protocol.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "native/dynamic_tape/lanes.h"
#include "native/dynamic_tape/snapshot.h"

namespace vorlix::tape {

// One node's reverse rule call as the lanes make it: the rule and its
// arguments but the cotangent, borrowed for the call from whoever prepared
// it, and the routing of contributions back to the active parents.
struct ReverseCall {
    PyObject* rule = nullptr;
    // (output value, primals, cotangent, attrs, active positions, residual
    // payload, operand specs, source location); the cotangent is set per call.
    PyObject* args[8] = {};
    std::string_view op_name;
    uint32_t node = 0;
    uint32_t arity = 0;
    std::span<const uint32_t> parents;  // parent order
    std::span<const uint32_t> slots;    // operand slot of each parent
    std::span<const bool> active;       // whether each parent is active
};

// A node's invocation with the operand data its contributions are routed by,
// as the general preparation builds it.
struct ReverseInvocation {
    Invocation call;
    OperandSnapshot operands;
    InlineVec<bool, 4> parent_active;  // parent order
    Ref active_positions;              // tuple of ints

    // The call's view of this invocation, valid while it is unchanged.
    [[nodiscard]] ReverseCall view() const;

    // Lets go of every Python object, keeping the native buffers for the
    // next node.
    void drop_references() {
        call.drop_references();
        operands.values.reset();
        operands.specs.reset();
        active_positions.reset();
    }
};

// Contributions of one rule call, one per operand; empty handles are None.
using Contributions = InlineVec<Ref, 4>;

// Adds the contributions for active parents into their slots of `lane`.
[[nodiscard]] bool commit_contributions(Lane& lane, const ReverseCall& call, Contributions& contributions);

// Adds the entries of a rule's result list or tuple, read in place, for
// active parents into their slots of `lane`; its length was checked.
[[nodiscard]] bool commit_sequence(Lane& lane, const ReverseCall& call, PyObject* sequence);

// accumulated + contribution, element-wise for tuples at any depth.
[[nodiscard]] Ref add_cotangents(PyObject* accumulated, PyObject* contribution);

// Converts a rule's result into contributions. On failure either an
// exception that must pass unchanged is raised, or nothing is and `failure`
// holds the reason for the caller's ValueError.
[[nodiscard]] bool to_contributions(PyObject* result, Contributions& out, std::string& failure);

// Calls the plain VJP rule once per lane that holds a cotangent
// (`cotangents[l]` is lane l's), committing each lane's contributions before
// the next call.
[[nodiscard]] bool call_per_lane(ReverseCall& call, std::vector<Lane>& lanes, std::span<const Ref> cotangents);

// Calls a batched callback once for the lanes that hold a cotangent for the
// node, returning their contribution lists in lane order.
[[nodiscard]] bool execute_batched_callback(PyObject* callback, ReverseCall& call, std::span<Ref> cotangents,
                                            std::vector<std::pair<size_t, Contributions>>& out);

}  // namespace vorlix::tape
