// Recording onto a DynamicTape: inputs, operations with their operand layout,
// residuals, output and weak marks, the trace binding and the per-node reads.
#include <algorithm>
#include <limits>
#include <string>

#include "native/dynamic_tape/methods.h"
#include "native/dynamic_tape/tape.h"
#include "native/toolkit/args.h"
#include "runtime/operands.h"

namespace vorlix::tape {

using py::ErrorKind;
using py::raise;

namespace {

constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();

[[gnu::cold]] std::nullptr_t raise_value(const std::string& message) { return raise(ErrorKind::Value, message); }

// Recording is refused on a released or a frozen tape, in that order.
bool check_open(const TapeState& tape) {
    if (tape.consumed) return py::fail(ErrorKind::Runtime, kReleasedMessage);
    if (tape.frozen) return py::fail(ErrorKind::Runtime, kFrozenMessage);
    return true;
}

// Validates the operand layout of a new operation; `layout` stays empty when
// the parents fill the operands in order and there are no literals.
bool validate_layout(const TapeState& tape, const InlineVec<uint64_t, 4>* positions, size_t parent_count,
                     size_t literal_count, std::optional<OperandLayout>& layout) {
    layout.reset();
    if (positions == nullptr) {
        if (literal_count > 0) {
            return py::fail(ErrorKind::Value, "dynamic operand layout has " + std::to_string(literal_count) +
                               " literals but no parent positions");
        }
        return true;
    }
    if (positions->size() != parent_count) {
        return py::fail(ErrorKind::Value, "dynamic operand layout has " + std::to_string(parent_count) + " parents but " +
                           std::to_string(positions->size()) + " parent positions");
    }
    if (literal_count == 0) {
        bool identity = true;
        for (size_t k = 0; k < positions->size() && identity; ++k) identity = (*positions)[k] == k;
        if (identity) return true;
    }
    const uint64_t arity = static_cast<uint64_t>(parent_count) + literal_count;
    SlotFlags seen(static_cast<size_t>(arity));
    for (const uint64_t position : *positions) {
        if (position >= arity) {
            return py::fail(ErrorKind::Value, "parent position " + std::to_string(position) +
                                                  " is outside operand arity " + std::to_string(arity));
        }
        if (seen.test(position)) {
            return py::fail(ErrorKind::Value, "operand layout repeats parent position " + std::to_string(position));
        }
        seen.set(position);
    }
    for (const uint64_t position : *positions) {
        if (position > kU32Max) return py::fail(ErrorKind::Value, "operand position exceeded its index range");
    }
    if (tape.operand_positions.size() > kU32Max) {
        return py::fail(ErrorKind::Value, "dynamic tape operand-position arena exceeded its index range");
    }
    if (tape.literals.size() > kU32Max) {
        return py::fail(ErrorKind::Value, "dynamic tape literal arena exceeded its index range");
    }
    if (literal_count > kU32Max) return py::fail(ErrorKind::Value, "dynamic tape node has too many literals");
    layout = OperandLayout{static_cast<uint32_t>(tape.operand_positions.size()),
                           static_cast<uint32_t>(tape.literals.size()), static_cast<uint32_t>(literal_count)};
    return true;
}

// Appends the record of the node the arena has just appended. The shape is
// stored by reference when it and the dtype object repeat the previous
// node's; the rarely set fields go to the side table only when one is set.
// See Note [Node record layout].
void append_record(TapeState& tape, Shape&& shape, PyObject* dtype, PyObject* value, PyObject* attrs, bool weak,
                   Ref name, Ref source_location, const std::optional<OperandLayout>& layout) {
    const size_t spec_count = tape.value_specs.size();
    bool repeat = false;
    if (spec_count > 0) {
        const ValueSpec& last = tape.value_specs[spec_count - 1];
        repeat = last.dtype.get() == dtype && std::ranges::equal(last.shape, shape);
    }
    if (!repeat) tape.value_specs.emplace_back(std::move(shape), Ref::new_ref(dtype));
    // The spec and extras tables never hold more entries than the arena
    // holds nodes, whose IDs fit in 32 bits.
    const auto spec = static_cast<uint32_t>(tape.value_specs.size() - 1);
    uint32_t extras = DynamicNode::kNoExtras;
    if (name || source_location || layout) {
        tape.node_extras.emplace_back(NodeExtras{std::move(name), std::move(source_location), Ref(), layout});
        extras = static_cast<uint32_t>(tape.node_extras.size());
    }
    tape.node_records.emplace_back(Ref::new_ref(value), Ref::new_ref(attrs), spec, extras, weak);
}

}  // namespace

PyObject* record_input(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"record_input", {"value", "shape", "dtype", "name", "active"}, 3, 3};
    TapeObject* tape = as_tape(self);
    py::ExclusiveHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;

