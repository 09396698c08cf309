// The Python host of staged execution: the binder call and the evaluator's
// declarations, the evaluator call, and the check of every produced value.
#include "native/staged/execution/host.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "native/staged/conversion/attr.h"
#include "native/staged/conversion/type_name.h"
#include "native/toolkit/args.h"
#include "native/toolkit/call.h"
#include "native/toolkit/errors.h"
#include "native/toolkit/names.h"
#include "native/toolkit/no_python.h"
#include "native/toolkit/values.h"
#include "runtime/quote.h"

namespace vorlix::staged {

using py::ErrorKind;
using py::Ref;

namespace {

// Note [Declarations of an evaluator]
// An absent attribute is no declaration; a present one must hold what its
// name promises (positions: a sequence of ints, a str refused; the owned
// flag: a bool). A failure to read or convert one is the evaluator's error
// and is reported with the binding note, like a failure of the binder.
bool read_positions(PyObject* evaluator, PyObject* name, const char* text, std::vector<uint64_t>& out) {
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttr(evaluator, name, &raw) < 0) return false;
    if (raw == nullptr) return true;
    Ref declared = Ref::steal(raw);
    return py::to_uint_list(declared.get(), text, out);
}

bool read_owned(PyObject* evaluator, bool& out) {
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttr(evaluator, py::names::owned_output(), &raw) < 0) return false;
    if (raw == nullptr) return true;
    Ref declared = Ref::steal(raw);
    return py::to_bool(declared.get(), "__vorlix_owned_output__", out);
}

[[gnu::cold]] std::string evaluator_message(std::string_view op, std::string_view rest) {
    std::string message = "staged evaluator for ";
    quote::append_literal(message, op);
    message += rest;
    return message;
}

// The qualified name of `obj`'s type, or "value" when it cannot be read.
std::string type_text(PyObject* obj) {
    if (auto name = qualified_type_name(obj)) return *std::move(name);
    PyErr_Clear();
    return "value";
}

void append_shape(std::string& out, std::span<const uint64_t> shape) {
    out += '(';
    for (size_t k = 0; k < shape.size(); ++k) {
        if (k > 0) out += ", ";
        out += std::to_string(shape[k]);
    }
    if (shape.size() == 1) out += ',';
    out += ')';
}

[[gnu::cold]] bool declared_but(const SpecView& spec, std::string_view produced_prefix, std::string_view produced) {
    std::string message = "Staged operation declared shape=";
    append_shape(message, spec.shape);
    message += ", dtype=";
    message += spec.dtype->name();
    message += "; produced ";
    message += produced_prefix;
    message += produced;
    return py::fail(ErrorKind::Value, message);
}

// Turns an ordinary failure into RuntimeError `message`; anything else
// (KeyboardInterrupt, MemoryError, ...) stays raised as it is.
[[gnu::cold]] bool replace_ordinary_error(std::string_view message) {
    if (PyErr_Occurred() && !discard_ordinary_error()) return false;
    return py::fail(ErrorKind::Runtime, message);
}

// The kind of a Python scalar, or null for an array value. A subclass of
// int, float or complex that has both "shape" and "dtype" is an array (a
// NumPy float64 scalar, for one).
const char* scalar_kind(PyObject* value, bool& failed) {
    failed = false;
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyBool_Type) return "bool";
    if (type == &PyLong_Type) return "int";
    if (type == &PyFloat_Type) return "float";
    if (type == &PyComplex_Type) return "complex";
    const char* kind = PyLong_Check(value)      ? "int"
                       : PyFloat_Check(value)   ? "float"
                       : PyComplex_Check(value) ? "complex"
                                                : nullptr;
    if (kind == nullptr) return nullptr;
    const int has_shape = PyObject_HasAttrWithError(value, py::names::shape());
    if (has_shape < 0) {
        failed = true;
        return nullptr;
    }
    if (has_shape == 0) return kind;
    const int has_dtype = PyObject_HasAttrWithError(value, py::names::dtype());
    if (has_dtype < 0) failed = true;
    return has_dtype == 0 ? kind : nullptr;
}

// Values of `type` are never Python scalars: it is neither int, float nor
// complex, nor a subclass of one.
bool never_scalar(PyTypeObject* type) {
    return !PyType_FastSubclass(type, Py_TPFLAGS_LONG_SUBCLASS) && !PyType_IsSubtype(type, &PyFloat_Type) &&
           !PyType_IsSubtype(type, &PyComplex_Type);
}

bool scalar_fits(std::string_view kind, const SpecView& spec) {
    if (!spec.shape.empty()) return false;
    const std::string_view name = spec.dtype->name();
    if (kind == "bool") return name == "bool";
    if (kind == "int") return name.starts_with("int") || name.starts_with("uint");
    if (kind == "float") return name.starts_with("float");
    return name.starts_with("complex");
}

