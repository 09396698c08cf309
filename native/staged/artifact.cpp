// The graph artifact across the boundary: the canonical text of a store, and
// a store read back from one. The text handed in is read in place.
#include "native/staged/artifact.h"

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "native/staged/store.h"
#include "native/toolkit/args.h"
#include "native/toolkit/borrow.h"
#include "native/toolkit/entry.h"
#include "native/toolkit/errors.h"
#include "native/toolkit/no_python.h"
#include "native/toolkit/values.h"
#include "runtime/artifact.h"

namespace vorlix::staged {

using py::ErrorKind;
using py::Ref;

namespace {

// Note [Artifact text written in place]
// The artifact is written straight into the str that will be returned: a
// fresh one-byte str no Python code has seen, replaced by a larger one (its
// bytes carried over) when the writer needs room, and shrunk to the text at
// the end. So a text of many megabytes is neither built aside and copied nor
// decoded again. A text holding anything but ASCII cannot be such a str; it
// is decoded from the buffer instead, which the writer has kept well formed.
// No Python code runs while it is written (see Note [No Python code runs
// here]), so nothing but the sink can hold it when it is resized in place.
class StrSink final : public artifact::TextSink {
public:
    [[nodiscard]] char* grow(size_t kept, size_t capacity) override {
        Ref bigger = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(capacity), 127));
        if (!bigger) {
            PyErr_Clear();
            return nullptr;
        }
        char* buffer = data(bigger.get());
        if (kept != 0) std::memcpy(buffer, data(str_.get()), kept);
        str_ = std::move(bigger);
        return buffer;
    }

    Ref take(const artifact::WrittenText& written) && {
        if (!written.ascii) return py::str_from_utf8(std::string_view(data(str_.get()), written.size));
        // The str is still unshared, so it shrinks in place and gets its
        // terminator; a failed resize leaves it as it was.
        py::check_invariant(Py_REFCNT(str_.get()) == 1, "the artifact's str was shared while it was written");
        PyObject* str = str_.release();
        if (PyUnicode_Resize(&str, static_cast<Py_ssize_t>(written.size)) < 0) {
            Py_DECREF(str);
            return nullptr;
        }
        return Ref::steal(str);
    }

private:
    static char* data(PyObject* str) { return reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str)); }

    Ref str_;
};

}  // namespace

PyObject* store_to_json(PyObject* self, PyObject*) {
    GraphStoreObject* object = as_store(self);
    return py::shared_read(object->borrow, [&]() -> PyObject* {
        StrSink sink;
        Ref text;
        {
            // See Note [Artifact text written in place].
            py::NoPythonScope no_python("the artifact written into an unshared str");
            Expected<artifact::WrittenText> written = artifact::write_json(*object->store, sink);
            // See Note [Artifact errors]: the message is complete as it stands.
            if (!written) return py::raise(ErrorKind::Value, written.error().message);
            text = std::move(sink).take(*written);
        }
        return text.release();
    });
}

PyObject* deserialize_graph_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::frame(kDeserializeGraphJson, args, nargs, kwnames, [&](auto& argv) -> PyObject* {
        Ref encoded;
        if (!py::to_str(argv[0], "encoded", encoded)) return nullptr;
        // An ASCII str hands out its own buffer here, so the text is not copied.
        std::optional<std::string_view> utf8 = py::utf8_of(encoded.get());
        if (!utf8) return nullptr;
        Expected<GraphStore> store = [&] {
            py::NoPythonScope no_python("an artifact read in place from its str");
            return artifact::from_json(*utf8);
        }();
        if (!store) return py::raise(ErrorKind::Value, store.error().message);
        return new_graph_store(module, std::make_shared<const GraphStore>(std::move(store).value())).release();
    });
}

}  // namespace vorlix::staged