    PyObject* argv[5];
    if (!py::bind_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
    Shape shape;
    Ref name;
    bool active = true;
    if (!py::to_uint_list(argv[1], "shape", shape)) return nullptr;
    if (!py::to_optional_str(argv[3], "name", name)) return nullptr;
    if (argv[4] != nullptr && !py::to_bool(argv[4], "active", active)) return nullptr;

    TapeState& state = tape->state;
    if (!check_open(state)) return nullptr;
    const uint8_t flags = node_flags::kInput | (active ? node_flags::kActive : 0);
    auto id = state.arena.append(kInputOp, 1, {}, flags);
    if (!id) return raise_value(id.error().rendered());

    append_record(state, std::move(shape), argv[2], argv[0], nullptr, false, std::move(name), Ref(), std::nullopt);
    state.inputs.push_back(*id);
    return PyLong_FromUnsignedLong(*id);
}

PyObject* record_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"record_operation",
                                   {"op", "inputs", "value", "attrs", "shape", "dtype", "input_positions",
                                    "literals", "weak", "schema_version", "name", "source_location"},
                                   6,
                                   6};
    TapeObject* tape = as_tape(self);
    py::ExclusiveHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;

    PyObject* argv[12];
    if (!py::bind_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
    Ref op;
    InlineVec<uint32_t, 4> parents;
    Shape shape;
    InlineVec<uint64_t, 4> positions;
    bool has_positions = false;
    InlineVec<Ref, 2> literals;
    bool weak = false;
    uint32_t schema_version = 1;
    Ref name;
    Ref source_location;
    if (!py::to_str(argv[0], "op", op)) return nullptr;
    if (!py::to_uint_list(argv[1], "inputs", parents)) return nullptr;
    if (!py::to_uint_list(argv[4], "shape", shape)) return nullptr;
    if (argv[6] != nullptr && argv[6] != Py_None) {
        if (!py::to_uint_list(argv[6], "input_positions", positions)) return nullptr;
        has_positions = true;
    }
    if (argv[7] != nullptr) {
        py::SequenceArg seq;
        if (!seq.open(argv[7], "literals")) return nullptr;
        literals.reserve(static_cast<size_t>(seq.size()));
        for (PyObject* item : seq.items()) literals.push_back(Ref::new_ref(item));
    }
    if (argv[8] != nullptr && !py::to_bool(argv[8], "weak", weak)) return nullptr;
    if (argv[9] != nullptr && !py::to_u32(argv[9], "schema_version", schema_version)) return nullptr;
    if (!py::to_optional_str(argv[10], "name", name)) return nullptr;
    if (!py::to_optional_str(argv[11], "source_location", source_location)) return nullptr;

    TapeState& state = tape->state;
    if (!check_open(state)) return nullptr;
    Py_ssize_t op_size = 0;
    const char* op_utf8 = PyUnicode_AsUTF8AndSize(op.get(), &op_size);
    if (op_utf8 == nullptr) return nullptr;
    if (op_size == 0) return raise_value("dynamic tape operation name must not be empty");
    if (weak && !shape.empty()) return raise_value("only rank-zero dynamic tape values can be weak scalars");
    std::optional<OperandLayout> layout;
    if (!validate_layout(state, has_positions ? &positions : nullptr, parents.size(), literals.size(), layout)) {
        return nullptr;
    }
    bool active = false;
    for (const uint32_t parent : parents) {
        const ArenaNode* record = state.arena.node(parent);
        if (record == nullptr) return raise_value("dynamic tape node " + node_text(parent) + " does not exist");
        active = active || record->is_active();
    }

    const uint8_t flags = active ? node_flags::kActive : 0;
    const bool same_op = op.get() == state.last_op_name.get() && schema_version == state.last_op_version;
    auto id = same_op ? state.arena.append_interned(state.last_op, parents, flags)
                      : state.arena.append(std::string_view(op_utf8, static_cast<size_t>(op_size)), schema_version,
                                           parents, flags);
    if (!id) return raise_value(id.error().rendered());
    if (!same_op) {
        state.last_op = state.arena.node(*id)->op;
        state.last_op_version = schema_version;
        state.last_op_name = op.clone();
    }

    if (layout) {
        for (const uint64_t position : positions) state.operand_positions.push_back(static_cast<uint32_t>(position));
        for (Ref& literal : literals) state.literals.push_back(std::move(literal));
    }
    append_record(state, std::move(shape), argv[5], argv[2], argv[3], weak, std::move(name),
                  std::move(source_location), layout);
    return PyLong_FromUnsignedLong(*id);
}

