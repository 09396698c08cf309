// The Python-visible methods of DynamicTape, defined across the files of
// this folder and gathered into one method table by tape.cpp: each method's
// one signature, from which both its binding and its text signature come
// (see Note [Entry points]), and its body's declaration.
#pragma once

#include "native/toolkit/args.h"
#include "native/toolkit/python.h"

namespace vorlix::tape {

inline constexpr py::Signature kRecordInput{
    "record_input", {"value", "shape", "dtype", "name", "active"}, 3, 3, {nullptr, nullptr, nullptr, "None", "True"}};
inline constexpr py::Signature kRecordOperation{
    "record_operation",
    {"op", "inputs", "value", "attrs", "shape", "dtype", "input_positions", "literals", "weak", "schema_version",
     "name", "source_location"},
    6,
    6,
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "None", "()", "False", "1", "None", "None"}};
inline constexpr py::Signature kRecordResidual{"record_residual", {"node_id", "residual"}, 2, 2};
inline constexpr py::Signature kMarkOutput{"mark_output", {"node_id"}, 1, 1};
inline constexpr py::Signature kMarkWeak{"mark_weak", {"node_id"}, 1, 1};
inline constexpr py::Signature kBindTraceFrame{"bind_trace_frame", {"trace_level", "trace_frame_id"}, 2, 2};
inline constexpr py::Signature kIsWeak{"is_weak", {"node_id"}, 1, 1};
inline constexpr py::Signature kWeakMask{"weak_mask", {"node_ids"}, 1, 1};
inline constexpr py::Signature kValue{"value", {"node_id"}, 1, 1};
inline constexpr py::Signature kValues{"values", {"node_ids"}, 1, 1};
inline constexpr py::Signature kGetNodeName{"get_node_name", {"node_id"}, 1, 1};
inline constexpr py::Signature kNodeIsActive{"node_is_active", {"node_id"}, 1, 1};
inline constexpr py::Signature kFreeze{"freeze", {"jvp_bindings", "vjp_bindings", "reverse_needs"}, 3, 3};
inline constexpr py::Signature kSetActiveNodes{"set_active_nodes", {"node_ids"}, 1, 1};
inline constexpr py::Signature kAnalyzeRealLinearity{
    "analyze_real_linearity", {"tangent_input_ids", "primitive_name"}, 2, 2};

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
