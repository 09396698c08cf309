// GraphNode Python objects: immutable, independent snapshots of one node.
#pragma once

#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"
#include "runtime/node_view.h"

namespace vorlix::staged {

// A new GraphNode object of `module` holding `record`.
[[nodiscard]] py::Ref new_graph_node(PyObject* module, NodeRecord record);

PyObject* create_graph_node_type(PyObject* module);

}  // namespace vorlix::staged
