// Read-only views of a DynamicTape: counts, statistics of the native memory it
// holds, and the diagnostic snapshot.
#include <limits>
#include <span>

#include "native/dynamic_tape/methods.h"
#include "native/dynamic_tape/tape.h"
#include "native/toolkit/values.h"

namespace vorlix::tape {

using py::ErrorKind;
using py::raise;

namespace {

// One entry of "native_structural": element count, capacity, and capacity
// times the element size the report promises (not the in-memory size).
struct Component {
    const char* name;
    uint64_t len;
    uint64_t capacity;
    uint64_t element_size;

    [[nodiscard]] uint64_t bytes() const { return saturating_mul(capacity, element_size); }
};

bool set_u64(PyObject* dict, const char* key, uint64_t v) {
    Ref value = Ref::steal(PyLong_FromUnsignedLongLong(v));
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

bool set_bool(PyObject* dict, const char* key, bool v) {
    return PyDict_SetItemString(dict, key, v ? Py_True : Py_False) == 0;
}

}  // namespace

PyObject* tape_node_count(PyObject* self, void*) {
    TapeObject* tape = as_tape(self);
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    return PyLong_FromSize_t(tape->state.arena.node_count());
}

PyObject* tape_inputs(PyObject* self, void*) {
    TapeObject* tape = as_tape(self);
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    return py::int_list(std::span<const uint32_t>(tape->state.inputs)).release();
}

PyObject* tape_op_names(PyObject* self, void*) {
    TapeObject* tape = as_tape(self);
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    const auto schemas = tape->state.arena.ops().schemas();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(schemas.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < schemas.size(); ++i) {
        Ref text = py::str_from_utf8(schemas[i].name);
        if (!text) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text.release());
    }
    return list.release();
}

PyObject* tape_is_consumed(PyObject* self, void*) {
    TapeObject* tape = as_tape(self);
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    return PyBool_FromLong(tape->state.consumed);
}

PyObject* stats(PyObject* self, PyObject*) {
    TapeObject* tape = as_tape(self);
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    const TapeState& state = tape->state;

    uint64_t retained_values = 0, retained_attrs = 0, residuals = 0, reverse_uses = 0, literals = 0;
    for (const DynamicNode& node : state.node_records) {
        retained_values += node.value ? 1 : 0;
        retained_attrs += node.attrs ? 1 : 0;
        residuals += state.residual_of(node) != nullptr ? 1 : 0;
        reverse_uses += node.reverse_value_uses;
    }
    for (const Ref& literal : state.literals) literals += literal ? 1 : 0;

    const StructuralStats arena = state.arena.structural_stats();
    const Component components[] = {
        {"nodes", arena.node_count, arena.node_capacity, 16},
        {"edges", arena.edge_count, arena.edge_capacity, 4},
        {"operation_schemas", arena.operation_count, arena.operation_capacity, 32},
        {"operation_index", arena.operation_count, arena.index_capacity, 32},
        {"node_records", state.node_records.size(), state.node_records.capacity(), 128},
        {"operand_positions", state.operand_positions.size(), state.operand_positions.capacity(), 4},
        {"literals", state.literals.size(), state.literals.capacity(), 8},
        {"jvp_bindings", state.jvp_bindings.size(), state.jvp_bindings.capacity(), 8},
        {"vjp_bindings", state.vjp_bindings.size(), state.vjp_bindings.capacity(), 8},
        {"reverse_needs", state.reverse_needs.size(), state.reverse_needs.capacity(), 3},
        {"inputs", state.inputs.size(), state.inputs.capacity(), 4},
        {"outputs", state.outputs.size(), state.outputs.capacity(), 4},
    };

    Ref structural = Ref::steal(PyDict_New());
    if (!structural) return nullptr;
    uint64_t structural_bytes = 0;
    for (const Component& c : components) {
        Ref entry = Ref::steal(PyDict_New());
        if (!entry || !set_u64(entry.get(), "len", c.len) || !set_u64(entry.get(), "capacity", c.capacity) ||
            !set_u64(entry.get(), "bytes", c.bytes()) ||
            PyDict_SetItemString(structural.get(), c.name, entry.get()) < 0) {
            return nullptr;
        }
        structural_bytes = saturating_add(structural_bytes, c.bytes());
    }

    Ref out = Ref::steal(PyDict_New());
    PyObject* d = out.get();
    if (!out || !set_u64(d, "node_count", arena.node_count) || !set_u64(d, "edge_count", arena.edge_count) ||
        !set_u64(d, "operation_count", arena.operation_count) ||
        !set_u64(d, "operand_position_count", state.operand_positions.size()) ||
        !set_u64(d, "literal_count", literals) || !set_u64(d, "retained_value_count", retained_values) ||
        !set_u64(d, "retained_attr_count", retained_attrs) || !set_u64(d, "residual_count", residuals) ||
        !set_u64(d, "reverse_value_use_count", reverse_uses) || !set_bool(d, "reverse_pruned", state.reverse_pruned) ||
        !set_u64(d, "node_core_bytes", 16) || !set_u64(d, "input_ref_bytes", 12) ||
        PyDict_SetItemString(d, "native_structural", structural.get()) < 0 ||
        !set_u64(d, "native_structural_bytes", structural_bytes) || !set_bool(d, "frozen", state.frozen) ||
        !set_bool(d, "consumed", state.consumed)) {
        return nullptr;
    }
    return out.release();
}

PyObject* diagnostic_snapshot(PyObject* self, PyObject*) {
    TapeObject* tape = as_tape(self);
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    TapeState& state = tape->state;
    if (!state.check(Requirement::Live)) return nullptr;

    const size_t count = state.arena.node_count();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        if (i > std::numeric_limits<uint32_t>::max())
            return raise(ErrorKind::Runtime, "dynamic node ID is out of range");
        const OpSchema* schema = state.arena.schema(state.arena.node(i)->op);
        if (schema == nullptr) return raise(ErrorKind::Runtime, "dynamic operation schema is unavailable");
        DynamicNode* node = state.node(i);
        if (node == nullptr) return nullptr;
        Ref value = state.required_value(i, "value");
        if (!value) return nullptr;
        Ref name = py::str_from_utf8(schema->name);
        if (!name) return nullptr;
        const NodeExtras* extras = state.extras_of(*node);
        PyObject* location = extras != nullptr ? extras->source_location.get() : nullptr;
        PyObject* entry = PyTuple_Pack(3, name.get(), value.get(), location != nullptr ? location : Py_None);
        if (entry == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
    }
    return list.release();
}

}  // namespace vorlix::tape
