// execute_graph: one run of a linked plan with invocation-local values.
#pragma once

#include "native/toolkit/args.h"
#include "native/toolkit/python.h"

namespace vorlix::staged {

inline constexpr py::Signature kExecuteGraph{
    "execute_graph", {"plan", "inputs", "constants", "context"}, 4, 3, {nullptr, nullptr, nullptr, "None"}};
PyObject* execute_graph(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vorlix::staged
