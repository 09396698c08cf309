// Per-module state: the class objects created by the module's exec step and
// its share of the interned-name table.
#pragma once

#include "native/toolkit/python.h"

namespace vorlix {

struct ModuleState {
    PyTypeObject* graph_node_type;
    PyTypeObject* graph_builder_type;
    PyTypeObject* graph_store_type;
    PyTypeObject* execution_plan_type;
    PyTypeObject* tape_type;
    // Whether this module object's exec step acquired the interned names.
    bool holds_names;
};

[[nodiscard]] inline ModuleState* module_state(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

}  // namespace vorlix
