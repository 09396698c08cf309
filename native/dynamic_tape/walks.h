// The module functions that differentiate a DynamicTape.
#pragma once

#include "native/toolkit/python.h"

namespace vorlix::tape {

// forward.cpp
PyObject* dynamic_jvp(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* dynamic_jvp_many(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// reverse.cpp
PyObject* dynamic_vjp(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* dynamic_vjp_many(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vorlix::tape
