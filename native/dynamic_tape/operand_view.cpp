// Reading a node's operands into a view by its layout, the operand specs,
// and the weak-scalar rule.
#include "native/dynamic_tape/operand_view.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <string>

#include "native/toolkit/errors.h"
#include "native/toolkit/names.h"
#include "native/toolkit/values.h"

namespace vorlix::tape {

using py::ErrorKind;

namespace {}  // namespace

bool OperandView::make_room(uint64_t count) {
    if (count > kU32Max) return py::internal_failure("operand slot is uninitialized");
    heap_items_.resize(count);
    heap_parents_.resize(count);
    heap_slots_.resize(count);
    heap_literal_slots_.resize(count);
    heap_identity_.resize(count);
    for (uint64_t k = 0; k < count; ++k) heap_identity_[k] = static_cast<uint32_t>(k);
    items = heap_items_.data();
    parents = heap_parents_.data();
    capacity_ = count;
    placed_parents_ = kNonePlaced;  // the slot buffers are new
    return true;
}

bool OperandView::read_edges(const TapeState& tape, const ArenaNode& record) {
    const auto node_parents = tape.arena.parents(record);
    if (!node_parents) return py::fail(ErrorKind::Runtime, kEdgeRangeMessage);
    std::copy(node_parents->edges.begin(), node_parents->edges.end(), parents);
    return true;
}

bool OperandView::raise_position_range() { return py::fail(ErrorKind::Runtime, "operand position range is invalid"); }

bool OperandView::raise_interleave(InterleaveError error) {
    return py::fail(ErrorKind::Runtime, interleave_message(error));
}

bool OperandView::raise_parent(TapeState& tape, uint32_t p) {
    if (!tape.check_exists(p)) return false;
    tape.raise_missing_record();
    return false;
}

PyObject* OperandView::unusual_parent(TapeState& tape, uint32_t p) {
    const DynamicNode& parent = tape.node_records[p];
    if (!parent.value) {
        tape.raise_missing_payload(p, "primal");
        return nullptr;
    }
    Ref scalar = weak_scalar(parent.value.get());
    if (!scalar) return nullptr;
    return converted_.emplace_back(std::move(scalar)).get();
}

bool OperandView::raise_literal_range() { return py::fail(ErrorKind::Runtime, "literal range is invalid"); }

bool OperandView::raise_missing_literal() {
    return py::fail(ErrorKind::Runtime, "dynamic tape is missing a required literal payload");
}

namespace {

// The (shape, dtype) pair of a node, built once per value spec and kept: the
// tape is frozen while it is read, so neither can change. Borrowed.
PyObject* operand_spec(TapeState& tape, const DynamicNode& node) {
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
    }
    return spec.operand_spec.get();
}

}  // namespace

PyObject* OperandView::make_specs(TapeState& tape, uint32_t id) const {
    // The pairs first, since making one may allocate; then the tuple in one
    // pass. `read` checked that every parent's record exists.
    PyObject* inline_pairs[kInline];
    std::vector<PyObject*> heap_pairs;
    PyObject** pairs = inline_pairs;
    if (arity > kInline) {
        heap_pairs.resize(arity);
        pairs = heap_pairs.data();
    }
    std::fill_n(pairs, arity, Py_None);
    for (uint32_t k = 0; k < parent_count; ++k) {
        pairs[slots[k]] = operand_spec(tape, tape.node_records[parents[k]]);
        if (pairs[slots[k]] == nullptr) return nullptr;
    }
    ReverseCache& cache = tape.reverse_cache;
    Ref& cached = cache.operand_specs[id];
    if (cache.last_made < cache.operand_specs.size()) {
        PyObject* last = cache.operand_specs[cache.last_made].get();
        if (last != nullptr && static_cast<size_t>(PyTuple_GET_SIZE(last)) == arity &&
            std::equal(pairs, pairs + arity, &PyTuple_GET_ITEM(last, 0))) {
            cached = Ref::new_ref(last);
            return cached.get();
        }
    }
    cached = tuple_of_borrowed(pairs, arity);
    cache.last_made = id;
    return cached.get();
}

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

}  // namespace vorlix::tape
