// Accumulating reverse contributions into cotangent slots, and the batched
// reverse-rule call.
#include "native/dynamic_tape/contributions.h"

#include <string>

#include "native/toolkit/errors.h"
#include "native/toolkit/names.h"

namespace vorlix::tape {

using py::ErrorKind;
using py::raise;

namespace {

// Converts a sequence (not a str) of optional objects; sets `failure` to the
// conversion error's text when it is not one.
bool sequence_items(PyObject* obj, Contributions& out, std::string& failure) {
    out.clear();
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // Copied out before any Python code runs, so the list cannot change
        // under the loop.
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
        PyObject** items = PySequence_Fast_ITEMS(obj);
        out.reserve(static_cast<size_t>(n));
        for (Py_ssize_t k = 0; k < n; ++k) out.push_back(items[k] == Py_None ? Ref() : Ref::new_ref(items[k]));
        return true;
    }
    if (PyUnicode_Check(obj)) {
        failure = "'str' object cannot be converted to a sequence";
        return false;
    }
    if (!PySequence_Check(obj)) {
        failure = "'" + py::type_name_of(obj) + "' object cannot be converted to a sequence";
        return false;
    }
    Ref fast = Ref::steal(PySequence_Fast(obj, "expected a sequence"));
    if (!fast) {
        Ref exc = py::fetch_exception();
        failure = py::exception_text(exc.get());
        return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    PyObject** items = PySequence_Fast_ITEMS(fast.get());
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) out.push_back(items[k] == Py_None ? Ref() : Ref::new_ref(items[k]));
    return true;
}

}  // namespace

bool to_contributions(PyObject* result, Contributions& out, std::string& failure) {
    return sequence_items(result, out, failure);
}

Ref add_cotangents(PyObject* a, PyObject* b) {
    if (a == nullptr || a == Py_None) return Ref::new_ref(b);
    if (b == nullptr || b == Py_None) return Ref::new_ref(a);
    const bool a_tuple = PyTuple_Check(a);
    const bool b_tuple = PyTuple_Check(b);
    if (a_tuple != b_tuple) return raise(ErrorKind::Value, "cannot add tuple and non-tuple cotangents");
    if (a_tuple) {
        const Py_ssize_t n = PyTuple_GET_SIZE(a);
        const Py_ssize_t m = PyTuple_GET_SIZE(b);
        if (n != m) {
            return raise(ErrorKind::Value, "cannot add cotangent tuples with lengths " + std::to_string(n) + " and " +
                                               std::to_string(m));
        }
        Ref sum = Ref::steal(PyTuple_New(n));
        if (!sum) return nullptr;
        for (Py_ssize_t k = 0; k < n; ++k) {
            Ref item = add_cotangents(PyTuple_GET_ITEM(a, k), PyTuple_GET_ITEM(b, k));
            if (!item) return nullptr;
            PyTuple_SET_ITEM(sum.get(), k, item.release());
        }
        return sum;
    }
    // Instances of the built-in number types carry no attributes of their own.
    if (PyFloat_CheckExact(b) || PyLong_CheckExact(b) || PyComplex_CheckExact(b)) {
        return Ref::steal(PyNumber_Add(a, b));
    }
    const int b_snapshot = PyObject_HasAttrWithError(b, py::names::vorlix_snapshot());
    if (b_snapshot < 0) return nullptr;
    if (b_snapshot) {
        const int a_snapshot = PyObject_HasAttrWithError(a, py::names::vorlix_snapshot());
        if (a_snapshot < 0) return nullptr;
        if (!a_snapshot) return Ref::steal(PyNumber_Add(b, a));
    }
    return Ref::steal(PyNumber_Add(a, b));
}

bool commit_contributions(Lane& lane, const ReverseInvocation& inv, Contributions& contributions) {
    const OperandSnapshot& ops = inv.operands;
    for (size_t k = 0; k < ops.parents.size(); ++k) {
        if (!inv.parent_active[k]) continue;
        const uint32_t position = ops.slots[k];
        if (position >= contributions.size()) return py::internal_failure("contribution position is unavailable");
        const uint32_t parent = ops.parents[k];
        if (parent >= lane.size()) return py::internal_failure("parent cotangent slot is unavailable");
        const Ref& entry = contributions[position];
        if (!entry) continue;
        Ref& slot = lane[parent];
        if (!slot) {
            slot = entry.clone();
            continue;
        }
        Ref sum = add_cotangents(slot.get(), entry.get());
        if (!sum) return false;
        slot = std::move(sum);
    }
    return true;
}

void reverse_arguments(const ReverseInvocation& inv, PyObject* cotangent, PyObject* (&args)[8]) {
    const Invocation& call = inv.call;
    args[0] = call.output_value.get();
    args[1] = call.primals.get();
    args[2] = cotangent;
    args[3] = call.attrs.get();
    args[4] = inv.active_positions.get();
    args[5] = call.residual_payload.get();
    args[6] = inv.operands.specs.get();
    args[7] = call.source_location ? call.source_location.get() : Py_None;
}

bool execute_batched_callback(PyObject* callback, const ReverseInvocation& inv, std::span<Ref> cotangents,
                              std::vector<std::pair<size_t, Contributions>>& out) {
    const Invocation& call = inv.call;
    size_t seeded = 0;
    for (const Ref& c : cotangents) seeded += c ? 1 : 0;
    Ref batch = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(seeded)));
    if (!batch) return false;
    out.clear();
    for (size_t l = 0, k = 0; l < cotangents.size(); ++l) {
        if (!cotangents[l]) continue;
        PyTuple_SET_ITEM(batch.get(), static_cast<Py_ssize_t>(k++), cotangents[l].clone().release());
        out.emplace_back(l, Contributions{});
    }

    PyObject* args[8];
    reverse_arguments(inv, batch.get(), args);
    Ref result = Ref::steal(PyObject_Vectorcall(callback, args, 8, nullptr));
    if (!result) {
        note_rule_failure("batched VJP", call.op_name, call.node);
        return false;
    }

    const std::string where = "for '" + std::string(call.op_name) + "' at dynamic node " + node_text(call.node);
    std::string failure;
    Contributions sets;
    std::vector<Contributions> lists;
    bool converted = sequence_items(result.get(), sets, failure);
    for (size_t k = 0; converted && k < sets.size(); ++k) {
        converted = sequence_items(sets[k] ? sets[k].get() : Py_None, lists.emplace_back(), failure);
    }
    if (!converted) {
        return py::fail(ErrorKind::Value,
                     "Batched VJP " + where + " must return a sequence of sequences: " + failure);
    }
    if (lists.size() != out.size()) {
        return py::fail(ErrorKind::Value, "Batched VJP " + where + " returned " + std::to_string(lists.size()) +
                                           " contribution sets for " + std::to_string(out.size()) + " seeds");
    }
    for (size_t k = 0; k < lists.size(); ++k) out[k].second = std::move(lists[k]);
    for (const auto& [lane, contributions] : out) {
        if (contributions.size() != inv.operands.arity) {
            return py::fail(ErrorKind::Value, "Batched VJP " + where + " returned " +
                                               std::to_string(contributions.size()) + " contributions for " +
                                               std::to_string(inv.operands.arity) + " operands");
        }
    }
    return true;
}

}  // namespace vorlix::tape
