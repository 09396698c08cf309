// PythonHost: links staged operations through a Python binder and evaluates
// them through the Python evaluators it returned, checking what they produce.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "native/staged/conversion/dtype.h"
#include "native/staged/execution/value_attributes.h"
#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"
#include "runtime/execution/host.h"
#include "runtime/node_view.h"

namespace vorlix::staged {

// Every error is the raised Python exception, taken out of the interpreter's
// error slot so that the walk can drop its values before it is raised again.
class PythonHost {
public:
    using Value = py::Ref;
    using Evaluator = py::Ref;
    using Error = py::Ref;

    // Borrows `binder` for the host's lifetime.
    [[nodiscard]] static PythonHost linking(PyObject* binder) { return PythonHost(binder, nullptr); }
    // Borrows `context` (None when null) for the host's lifetime.
    [[nodiscard]] static PythonHost executing(PyObject* context) { return PythonHost(nullptr, context); }

    PythonHost(const PythonHost&) = delete;
    PythonHost& operator=(const PythonHost&) = delete;

    // Calls the binder with the operation name and a new attributes dict and
    // reads the evaluator's three declarations.
    [[nodiscard]] Expected<execution::Declarations<py::Ref>, py::Ref> link(const NodeRef& node);

    [[nodiscard]] Status<py::Ref> evaluate(const py::Ref& evaluator, std::span<const py::Ref* const> operands,
                                           std::optional<uint32_t> donated_position, py::Ref donated, py::Ref& out);
    [[nodiscard]] Status<py::Ref> validate(const py::Ref& value, std::span<const SpecView> specs);
    [[nodiscard]] py::Ref share(const py::Ref& value) { return value.clone(); }
    // An immortal object's count never reads 1, so it is never donated.
    [[nodiscard]] bool sole_reference(const py::Ref& value) const { return Py_REFCNT(value.get()) == 1; }
    [[nodiscard]] py::Ref node_error(std::string message);

private:
    PythonHost(PyObject* binder, PyObject* context)
        : binder_(binder), context_(context != nullptr ? context : Py_None) {}

    // One value against one specification; false with an exception raised.
    [[nodiscard]] bool check_value(PyObject* value, const SpecView& spec);
    [[nodiscard]] py::Ref op_name(const OpSchema& schema);

    PyObject* binder_;
    PyObject* context_;
    DTypeCache dtypes_;
    ValueAttributes value_attributes_;
    // Note [Last matched dtype]
    // Values of one graph mostly share one dtype object, so the last object
    // that matched a specification is remembered with that specification's
    // descriptor, sparing the cache lookup and a descriptor copy per value.
    // The object is borrowed: only objects the cache keeps (everything but
    // exact str) are remembered, so it lives as long as the host. The
    // descriptor belongs to the plan's store, which outlives the host.
    PyObject* matched_dtype_ = nullptr;
    const DTypeDescriptor* matched_descriptor_ = nullptr;
    // The last type found never to be a Python scalar, held so that no other
    // type can take over its address.
    py::Ref array_type_;
    // The operation names as str, made once per operation of the store.
    std::unordered_map<const OpSchema*, py::Ref> op_names_;
};

}  // namespace vorlix::staged
