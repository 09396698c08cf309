// Recording onto a DynamicTape: inputs, operations with their operand layout,
// residuals, output and weak marks, the trace binding and the per-node reads.
#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <vector>

#include "native/dynamic_tape/entry.h"
#include "native/dynamic_tape/methods.h"
#include "native/dynamic_tape/tape.h"
#include "native/toolkit/args.h"
#include "native/toolkit/values.h"
#include "runtime/operands.h"

namespace vorlix::tape {

using py::ErrorKind;
using py::raise;

namespace {

[[gnu::cold]] std::nullptr_t raise_value(const std::string& message) { return raise(ErrorKind::Value, message); }

// Makes room for `extra` more items, growing geometrically so that recording
// stays linear, before the arena takes a node: once it holds the node,
// nothing may fail before the node's record and operands exist.
template <class Vec>
void reserve_more(Vec& v, size_t extra) {
    if (v.capacity() - v.size() >= extra) return;
    v.reserve(std::max(v.size() + extra, v.capacity() * 2));
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
        return py::fail(ErrorKind::Value, "dynamic operand layout has " + std::to_string(parent_count) +
                                              " parents but " + std::to_string(positions->size()) +
                                              " parent positions");
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

// Whether a node's shape and dtype object repeat the previous node's, so
// that the node shares its value spec. See Note [Node record layout].
bool repeats_last_spec(TapeState& tape, const Shape& shape, PyObject* dtype) {
    const size_t spec_count = tape.value_specs.size();
    if (spec_count == 0) return false;
    const ValueSpec& last = tape.value_specs[spec_count - 1];
    bool repeat = last.dtype.get() == dtype && last.shape.size() == shape.size();
    for (size_t d = 0; d < shape.size() && repeat; ++d) repeat = last.shape[d] == shape[d];
    return repeat;
}

// Room for one more node record and, as needed, its value spec and its
// side-table entry: once the arena holds a node, nothing may fail before its
// record exists.
void reserve_record(TapeState& tape, bool new_spec, bool extras) {
    tape.node_records.reserve(tape.node_records.size() + 1);
    if (new_spec) tape.value_specs.reserve(tape.value_specs.size() + 1);
    if (extras) tape.node_extras.reserve(tape.node_extras.size() + 1);
}

// Appends the record of the node the arena has just appended, into the room
// reserve_record made: a new value spec unless the node repeats the last
// one, and the rarely set fields in the side table only when one of them is
// set. See Note [Node record layout].
void append_record(TapeState& tape, bool new_spec, Shape&& shape, PyObject* dtype, PyObject* value, PyObject* attrs,
                   bool weak, Ref&& name, Ref&& source_location, const std::optional<OperandLayout>& layout) {
    if (new_spec) tape.value_specs.emplace_back(std::move(shape), Ref::new_ref(dtype));
    // The value-spec and extras tables never hold more entries than the arena
    // holds nodes, whose IDs fit in 32 bits.
    const auto spec = static_cast<uint32_t>(tape.value_specs.size() - 1);
    uint32_t extras = DynamicNode::kNoExtras;
    if (name || source_location || layout) {
        tape.node_extras.emplace_back(std::move(name), std::move(source_location), Ref(), layout);
        extras = static_cast<uint32_t>(tape.node_extras.size());
    }
    tape.node_records.emplace_back(Ref::new_ref(value), Ref::new_ref(attrs), spec, extras, weak);
}

}  // namespace

PyObject* record_input(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const auto& sig = kRecordInput;
    Ref name;  // dropped after the hold when recording is refused
    return tape_method<Access::Exclusive>(
        self, sig, args, nargs, kwnames, [&](TapeState& state, auto& argv, Dropped&) -> PyObject* {
            Shape shape;
            bool active = true;
            if (!py::to_uint_list(argv[sig["shape"]], "shape", shape)) return nullptr;
            if (!py::to_optional_str(argv[sig["name"]], "name", name)) return nullptr;
            if (argv[sig["active"]] != nullptr && !py::to_bool(argv[sig["active"]], "active", active)) return nullptr;
            if (!state.check(Requirement::Recording)) return nullptr;

            // Room for the record first: once the arena holds the node, nothing
            // may fail before its record exists.
            const bool new_spec = !repeats_last_spec(state, shape, argv[sig["dtype"]]);
            reserve_record(state, new_spec, static_cast<bool>(name));
            reserve_more(state.inputs, 1);
            const uint8_t flags = node_flags::kInput | (active ? node_flags::kActive : 0);
            auto id = state.arena.append(kInputOp, 1, {}, flags);
            if (!id) return raise_value(id.error().rendered());
            append_record(state, new_spec, std::move(shape), argv[sig["dtype"]], argv[sig["value"]], nullptr, false,
                          std::move(name), Ref(), std::nullopt);
            state.inputs.push_back(*id);
            return PyLong_FromUnsignedLong(*id);
        });
}

namespace {

// Recording is the hottest call a frontend makes, so its keywords are
// matched by identity with interned names.
py::Keywords record_operation_keywords{kRecordOperation};

// The converted arguments of record_operation that hold a reference. They
// outlive the method's hold, so that a refused call drops them (and runs
// their finalizers) only after the hold has ended.
struct HeldArguments {
    py::SequenceArg literals;
    Ref name;
    Ref source_location;
};

// Note [Common recordings]
// Nearly every recording names its operation with an ASCII str (most often
// the same object as the recording before it), has at most two parents and
// a shape of rank at most four, and passes its ints as exact lists or tuples
// of small ints. `record_common`
// records such a call with its arguments converted into arrays on the stack
// and no temporaries, and appends only after every check the general path
// makes has passed and every table has room for the node without growing.
// Any other call, including every call that would be refused, it declines
// having changed nothing and raised nothing, and the general path takes the
// call from the start: the messages and their order are the general path's
// alone. Nothing it does before its appends can run Python code, so the
// items it reads in place stay valid.

inline constexpr size_t kCommonParents = 2;
inline constexpr size_t kCommonRank = 4;

// Up to N exact, compact, non-negative ints of an exact list or tuple, read
// in place into `out`; false for anything else.
template <size_t N>
[[gnu::always_inline]] inline bool read_few_uints(PyObject* obj, std::array<uint64_t, N>& out, size_t& count) {
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) return false;
    const auto n = static_cast<size_t>(PySequence_Fast_GET_SIZE(obj));
    if (n > N) return false;
    PyObject* const* items = PySequence_Fast_ITEMS(obj);
    for (size_t i = 0; i < n; ++i) {
        if (!py::read_small_uint(items[i], out[i])) return false;
    }
    count = n;
    return true;
}

// An optional str argument as record_operation accepts it: `out` is the str,
// or nullptr for None or absent; false for anything else.
[[gnu::always_inline]] inline bool read_optional_str(PyObject* obj, PyObject*& out) {
    out = obj == Py_None ? nullptr : obj;
    return out == nullptr || PyUnicode_Check(out);
}

// Records a common call (see Note [Common recordings]); nullptr, with nothing
// changed and no exception raised, when it declines the call.
PyObject* record_common(TapeState& state, const py::Arguments<kRecordOperation.size>& argv, Dropped& dropped) {
    static constexpr const auto& sig = kRecordOperation;
    PyObject* const op = argv[sig["op"]];
    uint64_t version = 1;
    if (argv[sig["schema_version"]] != nullptr && !py::read_small_uint(argv[sig["schema_version"]], version))
        return nullptr;
    // As in the general path, the same str under the same version names the
    // operation interned last. Another name is read in place when it is an
    // exact ASCII str, whose UTF-8 encoding is its own data.
    const bool same_op = op == state.last_op_name.get() && version == state.last_op_version;
    std::string_view op_text;
    if (!same_op) {
        if (!PyUnicode_CheckExact(op) || !PyUnicode_IS_COMPACT_ASCII(op)) return nullptr;
        op_text = {static_cast<const char*>(PyUnicode_DATA(op)), static_cast<size_t>(PyUnicode_GET_LENGTH(op))};
        if (op_text.empty()) return nullptr;
    }
    if (state.consumed || state.frozen) return nullptr;

    std::array<uint64_t, kCommonParents> parents;
    std::array<uint64_t, kCommonRank> dims;
    std::array<uint64_t, kCommonParents> positions;
    size_t parent_count = 0;
    size_t rank = 0;
    size_t position_count = 0;
    if (!read_few_uints(argv[sig["inputs"]], parents, parent_count) || !read_few_uints(argv[sig["shape"]], dims, rank))
        return nullptr;
    PyObject* const position_arg = argv[sig["input_positions"]];
    const bool has_positions = position_arg != nullptr && position_arg != Py_None;
    if (has_positions && !read_few_uints(position_arg, positions, position_count)) return nullptr;
    std::span<PyObject* const> literals;
    if (PyObject* const literal_arg = argv[sig["literals"]]; literal_arg != nullptr) {
        if (!PyTuple_CheckExact(literal_arg) && !PyList_CheckExact(literal_arg)) return nullptr;
        literals = {PySequence_Fast_ITEMS(literal_arg), static_cast<size_t>(PySequence_Fast_GET_SIZE(literal_arg))};
    }
    PyObject* const weak_arg = argv[sig["weak"]];
    const bool weak = weak_arg == Py_True;
    if (weak_arg != nullptr && !weak && weak_arg != Py_False) return nullptr;
    if (weak && rank != 0) return nullptr;
    PyObject* name = nullptr;
    PyObject* source_location = nullptr;
    if (!read_optional_str(argv[sig["name"]], name) ||
        !read_optional_str(argv[sig["source_location"]], source_location))
        return nullptr;

    // The operand layout, as validate_layout makes it for at most two parents.
    bool has_layout = false;
    if (has_positions) {
        if (position_count != parent_count) return nullptr;
        const uint64_t arity = parent_count + literals.size();
        bool identity = literals.empty();
        for (size_t k = 0; k < position_count; ++k) {
            if (positions[k] >= arity) return nullptr;
            identity = identity && positions[k] == k;
        }
        if (position_count == 2 && positions[0] == positions[1]) return nullptr;
        has_layout = !identity;
    } else if (!literals.empty()) {
        return nullptr;
    }
    if (has_layout &&
        (state.operand_positions.size() > kU32Max || state.literals.size() > kU32Max || literals.size() > kU32Max))
        return nullptr;

    const uint64_t node_count = state.arena.node_count();
    uint8_t flags = 0;
    for (size_t k = 0; k < parent_count; ++k) {
        if (parents[k] >= node_count) return nullptr;
        flags |= state.arena.node(parents[k])->flags & node_flags::kActive;
    }

    // The shape and dtype are those of the last value spec, as
    // repeats_last_spec compares them.
    PyObject* const dtype = argv[sig["dtype"]];
    bool new_spec = true;
    if (!state.value_specs.empty()) {
        const ValueSpec& last = state.value_specs[state.value_specs.size() - 1];
        new_spec = last.dtype.get() != dtype || last.shape.size() != rank;
        for (size_t d = 0; d < rank && !new_spec; ++d) new_spec = last.shape[d] != dims[d];
    }
    const bool has_extras = name != nullptr || source_location != nullptr || has_layout;
    if (!state.node_records.has_room(1) || (new_spec && !state.value_specs.has_room(1)) ||
        (has_extras && !state.node_extras.has_room(1)) ||
        (has_layout &&
         (!state.operand_positions.has_room(position_count) || !state.literals.has_room(literals.size()))))
        return nullptr;

    // Every check has passed and every table but the arena has room: once
    // the arena holds the node, the appends below cannot fail.
    const std::array<NodeId, kCommonParents> parent_ids{parent_count >= 1 ? static_cast<NodeId>(parents[0]) : 0,
                                                        parent_count >= 2 ? static_cast<NodeId>(parents[1]) : 0};
    std::optional<NodeId> id;
    if (same_op) {
        id = state.arena.append_checked_parents(state.last_op, static_cast<uint32_t>(parent_count), parent_ids[0],
                                                parent_ids[1], flags);
    } else if (auto appended = state.arena.append(op_text, static_cast<uint32_t>(version),
                                                  std::span(parent_ids.data(), parent_count), flags)) {
        // A refusal (a schema version conflict) has changed nothing.
        id = *appended;
        state.last_op = state.arena.node(*id)->op;
        state.last_op_version = static_cast<uint32_t>(version);
        dropped.push_back(std::exchange(state.last_op_name, Ref::new_ref(op)));
    }
    if (!id) return nullptr;
    std::optional<OperandLayout> layout;
    if (has_layout) {
        layout = OperandLayout{static_cast<uint32_t>(state.operand_positions.size()),
                               static_cast<uint32_t>(state.literals.size()), static_cast<uint32_t>(literals.size())};
        for (size_t k = 0; k < position_count; ++k)
            state.operand_positions.emplace_back_in_room(static_cast<uint32_t>(positions[k]));
        for (PyObject* literal : literals) state.literals.emplace_back_in_room(Ref::new_ref(literal));
    }
    if (new_spec) {
        state.value_specs.emplace_back_in_room(Shape(std::span<const uint64_t>(dims.data(), rank)),
                                               Ref::new_ref(dtype));
    }
    // The value-spec and extras tables never hold more entries than the arena
    // holds nodes, whose IDs fit in 32 bits.
    const auto spec = static_cast<uint32_t>(state.value_specs.size() - 1);
    uint32_t extras = DynamicNode::kNoExtras;
    if (has_extras) {
        state.node_extras.emplace_back_in_room(Ref::new_ref(name), Ref::new_ref(source_location), Ref(), layout);
        extras = static_cast<uint32_t>(state.node_extras.size());
    }
    state.node_records.emplace_back_in_room(Ref::new_ref(argv[sig["value"]]), Ref::new_ref(argv[sig["attrs"]]), spec,
                                            extras, weak);
    return PyLong_FromLongLong(static_cast<long long>(*id));
}

}  // namespace

PyObject* record_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const auto& sig = kRecordOperation;
    HeldArguments held;
    return tape_method<Access::Exclusive>(
        self, sig, record_operation_keywords, args, nargs, kwnames,
        [&](TapeState& state, auto& argv, Dropped& dropped) -> PyObject* {
            if (PyObject* id = record_common(state, argv, dropped); id != nullptr || PyErr_Occurred()) return id;
            // The caller's references keep `op` and the payloads alive for the
            // call; the tape takes its own only when it stores them.
            PyObject* const op = argv[sig["op"]];
            InlineVec<uint32_t, 4> parents;
            Shape shape;
            InlineVec<uint64_t, 4> positions;
            bool weak = false;
            uint32_t schema_version = 1;
            if (!py::check_str(op, "op")) return nullptr;
            if (!py::to_uint_list(argv[sig["inputs"]], "inputs", parents)) return nullptr;
            if (!py::to_uint_list(argv[sig["shape"]], "shape", shape)) return nullptr;
            const bool has_positions =
                argv[sig["input_positions"]] != nullptr && argv[sig["input_positions"]] != Py_None;
            if (has_positions && !py::to_uint_list(argv[sig["input_positions"]], "input_positions", positions))
                return nullptr;
            // The literals stay borrowed from their sequence until they are
            // stored: from here on nothing this call does on its way to storing
            // them can run Python code that could change the sequence.
            if (argv[sig["literals"]] != nullptr &&
                !held.literals.open(argv[sig["literals"]], "literals", py::ItemReads::RunNoPython)) {
                return nullptr;
            }
            py::NoPythonScope no_python("record_operation's literals, read in place until stored");
            if (argv[sig["weak"]] != nullptr && !py::to_bool(argv[sig["weak"]], "weak", weak)) return nullptr;
            if (argv[sig["schema_version"]] != nullptr &&
                !py::to_u32(argv[sig["schema_version"]], "schema_version", schema_version))
                return nullptr;
            if (!py::to_optional_str(argv[sig["name"]], "name", held.name)) return nullptr;
            if (!py::to_optional_str(argv[sig["source_location"]], "source_location", held.source_location))
                return nullptr;
            const std::span<PyObject* const> literals = held.literals.items();

            if (!state.check(Requirement::Recording)) return nullptr;
            // The previous recording's name was encoded and found non-empty then,
            // and a str never changes: the same object under the same version
            // skips both.
            const bool same_op = op == state.last_op_name.get() && schema_version == state.last_op_version;
            std::string_view op_text;
            if (!same_op) {
                std::optional<std::string_view> utf8 = py::utf8_of(op);
                if (!utf8) return nullptr;
                op_text = *utf8;
                if (op_text.empty()) return raise_value("dynamic tape operation name must not be empty");
            }
            if (weak && !shape.empty()) return raise_value("only rank-zero dynamic tape values can be weak scalars");
            std::optional<OperandLayout> layout;
            if (!validate_layout(state, has_positions ? &positions : nullptr, parents.size(), literals.size(),
                                 layout)) {
                return nullptr;
            }
            bool active = false;
            for (const uint32_t parent : parents) {
                const ArenaNode* record = state.arena.node(parent);
                if (record == nullptr) return raise_value("dynamic tape node " + node_ref(parent) + " does not exist");
                active = active || record->is_active();
            }

            // Room for everything the node adds first: once the arena holds the
            // node, nothing may fail before its record exists.
            const bool new_spec = !repeats_last_spec(state, shape, argv[sig["dtype"]]);
            reserve_record(state, new_spec, held.name || held.source_location || layout);
            if (layout) {
                state.operand_positions.reserve(state.operand_positions.size() + positions.size());
                state.literals.reserve(state.literals.size() + literals.size());
            }
            const uint8_t flags = active ? node_flags::kActive : 0;
            auto id = same_op ? state.arena.append_interned(state.last_op, parents, flags)
                              : state.arena.append(op_text, schema_version, parents, flags);
            if (!id) return raise_value(id.error().rendered());
            if (!same_op) {
                state.last_op = state.arena.node(*id)->op;
                state.last_op_version = schema_version;
                dropped.push_back(std::exchange(state.last_op_name, Ref::new_ref(op)));
            }

            if (layout) {
                // validate_layout checked that every position fits in 32 bits.
                for (const auto position : positions)
                    state.operand_positions.emplace_back(static_cast<uint32_t>(position));
                for (PyObject* literal : literals) state.literals.emplace_back(Ref::new_ref(literal));
            }
            append_record(state, new_spec, std::move(shape), argv[sig["dtype"]], argv[sig["value"]], argv[sig["attrs"]],
                          weak, std::move(held.name), std::move(held.source_location), layout);
            // Node IDs fit in a long long, whose conversion makes the int in
            // place, without the digit count the unsigned conversions make.
            return PyLong_FromLongLong(static_cast<long long>(*id));
        });
}

