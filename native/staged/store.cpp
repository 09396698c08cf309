// The GraphStore type: construction from a shared runtime store, the
// read-only members and the representation.
#include "native/staged/store.h"

#include <new>
#include <string>
#include <utility>

#include "native/module_state.h"
#include "native/staged/artifact.h"
#include "native/staged/boundary.h"
#include "native/staged/node.h"
#include "native/toolkit/args.h"
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

// Runs `body(store)` under a shared hold of the object.
template <class F>
PyObject* read(PyObject* self, F&& body) {
    return guarded([&]() -> PyObject* {
        GraphStoreObject* object = as_store(self);
        py::SharedHold hold(object->borrow);
        if (!hold.ok()) return nullptr;
        return body(*object->store);
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

bool bind_node_id(const py::Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  uint32_t& id) {
    PyObject* argv[1];
    if (!py::bind_arguments(sig, args, nargs, kwnames, argv)) return false;
    return py::to_u32(argv[0], "node_id", id);
}

PyObject* store_get_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"get_node", {"node_id"}, 1, 1};
    return read(self, [&](const GraphStore& store) -> PyObject* {
        uint32_t id = 0;
        if (!bind_node_id(sig, args, nargs, kwnames, id)) return nullptr;
        Expected<NodeRef> node = store.node(id);
        if (!node) return py::raise_graph_error(node.error(), py::GraphErrorSite::Lookup);
        return new_graph_node(module_of(self), NodeRecord::from(*node)).release();
    });
}

PyObject* store_constant_parts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"_constant_parts", {"node_id"}, 1, 1};
    return read(self, [&](const GraphStore& store) -> PyObject* {
        uint32_t id = 0;
        if (!bind_node_id(sig, args, nargs, kwnames, id)) return nullptr;
        const PortableConstant* constant = store.constant(id);
        if (constant == nullptr) {
            return py::raise(ErrorKind::Key, "constant node %" + std::to_string(id) + " has no payload");
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
    return read(self, [&](const GraphStore& store) {
        return py::str_from_utf8(store.required_array_api_version()).release();
    });
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

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef store_methods[] = {
    {"get_node", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_get_node)), kFastcall,
     "get_node($self, node_id)\n--\n\nAn independent snapshot of one node."},
    {"node_ids", store_node_ids, METH_NOARGS, "node_ids($self)\n--\n\nEvery node ID in topological order."},
    {"constant_ids", store_constant_ids, METH_NOARGS,
     "constant_ids($self)\n--\n\nIDs of the nodes that carry a constant payload, ascending."},
    {"_constant_parts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_constant_parts)), kFastcall,
     "_constant_parts($self, node_id)\n--\n\n(kind, dtype, shape, data, digest) of one constant payload."},
    {"_to_json", store_to_json, METH_NOARGS,
     "_to_json($self)\n--\n\nCanonical portable graph JSON owned by `vorlix-runtime`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef store_getset[] = {
    {"inputs", store_inputs, nullptr, "Graph input node IDs in declaration order.", nullptr},
    {"outputs", store_outputs, nullptr, "Graph output node IDs in order, repetitions kept.", nullptr},
    {"node_count", store_node_count, nullptr, "Number of nodes.", nullptr},
    {"required_array_api_version", store_version, nullptr, "The Array API version the graph requires.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python handle for one runtime-owned immutable graph.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(store_repr)},
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
