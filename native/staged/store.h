// GraphStore Python objects: read-only handles over one validated runtime
// store that other holders may share.
//
// Obtaining the runtime store from a Python object: `as_graph_store(module,
// obj)` returns the GraphStoreObject when `obj` is an instance of this module
// object's GraphStore class (the class is final, so the test is exact) and
// nullptr otherwise, with no exception set. Its `store` member is a
// std::shared_ptr to the immutable runtime GraphStore; copy the pointer to
// keep the store alive beyond the Python object, as plans do. The store
// never changes, so no borrow is needed to read it; `borrow` exists for the
// object's own read-only methods, which take it shared.
#pragma once

#include <memory>

#include "native/toolkit/borrow.h"
#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"
#include "runtime/graph.h"

namespace vorlix::staged {

struct GraphStoreObject {
    PyObject_HEAD std::shared_ptr<const GraphStore> store;
    py::BorrowState borrow;
};

[[nodiscard]] inline GraphStoreObject* as_store(PyObject* self) { return reinterpret_cast<GraphStoreObject*>(self); }

// The GraphStore object `obj`, or nullptr when it is not one of this module's.
[[nodiscard]] GraphStoreObject* as_graph_store(PyObject* module, PyObject* obj);

// A new GraphStore object of `module` sharing `store`.
[[nodiscard]] py::Ref new_graph_store(PyObject* module, std::shared_ptr<const GraphStore> store);

PyObject* create_graph_store_type(PyObject* module);

}  // namespace vorlix::staged