PyObject* record_residual(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return node_method<Access::Exclusive>(
        self, kRecordResidual, Requirement::Anything, args, nargs, kwnames,
        [](TapeState& state, uint32_t id, auto& argv) -> PyObject* {
            if (id >= state.node_records.size()) return state.raise_missing_record();
            DynamicNode& node = state.node_records[id];
            if (state.residual_of(node) != nullptr) {
                return raise(ErrorKind::Runtime,
                             "DynamicTape node " + node_ref(id) + " already owns a primitive residual");
            }
            NodeExtras* extras = state.ensure_extras(node);
            if (extras == nullptr) return nullptr;
            extras->residual = Ref::new_ref(argv[1]);
            Py_RETURN_NONE;
        });
}

namespace {

// The record of a node being marked; its existence was checked.
DynamicNode* markable_node(TapeState& state, uint32_t id) {
    if (id < state.node_records.size()) return &state.node_records[id];
    raise(ErrorKind::Runtime, "dynamic tape node record is unavailable");
    return nullptr;
}

}  // namespace

PyObject* mark_output(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return node_method<Access::Exclusive>(
        self, kMarkOutput, Requirement::Recording, args, nargs, kwnames,
        [](TapeState& state, uint32_t id, auto&) -> PyObject* {
            DynamicNode* node = markable_node(state, id);
            if (node == nullptr) return nullptr;
            if (node->output_marked) return raise_value("dynamic tape output " + node_ref(id) + " is already marked");
            state.outputs.push_back(id);
            node->output_marked = true;
            Py_RETURN_NONE;
        });
}

