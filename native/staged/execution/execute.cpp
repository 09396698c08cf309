// The execution entry point: arguments in, the runtime walk over the Python
// host, the outputs (or the first failure, after every value is dropped) out.
#include "native/staged/execution/execute.h"

#include <string>
#include <utility>
#include <vector>

#include "native/staged/boundary.h"
#include "native/staged/execution/host.h"
#include "native/staged/execution/plan.h"
#include "native/toolkit/args.h"
#include "native/toolkit/errors.h"
#include "runtime/execution/evaluate.h"

namespace vorlix::staged {

using py::ErrorKind;
using py::Ref;

namespace {

std::vector<Ref> new_refs(const py::SequenceArg& seq) {
    std::vector<Ref> out;
    out.reserve(static_cast<size_t>(seq.size()));
    for (PyObject* item : seq.items()) out.push_back(Ref::new_ref(item));
    return out;
}

}  // namespace

PyObject* execute_graph(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const py::Signature sig{"execute_graph", {"plan", "inputs", "constants", "context"}, 4, 3};
        PyObject* argv[4];
        if (!py::bind_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
        ExecutionPlanObject* object = as_execution_plan(module, argv[0]);
        if (object == nullptr) {
            return py::raise_argument_error("plan", "expected GraphExecutionPlan, got " + py::type_name_of(argv[0]));
        }
        py::SequenceArg inputs;
        py::SequenceArg constants;
        if (!inputs.open(argv[1], "inputs") || !constants.open(argv[2], "constants")) return nullptr;
        // Evaluators may drop every other reference to the plan.
        const Ref keep_plan = Ref::new_ref(argv[0]);
        const LinkedPlan* plan = object->plan.get();
        if (plan == nullptr) return py::internal_error("staged execution plan is unavailable");
        if (static_cast<size_t>(constants.size()) != plan->constant_count()) {
            return py::raise(ErrorKind::Value, "staged graph expects " + std::to_string(plan->constant_count()) +
                                                   " constants but received " + std::to_string(constants.size()));
        }

        // Every value of the walk, and the host's dtype cache, are dropped
        // before a failure is raised.
        auto outcome = [&] {
            PythonHost host = PythonHost::executing(argv[3]);
            return execution::execute(*plan, host, new_refs(inputs), new_refs(constants));
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
