// execute_graph: one run of a linked plan with invocation-local values.
#pragma once

#include "native/toolkit/python.h"

namespace vorlix::staged {

PyObject* execute_graph(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vorlix::staged