PyObject* mark_weak(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return node_method<Access::Exclusive>(
        self, kMarkWeak, Requirement::Recording, args, nargs, kwnames,
        [](TapeState& state, uint32_t id, auto&) -> PyObject* {
            DynamicNode* node = markable_node(state, id);
            if (node == nullptr) return nullptr;
            if (!state.spec_of(*node).shape.empty()) {
                return raise_value("only rank-zero dynamic tape values can be weak scalars");
            }
            node->weak = true;
            Py_RETURN_NONE;
        });
}

PyObject* bind_trace_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return tape_method<Access::Exclusive>(
        self, kBindTraceFrame, args, nargs, kwnames, [](TapeState& state, auto& argv, Dropped&) -> PyObject* {
            uint64_t level = 0;
            uint64_t frame = 0;
            if (!py::to_u64(argv[0], "trace_level", level) || !py::to_u64(argv[1], "trace_frame_id", frame)) {
                return nullptr;
            }
            if (state.trace_level || state.trace_frame_id) {
                return raise(ErrorKind::Runtime, "DynamicTape is already bound to a trace frame");
            }
            state.trace_level = level;
            state.trace_frame_id = frame;
            Py_RETURN_NONE;
        });
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
PyObject* read_each(PyObject* self, const py::Signature<1>& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Read read) {
    return tape_method<Access::Shared>(self, sig, args, nargs, kwnames,
                                       [&](TapeState& state, auto& argv, Dropped&) -> PyObject* {
                                           std::vector<uint32_t> ids;
                                           if (!py::to_uint_list(argv[0], "node_ids", ids)) return nullptr;
                                           Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
                                           if (!list) return nullptr;
                                           for (size_t i = 0; i < ids.size(); ++i) {
                                               Ref item = read(state, ids[i]);
                                               if (!item) return nullptr;
                                               PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
                                           }
                                           return list.release();
                                       });
}

}  // namespace

