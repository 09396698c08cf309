// The graph artifact across the boundary: the canonical text of a store, and
// a store read back from one. The text handed in is read in place.
#include "native/staged/artifact.h"

#include <memory>
#include <string>
#include <string_view>

#include "native/staged/boundary.h"
#include "native/staged/store.h"
#include "native/toolkit/args.h"
#include "native/toolkit/borrow.h"
#include "native/toolkit/errors.h"
#include "native/toolkit/values.h"
#include "runtime/artifact.h"

namespace vorlix::staged {

using py::ErrorKind;
using py::Ref;

PyObject* store_to_json(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        GraphStoreObject* object = as_store(self);
        py::SharedHold hold(object->borrow);
        if (!hold.ok()) return nullptr;
        Expected<std::string> text = artifact::to_json(*object->store);
        // See Note [Artifact errors]: the message is complete as it stands.
        if (!text) return py::raise(ErrorKind::Value, text.error().message);
        return py::str_from_utf8(*text).release();
    });
}

PyObject* deserialize_graph_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"deserialize_graph_json", {"encoded"}, 1, 1};
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        if (!py::bind_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
        Ref encoded;
        if (!py::to_str(argv[0], "encoded", encoded)) return nullptr;
        Py_ssize_t size = 0;
        // An ASCII str hands out its own buffer here, so the text is not copied.
        const char* utf8 = PyUnicode_AsUTF8AndSize(encoded.get(), &size);
        if (utf8 == nullptr) return nullptr;
        Expected<GraphStore> store = artifact::from_json(std::string_view(utf8, static_cast<size_t>(size)));
        if (!store) return py::raise(ErrorKind::Value, store.error().message);
        return new_graph_store(module, std::make_shared<const GraphStore>(std::move(store).value())).release();
    });
}

}  // namespace vorlix::staged
