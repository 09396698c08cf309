// Real-linearity analysis of a frozen DynamicTape: does every marked output
// depend linearly (or not at all, being zero) on the chosen tangent inputs?
#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "native/dynamic_tape/entry.h"
#include "native/dynamic_tape/methods.h"
#include "native/dynamic_tape/operand_view.h"
#include "native/dynamic_tape/tape.h"
#include "native/toolkit/args.h"
#include "native/toolkit/names.h"
#include "native/toolkit/values.h"

namespace vorlix::tape {

using py::ErrorKind;
using py::raise;

namespace {

enum class State : uint8_t { Zero, Constant, Linear, Nonlinear };

struct Linearity {
    State state = State::Constant;
    bool dependent = false;  // depends on at least one tangent input
    std::string reason;      // why the value is nonlinear

    static Linearity zero() { return {State::Zero, false, {}}; }
    static Linearity constant() { return {State::Constant, false, {}}; }
    static Linearity linear() { return {State::Linear, true, {}}; }
    static Linearity nonlinear(std::string why, bool dependent) {
        return {State::Nonlinear, dependent, std::move(why)};
    }
};

enum class OpClass : uint8_t {
    Addition,
    Product,
    Division,
    Gather,
    Solve,
    Selection,
    StructuralZero,
    SingleOperandLinear,
    Other,
};

struct NamedClass {
    std::string_view name;
    OpClass op_class;
};

// Sorted by name for binary search.
constexpr auto kClasses = [] {
    std::array<NamedClass, 73> table{{
        {"array.add", OpClass::Addition},
        {"array.subtract", OpClass::Addition},
        {"array.stack", OpClass::Addition},
        {"array.concatenate", OpClass::Addition},
        {"vorlix.index_update", OpClass::Addition},
        {"array.multiply", OpClass::Product},
        {"array.matmul", OpClass::Product},
        {"array_ext.dot", OpClass::Product},
        {"array.cross", OpClass::Product},
        {"array.outer", OpClass::Product},
        {"array_ext.kron", OpClass::Product},
        {"array.tensordot", OpClass::Product},
        {"array_ext.inner", OpClass::Product},
        {"array_ext.einsum", OpClass::Product},
        {"array.divide", OpClass::Division},
        {"array_ext.true_divide", OpClass::Division},
        {"array.take", OpClass::Gather},
        {"array.take_along_axis", OpClass::Gather},
        {"array_ext.linalg.solve", OpClass::Solve},
        {"array.where", OpClass::Selection},
        {"array.zeros", OpClass::StructuralZero},
        {"array.zeros_like", OpClass::StructuralZero},
        {"array.sum", OpClass::SingleOperandLinear},
        {"array.mean", OpClass::SingleOperandLinear},
        {"array.cumsum", OpClass::SingleOperandLinear},
        {"array.diff", OpClass::SingleOperandLinear},
        {"array.trace", OpClass::SingleOperandLinear},
        {"array.diagonal", OpClass::SingleOperandLinear},
        {"array_ext.diag", OpClass::SingleOperandLinear},
        {"array.flip", OpClass::SingleOperandLinear},
        {"array_ext.fliplr", OpClass::SingleOperandLinear},
        {"array_ext.flipud", OpClass::SingleOperandLinear},
        {"array.roll", OpClass::SingleOperandLinear},
        {"array_ext.rot90", OpClass::SingleOperandLinear},
        {"array.tile", OpClass::SingleOperandLinear},
        {"array.repeat", OpClass::SingleOperandLinear},
        {"array.tril", OpClass::SingleOperandLinear},
        {"array.triu", OpClass::SingleOperandLinear},
        {"array.real", OpClass::SingleOperandLinear},
        {"array.imag", OpClass::SingleOperandLinear},
        {"array.conjugate", OpClass::SingleOperandLinear},
        {"array.negative", OpClass::SingleOperandLinear},
        {"array.positive", OpClass::SingleOperandLinear},
        {"array.astype", OpClass::SingleOperandLinear},
        {"array.reshape", OpClass::SingleOperandLinear},
        {"array.squeeze", OpClass::SingleOperandLinear},
        {"array.expand_dims", OpClass::SingleOperandLinear},
        {"array.broadcast_to", OpClass::SingleOperandLinear},
        {"array.atleast_1d", OpClass::SingleOperandLinear},
        {"array.atleast_2d", OpClass::SingleOperandLinear},
        {"array.atleast_3d", OpClass::SingleOperandLinear},
        {"array.transpose", OpClass::SingleOperandLinear},
        {"array.moveaxis", OpClass::SingleOperandLinear},
        {"array.swapaxes", OpClass::SingleOperandLinear},
        {"array_ext.ravel", OpClass::SingleOperandLinear},
        {"array_ext.pad", OpClass::SingleOperandLinear},
        {"vorlix.copy", OpClass::SingleOperandLinear},
        {"vorlix.getitem", OpClass::SingleOperandLinear},
        {"vorlix.getoutput", OpClass::SingleOperandLinear},
        {"array_ext.fft.fft", OpClass::SingleOperandLinear},
        {"array_ext.fft.ifft", OpClass::SingleOperandLinear},
        {"array_ext.fft.fft2", OpClass::SingleOperandLinear},
        {"array_ext.fft.ifft2", OpClass::SingleOperandLinear},
        {"array_ext.fft.fftn", OpClass::SingleOperandLinear},
        {"array_ext.fft.ifftn", OpClass::SingleOperandLinear},
        {"array_ext.fft.rfft", OpClass::SingleOperandLinear},
        {"array_ext.fft.irfft", OpClass::SingleOperandLinear},
        {"array_ext.fft.rfft2", OpClass::SingleOperandLinear},
        {"array_ext.fft.irfft2", OpClass::SingleOperandLinear},
        {"array_ext.fft.rfftn", OpClass::SingleOperandLinear},
        {"array_ext.fft.irfftn", OpClass::SingleOperandLinear},
        {"array_ext.fft.fftshift", OpClass::SingleOperandLinear},
        {"array_ext.fft.ifftshift", OpClass::SingleOperandLinear},
    }};
    std::sort(table.begin(), table.end(), [](const NamedClass& a, const NamedClass& b) { return a.name < b.name; });
    return table;
}();

OpClass class_of(std::string_view name) {
    auto it = std::lower_bound(kClasses.begin(), kClasses.end(), name,
                               [](const NamedClass& entry, std::string_view n) { return entry.name < n; });
    return it != kClasses.end() && it->name == name ? it->op_class : OpClass::Other;
}

bool any_dependent(std::span<const Linearity> ops) {
    return std::any_of(ops.begin(), ops.end(), [](const Linearity& l) { return l.dependent; });
}

bool any_state(std::span<const Linearity> ops, State state) {
    return std::any_of(ops.begin(), ops.end(), [state](const Linearity& l) { return l.state == state; });
}

Linearity combine_add(std::span<const Linearity> ops) {
    const bool dependent = any_dependent(ops);
    if (any_state(ops, State::Nonlinear)) return Linearity::nonlinear("contains a nonlinear operand", dependent);
    const bool linear = any_state(ops, State::Linear);
    const bool constant = any_state(ops, State::Constant);
    if (linear && constant) return Linearity::nonlinear("adds a tangent-independent offset", dependent);
    if (linear) return Linearity::linear();
    return constant ? Linearity::constant() : Linearity::zero();
}

Linearity combine_product(std::span<const Linearity> ops) {
    if (any_state(ops, State::Zero)) return Linearity::zero();
    const bool dependent = any_dependent(ops);
    if (any_state(ops, State::Nonlinear)) return Linearity::nonlinear("contains a nonlinear operand", dependent);
    const auto linear =
        std::count_if(ops.begin(), ops.end(), [](const Linearity& l) { return l.state == State::Linear; });
    if (linear == 0) return Linearity::constant();
    if (linear == 1) return Linearity::linear();
    return Linearity::nonlinear("multiplies tangent-dependent operands", dependent);
}

Linearity default_rule(std::span<const Linearity> ops, std::string_view op) {
    if (!any_dependent(ops)) return Linearity::constant();
    return Linearity::nonlinear("uses unsupported tangent-dependent operation '" + std::string(op) + "'", true);
}

// Division, gather and solve: two operands, one of which must not depend on
// the tangents; the result follows the other.
Linearity combine_binary(std::span<const Linearity> ops, size_t guarded, size_t followed, const char* arity_reason,
                         const char* dependent_reason) {
    if (ops.size() != 2) return Linearity::nonlinear(arity_reason, any_dependent(ops));
    if (ops[guarded].dependent) return Linearity::nonlinear(dependent_reason, any_dependent(ops));
    return ops[followed];
}

Linearity classify(std::string_view op, std::span<const Linearity> ops) {
    switch (class_of(op)) {
        case OpClass::Addition: return combine_add(ops);
        case OpClass::Product: return combine_product(ops);
        case OpClass::Division:
            return combine_binary(ops, 1, 0, "division has unexpected arity", "uses a tangent-dependent denominator");
        case OpClass::Gather:
            return combine_binary(ops, 1, 0, "gather has unexpected arity", "uses tangent-dependent gather indices");
        case OpClass::Solve:
            return combine_binary(ops, 0, 1, "solve has unexpected arity", "uses a tangent-dependent solve matrix");
        case OpClass::Selection:
            if (ops.size() != 3) return default_rule(ops, op);
            if (ops[0].dependent)
                return Linearity::nonlinear("uses a tangent-dependent selection mask", any_dependent(ops));
            return combine_add(ops.subspan(1));
        case OpClass::StructuralZero: return Linearity::zero();
        case OpClass::SingleOperandLinear: return ops.size() == 1 ? ops[0] : default_rule(ops, op);
        case OpClass::Other: return default_rule(ops, op);
    }
    return default_rule(ops, op);
}

// 1 when `value` is exactly zero, 0 when not, -1 with an exception raised.
// A TypeError or ValueError on the way means "not zero".
int value_is_zero(PyObject* value) {
    const auto outcome = [&]() -> int {
        const int tracked = PyObject_HasAttrWithError(value, py::names::node_id());
        if (tracked != 0) return tracked < 0 ? -1 : 0;
        Ref zero = Ref::steal(PyLong_FromLong(0));
        if (!zero) return -1;
        Ref equal = Ref::steal(PyObject_RichCompare(value, zero.get(), Py_EQ));
        if (!equal) return -1;
        PyObject* all = nullptr;
        if (PyObject_GetOptionalAttr(equal.get(), py::names::all(), &all) < 0) return -1;
        Ref all_method = Ref::steal(all);
        if (all_method && PyCallable_Check(all_method.get())) {
            Ref reduced = Ref::steal(PyObject_CallNoArgs(all_method.get()));
            if (!reduced) return -1;
            return PyObject_IsTrue(reduced.get());
        }
        return PyObject_IsTrue(equal.get());
    }();
    if (outcome >= 0) return outcome;
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

// Zero or Constant for a recorded value, by the zero test.
bool tested(PyObject* value, Linearity& out) {
    const int zero = value_is_zero(value);
    if (zero < 0) return false;
    out = zero ? Linearity::zero() : Linearity::constant();
    return true;
}

struct Analysis {
    TapeState& tape;
    std::vector<Linearity> states;  // one per node, filled in ID order
    OperandView view;

    bool operation_state(uint32_t id, const ArenaNode& record, std::string_view op, Linearity& out) {
        if (record.encoding == ParentEncoding::EdgeRange && !tape.arena.parents(record)) {
            return py::fail(ErrorKind::Runtime, kEdgeRangeMessage);
        }
        if (id >= tape.node_records.size()) {
            tape.raise_missing_record();
            return false;
        }
        if (!view.read(tape, record, tape.extras_of(tape.node_records[id]), OperandValues::AsNone)) return false;
        std::vector<Linearity> operands(view.arity);
        for (uint32_t k = 0; k < view.parent_count; ++k) {
            const uint32_t p = view.parents[k];
            if (p >= states.size()) return py::fail(ErrorKind::Runtime, "parent linearity state is unavailable");
            operands[view.slots[k]] = states[p];
        }
        // The literals are read afresh each time: the zero test runs Python.
        for (uint32_t j = 0; j < view.literal_count; ++j) {
            PyObject* literal = tape.literals[view.literal_start + j].get();
            if (literal == nullptr) {
                return py::fail(ErrorKind::Runtime, "literal payload was released before linearity analysis");
            }
            if (!tested(literal, operands[view.literal_slots[j]])) return false;
        }
        out = classify(op, operands);
        if (out.state != State::Constant) return true;
        return recorded_value_state(id, out);
    }

    bool recorded_value_state(uint32_t id, Linearity& out) {
        if (id >= tape.node_records.size() || !tape.node_records[id].value) {
            return py::fail(ErrorKind::Runtime, "dynamic tape node value is unavailable");
        }
        const int zero = value_is_zero(tape.node_records[id].value.get());
        if (zero < 0) return false;
        if (zero) out = Linearity::zero();
        return true;
    }
};

[[gnu::cold]] std::nullptr_t raise_not_linear(std::string_view primitive, const std::string& reason,
                                              std::string_view op, uint32_t id) {
    return raise(ErrorKind::Value, "JVP rule for '" + std::string(primitive) + "' is not real-linear: " + reason +
                                       " at '" + std::string(op) + "' (tape value " + node_ref(id) + ").");
}

Ref analyze(TapeState& tape, std::span<const uint32_t> tangent_inputs, std::string_view primitive) {
    if (!tape.check(Requirement::Frozen)) return nullptr;
    const size_t count = tape.arena.node_count();
    std::vector<bool> tangent(count, false);
    for (const uint32_t id : tangent_inputs) {
        if (!tape.check_exists(id)) return nullptr;
        if (!tape.arena.node(id)->is_input()) {
            return raise(ErrorKind::Value, "real-linearity tangent node " + node_ref(id) + " is not an input");
        }
        tangent[id] = true;
    }

    Analysis analysis{tape, {}};
    analysis.states.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const auto id = static_cast<uint32_t>(i);
        const ArenaNode& record = *tape.arena.node(i);
        const OpSchema* schema = tape.arena.schema(record.op);
        if (schema == nullptr) return raise(ErrorKind::Runtime, "dynamic tape contains an invalid operation ID");
        Linearity state;
        if (schema->name == "vorlix.input") {
            state = tangent[i] ? Linearity::linear() : Linearity::constant();
        } else if (schema->name == "vorlix.const") {
            if (i >= tape.node_records.size() || !tape.node_records[i].value) {
                return raise(ErrorKind::Runtime, "dynamic tape node value is unavailable");
            }
            if (!tested(tape.node_records[i].value.get(), state)) return nullptr;
        } else if (!analysis.operation_state(id, record, schema->name, state)) {
            return nullptr;
        }
        analysis.states.push_back(std::move(state));
    }

    for (const uint32_t out : tape.outputs) {
        if (!tape.check_exists(out)) return nullptr;
        if (out >= analysis.states.size()) {
            return py::internal_error("dynamic tape output linearity state is unavailable");
        }
        const Linearity& state = analysis.states[out];
        if (state.state == State::Zero || state.state == State::Linear) continue;
        const std::string& op = tape.arena.schema(tape.arena.node(out)->op)->name;
        if (state.state == State::Constant) {
            return raise_not_linear(primitive, "returns a tangent-independent nonzero offset", op, out);
        }
        return raise_not_linear(primitive, state.reason.empty() ? "is nonlinear in its tangent inputs" : state.reason,
                                op, out);
    }

    std::vector<uint32_t> dependent;
    for (size_t i = 0; i < analysis.states.size(); ++i) {
        if (!analysis.states[i].dependent) continue;
        if (i > std::numeric_limits<uint32_t>::max()) return py::internal_error("dynamic tape node ID overflowed");
        dependent.push_back(static_cast<uint32_t>(i));
    }
    return py::int_list(std::span<const uint32_t>(dependent));
}

}  // namespace

PyObject* analyze_real_linearity(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return tape_method<Access::Shared>(self, kAnalyzeRealLinearity, args, nargs, kwnames,
                                       [](TapeState& state, auto& argv, Dropped&) -> PyObject* {
                                           std::vector<uint32_t> ids;
                                           Ref primitive;
                                           if (!py::to_uint_list(argv[0], "tangent_input_ids", ids) ||
                                               !py::to_str(argv[1], "primitive_name", primitive)) {
                                               return nullptr;
                                           }
                                           std::optional<std::string_view> text = py::utf8_of(primitive.get());
                                           if (!text) return nullptr;
                                           return analyze(state, ids, *text).release();
                                       });
}

}  // namespace vorlix::tape
