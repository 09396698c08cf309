// GraphExecutionPlan objects and build_graph_execution_plan: a graph store
// linked once, through a Python binder, into an immutable plan.
#pragma once

#include <memory>

#include "native/toolkit/args.h"
#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"
#include "runtime/execution/plan.h"

namespace vorlix::staged {

using LinkedPlan = execution::LinkedExecutionPlan<py::Ref>;

struct ExecutionPlanObject {
    PyObject_HEAD
        // Empty only after the garbage collector cleared the object.
        std::unique_ptr<const LinkedPlan>
            plan;
};

// The plan object `obj`, or nullptr when it is not one of this module's.
[[nodiscard]] ExecutionPlanObject* as_execution_plan(PyObject* module, PyObject* obj);

PyObject* create_execution_plan_type(PyObject* module);

inline constexpr py::Signature kBuildGraphExecutionPlan{"build_graph_execution_plan", {"store", "binder"}, 2, 2};
PyObject* build_graph_execution_plan(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vorlix::staged
