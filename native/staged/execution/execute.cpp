// The execution entry point: arguments in, the runtime walk over the Python
// host, the outputs (or the first failure, after every value is dropped) out.
#include "native/staged/execution/execute.h"

#include <string>
#include <utility>
#include <vector>

#include "native/staged/execution/host.h"
#include "native/staged/execution/plan.h"
#include "native/toolkit/args.h"
#include "native/toolkit/entry.h"
#include "native/toolkit/errors.h"
#include "runtime/execution/evaluate.h"

namespace vorlix::staged {

using py::ErrorKind;
using py::Ref;

PyObject* execute_graph(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::frame(kExecuteGraph, args, nargs, kwnames, [&](auto& argv) -> PyObject* {
        ExecutionPlanObject* object = as_execution_plan(module, argv[0]);
        if (object == nullptr) {
            return py::raise_argument_error("plan", "expected GraphExecutionPlan, got " + py::type_name_of(argv[0]));
        }
        // Each argument's values are taken as owned references before the
        // next is converted, which may run Python code that edits it.
        std::vector<Ref> inputs;
        std::vector<Ref> constants;
        if (!py::to_object_list(argv[1], "inputs", inputs) || !py::to_object_list(argv[2], "constants", constants)) {
            return nullptr;
        }
        // Evaluators may drop every other reference to the plan.
        const Ref keep_plan = Ref::new_ref(argv[0]);
        const LinkedPlan* plan = object->plan.get();
        if (plan == nullptr) return py::internal_error("staged execution plan is unavailable");

        // Every value of the walk, and the host's dtype cache, are dropped
        // before a failure is raised.
        auto outcome = [&] {
            PythonHost host = PythonHost::executing(argv[3]);
            return execution::execute(*plan, host, std::move(inputs), std::move(constants));
        }();
        if (!outcome) return py::raise_execution_error(std::move(outcome).error(), py::StagedPhase::Executing);

        std::vector<Ref>& values = *outcome;
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
        if (!list) return nullptr;
        for (size_t k = 0; k < values.size(); ++k) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), values[k].release());
        }
        return list.release();
    });
}

}  // namespace vorlix::staged
