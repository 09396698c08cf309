// The exception table of the module and the note helpers.
#include "native/toolkit/errors.h"

#include <cstring>

#include "native/toolkit/names.h"
#include "native/toolkit/values.h"

namespace vorlix::py {

namespace {

PyObject* exception_type(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Value: return PyExc_ValueError;
        case ErrorKind::Key: return PyExc_KeyError;
        case ErrorKind::Runtime: return PyExc_RuntimeError;
        case ErrorKind::Type: return PyExc_TypeError;
        case ErrorKind::Overflow: return PyExc_OverflowError;
    }
    return PyExc_RuntimeError;
}

Ref unicode(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace

std::nullptr_t raise(ErrorKind kind, std::string_view message) {
    Ref text = unicode(message);
    if (!text) return nullptr;
    PyErr_SetObject(exception_type(kind), text.get());
    return nullptr;
}

std::nullptr_t raise_graph_error(const GraphError& error, GraphErrorSite site) {
    switch (site) {
        case GraphErrorSite::Building: return raise(ErrorKind::Value, error.rendered());
        case GraphErrorSite::Lookup: return raise(ErrorKind::Key, error.rendered());
        case GraphErrorSite::Execution: return raise(ErrorKind::Runtime, error.rendered());
    }
    return nullptr;
}

std::nullptr_t internal_error(std::string_view message) { return raise(ErrorKind::Runtime, message); }

std::nullptr_t raise_execution_error(ExecutionError<Ref> error, StagedPhase phase) {
    if (const auto* graph = error.graph()) {
        using Kind = ExecutionError<Ref>::Kind;
        return raise(graph->kind == Kind::InvalidArgument ? ErrorKind::Value : ErrorKind::Runtime, graph->message);
    }
    auto* host = error.host();
    std::string note = "while ";
    note += phase == StagedPhase::Binding ? "binding" : "executing";
    note += " staged operation '";
    note += host->op_name;
    note += "' at node ";
    append_node_ref(note, host->node);
    add_note(host->error.get(), note);
    return restore_exception(std::move(host->error));
}

Ref fetch_exception() { return Ref::steal(PyErr_GetRaisedException()); }

std::nullptr_t restore_exception(Ref exc) {
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

void add_note(PyObject* exc, std::string_view note) {
    if (exc == nullptr) return;
    // Keep whatever is raised now (normally nothing) out of the way of the
    // add_note call, and put it back afterwards.
    Ref pending = fetch_exception();
    Ref text = unicode(note);
    if (text) {
        PyObject* args[] = {exc, text.get()};
        Ref result =
            Ref::steal(PyObject_VectorcallMethod(names::add_note(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        (void)result;
    }
    PyErr_Clear();
    if (pending) restore_exception(std::move(pending));
}

void add_note_to_current(std::string_view note) {
    Ref exc = fetch_exception();
    add_note(exc.get(), note);
    restore_exception(std::move(exc));
}

std::string exception_text(PyObject* exc) {
    Ref pending = fetch_exception();
    std::string out = "<exception str() failed>";
    if (Ref text = Ref::steal(PyObject_Str(exc))) {
        if (std::optional<std::string_view> utf8 = utf8_of(text.get())) out = *utf8;
    }
    PyErr_Clear();
    if (pending) restore_exception(std::move(pending));
    return out;
}

std::string type_name_of(PyObject* obj) {
    const char* name = Py_TYPE(obj)->tp_name;
    if (const char* dot = std::strrchr(name, '.')) return std::string(dot + 1);
    return std::string(name);
}

}  // namespace vorlix::py
