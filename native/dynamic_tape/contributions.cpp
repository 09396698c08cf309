// Accumulating reverse contributions into cotangent slots, and reading the
// contribution list a rule returned.
#include "native/dynamic_tape/contributions.h"

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "native/toolkit/errors.h"
#include "native/toolkit/names.h"

namespace vorlix::tape {

using py::ErrorKind;
using py::raise;

Ref contribution_sequence(PyObject* result, std::string& failure) {
    if (PyList_Check(result) || PyTuple_Check(result)) return Ref::new_ref(result);
    if (PyUnicode_Check(result)) {
        failure = "'str' object cannot be converted to a sequence";
        return nullptr;
    }
    if (!PySequence_Check(result)) {
        failure = "'" + py::type_name_of(result) + "' object cannot be converted to a sequence";
        return nullptr;
    }
    Ref fast = Ref::steal(PySequence_Fast(result, "expected a sequence"));
    // Only ordinary exceptions become the conversion's text; an interrupt,
    // an exit or a memory error stays raised as it is.
    if (!fast && py::ordinary_exception_raised()) failure = py::exception_text(py::fetch_exception().get());
    return fast;
}

bool commit_taken(Lanes& lanes, size_t lane, const OperandView& operands, const uint8_t* active,
                  PyObject* const* entries, uint32_t first) {
    const uint32_t parent_count = operands.parent_count;
    // Entry k - first, with its own reference, or nullptr when there is none.
    const uint32_t remaining = parent_count - first;
    std::array<Ref, OperandView::kInline> inline_taken;
    std::vector<Ref> heap_taken;
    Ref* taken = inline_taken.data();
    if (remaining > inline_taken.size()) {
        heap_taken.resize(remaining);
        taken = heap_taken.data();
    }
    for (uint32_t k = first; k < parent_count; ++k) {
        PyObject* entry = active[k] ? entries[operands.slots[k]] : Py_None;
        if (entry != Py_None) taken[k - first] = Ref::new_ref(entry);
    }
    for (uint32_t k = first; k < parent_count; ++k) {
        Ref entry = std::move(taken[k - first]);
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

Ref add_by_snapshot(PyObject* a, PyObject* b) {
    const int b_snapshot = PyObject_HasAttrWithError(b, py::names::vorlix_snapshot());
    if (b_snapshot < 0) return nullptr;
    if (b_snapshot) {
        const int a_snapshot = PyObject_HasAttrWithError(a, py::names::vorlix_snapshot());
        if (a_snapshot < 0) return nullptr;
        if (!a_snapshot) return Ref::steal(PyNumber_Add(b, a));
    }
    return Ref::steal(PyNumber_Add(a, b));
}

namespace {

// One pair of tuples being added element by element. The operands are held
// so that Python code run by an element's addition cannot free them.
struct TupleSum {
    Ref a;
    Ref b;
    InlineVec<Ref, 4> items;  // the sums of the elements before `items.size()`
};

[[gnu::cold]] std::nullptr_t raise_length_mismatch(Py_ssize_t n, Py_ssize_t m) {
    return raise(ErrorKind::Value,
                 "cannot add cotangent tuples with lengths " + std::to_string(n) + " and " + std::to_string(m));
}

// The sum of `a` and `b` when it needs no element-wise walk; otherwise an
// empty handle with `descend` set and nothing raised.
[[gnu::always_inline]] inline Ref add_shallow(PyObject* a, PyObject* b, bool& descend) {
    descend = false;
    if (a == nullptr || a == Py_None) return Ref::new_ref(b);
    if (b == nullptr || b == Py_None) return Ref::new_ref(a);
    const bool a_tuple = PyTuple_Check(a);
    if (a_tuple != static_cast<bool>(PyTuple_Check(b))) {
        return raise(ErrorKind::Value, "cannot add tuple and non-tuple cotangents");
    }
    if (!a_tuple) return add_leaves(a, b);
    if (PyTuple_GET_SIZE(a) != PyTuple_GET_SIZE(b))
        return raise_length_mismatch(PyTuple_GET_SIZE(a), PyTuple_GET_SIZE(b));
    descend = true;
    return nullptr;
}

// Builds the tuple of a finished frame's element sums.
Ref finish_tuple(TupleSum& frame) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(frame.items.size())));
    if (!tuple) return nullptr;
    for (size_t k = 0; k < frame.items.size(); ++k) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), frame.items[k].release());
    }
    return tuple;
}

// The element-wise sum of two tuples of the same length. Nested tuples are
// walked with an explicit stack: a rule may return cotangents nested deeper
// than the native stack could recurse.
[[gnu::noinline]] Ref add_tuples(PyObject* a, PyObject* b) {
    bool descend = false;
    std::vector<TupleSum> stack;
    stack.push_back(TupleSum{Ref::new_ref(a), Ref::new_ref(b), {}});
    for (;;) {
        TupleSum& top = stack.back();
        const auto k = static_cast<Py_ssize_t>(top.items.size());
        if (k == PyTuple_GET_SIZE(top.a.get())) {
            Ref sum = finish_tuple(top);
            if (!sum) return nullptr;
            stack.pop_back();
            if (stack.empty()) return sum;
            stack.back().items.push_back(std::move(sum));
            continue;
        }
        PyObject* x = PyTuple_GET_ITEM(top.a.get(), k);
        PyObject* y = PyTuple_GET_ITEM(top.b.get(), k);
        Ref item = add_shallow(x, y, descend);
        if (descend) {
            Ref held_x = Ref::new_ref(x);
            Ref held_y = Ref::new_ref(y);
            stack.push_back(TupleSum{std::move(held_x), std::move(held_y), {}});
            continue;
        }
        if (!item) return nullptr;
        top.items.push_back(std::move(item));
    }
}

}  // namespace

Ref add_structured(PyObject* a, PyObject* b) {
    bool descend = false;
    Ref shallow = add_shallow(a, b, descend);
    if (!descend) return shallow;
    return add_tuples(a, b);
}

}  // namespace vorlix::tape