// Compares a shape object with `expected` without building anything when it
// is a tuple of small ints (the usual case). Returns 1 or 0 for a decided
// comparison and -1 when the slow reading must decide.
int quick_shape_equals(PyObject* shape, std::span<const uint64_t> expected) {
    if (!PyTuple_CheckExact(shape)) return -1;
    const Py_ssize_t rank = PyTuple_GET_SIZE(shape);
    for (Py_ssize_t k = 0; k < rank; ++k) {
        PyObject* item = PyTuple_GET_ITEM(shape, k);
        if (!PyLong_CheckExact(item) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) return -1;
        if (PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item)) < 0) return -1;
    }
    if (static_cast<size_t>(rank) != expected.size()) return 0;
    for (Py_ssize_t k = 0; k < rank; ++k) {
        const auto extent = static_cast<uint64_t>(
            PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(PyTuple_GET_ITEM(shape, k))));
        if (extent != expected[static_cast<size_t>(k)]) return 0;
    }
    return 1;
}

// Whether every item of an exact list is an exact int, whose reading runs no
// Python code.
bool holds_exact_ints(PyObject* list) {
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list); ++k) {
        if (!PyLong_CheckExact(PyList_GET_ITEM(list, k))) return false;
    }
    return true;
}

// The extents of a list or tuple; false with RuntimeError "staged operation
// returned an invalid array shape" (or an exception that must pass) raised.
bool read_extents(PyObject* items, Shape& out) {
    const Py_ssize_t rank = PySequence_Fast_GET_SIZE(items);
    out.clear();
    out.reserve(static_cast<size_t>(rank));
    for (Py_ssize_t k = 0; k < rank; ++k) {
        // Extents may be any integer type (NumPy's included), as in a Python
        // index.
        Ref index = Ref::steal(PyNumber_Index(PySequence_Fast_GET_ITEM(items, k)));
        uint64_t extent = 0;
        if (!index || py::read_u64(index.get(), extent) < 0) {
            return replace_ordinary_error("staged operation returned an invalid array shape");
        }
        out.push_back(extent);
    }
    return true;
}

// A shape object as extents, with the failures of read_extents.
bool read_shape(PyObject* shape, Shape& out) {
    // An extent's __index__ may edit a list shape, so one is read from a
    // snapshot unless all its extents are exact ints. See Note [Snapshots
    // of caller sequences].
    if (PyList_CheckExact(shape) && holds_exact_ints(shape)) {
        py::NoPythonScope no_python("a shape list of exact ints read in place");
        return read_extents(shape, out);
    }
    Ref items = py::sequence_snapshot(shape);
    if (!items) return replace_ordinary_error("staged operation returned an invalid array shape");
    return read_extents(items.get(), out);
}

}  // namespace

Ref PythonHost::op_name(const OpSchema& schema) {
    auto [entry, added] = op_names_.try_emplace(&schema);
    if (added) entry->second = py::str_from_utf8(schema.name);
    if (!entry->second) {
        op_names_.erase(entry);
        return nullptr;
    }
    return entry->second.clone();
}

Expected<execution::Declarations<Ref>, Ref> PythonHost::link(const NodeRef& node) {
    const std::string_view op = node.schema.name;
    Ref evaluator;
    {
        Ref attrs = attr_map_to_python(node.metadata.attrs());
        if (!attrs) return py::fetch_exception();
        Ref name = op_name(node.schema);
        if (!name) return py::fetch_exception();
        PyObject* args[] = {name.get(), attrs.get()};
        evaluator = Ref::steal(PyObject_Vectorcall(binder_, args, 2, nullptr));
        if (!evaluator) return py::fetch_exception();
    }
    if (!PyCallable_Check(evaluator.get())) {
        std::string message = "staged evaluator binder returned a non-callable for ";
        quote::append_literal(message, op);
        py::raise(ErrorKind::Type, message);
        return py::fetch_exception();
    }

    std::vector<uint64_t> donations;
    std::vector<uint64_t> aliases;
    bool owned = false;
    if (!read_positions(evaluator.get(), py::names::donation_positions(), "__vorlix_donation_positions__", donations) ||
        !read_positions(evaluator.get(), py::names::alias_positions(), "__vorlix_alias_positions__", aliases)) {
        return py::fetch_exception();
    }
    if (aliases.size() > 1) {
        py::raise(ErrorKind::Value, evaluator_message(op, " declares more than one alias source"));
        return py::fetch_exception();
    }
    if (!read_owned(evaluator.get(), owned)) return py::fetch_exception();
    if (owned && !aliases.empty()) {
        py::raise(ErrorKind::Value, evaluator_message(op, " cannot declare both owned and aliased output"));
        return py::fetch_exception();
    }
    const execution::OutputMode mode = owned             ? execution::OutputMode::owned()
                                       : aliases.empty() ? execution::OutputMode::unspecified()
                                                         : execution::OutputMode::alias(aliases.front());
    return execution::Declarations<Ref>{std::move(evaluator), mode, std::move(donations)};
}

