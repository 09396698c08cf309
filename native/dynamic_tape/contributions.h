// Reverse contributions: adding a rule's contribution list into the parents'
// cotangent slots of a lane, and reading the list a rule returned.
#pragma once

#include <string>

#include "native/dynamic_tape/lanes.h"
#include "native/dynamic_tape/operand_view.h"
#include "native/toolkit/errors.h"

namespace vorlix::tape {

// b + a when only b carries `_vorlix_snapshot`, else a + b.
[[nodiscard]] Ref add_by_snapshot(PyObject* a, PyObject* b);

// The sum of two leaves (neither a tuple, neither None).
[[nodiscard]] inline Ref add_leaves(PyObject* a, PyObject* b) {
    // Instances of the built-in number types carry no attributes of their own.
    if (PyFloat_CheckExact(b) || PyLong_CheckExact(b) || PyComplex_CheckExact(b)) {
        return Ref::steal(PyNumber_Add(a, b));
    }
    return add_by_snapshot(a, b);
}

// add_cotangents where either side is None (or absent) or a tuple.
[[nodiscard]] Ref add_structured(PyObject* accumulated, PyObject* contribution);

// accumulated + contribution, element-wise for tuples at any depth; None or
// an absent side adds nothing.
[[nodiscard]] inline Ref add_cotangents(PyObject* accumulated, PyObject* contribution) {
    if (accumulated == nullptr || contribution == nullptr || accumulated == Py_None || contribution == Py_None ||
        PyTuple_Check(accumulated) || PyTuple_Check(contribution)) {
        return add_structured(accumulated, contribution);
    }
    return add_leaves(accumulated, contribution);
}

// Whether an object is an instance of one of the built-in number types, whose
// sums run no Python code.
[[nodiscard]] inline bool plain_number(PyObject* obj) {
    return PyFloat_CheckExact(obj) || PyLong_CheckExact(obj) || PyComplex_CheckExact(obj);
}

// commit_contributions from parent `first` on, once an addition may run
// Python code: the remaining entries are each taken with their own reference
// first, since that code could change the list they are items of.
[[nodiscard]] bool commit_taken(Lanes& lanes, size_t lane, const OperandView& operands, const uint8_t* active,
                                PyObject* const* entries, uint32_t first);

// Adds the entries of one contribution list (`count` entries in operand
// order, of a node with `operands`) for the active parents (`active`, parent
// order) into their slots of lane `lane`; None entries add nothing. The
// entries may be the items of a list that Python code could change, so they
// are read in place only while no Python code has run: storing into an empty
// slot and adding two built-in numbers run none. The first other addition
// hands the rest to `commit_taken`. Inlined into the reverse calls, which
// commit once per node and lane.
[[nodiscard, gnu::always_inline]] inline bool commit_contributions(Lanes& lanes, size_t lane,
                                                                   const OperandView& operands, const uint8_t* active,
                                                                   PyObject* const* entries, size_t count) {
    const uint32_t parent_count = operands.parent_count;
    for (uint32_t k = 0; k < parent_count; ++k) {
        if (!active[k]) continue;
        if (operands.slots[k] >= count) [[unlikely]]
            return py::internal_failure("contribution position is unavailable");
        if (operands.parents[k] >= lanes.nodes()) [[unlikely]]
            return py::internal_failure("parent cotangent slot is unavailable");
    }
    for (uint32_t k = 0; k < parent_count; ++k) {
        if (!active[k]) continue;
        PyObject* entry = entries[operands.slots[k]];
        if (entry == Py_None) continue;
        Ref& slot = lanes.of(operands.parents[k])[lane];
        if (!slot) {
            slot = Ref::new_ref(entry);
            continue;
        }
        if (!plain_number(slot.get()) || !plain_number(entry)) [[unlikely]]
            return commit_taken(lanes, lane, operands, active, entries, k);
        // Dropping the replaced number runs no Python code either.
        Ref sum = Ref::steal(PyNumber_Add(slot.get(), entry));
        if (!sum) return false;
        slot = std::move(sum);
    }
    return true;
}

// The contribution list a rule returned as a list or tuple whose items can be
// read in place: the result itself when it is one, else its conversion. An
// empty handle when it is not a sequence (a str is not one): then either
// `failure` holds the conversion error's text for the caller's ValueError,
// or an exception that must pass unchanged is still raised.
[[nodiscard]] Ref contribution_sequence(PyObject* result, std::string& failure);

}  // namespace vorlix::tape
