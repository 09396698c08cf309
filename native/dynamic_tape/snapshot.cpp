// Operand snapshots: the one-pass build for the common node, the general
// build that interleaves parents and literals, the weak-scalar rule and the
// cached operand specs.
#include "native/dynamic_tape/snapshot.h"

#include <cctype>
#include <limits>
#include <string>

#include "native/toolkit/errors.h"
#include "native/toolkit/names.h"
#include "native/toolkit/values.h"
#include "runtime/operands.h"

namespace vorlix::tape {

using py::ErrorKind;
using py::raise;

namespace {


// The (shape, dtype) pair of a node, built once per value spec and kept: the
// tape is frozen while it is read, so neither can change.
Ref operand_spec(TapeState& tape, const DynamicNode& node) {
    ValueSpec& spec = tape.spec_of(node);
    if (!spec.operand_spec) {
        Ref shape = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.shape.size())));
        if (!shape) return nullptr;
        for (size_t k = 0; k < spec.shape.size(); ++k) {
            PyObject* extent = PyLong_FromUnsignedLongLong(spec.shape[k]);
            if (extent == nullptr) return nullptr;
            PyTuple_SET_ITEM(shape.get(), static_cast<Py_ssize_t>(k), extent);
        }
        spec.operand_spec = Ref::steal(PyTuple_Pack(2, shape.get(), spec.dtype.get()));
        if (!spec.operand_spec) return nullptr;
    }
    return spec.operand_spec.clone();
}

// Moves `items` (arity entries) into a new tuple. A tuple handed to a rule is
// never refilled afterwards, and no Python code runs while one is partly
// filled: see Note [Fresh argument tuples].
template <size_t N>
Ref tuple_of(InlineVec<Ref, N>& items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return nullptr;
    for (size_t k = 0; k < items.size(); ++k) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), items[k].release());
    }
    return tuple;
}

// Interleaves parent items and literal items into a tuple of operands.
template <size_t N>
Ref interleave_tuple(std::span<const uint32_t> slots, InlineVec<Ref, N>& parent_items,
                     InlineVec<Ref, N>& literal_items) {
    const size_t literal_count = literal_items.size();
    if (Operands::is_identity(slots, literal_count)) return tuple_of(parent_items);
    const size_t arity = parent_items.size() + literal_count;
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(arity)));
    if (!tuple) return nullptr;
    auto error = Operands::fill(slots, literal_count, arity, parent_items.span(),
                                [&literal_items](size_t j) { return std::move(literal_items[j]); },
                                [&tuple](size_t s, Ref&& item) {
                                    PyObject*& slot = PyTuple_GET_ITEM(tuple.get(), s);
                                    Py_XSETREF(slot, item.release());
                                });
    if (error) {
        raise(ErrorKind::Runtime, interleave_message(*error));
        return nullptr;
    }
    return tuple;
}

}  // namespace

Ref weak_scalar(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyComplex_Type || type == &PyBool_Type || type == &PyFloat_Type || type == &PyLong_Type) {
        return Ref::new_ref(value);
    }
    int found = PyObject_HasAttrWithError(value, py::names::vorlix_snapshot());
    if (found < 0) return nullptr;
    if (found) return Ref::new_ref(value);
    PyObject* item = nullptr;
    if (PyObject_GetOptionalAttr(value, py::names::item(), &item) < 0) return nullptr;
    if (item != nullptr) {
        Ref method = Ref::steal(item);
        return Ref::steal(PyObject_CallNoArgs(method.get()));
    }

    std::string dtype_text;
    if (Ref dtype = Ref::steal(PyObject_GetAttr(value, py::names::dtype()))) {
        if (Ref text = Ref::steal(PyObject_Str(dtype.get()))) {
            if (std::optional<std::string_view> utf8 = py::utf8_of(text.get())) dtype_text = *utf8;
        }
    }
    // A dtype that cannot be read or printed leaves the text empty; only an
    // ordinary exception is dropped for that, anything else propagates.
    if (PyErr_Occurred()) {
        if (!py::ordinary_exception_raised()) return nullptr;
        PyErr_Clear();
    }
    for (char& c : dtype_text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const char* dunder = nullptr;
    if (dtype_text.find("bool") != std::string::npos) {
        dunder = "__bool__";
    } else if (dtype_text.find("complex") != std::string::npos) {
        dunder = "__complex__";
    } else if (dtype_text.find("float") != std::string::npos) {
        dunder = "__float__";
    } else if (dtype_text.find("int") != std::string::npos) {
        dunder = "__int__";
    }
    if (dunder == nullptr) return Ref::new_ref(value);
    return Ref::steal(PyObject_CallMethod(value, dunder, nullptr));
}