Status<Ref> PythonHost::evaluate(const Ref& evaluator, std::span<const Ref* const> operands,
                                 std::optional<uint32_t> donated_position, Ref donated, Ref& out) {
    // A fresh tuple per call: one that Python has seen may be kept by it.
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(operands.size())));
    if (!tuple) return py::fetch_exception();
    for (size_t k = 0; k < operands.size(); ++k) {
        PyObject* item = donated_position && k == *donated_position ? donated.release() : Py_NewRef(operands[k]->get());
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), item);
    }
    Ref position = donated_position ? Ref::steal(PyLong_FromUnsignedLong(*donated_position)) : Ref::none();
    if (!position) return py::fetch_exception();
    PyObject* args[] = {tuple.get(), context_, position.get()};
    // The donated value lives in the tuple alone: dropping the tuple right
    // after the call leaves the core holding no reference to it.
    PyObject* result = py::call_positional(evaluator.get(), args, 3);
    tuple.reset();
    if (result == nullptr) return py::fetch_exception();
    out = Ref::steal(result);
    return {};
}

bool PythonHost::check_value(PyObject* value, const SpecView& spec) {
    PyTypeObject* type = Py_TYPE(value);
    if (reinterpret_cast<PyObject*>(type) != array_type_.get()) {
        bool failed = false;
        if (const char* kind = scalar_kind(value, failed)) {
            if (scalar_fits(kind, spec)) return true;
            return declared_but(spec, "Python ", kind);
        }
        if (failed) return false;
        if (never_scalar(type)) array_type_ = Ref::new_ref(reinterpret_cast<PyObject*>(type));
    }

    Ref shape;
    Ref dtype;
    if (!value_attributes_.read(value, shape, dtype)) {
        return replace_ordinary_error("staged operation returned " + type_text(value) + ", not an array value");
    }
    int equal = quick_shape_equals(shape.get(), spec.shape);
    Shape actual;
    if (equal < 0) {
        if (!read_shape(shape.get(), actual)) return false;
        equal = std::ranges::equal(actual, spec.shape) ? 1 : 0;
    }
    if (equal == 1) {
        if (dtype.get() == matched_dtype_ &&
            (spec.dtype == matched_descriptor_ || *spec.dtype == *matched_descriptor_)) {
            py::check_invariant(dtypes_.holds(matched_dtype_), "the last matched dtype is no longer cached");
            return true;
        }
        const int matches = dtypes_.matches(dtype.get(), *spec.dtype);
        if (matches == 1) {
            // See Note [Last matched dtype].
            if (!PyUnicode_CheckExact(dtype.get())) {
                matched_dtype_ = dtype.get();
                matched_descriptor_ = spec.dtype;
            }
            return true;
        }
        if (matches < 0) return replace_ordinary_error("staged operation returned an invalid array dtype");
    }
    const std::optional<DTypeDescriptor> resolved = dtypes_.resolve(dtype.get());
    if (!resolved) return replace_ordinary_error("staged operation returned an invalid array dtype");
    if (actual.empty() && !read_shape(shape.get(), actual)) return false;
    std::string produced = "shape=";
    append_shape(produced, actual);
    produced += ", dtype=";
    produced += resolved->name();
    return declared_but(spec, "", produced);
}

Status<Ref> PythonHost::validate(const Ref& value, std::span<const SpecView> specs) {
    bool valid = false;
    if (specs.empty()) {
        valid = py::fail(ErrorKind::Runtime, "staged node has no declared output specifications");
    } else if (specs.size() == 1) {
        valid = check_value(value.get(), specs.front());
    } else if (!PyTuple_Check(value.get())) {
        valid = py::fail(ErrorKind::Type, "staged operation declared " + std::to_string(specs.size()) +
                                              " outputs but returned " + type_text(value.get()));
    } else if (static_cast<size_t>(PyTuple_GET_SIZE(value.get())) != specs.size()) {
        valid =
            py::fail(ErrorKind::Value, "staged operation declared " + std::to_string(specs.size()) +
                                           " outputs but returned " + std::to_string(PyTuple_GET_SIZE(value.get())));
    } else {
        valid = true;
        for (size_t k = 0; k < specs.size() && valid; ++k) {
            valid = check_value(PyTuple_GET_ITEM(value.get(), static_cast<Py_ssize_t>(k)), specs[k]);
        }
    }
    if (valid) return {};
    return py::fetch_exception();
}

Ref PythonHost::node_error(std::string message) {
    py::raise(ErrorKind::Runtime, message);
    return py::fetch_exception();
}

}  // namespace vorlix::staged
