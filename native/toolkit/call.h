// Calling the Python objects a walk or an execution invokes once per node.
#pragma once

#include "native/toolkit/no_python.h"
#include "native/toolkit/python.h"

namespace vorlix::py {

// Calls `callable` with positional arguments; a new reference, or nullptr
// with the exception raised. A plain Python function is entered through its
// vectorcall slot directly, read from the function object (the exported
// PyVectorcall_Function is a call of its own): the generic call's result
// check guards against C callables that break the calling convention, which
// the interpreter's own function type cannot do, and per node it costs as
// much as the rest of the call's bookkeeping.
[[nodiscard, gnu::always_inline]] inline PyObject* call_positional(PyObject* callable, PyObject* const* args,
                                                                   size_t nargs) {
    if (PyFunction_Check(callable)) {
        if (vectorcallfunc call = reinterpret_cast<PyFunctionObject*>(callable)->vectorcall) {
            PyObject* result = call(callable, args, nargs, nullptr);
#ifdef VORLIX_NO_PYTHON_CHECKS
            // Only where it is checked: PyErr_Occurred is a call of its own,
            // which a release build would make per rule call for nothing.
            check_invariant((result == nullptr) == (PyErr_Occurred() != nullptr),
                            "a function's vectorcall broke the result convention");
#endif
            return result;
        }
    }
    return PyObject_Vectorcall(callable, args, nargs, nullptr);
}

}  // namespace vorlix::py
