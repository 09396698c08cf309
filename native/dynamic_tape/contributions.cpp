// Accumulating reverse contributions into cotangent slots, and the batched
// reverse-rule call.
#include "native/dynamic_tape/contributions.h"

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "native/toolkit/call.h"
#include "native/toolkit/errors.h"
#include "native/toolkit/names.h"

namespace vorlix::tape {

using py::ErrorKind;
using py::raise;

namespace {

// Converts a sequence (not a str) of optional objects; sets `failure` to the
// conversion error's text when it is not one. Returns false with the
// exception still raised when the conversion was interrupted by anything but
// an ordinary exception.
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
        // Only ordinary exceptions become the conversion's text; an
        // interrupt, an exit or a memory error stays raised as it is.
        if (!py::ordinary_exception_raised()) return false;
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

namespace {

// The sum of two leaves (neither a tuple, neither None).
Ref add_leaves(PyObject* a, PyObject* b) {
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
Ref add_shallow(PyObject* a, PyObject* b, bool& descend) {
    descend = false;
    if (a == nullptr || a == Py_None) return Ref::new_ref(b);
    if (b == nullptr || b == Py_None) return Ref::new_ref(a);
    const bool a_tuple = PyTuple_Check(a);
    if (a_tuple != static_cast<bool>(PyTuple_Check(b))) {
        return raise(ErrorKind::Value, "cannot add tuple and non-tuple cotangents");
    }
    if (!a_tuple) return add_leaves(a, b);
    if (PyTuple_GET_SIZE(a) != PyTuple_GET_SIZE(b)) return raise_length_mismatch(PyTuple_GET_SIZE(a), PyTuple_GET_SIZE(b));
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

}  // namespace

Ref add_cotangents(PyObject* a, PyObject* b) {
    bool descend = false;
    Ref shallow = add_shallow(a, b, descend);
    if (!descend) return shallow;
    // Nested tuples are walked with an explicit stack: a rule may return
    // cotangents nested deeper than the native stack could recurse.
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

bool commit_contributions(Lane& lane, const ReverseCall& call, Contributions& contributions) {
    for (size_t k = 0; k < call.parents.size(); ++k) {
        if (!call.active[k]) continue;
        const uint32_t position = call.slots[k];
        if (position >= contributions.size()) return py::internal_failure("contribution position is unavailable");
        const uint32_t parent = call.parents[k];
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

namespace {

// The entries of a result sequence taken for the active parents, each with
// its own reference, dropped together. Not an InlineVec: its per-access
// storage test and per-append capacity test cost a reverse walk 20 to 40
// instructions a node, and the count is known before the first entry.
class TakenEntries {
public:
    explicit TakenEntries(size_t count) {
        if (count > inline_.size()) {
            heap_.resize(count);
            items_ = heap_.data();
        }
    }
    TakenEntries(const TakenEntries&) = delete;
    TakenEntries& operator=(const TakenEntries&) = delete;
    ~TakenEntries() {
        for (size_t k = 0; k < count_; ++k) Py_XDECREF(items_[k]);
    }
    void push_back(PyObject* entry) { items_[count_++] = Py_XNewRef(entry); }
    // Gives up the entry's reference.
    [[nodiscard]] Ref take(size_t k) { return Ref::steal(std::exchange(items_[k], nullptr)); }
    [[nodiscard]] bool present(size_t k) const { return items_[k] != nullptr; }

private:
    std::array<PyObject*, 8> inline_;
    std::vector<PyObject*> heap_;
    PyObject** items_ = inline_.data();
    size_t count_ = 0;
};

}  // namespace

bool commit_sequence(Lane& lane, const ReverseCall& call, PyObject* sequence) {
    const auto size = static_cast<size_t>(PySequence_Fast_GET_SIZE(sequence));
    PyObject** items = PySequence_Fast_ITEMS(sequence);
    // Each active parent's entry is taken with its own reference before any
    // addition runs: an addition may run Python code that changes the list.
    TakenEntries taken(call.parents.size());
    for (size_t k = 0; k < call.parents.size(); ++k) {
        const uint32_t position = call.slots[k];
        if (position >= size) return py::internal_failure("contribution position is unavailable");
        PyObject* entry = items[position];
        taken.push_back(call.active[k] && entry != Py_None ? entry : nullptr);
    }
    for (size_t k = 0; k < call.parents.size(); ++k) {
        if (!taken.present(k)) continue;
        const uint32_t parent = call.parents[k];
        if (parent >= lane.size()) return py::internal_failure("parent cotangent slot is unavailable");
        Ref& slot = lane[parent];
        if (!slot) {
            slot = taken.take(k);
            continue;
        }
        Ref entry = taken.take(k);
        Ref sum = add_cotangents(slot.get(), entry.get());
        if (!sum) return false;
        slot = std::move(sum);
    }
    return true;
}

ReverseCall ReverseInvocation::view() const {
    ReverseCall out;
    out.rule = call.rule;
    out.args[0] = call.output_value;
    out.args[1] = call.primals.get();
    out.args[3] = call.attrs;
    out.args[4] = active_positions.get();
    out.args[5] = call.residual_payload ? call.residual_payload.get() : Py_None;
    out.args[6] = operands.specs.get();
    out.args[7] = call.source_location;
    out.op_name = call.op_name;
    out.node = call.node;
    out.arity = operands.arity;
    out.parents = operands.parents;
    out.slots = operands.slots;
    out.active = parent_active;
    return out;
}

namespace {

[[gnu::cold]] bool raise_count_mismatch(const char* label, const ReverseCall& call, size_t count) {
    return py::fail(ErrorKind::Value, std::string(label) + " for '" + std::string(call.op_name) +
                                          "' at dynamic node " + node_ref(call.node) + " returned " +
                                          std::to_string(count) + " contributions for " + std::to_string(call.arity) +
                                          " operands");
}

[[gnu::cold]] bool raise_not_a_sequence(const ReverseCall& call, const std::string& failure) {
    return py::fail(ErrorKind::Value, "VJP for '" + std::string(call.op_name) + "' at dynamic node " +
                                          node_ref(call.node) + " must return a sequence: " + failure);
}

}  // namespace

[[gnu::flatten]] bool call_per_lane(ReverseCall& call, std::vector<Lane>& lanes, std::span<const Ref> cotangents) {
    for (size_t l = 0; l < lanes.size(); ++l) {
        if (!cotangents[l]) continue;
        call.args[2] = cotangents[l].get();
        Ref result = Ref::steal(py::call_positional(call.rule, call.args, 8));
        if (!result) {
            note_rule_failure("VJP", call.op_name, call.node);
            return false;
        }
        PyObject* obj = result.get();
        if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
            const auto count = static_cast<size_t>(PySequence_Fast_GET_SIZE(obj));
            if (count != call.arity) return raise_count_mismatch("VJP", call, count);
            if (!commit_sequence(lanes[l], call, obj)) return false;
            continue;
        }
        Contributions contributions;
        std::string failure;
        if (!to_contributions(obj, contributions, failure)) {
            if (PyErr_Occurred()) return false;
            return raise_not_a_sequence(call, failure);
        }
        if (contributions.size() != call.arity) return raise_count_mismatch("VJP", call, contributions.size());
        if (!commit_contributions(lanes[l], call, contributions)) return false;
    }
    return true;
}

namespace {

// Raises ValueError "Batched VJP for '{op}' at dynamic node %{id} {detail}";
// the text is built only on failure.
[[gnu::cold]] bool raise_batched(const ReverseCall& call, const std::string& detail) {
    return py::fail(ErrorKind::Value, "Batched VJP for '" + std::string(call.op_name) + "' at dynamic node " +
                                          node_ref(call.node) + " " + detail);
}

}  // namespace

bool execute_batched_callback(PyObject* callback, ReverseCall& call, std::span<Ref> cotangents,
                              std::vector<std::pair<size_t, Contributions>>& out) {
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

    call.args[2] = batch.get();
    Ref result = Ref::steal(py::call_positional(callback, call.args, 8));
    if (!result) {
        note_rule_failure("batched VJP", call.op_name, call.node);
        return false;
    }

    std::string failure;
    Contributions sets;
    std::vector<Contributions> lists;
    bool converted = sequence_items(result.get(), sets, failure);
    for (size_t k = 0; converted && k < sets.size(); ++k) {
        converted = sequence_items(sets[k] ? sets[k].get() : Py_None, lists.emplace_back(), failure);
    }
    if (!converted) {
        if (PyErr_Occurred()) return false;
        return raise_batched(call, "must return a sequence of sequences: " + failure);
    }
    if (lists.size() != out.size()) {
        return raise_batched(call, "returned " + std::to_string(lists.size()) + " contribution sets for " +
                                       std::to_string(out.size()) + " seeds");
    }
    for (size_t k = 0; k < lists.size(); ++k) out[k].second = std::move(lists[k]);
    for (const auto& [lane, contributions] : out) {
        if (contributions.size() != call.arity) {
            return raise_batched(call, "returned " + std::to_string(contributions.size()) + " contributions for " +
                                           std::to_string(call.arity) + " operands");
        }
    }
    return true;
}

}  // namespace vorlix::tape
