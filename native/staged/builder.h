// The GraphBuilder type: the Python construction handle around one runtime
// graph builder, until `finish` hands its graph over as a GraphStore.
#pragma once

#include "native/toolkit/python.h"

namespace vorlix::staged {

PyObject* create_graph_builder_type(PyObject* module);

}  // namespace vorlix::staged
