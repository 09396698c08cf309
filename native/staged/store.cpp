// The GraphStore type: construction from a shared runtime store, the
// read-only members and the representation.
#include "native/staged/store.h"

#include <new>
#include <string>
#include <utility>

#include "native/module_state.h"
#include "native/staged/artifact.h"
#include "native/staged/node.h"
#include "native/toolkit/args.h"
#include "native/toolkit/entry.h"
#include "native/toolkit/errors.h"
#include "native/toolkit/values.h"
#include "runtime/constant.h"
#include "runtime/quote.h"

namespace vorlix::staged {

using py::ErrorKind;
using py::Ref;

GraphStoreObject* as_graph_store(PyObject* module, PyObject* obj) {
    ModuleState* state = module_state(module);
    if (state == nullptr || Py_TYPE(obj) != state->graph_store_type) return nullptr;
    return as_store(obj);
}

Ref new_graph_store(PyObject* module, std::shared_ptr<const GraphStore> store) {
    ModuleState* state = module_state(module);
    if (state == nullptr || state->graph_store_type == nullptr) {
        return py::internal_error("GraphStore class is unavailable");
    }
    PyTypeObject* type = state->graph_store_type;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    GraphStoreObject* object = as_store(self.get());
    new (&object->store) std::shared_ptr<const GraphStore>(std::move(store));
    new (&object->borrow) py::BorrowState();
    return self;
}

namespace {

PyObject* module_of(PyObject* self) { return PyType_GetModule(Py_TYPE(self)); }

inline constexpr py::Signature kGetNode{"get_node", {"node_id"}, 1, 1};
inline constexpr py::Signature kConstantParts{"_constant_parts", {"node_id"}, 1, 1};

// Runs `body(store)` under a shared hold of the object.
template <class F>
PyObject* read(PyObject* self, F&& body) {
    GraphStoreObject* object = as_store(self);
    return py::shared_read(object->borrow, [&] { return body(*object->store); });
}

// The frame of a store method whose one parameter is `node_id`: the shared
// hold, the binding, then `body(store, id)`.
template <class F>
PyObject* read_node(PyObject* self, const py::Signature<1>& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, F&& body) {
    GraphStoreObject* object = as_store(self);
    return py::frame<py::Access::Shared>(object->borrow, sig, args, nargs, kwnames,
                                         [&](py::Arguments<1>& argv) -> PyObject* {
                                             uint32_t id = 0;
                                             if (!py::to_u32(argv[0], "node_id", id)) return nullptr;
                                             return body(*object->store, id);
                                         });
}

template <class T>
PyObject* ids(std::span<const T> values) {
    return py::int_list(values).release();
}

// The decimal IDs as a bracketed, comma-and-space separated list.
std::string id_list_text(std::span<const NodeId> list) {
    std::string out = "[";
    for (size_t i = 0; i < list.size(); ++i) {
        if (i > 0) out += ", ";
        out += std::to_string(list[i]);
    }
    out += ']';
    return out;
}

PyObject* store_get_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return read_node(self, kGetNode, args, nargs, kwnames, [&](const GraphStore& store, uint32_t id) -> PyObject* {
        Expected<NodeRef> node = store.node(id);
        if (!node) return py::raise_graph_error(node.error(), py::GraphErrorSite::Lookup);
        return new_graph_node(module_of(self), NodeRecord::from(*node)).release();
    });
}

PyObject* store_constant_parts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return read_node(self, kConstantParts, args, nargs, kwnames,
                     [&](const GraphStore& store, uint32_t id) -> PyObject* {
                         const PortableConstant* constant = store.constant(id);
                         if (constant == nullptr) {
                             return py::raise(ErrorKind::Key, "constant node " + node_ref(id) + " has no payload");
                         }
                         Ref kind = py::str_from_utf8(constant::kind_name(constant->kind()));
                         Ref dtype = py::str_from_utf8(constant->dtype().name());
                         Ref shape = py::int_list(std::span<const uint64_t>(constant->shape()));
                         const std::span<const uint8_t> data = constant->data();
                         Ref bytes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                                          static_cast<Py_ssize_t>(data.size())));
                         Ref digest = py::str_from_utf8(constant->digest());
                         if (!kind || !dtype || !shape || !bytes || !digest) return nullptr;
                         return PyTuple_Pack(5, kind.get(), dtype.get(), shape.get(), bytes.get(), digest.get());
                     });
}

PyObject* store_node_ids(PyObject* self, PyObject*) {
    return read(self, [&](const GraphStore& store) -> PyObject* {
        return ids(std::span<const NodeId>(store.topological_order()));
    });
}

PyObject* store_constant_ids(PyObject* self, PyObject*) {
    return read(self, [&](const GraphStore& store) -> PyObject* {
        std::vector<NodeId> keys;
        keys.reserve(store.constants().size());
        for (const auto& entry : store.constants()) keys.push_back(entry.first);
        return ids(std::span<const NodeId>(keys));
    });
}

PyObject* store_inputs(PyObject* self, void*) {
    return read(self, [&](const GraphStore& store) { return ids(store.inputs()); });
}

PyObject* store_outputs(PyObject* self, void*) {
    return read(self, [&](const GraphStore& store) { return ids(store.outputs()); });
}

PyObject* store_node_count(PyObject* self, void*) {
    return read(self, [&](const GraphStore& store) { return PyLong_FromSize_t(store.node_count()); });
}

PyObject* store_version(PyObject* self, void*) {
    return read(
        self, [&](const GraphStore& store) { return py::str_from_utf8(store.required_array_api_version()).release(); });
}

PyObject* store_repr(PyObject* self) {
    return read(self, [&](const GraphStore& store) {
        std::string text = "GraphStore(nodes=" + std::to_string(store.node_count()) +
                           ", inputs=" + id_list_text(store.inputs()) + ", outputs=" + id_list_text(store.outputs()) +
                           ", array_api=";
        quote::append_literal(text, store.required_array_api_version());
        text += ')';
        return py::str_from_utf8(text).release();
    });
}

void store_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    GraphStoreObject* object = as_store(self);
    object->store.~shared_ptr();
    object->borrow.~BorrowState();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef store_methods[] = {
    py::method<store_get_node, kGetNode>("An independent snapshot of one node."),
    py::method_noargs<store_node_ids>("node_ids", "Every node ID in topological order."),
    py::method_noargs<store_constant_ids>("constant_ids", "IDs of the nodes that carry a constant payload, ascending."),
    py::method<store_constant_parts, kConstantParts>("(kind, dtype, shape, data, digest) of one constant payload."),
    py::method_noargs<store_to_json>("_to_json", "Canonical portable graph JSON owned by `vorlix-runtime`."),
    py::kEndOfMethods,
};

PyGetSetDef store_getset[] = {
    py::property<store_inputs>("inputs", "Graph input node IDs in declaration order."),
    py::property<store_outputs>("outputs", "Graph output node IDs in order, repetitions kept."),
    py::property<store_node_count>("node_count", "Number of nodes."),
    py::property<store_version>("required_array_api_version", "The Array API version the graph requires."),
    py::kEndOfProperties,
};

PyType_Slot store_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python handle for one runtime-owned immutable graph.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(py::guarded<store_repr>)},
    {Py_tp_methods, store_methods},
    {Py_tp_getset, store_getset},
    {0, nullptr},
};

PyType_Spec store_spec = {
    "vorlix._native_core.GraphStore",
    sizeof(GraphStoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    store_slots,
};

}  // namespace

PyObject* create_graph_store_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &store_spec, nullptr); }

}  // namespace vorlix::staged
