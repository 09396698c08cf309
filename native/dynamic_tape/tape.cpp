// The DynamicTape type object: construction, garbage-collector support,
// deallocation, the method table, and the node lookups the other tape files
// share.
#include "native/dynamic_tape/tape.h"

#include <limits>
#include <new>
#include <string>

#include "native/dynamic_tape/methods.h"
#include "native/toolkit/entry.h"
#include "native/toolkit/errors.h"
#include "native/toolkit/guard.h"

namespace vorlix::tape {

using py::ErrorKind;
using py::raise;

std::nullptr_t TapeState::raise_missing_record() const {
    return raise(ErrorKind::Runtime, consumed ? kReleasedMessage : "dynamic tape node record is unavailable");
}

bool TapeState::check(Requirement requirement) const {
    if (requirement == Requirement::Anything) return true;
    if (consumed) return py::fail(ErrorKind::Runtime, kReleasedMessage);
    if (requirement == Requirement::Recording && frozen) return py::fail(ErrorKind::Runtime, kFrozenMessage);
    if (requirement == Requirement::Frozen && !frozen) return py::fail(ErrorKind::Runtime, kNotFrozenMessage);
    return true;
}

bool TapeState::check_idle(const char* action) const {
    if (traversal == Traversal::Idle) return true;
    return py::fail(ErrorKind::Runtime, std::string("cannot ") + action + " during traversal");
}

DynamicNode* TapeState::node(uint64_t id) {
    if (id < node_records.size()) return &node_records[id];
    return raise_missing_record();
}

bool TapeState::check_exists(uint64_t id) const {
    if (id < arena.node_count()) return true;
    raise(ErrorKind::Value, "dynamic tape node " + node_ref(id) + " does not exist");
    return false;
}

bool TapeState::raise_missing_payload(uint64_t id, const char* word) const {
    return py::fail(ErrorKind::Runtime,
                    std::string("dynamic tape is missing ") + word + " payload for node " + node_ref(id));
}

PyObject* TapeState::required_payload(uint64_t id, const char* word) {
    if (id < node_records.size() && node_records[id].value) return node_records[id].value.get();
    raise_missing_payload(id, word);
    return nullptr;
}

Ref TapeState::required_value(uint64_t id, const char* word) { return Ref::new_ref(required_payload(id, word)); }

NodeExtras* TapeState::ensure_extras(DynamicNode& record) {
    if (NodeExtras* extras = extras_of(record)) return extras;
    if (node_extras.size() >= std::numeric_limits<uint32_t>::max()) {
        return py::internal_error("dynamic tape node extras are unavailable");
    }
    node_extras.emplace_back();
    record.extras = static_cast<uint32_t>(node_extras.size());
    return &node_extras[node_extras.size() - 1];
}

namespace {

int visit_ref(const Ref& ref, visitproc visit, void* arg) {
    Py_VISIT(ref.get());
    return 0;
}

int tape_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const TapeState& state = as_tape(self)->state;
    // Every object the tape holds is visited: even a name may be a str
    // subclass whose attributes lead back to the tape.
    if (int r = visit_ref(state.last_op_name, visit, arg)) return r;
    for (const DynamicNode& node : state.node_records) {
        if (int r = visit_ref(node.value, visit, arg)) return r;
        if (int r = visit_ref(node.attrs, visit, arg)) return r;
    }
    for (const ValueSpec& spec : state.value_specs) {
        if (int r = visit_ref(spec.dtype, visit, arg)) return r;
        if (int r = visit_ref(spec.operand_spec, visit, arg)) return r;
    }
    for (const NodeExtras& extras : state.node_extras) {
        if (int r = visit_ref(extras.name, visit, arg)) return r;
        if (int r = visit_ref(extras.source_location, visit, arg)) return r;
        if (int r = visit_ref(extras.residual, visit, arg)) return r;
    }
    for (const Ref& ref : state.literals) {
        if (int r = visit_ref(ref, visit, arg)) return r;
    }
    for (const auto* table : {&state.jvp_bindings, &state.vjp_bindings, &state.reverse_cache.operand_specs}) {
        for (const Ref& ref : *table) {
            if (int r = visit_ref(ref, visit, arg)) return r;
        }
    }
    return 0;
}

// Moves every Python reference out of the tape before dropping them, so that
// finalizers that run meanwhile find the tape already emptied.
int tape_clear(PyObject* self) {
    TapeState& state = as_tape(self)->state;
    auto records = std::exchange(state.node_records, {});
    auto specs = std::exchange(state.value_specs, {});
    auto extras = std::exchange(state.node_extras, {});
    auto literals = std::exchange(state.literals, {});
    auto jvp = std::exchange(state.jvp_bindings, {});
    auto vjp = std::exchange(state.vjp_bindings, {});
    auto cache = std::exchange(state.reverse_cache, {});
    Ref last_op = std::move(state.last_op_name);
    return 0;
}

// A tape may hold another tape as a payload, and that one the next: the
// trashcan defers deallocations nested too deep, so releasing a long chain
// does not exhaust the native stack.
void tape_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, tape_dealloc) TapeObject* tape = as_tape(self);
    PyObject_ClearWeakRefs(self);
    tape->state.~TapeState();
    tape->borrow.~BorrowState();
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