namespace {

// The common head of the node-ID methods: converts the one `node_id`
// argument under the hold the caller took.
bool bind_node_id(const py::Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** argv, uint32_t& id) {
    if (!py::bind_arguments(sig, args, nargs, kwnames, argv)) return false;
    return py::to_u32(argv[0], "node_id", id);
}

}  // namespace

PyObject* record_residual(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"record_residual", {"node_id", "residual"}, 2, 2};
    TapeObject* tape = as_tape(self);
    py::ExclusiveHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    PyObject* argv[2];
    uint32_t id = 0;
    if (!bind_node_id(sig, args, nargs, kwnames, argv, id)) return nullptr;

    TapeState& state = tape->state;
    if (!state.check_exists(id)) return nullptr;
    if (id >= state.node_records.size()) return state.raise_missing_record();
    DynamicNode& node = state.node_records[id];
    if (state.residual_of(node) != nullptr) {
        return raise(ErrorKind::Runtime, "DynamicTape node " + node_text(id) + " already owns a primitive residual");
    }
    NodeExtras* extras = state.ensure_extras(node);
    if (extras == nullptr) return nullptr;
    extras->residual = Ref::new_ref(argv[1]);
    Py_RETURN_NONE;
}

namespace {

// The checks shared by mark_output and mark_weak: open tape, existing node,
// present record.
DynamicNode* markable_node(TapeState& state, uint32_t id) {
    if (!check_open(state)) return nullptr;
    if (!state.check_exists(id)) return nullptr;
    if (id >= state.node_records.size()) {
        raise(ErrorKind::Runtime, "dynamic tape node record is unavailable");
        return nullptr;
    }
    return &state.node_records[id];
}

}  // namespace

PyObject* mark_output(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"mark_output", {"node_id"}, 1, 1};
    TapeObject* tape = as_tape(self);
    py::ExclusiveHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    PyObject* argv[1];
    uint32_t id = 0;
    if (!bind_node_id(sig, args, nargs, kwnames, argv, id)) return nullptr;

    DynamicNode* node = markable_node(tape->state, id);
    if (node == nullptr) return nullptr;
    if (node->output_marked) return raise_value("dynamic tape output " + node_text(id) + " is already marked");
    node->output_marked = true;
    tape->state.outputs.push_back(id);
    Py_RETURN_NONE;
}

PyObject* mark_weak(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"mark_weak", {"node_id"}, 1, 1};
    TapeObject* tape = as_tape(self);
    py::ExclusiveHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    PyObject* argv[1];
    uint32_t id = 0;
    if (!bind_node_id(sig, args, nargs, kwnames, argv, id)) return nullptr;

    DynamicNode* node = markable_node(tape->state, id);
    if (node == nullptr) return nullptr;
    if (!tape->state.spec_of(*node).shape.empty()) {
        return raise_value("only rank-zero dynamic tape values can be weak scalars");
    }
    node->weak = true;
    Py_RETURN_NONE;
}

PyObject* bind_trace_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"bind_trace_frame", {"trace_level", "trace_frame_id"}, 2, 2};
    TapeObject* tape = as_tape(self);
    py::ExclusiveHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    PyObject* argv[2];
    uint64_t level = 0;
    uint64_t frame = 0;
    if (!py::bind_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
    if (!py::to_u64(argv[0], "trace_level", level) || !py::to_u64(argv[1], "trace_frame_id", frame)) return nullptr;

    TapeState& state = tape->state;
    if (state.trace_level || state.trace_frame_id) {
        return raise(ErrorKind::Runtime, "DynamicTape is already bound to a trace frame");
    }
    state.trace_level = level;
    state.trace_frame_id = frame;
    Py_RETURN_NONE;
}

