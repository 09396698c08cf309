// The module functions that differentiate a DynamicTape.
#pragma once

#include "native/toolkit/args.h"
#include "native/toolkit/python.h"

namespace vorlix::tape {

inline constexpr py::Signature kDynamicJvp{"dynamic_jvp",
                                           {"tape", "tangent_seeds", "requested_outputs", "consume"},
                                           3,
                                           3,
                                           {nullptr, nullptr, nullptr, "False"}};
inline constexpr py::Signature kDynamicJvpMany{
    "dynamic_jvp_many", {"tape", "tangent_seed_sets", "requested_outputs"}, 3, 3};
inline constexpr py::Signature kDynamicVjp{"dynamic_vjp",
                                           {"tape", "output_cotangents", "requested_inputs", "consume"},
                                           3,
                                           3,
                                           {nullptr, nullptr, nullptr, "False"}};
inline constexpr py::Signature kDynamicVjpMany{
    "dynamic_vjp_many", {"tape", "output_cotangent_sets", "requested_inputs"}, 3, 3};

// forward.cpp
PyObject* dynamic_jvp(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* dynamic_jvp_many(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// reverse.cpp
PyObject* dynamic_vjp(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* dynamic_vjp_many(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vorlix::tape
