// The graph artifact from Python: GraphStore._to_json and the module function
// deserialize_graph_json.
#pragma once

#include "native/toolkit/args.h"
#include "native/toolkit/python.h"

namespace vorlix::staged {

// GraphStore._to_json(self): METH_NOARGS.
PyObject* store_to_json(PyObject* self, PyObject* unused);

inline constexpr py::Signature kDeserializeGraphJson{"deserialize_graph_json", {"encoded"}, 1, 1};
PyObject* deserialize_graph_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vorlix::staged
