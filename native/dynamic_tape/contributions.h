// Reverse contributions: adding a rule's contribution list into the parents'
// cotangent slots of a lane, and reading the list a rule returned.
#pragma once

#include <memory>
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

// The entries taken for the active parents, each with its own reference, in
// a buffer the caller provides, given up one by one; the dtor drops what was
// not given up.
class TakenEntries {
public:
    explicit TakenEntries(PyObject** items) : items_(items) {}
    TakenEntries(const TakenEntries&) = delete;
    TakenEntries& operator=(const TakenEntries&) = delete;
    ~TakenEntries() {
        for (size_t k = given_; k < held_; ++k) py::drop_ref(items_[k]);
    }
    // Holds `entry` (or nothing, for nullptr) as the next entry.
    void hold(PyObject* entry) { items_[held_++] = entry != nullptr ? Py_NewRef(entry) : nullptr; }
    // Gives up the next entry held; nullptr when it is nothing.
    [[nodiscard]] PyObject* give() { return items_[given_++]; }

private:
    PyObject** items_;
    size_t held_ = 0;
    size_t given_ = 0;
};

// Adds the entries of one contribution list (`count` entries in operand
// order, of a node with `operands`) for the active parents (`active`, parent
// order) into their slots of lane `lane`; None entries add nothing. Each
// entry is taken with its own reference before any addition runs, so the
// entries may be the items of a list that the additions' Python code could
// change. Inlined into the reverse calls, which commit once per node and lane.
[[nodiscard, gnu::always_inline]] inline bool commit_contributions(Lanes& lanes, size_t lane,
                                                                   const OperandView& operands, const uint8_t* active,
                                                                   PyObject* const* entries, size_t count) {
    const uint32_t parent_count = operands.parent_count;
    PyObject* inline_taken[OperandView::kInline];
    std::unique_ptr<PyObject*[]> heap_taken;
    PyObject** buffer = inline_taken;
    if (parent_count > OperandView::kInline) [[unlikely]] {
        heap_taken = std::make_unique<PyObject*[]>(parent_count);
        buffer = heap_taken.get();
    }
    TakenEntries taken(buffer);
    for (uint32_t k = 0; k < parent_count; ++k) {
        PyObject* entry = nullptr;
        if (active[k]) {
            const uint32_t position = operands.slots[k];
            if (position >= count) [[unlikely]]
                return py::internal_failure("contribution position is unavailable");
            if (operands.parents[k] >= lanes.nodes()) [[unlikely]] {
                return py::internal_failure("parent cotangent slot is unavailable");
            }
            entry = entries[position] != Py_None ? entries[position] : nullptr;
        }
        taken.hold(entry);
    }
    for (uint32_t k = 0; k < parent_count; ++k) {
        Ref entry = Ref::steal(taken.give());
        if (!entry) continue;
        Ref& slot = lanes.of(operands.parents[k])[lane];
        if (!slot) {
            slot = std::move(entry);
            continue;
        }
        Ref sum = add_cotangents(slot.get(), entry.get());
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
