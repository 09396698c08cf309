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

PyType_Slot execution_plan_slots[] = {
    {Py_tp_doc, const_cast<char*>("Linked, immutable execution plan of one graph store.")},
    {0, nullptr},
};

constexpr unsigned long kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
constexpr unsigned long kNoInstances = kFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Spec execution_plan_spec = {"vorlix._native_core.GraphExecutionPlan", sizeof(PyObject), 0, kNoInstances,
                                   execution_plan_slots};

}  // namespace

PyObject* create_execution_plan_type(PyObject* module) {
    return PyType_FromModuleAndSpec(module, &execution_plan_spec, nullptr);
}

PyObject* build_graph_execution_plan(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    return not_available("build_graph_execution_plan");
}
PyObject* execute_graph(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    return not_available("execute_graph");
}

}  // namespace vorlix::staged
