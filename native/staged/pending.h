// The staged-graph classes and functions whose Python side is not built yet:
// they are registered under their final names and refuse to do anything.
#pragma once

#include "native/toolkit/python.h"

namespace vorlix::staged {

PyObject* create_graph_node_type(PyObject* module);
PyObject* create_graph_builder_type(PyObject* module);
PyObject* create_graph_store_type(PyObject* module);
PyObject* create_execution_plan_type(PyObject* module);

PyObject* deserialize_graph_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* build_graph_execution_plan(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* execute_graph(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vorlix::staged
