// Reverse contributions: adding them into the parents' cotangent slots of a
// lane, and the batched reverse-rule protocol.
#pragma once

#include <vector>

#include "native/dynamic_tape/lanes.h"
#include "native/dynamic_tape/snapshot.h"

namespace vorlix::tape {

// A node's invocation with the operand data its contributions are routed by.
struct ReverseInvocation {
    Invocation call;
    OperandSnapshot operands;
    InlineVec<bool, 4> parent_active;  // parent order
    Ref active_positions;              // tuple of ints

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
[[nodiscard]] bool commit_contributions(Lane& lane, const ReverseInvocation& inv, Contributions& contributions);

// Adds the entries of a rule's result list or tuple, read in place, for
// active parents into their slots of `lane`; its length was checked.
[[nodiscard]] bool commit_sequence(Lane& lane, const ReverseInvocation& inv, PyObject* sequence);

// accumulated + contribution, element-wise for tuples at any depth.
[[nodiscard]] Ref add_cotangents(PyObject* accumulated, PyObject* contribution);

// Converts a rule's result into contributions. On failure either an
// exception that must pass unchanged is raised, or nothing is and `failure`
// holds the reason for the caller's ValueError.
[[nodiscard]] bool to_contributions(PyObject* result, Contributions& out, std::string& failure);

// Calls a batched callback once for the lanes that hold a cotangent for the
// node (`cotangents[l]` is lane l's), returning their contribution lists in
// lane order.
[[nodiscard]] bool execute_batched_callback(PyObject* callback, const ReverseInvocation& inv,
                                            std::span<Ref> cotangents,
                                            std::vector<std::pair<size_t, Contributions>>& out);

// The eight arguments of a reverse rule call, the third left for the caller.
void reverse_arguments(const ReverseInvocation& inv, PyObject* cotangent, PyObject* (&args)[8]);

}  // namespace vorlix::tape
