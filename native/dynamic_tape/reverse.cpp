// Reverse-mode traversal of a frozen DynamicTape.
#include "native/dynamic_tape/walks.h"
#include "native/toolkit/errors.h"

namespace vorlix::tape {

PyObject* dynamic_vjp(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "dynamic_vjp is not available in this build yet");
    return nullptr;
}

PyObject* dynamic_vjp_many(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "dynamic_vjp_many is not available in this build yet");
    return nullptr;
}

}  // namespace vorlix::tape
