// The GraphExecutionPlan type (garbage-collected: its evaluators may refer
// back to it) and the linking entry point.
#include "native/staged/execution/plan.h"

#include <new>
#include <string>
#include <utility>

#include "native/module_state.h"
#include "native/staged/execution/host.h"
#include "native/staged/store.h"
#include "native/toolkit/args.h"
#include "native/toolkit/borrow.h"
#include "native/toolkit/entry.h"
#include "native/toolkit/errors.h"

namespace vorlix::staged {

using py::Ref;

namespace {

ExecutionPlanObject* as_plan_object(PyObject* self) { return reinterpret_cast<ExecutionPlanObject*>(self); }

int plan_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const LinkedPlan* plan = as_plan_object(self)->plan.get();
    if (plan == nullptr) return 0;
    for (const auto& step : plan->steps()) {
        if (const auto* operation = std::get_if<execution::LinkedOperation<Ref>>(&step)) {
            Py_VISIT(operation->evaluator.get());
        }
    }
    return 0;
}

// The plan leaves the object before its evaluators are dropped, so a
// finalizer that runs meanwhile finds the object already empty.
int plan_clear(PyObject* self) {
    std::unique_ptr<const LinkedPlan> plan = std::move(as_plan_object(self)->plan);
    plan.reset();
    return 0;
}

void plan_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // An evaluator may hold another plan, whose evaluator holds another:
    // the trashcan keeps such chains from deepening the native stack.
    Py_TRASHCAN_BEGIN(self, plan_dealloc) plan_clear(self);
    as_plan_object(self)->plan.~unique_ptr();
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

PyType_Slot plan_slots[] = {
    {Py_tp_doc, const_cast<char*>("Linked, immutable execution plan of one graph store.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(plan_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(plan_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(plan_clear)},
    {0, nullptr},
};

PyType_Spec plan_spec = {
    "vorlix._native_core.GraphExecutionPlan",
    sizeof(ExecutionPlanObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    plan_slots,
};

Ref new_plan_object(PyObject* module, LinkedPlan plan) {
    ModuleState* state = module_state(module);
    if (state == nullptr || state->execution_plan_type == nullptr) {
        return py::internal_error("GraphExecutionPlan class is unavailable");
    }
    PyTypeObject* type = state->execution_plan_type;
    auto owned = std::make_unique<const LinkedPlan>(std::move(plan));
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        // The evaluators go before the failure is raised again.
        Ref failure = py::fetch_exception();
        owned.reset();
        return py::restore_exception(std::move(failure));
    }
    new (&as_plan_object(self.get())->plan) std::unique_ptr<const LinkedPlan>(std::move(owned));
    return self;
}

}  // namespace

ExecutionPlanObject* as_execution_plan(PyObject* module, PyObject* obj) {
    ModuleState* state = module_state(module);
    if (state == nullptr || Py_TYPE(obj) != state->execution_plan_type) return nullptr;
    return as_plan_object(obj);
}

PyObject* create_execution_plan_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &plan_spec, nullptr); }

PyObject* build_graph_execution_plan(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::frame(kBuildGraphExecutionPlan, args, nargs, kwnames, [&](auto& argv) -> PyObject* {
        GraphStoreObject* store = as_graph_store(module, argv[0]);
        if (store == nullptr) {
            return py::raise_argument_error("store", "expected GraphStore, got " + py::type_name_of(argv[0]));
        }
        const Ref keep_store = Ref::new_ref(argv[0]);
        py::SharedHold hold(store->borrow);
        if (!hold.ok()) return nullptr;
        // The host (and with it every evaluator of a refused plan) is gone
        // before anything is raised.
        auto linked = [&] {
            PythonHost host = PythonHost::linking(argv[1]);
            return LinkedPlan::link(store->store, host);
        }();
        hold.release();
        if (!linked) return py::raise_execution_error(std::move(linked).error(), py::StagedPhase::Binding);
        return new_plan_object(module, std::move(linked).value()).release();
    });
}

}  // namespace vorlix::staged
