// Placeholders for the staged-graph Python interface: the names exist with
// their final classes and signatures, and every use raises
// NotImplementedError until the staged interface is built.
#include "native/staged/pending.h"

namespace vorlix::staged {

namespace {

std::nullptr_t not_available(const char* what) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not available in this build yet", what);
    return nullptr;
}

PyObject* builder_new(PyTypeObject*, PyObject*, PyObject*) { return not_available("GraphBuilder"); }

PyType_Slot graph_node_slots[] = {
    {Py_tp_doc, const_cast<char*>("Immutable Python-facing snapshot of one canonical graph node.")},
    {0, nullptr},
};
PyType_Slot graph_builder_slots[] = {
    {Py_tp_doc, const_cast<char*>("GraphBuilder(*, required_array_api_version=...)\n--\n\n"
                                  "Python construction handle around one runtime-owned builder.")},
    {Py_tp_new, reinterpret_cast<void*>(builder_new)},
    {0, nullptr},
};
PyType_Slot graph_store_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python handle for one runtime-owned immutable graph.")},
    {0, nullptr},
};
PyType_Slot execution_plan_slots[] = {
    {Py_tp_doc, const_cast<char*>("Linked, immutable execution plan of one graph store.")},
    {0, nullptr},
};

constexpr unsigned long kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
constexpr unsigned long kNoInstances = kFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Spec graph_node_spec = {"vorlix._native_core.GraphNode", sizeof(PyObject), 0, kNoInstances,
                               graph_node_slots};
PyType_Spec graph_builder_spec = {"vorlix._native_core.GraphBuilder", sizeof(PyObject), 0, kFlags,
                                  graph_builder_slots};
PyType_Spec graph_store_spec = {"vorlix._native_core.GraphStore", sizeof(PyObject), 0, kNoInstances,
                                graph_store_slots};
PyType_Spec execution_plan_spec = {"vorlix._native_core.GraphExecutionPlan", sizeof(PyObject), 0, kNoInstances,
                                   execution_plan_slots};

}  // namespace

PyObject* create_graph_node_type(PyObject* module) {
    return PyType_FromModuleAndSpec(module, &graph_node_spec, nullptr);
}
PyObject* create_graph_builder_type(PyObject* module) {
    return PyType_FromModuleAndSpec(module, &graph_builder_spec, nullptr);
}
PyObject* create_graph_store_type(PyObject* module) {
    return PyType_FromModuleAndSpec(module, &graph_store_spec, nullptr);
}
PyObject* create_execution_plan_type(PyObject* module) {
    return PyType_FromModuleAndSpec(module, &execution_plan_spec, nullptr);
}

PyObject* deserialize_graph_json(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    return not_available("deserialize_graph_json");
}
PyObject* build_graph_execution_plan(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    return not_available("build_graph_execution_plan");
}
PyObject* execute_graph(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    return not_available("execute_graph");
}

}  // namespace vorlix::staged
