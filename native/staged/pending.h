// The staged-graph classes and functions whose Python side is not built yet:
// they are registered under their final names and refuse to do anything.
#pragma once

#include "native/toolkit/python.h"

namespace vorlix::staged {

PyObject* create_execution_plan_type(PyObject* module);

PyObject* build_graph_execution_plan(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* execute_graph(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vorlix::staged
