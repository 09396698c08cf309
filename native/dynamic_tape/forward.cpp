// Forward-mode traversal of a frozen DynamicTape.
#include "native/dynamic_tape/walks.h"
#include "native/toolkit/errors.h"

namespace vorlix::tape {

PyObject* dynamic_jvp(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "dynamic_jvp is not available in this build yet");
    return nullptr;
}

PyObject* dynamic_jvp_many(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "dynamic_jvp_many is not available in this build yet");
    return nullptr;
}

}  // namespace vorlix::tape
