// Calling the Python objects a walk or an execution invokes once per node.
#pragma once

#include "native/toolkit/no_python.h"
#include "native/toolkit/python.h"

namespace vorlix::py {

// Calls `callable` with positional arguments; a new reference, or nullptr
// with the exception raised. A plain Python function is entered through its
// vectorcall slot directly: the generic call's result check guards against C
// callables that break the calling convention, which the interpreter's own
// function type cannot do, and per node it costs as much as the rest of the
// call's bookkeeping.
[[nodiscard]] inline PyObject* call_positional(PyObject* callable, PyObject* const* args, size_t nargs) {
    if (PyFunction_Check(callable)) {
        if (vectorcallfunc call = PyVectorcall_Function(callable)) {
            PyObject* result = call(callable, args, nargs, nullptr);
            check_invariant((result == nullptr) == (PyErr_Occurred() != nullptr),
                            "a function's vectorcall broke the result convention");
            return result;
        }
    }
    return PyObject_Vectorcall(callable, args, nargs, nullptr);
}

}  // namespace vorlix::py