namespace {

// The weak flag of one node, or -1 with the exception raised.
int weak_flag(TapeState& state, uint32_t id) {
    if (!state.check_exists(id)) return -1;
    if (id >= state.node_records.size()) {
        state.raise_missing_record();
        return -1;
    }
    return state.node_records[id].weak ? 1 : 0;
}

// A new reference to the value of one node for the value readers.
Ref value_of(TapeState& state, uint32_t id) {
    if (!state.check_exists(id)) return nullptr;
    return state.required_value(id, "value");
}

// Applies `read` to every ID of a `node_ids` argument and collects the
// results into a new list, stopping at the first failure.
template <class Read>
PyObject* read_each(PyObject* self, const py::Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Read read) {
    TapeObject* tape = as_tape(self);
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    PyObject* argv[1];
    std::vector<uint32_t> ids;
    if (!py::bind_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
    if (!py::to_uint_list(argv[0], "node_ids", ids)) return nullptr;

    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < ids.size(); ++i) {
        Ref item = read(tape->state, ids[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
}

}  // namespace

PyObject* is_weak(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"is_weak", {"node_id"}, 1, 1};
    TapeObject* tape = as_tape(self);
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    PyObject* argv[1];
    uint32_t id = 0;
    if (!bind_node_id(sig, args, nargs, kwnames, argv, id)) return nullptr;
    const int weak = weak_flag(tape->state, id);
    if (weak < 0) return nullptr;
    return PyBool_FromLong(weak);
}

PyObject* weak_mask(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"weak_mask", {"node_ids"}, 1, 1};
    return read_each(self, sig, args, nargs, kwnames, [](TapeState& state, uint32_t id) {
        const int weak = weak_flag(state, id);
        return weak < 0 ? Ref() : Ref::new_ref(weak ? Py_True : Py_False);
    });
}

PyObject* value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"value", {"node_id"}, 1, 1};
    TapeObject* tape = as_tape(self);
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    PyObject* argv[1];
    uint32_t id = 0;
    if (!bind_node_id(sig, args, nargs, kwnames, argv, id)) return nullptr;
    return value_of(tape->state, id).release();
}

PyObject* values(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"values", {"node_ids"}, 1, 1};
    return read_each(self, sig, args, nargs, kwnames, value_of);
}

PyObject* get_node_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"get_node_name", {"node_id"}, 1, 1};
    TapeObject* tape = as_tape(self);
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    PyObject* argv[1];
    uint32_t id = 0;
    if (!bind_node_id(sig, args, nargs, kwnames, argv, id)) return nullptr;
    TapeState& state = tape->state;
    if (!state.check_exists(id)) return nullptr;
    const NodeExtras* extras = id < state.node_records.size() ? state.extras_of(state.node_records[id]) : nullptr;
    PyObject* name = extras != nullptr ? extras->name.get() : nullptr;
    return py::new_ref_or_none(name);
}

PyObject* node_is_active(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"node_is_active", {"node_id"}, 1, 1};
    TapeObject* tape = as_tape(self);
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    PyObject* argv[1];
    uint32_t id = 0;
    if (!bind_node_id(sig, args, nargs, kwnames, argv, id)) return nullptr;
    TapeState& state = tape->state;
    if (!state.check_exists(id)) return nullptr;
    return PyBool_FromLong(state.arena.node(id)->is_active());
}

PyObject* runtime_trace_identity(PyObject* self, PyObject*) {
    TapeObject* tape = as_tape(self);
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    const TapeState& state = tape->state;
    Ref level = state.trace_level ? Ref::steal(PyLong_FromUnsignedLongLong(*state.trace_level)) : Ref::none();
    Ref frame = state.trace_frame_id ? Ref::steal(PyLong_FromUnsignedLongLong(*state.trace_frame_id)) : Ref::none();
    if (!level || !frame) return nullptr;
    return PyTuple_Pack(2, level.get(), frame.get());
}

}  // namespace vorlix::tape
