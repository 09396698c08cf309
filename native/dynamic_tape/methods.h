// The Python-visible methods of DynamicTape, defined across the files of
// this folder and gathered into one method table by tape.cpp.
#pragma once

#include "native/toolkit/python.h"

namespace vorlix::tape {

#define VORLIX_TAPE_METHOD(name) \
    PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

// recording.cpp
VORLIX_TAPE_METHOD(record_input);
VORLIX_TAPE_METHOD(record_operation);
VORLIX_TAPE_METHOD(record_residual);
VORLIX_TAPE_METHOD(mark_output);
VORLIX_TAPE_METHOD(mark_weak);
VORLIX_TAPE_METHOD(bind_trace_frame);
VORLIX_TAPE_METHOD(is_weak);
VORLIX_TAPE_METHOD(weak_mask);
VORLIX_TAPE_METHOD(value);
VORLIX_TAPE_METHOD(values);
VORLIX_TAPE_METHOD(get_node_name);
VORLIX_TAPE_METHOD(node_is_active);
PyObject* runtime_trace_identity(PyObject* self, PyObject* unused);

// lifecycle.cpp
VORLIX_TAPE_METHOD(freeze);
VORLIX_TAPE_METHOD(set_active_nodes);
PyObject* release_payloads(PyObject* self, PyObject* unused);
PyObject* prune_reverse_payloads(PyObject* self, PyObject* unused);

// introspection.cpp
PyObject* tape_node_count(PyObject* self, void* unused);
PyObject* tape_inputs(PyObject* self, void* unused);
PyObject* tape_op_names(PyObject* self, void* unused);
PyObject* tape_is_consumed(PyObject* self, void* unused);
PyObject* stats(PyObject* self, PyObject* unused);
PyObject* diagnostic_snapshot(PyObject* self, PyObject* unused);

// linearity.cpp
VORLIX_TAPE_METHOD(analyze_real_linearity);

#undef VORLIX_TAPE_METHOD

// The DynamicTape type, created for one module object.
PyObject* create_tape_type(PyObject* module);

}  // namespace vorlix::tape