PyObject* is_weak(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return node_method<Access::Shared>(self, kIsWeak, Requirement::Anything, args, nargs, kwnames,
                                       [](TapeState& state, uint32_t id, auto&) -> PyObject* {
                                           const int weak = weak_flag(state, id);
                                           return weak < 0 ? nullptr : PyBool_FromLong(weak);
                                       });
}

PyObject* weak_mask(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return read_each(self, kWeakMask, args, nargs, kwnames, [](TapeState& state, uint32_t id) {
        const int weak = weak_flag(state, id);
        return weak < 0 ? Ref() : Ref::new_ref(weak ? Py_True : Py_False);
    });
}

PyObject* value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return node_method<Access::Shared>(
        self, kValue, Requirement::Anything, args, nargs, kwnames,
        [](TapeState& state, uint32_t id, auto&) -> PyObject* { return state.required_value(id, "value").release(); });
}

PyObject* values(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return read_each(self, kValues, args, nargs, kwnames, value_of);
}

PyObject* get_node_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return node_method<Access::Shared>(self, kGetNodeName, Requirement::Anything, args, nargs, kwnames,
                                       [](TapeState& state, uint32_t id, auto&) -> PyObject* {
                                           const NodeExtras* extras = id < state.node_records.size()
                                                                          ? state.extras_of(state.node_records[id])
                                                                          : nullptr;
                                           PyObject* name = extras != nullptr ? extras->name.get() : nullptr;
                                           return py::new_ref_or_none(name);
                                       });
}

PyObject* node_is_active(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return node_method<Access::Shared>(self, kNodeIsActive, Requirement::Anything, args, nargs, kwnames,
                                       [](TapeState& state, uint32_t id, auto&) -> PyObject* {
                                           return PyBool_FromLong(state.arena.node(id)->is_active());
                                       });
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
