// The GraphNode type: one node's record, copied out of its store, read
// through properties that build new objects on every access.
#include "native/staged/node.h"

#include <new>
#include <optional>
#include <span>
#include <utility>

#include "native/module_state.h"
#include "native/staged/conversion/attr.h"
#include "native/toolkit/entry.h"
#include "native/toolkit/errors.h"
#include "native/toolkit/values.h"

namespace vorlix::staged {

using py::Ref;

namespace {

struct GraphNodeObject {
    PyObject_HEAD NodeRecord record;
};

const NodeRecord& record_of(PyObject* self) { return reinterpret_cast<GraphNodeObject*>(self)->record; }

template <class F>
PyObject* get(PyObject* self, F&& body) {
    return body(record_of(self)).release();
}

Ref optional_text(const std::optional<std::string>& text) { return text ? py::str_from_utf8(*text) : Ref::none(); }

Ref shape_list(const Shape& shape) { return py::int_list(std::span<const uint64_t>(shape)); }

PyObject* node_id(PyObject* self, void*) {
    return get(self, [](const NodeRecord& r) { return Ref::steal(PyLong_FromUnsignedLong(r.id)); });
}
PyObject* node_op(PyObject* self, void*) {
    return get(self, [](const NodeRecord& r) { return py::str_from_utf8(r.op); });
}
PyObject* node_schema_version(PyObject* self, void*) {
    return get(self, [](const NodeRecord& r) { return Ref::steal(PyLong_FromUnsignedLong(r.schema_version)); });
}
PyObject* node_inputs(PyObject* self, void*) {
    return get(self, [](const NodeRecord& r) { return py::int_list(std::span<const NodeId>(r.parents)); });
}
PyObject* node_name(PyObject* self, void*) {
    return get(self, [](const NodeRecord& r) { return optional_text(r.metadata.name()); });
}
PyObject* node_source_location(PyObject* self, void*) {
    return get(self, [](const NodeRecord& r) { return optional_text(r.metadata.source_location()); });
}
PyObject* node_attrs(PyObject* self, void*) {
    return get(self, [](const NodeRecord& r) { return attr_map_to_python(r.metadata.attrs()); });
}
PyObject* node_shape(PyObject* self, void*) {
    return get(self, [](const NodeRecord& r) { return shape_list(r.metadata.shape()); });
}
PyObject* node_dtype(PyObject* self, void*) {
    return get(self, [](const NodeRecord& r) { return py::str_from_utf8(r.metadata.dtype().name()); });
}
PyObject* node_num_outputs(PyObject* self, void*) {
    return get(self, [](const NodeRecord& r) { return Ref::steal(PyLong_FromSize_t(r.metadata.num_outputs())); });
}

// One list entry per output, or None for a single-output node.
template <class Item>
Ref per_output(const NodeRecord& r, Item&& item) {
    const std::span<const ValueSpec> outputs = r.metadata.outputs();
    if (outputs.size() < 2) return Ref::none();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(outputs.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < outputs.size(); ++i) {
        Ref entry = item(outputs[i]);
        if (!entry) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return list;
}

PyObject* node_output_shapes(PyObject* self, void*) {
    return get(self, [](const NodeRecord& r) {
        return per_output(r, [](const ValueSpec& spec) { return shape_list(spec.shape); });
    });
}
PyObject* node_output_dtypes(PyObject* self, void*) {
    return get(self, [](const NodeRecord& r) {
        return per_output(r, [](const ValueSpec& spec) { return py::str_from_utf8(spec.dtype.name()); });
    });
}

void node_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<GraphNodeObject*>(self)->record.~NodeRecord();
    type->tp_free(self);
    Py_DECREF(type);
}

PyGetSetDef node_getset[] = {
    py::property<node_id>("id", "The node ID."),
    py::property<node_op>("op", "The operation name."),
    py::property<node_schema_version>("schema_version", "The operation's schema version."),
    py::property<node_inputs>("inputs", "The parent node IDs in operand order."),
    py::property<node_name>("name", "The node name, or None."),
    py::property<node_source_location>("source_location", "The source location, or None."),
    py::property<node_attrs>("attrs", "A new dict of the attributes, keys in ascending byte order."),
    py::property<node_shape>("shape", "The shape of output 0."),
    py::property<node_dtype>("dtype", "The dtype name of output 0."),
    py::property<node_num_outputs>("num_outputs", "The number of outputs."),
    py::property<node_output_shapes>("output_shapes", "Every output's shape, or None for one output."),
    py::property<node_output_dtypes>("output_dtypes", "Every output's dtype name, or None for one output."),
    py::kEndOfProperties,
};

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char*>("Immutable Python-facing snapshot of one canonical graph node.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_getset, node_getset},
    {0, nullptr},
};

PyType_Spec node_spec = {
    "vorlix._native_core.GraphNode",
    sizeof(GraphNodeObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    node_slots,
};

}  // namespace

Ref new_graph_node(PyObject* module, NodeRecord record) {
    ModuleState* state = module_state(module);
    if (state == nullptr || state->graph_node_type == nullptr) {
        return py::internal_error("GraphNode class is unavailable");
    }
    PyTypeObject* type = state->graph_node_type;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&reinterpret_cast<GraphNodeObject*>(self.get())->record) NodeRecord(std::move(record));
    return self;
}

PyObject* create_graph_node_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &node_spec, nullptr); }

}  // namespace vorlix::staged