PyObject* tape_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        return raise(ErrorKind::Type, "DynamicTape() takes no arguments");
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    TapeObject* tape = as_tape(self);
    new (&tape->borrow) py::BorrowState();
    new (&tape->state) TapeState();
    return self;
}

PyMethodDef tape_methods[] = {
    py::method<record_input, kRecordInput>("Record one tape input and return its node ID."),
    py::method<record_operation, kRecordOperation>(
        "Record one operation. Parents fill operand positions in order unless\n"
        "`input_positions` places them among `literals`, which fill the rest.\n"
        "`weak` marks a rank-zero result as a weak scalar (NEP 50); the frontend\n"
        "that computed it decides the category."),
    py::method<record_residual, kRecordResidual>("Attach a primitive residual to a node."),
    py::method<mark_output, kMarkOutput>("Mark a node as an output of the invocation."),
    py::method<mark_weak, kMarkWeak>("Mark a rank-zero node as a weak scalar."),
    py::method<bind_trace_frame, kBindTraceFrame>("Bind the tape to one trace frame, once."),
    py::method<is_weak, kIsWeak>("Whether a node is a weak scalar."),
    py::method<weak_mask, kWeakMask>("The weak-scalar flags of several nodes."),
    py::method<value, kValue>("The retained value of a node."),
    py::method<values, kValues>("The retained values of several nodes."),
    py::method<get_node_name, kGetNodeName>("The display name of a node, or None."),
    py::method<node_is_active, kNodeIsActive>("Whether a node is active."),
    py::method_noargs<runtime_trace_identity>("runtime_trace_identity",
                                              "The bound (trace_level, trace_frame_id), None where unset."),
    py::method<freeze, kFreeze>("Install one JVP and VJP binding and one reverse-needs triple per operation,\n"
                                "build the reverse-use counts and close recording."),
    py::method<set_active_nodes, kSetActiveNodes>(
        "Make exactly the listed nodes active and rebuild the reverse-use counts."),
    py::method_noargs<release_payloads>("release_payloads", "Release every invocation payload, closing residuals."),
    py::method_noargs<prune_reverse_payloads>("prune_reverse_payloads",
                                              "Release the payloads that no reverse step will read."),
    py::method<analyze_real_linearity, kAnalyzeRealLinearity>(
        "The nodes that depend on the tangent inputs, after checking that every\n"
        "marked output is zero or real-linear in them."),
    py::method_noargs<stats>("stats", "Counts and native memory of the tape."),
    py::method_noargs<diagnostic_snapshot>("_diagnostic_snapshot",
                                           "(operation name, value, source location) of every node."),
    py::kEndOfMethods,
};

PyGetSetDef tape_getset[] = {
    py::property<tape_node_count>("node_count", "Number of recorded nodes."),
    py::property<tape_inputs>("inputs", "Input node IDs in recording order."),
    py::property<tape_op_names>("op_names", "Operation names in operation-ID order."),
    py::property<tape_is_consumed>("is_consumed", "Whether the invocation payloads were released."),
    py::kEndOfProperties,
};

PyType_Slot tape_slots[] = {
    {Py_tp_doc, const_cast<char*>("DynamicTape()\n--\n\nNative owner for one concrete define-by-run invocation.")},
    {Py_tp_new, reinterpret_cast<void*>(py::guarded<tape_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tape_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(tape_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(tape_clear)},
    {Py_tp_methods, tape_methods},
    {Py_tp_getset, tape_getset},
    {0, nullptr},
};

PyType_Spec tape_spec = {
    "vorlix._native_core.DynamicTape",
    sizeof(TapeObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_MANAGED_WEAKREF,
    tape_slots,
};

}  // namespace

PyObject* create_tape_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &tape_spec, nullptr); }

}  // namespace vorlix::tape
