// The module _native_core: its definition, and the one exec step that
// registers every attribute, class and function in order.
#include <string>

#include "native/dynamic_tape/methods.h"
#include "native/dynamic_tape/walks.h"
#include "native/module_state.h"
#include "native/staged/artifact.h"
#include "native/staged/builder.h"
#include "native/staged/execution/execute.h"
#include "native/staged/execution/plan.h"
#include "native/staged/node.h"
#include "native/staged/store.h"
#include "native/toolkit/entry.h"
#include "native/toolkit/errors.h"
#include "native/toolkit/guard.h"
#include "native/toolkit/names.h"
#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"

namespace vorlix {

namespace {

using py::Ref;

PyMethodDef module_functions[] = {
    py::function<staged::deserialize_graph_json, staged::kDeserializeGraphJson>(
        "Parse and transactionally validate canonical graph JSON."),
    py::function<tape::dynamic_jvp, tape::kDynamicJvp>("Apply one forward JVP over a frozen concrete tape."),
    py::function<tape::dynamic_jvp_many, tape::kDynamicJvpMany>("Apply several forward JVPs in one arena traversal."),
    py::function<tape::dynamic_vjp, tape::kDynamicVjp>("Apply one reverse VJP over a frozen concrete tape."),
    py::function<tape::dynamic_vjp_many, tape::kDynamicVjpMany>(
        "Apply several reverse VJPs in one arena traversal, calling an operation's\n"
        "optional batched VJP once per node for all of its seeds."),
    py::function<staged::build_graph_execution_plan, staged::kBuildGraphExecutionPlan>(
        "Link every staged operation exactly once through the Python provider."),
    py::function<staged::execute_graph, staged::kExecuteGraph>(
        "Execute once with invocation-local values while the native side owns release timing."),
};

// Sets `name` on the module and appends it to __all__.
int register_name(PyObject* module, PyObject* all, const char* name, Ref value) {
    if (!value) return -1;
    if (PyModule_AddObjectRef(module, name, value.get()) < 0) return -1;
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text) return -1;
    return PyList_Append(all, text.get());
}

int register_type(PyObject* module, PyObject* all, const char* name, PyObject* (*create)(PyObject*),
                  PyTypeObject*& slot) {
    Ref type = Ref::steal(create(module));
    if (!type) return -1;
    slot = reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get()));
    return register_name(module, all, name, std::move(type));
}

int register_function(PyObject* module, PyObject* all, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    return register_name(module, all, def->ml_name, Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr)));
}

// __all__ as found on the module, or a new list set on it.
Ref all_list(PyObject* module) {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &found) < 0) return nullptr;
    if (found != nullptr) return Ref::steal(found);
    Ref all = Ref::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return nullptr;
    return all;
}

int module_exec(PyObject* module) {
    ModuleState* state = module_state(module);
    if (state == nullptr) {
        if (!PyErr_Occurred()) py::internal_error("module state is unavailable");
        return -1;
    }
    if (!state->holds_names) {
        if (!py::names::acquire()) return -1;
        state->holds_names = true;
    }
    Ref all = all_list(module);
    if (!all) return -1;
    PyObject* names = all.get();
    if (register_name(module, names, "__version__", Ref::steal(PyUnicode_FromString("0.3.1"))) < 0 ||
        register_name(module, names, "__build_profile__", Ref::steal(PyUnicode_FromString("release"))) < 0 ||
        register_type(module, names, "GraphNode", staged::create_graph_node_type, state->graph_node_type) < 0 ||
        register_type(module, names, "GraphBuilder", staged::create_graph_builder_type, state->graph_builder_type) <
            0 ||
        register_type(module, names, "GraphStore", staged::create_graph_store_type, state->graph_store_type) < 0 ||
        register_type(module, names, "GraphExecutionPlan", staged::create_execution_plan_type,
                      state->execution_plan_type) < 0 ||
        register_type(module, names, "DynamicTape", tape::create_tape_type, state->tape_type) < 0) {
        return -1;
    }
    for (PyMethodDef& def : module_functions) {
        if (register_function(module, names, &def) < 0) return -1;
    }
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = module_state(module);
    if (state == nullptr) return 0;
    Py_VISIT(state->graph_node_type);
    Py_VISIT(state->graph_builder_type);
    Py_VISIT(state->graph_store_type);
    Py_VISIT(state->execution_plan_type);
    Py_VISIT(state->tape_type);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* state = module_state(module);
    if (state == nullptr) return 0;
    Py_CLEAR(state->graph_node_type);
    Py_CLEAR(state->graph_builder_type);
    Py_CLEAR(state->graph_store_type);
    Py_CLEAR(state->execution_plan_type);
    Py_CLEAR(state->tape_type);
    return 0;
}

void module_free(void* module) {
    module_clear(static_cast<PyObject*>(module));
    ModuleState* state = module_state(static_cast<PyObject*>(module));
    if (state != nullptr && state->holds_names) {
        state->holds_names = false;
        py::names::release();
    }
}

// The interned-name table and the classes' static specs are shared by every
// module object, so isolated interpreters are not supported.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(py::guarded<module_exec>)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native_core",  "",           sizeof(ModuleState), nullptr,
    module_slots,          module_traverse, module_clear, module_free,
};

}  // namespace

}  // namespace vorlix

PyMODINIT_FUNC PyInit__native_core() { return PyModuleDef_Init(&vorlix::module_def); }

#ifdef PyMODEXPORT_FUNC
namespace vorlix {
namespace {

// Interpreters that offer the export hook load the module from this table
// alone, without module_def: it carries the whole definition, state and all,
// or the exec step would get no state. The token is module_def, so that a
// module object made either way is recognised as this module's. A module
// defined by slots alone must name the ABI it was built for, which the
// interpreter checks against its own before loading it.
PyABIInfo_VAR(abi_info);

PySlot export_slots[] = {
    PySlot_DATA(Py_mod_abi, &abi_info),
    PySlot_STATIC_DATA(Py_mod_name, const_cast<char*>("_native_core")),
    PySlot_STATIC_DATA(Py_mod_doc, const_cast<char*>("")),
    PySlot_SIZE(Py_mod_state_size, sizeof(ModuleState)),
    PySlot_FUNC(Py_mod_state_traverse, module_traverse),
    PySlot_FUNC(Py_mod_state_clear, module_clear),
    PySlot_FUNC(Py_mod_state_free, module_free),
    PySlot_DATA(Py_mod_token, &module_def),
    PySlot_FUNC(Py_mod_exec, py::guarded<module_exec>),
    PySlot_DATA(Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED),
    PySlot_DATA(Py_mod_gil, Py_MOD_GIL_USED),
    PySlot_END,
};

}  // namespace
}  // namespace vorlix

// The export hook, which such interpreters look for before PyInit.
PyMODEXPORT_FUNC PyModExport__native_core() { return vorlix::export_slots; }
#endif