namespace {

// The value and spec items of one parent operand.
bool parent_items(TapeState& tape, uint32_t p, bool with_values, bool with_specs, Ref& value, Ref& spec) {
    if (!tape.check_exists(p)) return false;
    DynamicNode* parent = tape.node(p);
    if (parent == nullptr) return false;
    if (with_values) {
        value = tape.required_value(p, "primal");
        if (!value) return false;
        if (parent->weak) {
            value = weak_scalar(value.get());
            if (!value) return false;
        }
    } else {
        value = Ref::none();
    }
    if (with_specs) {
        spec = operand_spec(tape, *parent);
        if (!spec) return false;
    }
    return true;
}

}  // namespace

namespace {

// The snapshot of a node whose operands read directly, with specs only
// when they are cached already.
Quick quick_snapshot(TapeState& tape, uint32_t node, const NodeExtras* extras, const Parents& parents,
                     bool with_values, bool with_specs, OperandSnapshot& out) {
    const Ref* specs = nullptr;
    if (with_specs) {
        if (node >= tape.reverse_cache.operand_specs.size() || !tape.reverse_cache.operand_specs[node]) {
            return Quick::Fallback;
        }
        specs = &tape.reverse_cache.operand_specs[node];
    }
    DirectOperands ops;
    if (!read_direct_operands(tape, extras, parents, with_values, ops)) return Quick::Fallback;
    out.parents.clear();
    out.slots.clear();
    for (uint32_t k = 0; k < ops.parent_count; ++k) {
        out.parents.push_back(ops.parents[k]);
        out.slots.push_back(ops.slots[k]);
    }
    out.arity = ops.arity;
    out.values = tuple_of_borrowed(ops.items, ops.arity);
    if (!out.values) return Quick::Failed;
    if (specs != nullptr) out.specs = specs->clone();
    return Quick::Done;
}

}  // namespace

bool snapshot_operands(TapeState& tape, uint64_t node, bool with_values, bool with_specs, OperandSnapshot& out) {
    if (node > kU32Max) return py::fail(ErrorKind::Runtime, "dynamic node ID overflowed");
    const ArenaNode* record = tape.arena.node(node);
    if (record == nullptr) return tape.check_exists(node);
    const auto parents = tape.arena.parents(*record);
    if (!parents) return py::fail(ErrorKind::Runtime, kEdgeRangeMessage);
    if (node < tape.node_records.size()) {
        const NodeExtras* extras = tape.extras_of(tape.node_records[node]);
        switch (quick_snapshot(tape, static_cast<uint32_t>(node), extras, *parents, with_values, with_specs, out)) {
            case Quick::Done: return true;
            case Quick::Failed: return false;
            case Quick::Fallback: break;
        }
    }
    const auto parent_count = static_cast<uint32_t>(parents->size());
    OperandSlots layout;
    if (!tape.operands(node, parent_count, layout)) return false;
    // The specs depend only on the parents' shapes and dtypes, which a
    // frozen tape never changes: build them once per node.
    if (with_specs) tape.reverse_cache.prepare(tape.arena.node_count());
    Ref* cached_specs = with_specs ? &tape.reverse_cache.operand_specs[node] : nullptr;
    if (cached_specs != nullptr && *cached_specs) {
        out.specs = cached_specs->clone();
        with_specs = false;
    }
    const bool cache_specs = with_specs;

    out.parents.clear();
    for (uint32_t k = 0; k < parent_count; ++k) out.parents.push_back((*parents)[k]);
    out.slots = std::move(layout.slots);

    const uint32_t literal_start = layout.literal_start;
    const uint32_t literal_end = layout.literal_end;

    InlineVec<Ref, 4> values;
    InlineVec<Ref, 4> specs;
    for (uint32_t k = 0; k < parent_count; ++k) {
        Ref value;
        Ref spec;
        if (!parent_items(tape, out.parents[k], with_values, with_specs, value, spec)) return false;
        values.push_back(std::move(value));
        if (with_specs) specs.push_back(std::move(spec));
    }

    if (literal_end > tape.literals.size()) return py::fail(ErrorKind::Runtime, "literal range is invalid");
    InlineVec<Ref, 4> literal_values;
    InlineVec<Ref, 4> literal_specs;
    for (uint32_t j = literal_start; j < literal_end; ++j) {
        if (with_values) {
            if (!tape.literals[j]) {
                return py::fail(ErrorKind::Runtime, "dynamic tape is missing a required literal payload");
            }
            literal_values.push_back(tape.literals[j].clone());
        } else {
            literal_values.push_back(Ref::none());
        }
        if (with_specs) literal_specs.push_back(Ref::none());
    }

    out.arity = parent_count + (literal_end - literal_start);
    out.values = interleave_tuple(out.slots, values, literal_values);
    if (!out.values) return false;
    if (with_specs) {
        out.specs = interleave_tuple(out.slots, specs, literal_specs);
        if (!out.specs) return false;
    }
    if (cache_specs) *cached_specs = out.specs.clone();
    return true;
}

}  // namespace vorlix::tape
