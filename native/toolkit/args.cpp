// Argument binding and conversion of Python arguments to native fields.
#include "native/toolkit/args.h"

#include <cstring>
#include <limits>
#include <string>

namespace vorlix::py {

namespace {

[[gnu::cold]] bool call_error(const char* function, const std::string& detail) {
    return py::fail(ErrorKind::Type, std::string(function) + "() " + detail);
}

// Whether a keyword (a str) spells `name`. Keywords are nearly always
// compact ASCII, compared in place; other strs take the general comparison.
bool keyword_is(PyObject* key, const char* name) {
    const size_t length = std::strlen(name);
    if (PyUnicode_IS_COMPACT_ASCII(key)) {
        return static_cast<size_t>(PyUnicode_GET_LENGTH(key)) == length &&
               std::memcmp(PyUnicode_DATA(key), name, length) == 0;
    }
    return PyUnicode_CompareWithASCIIString(key, name) == 0;
}

[[gnu::cold]] std::nullptr_t raise_item_error(const char* arg, Py_ssize_t index, ErrorKind kind,
                                              std::string_view detail) {
    std::string message = "argument '";
    message += arg;
    message += "': ";
    if (index >= 0) {
        message += "item ";
        message += std::to_string(index);
        message += ": ";
    }
    message += detail;
    return raise(kind, message);
}

}  // namespace

bool read_unsigned_slow(PyObject* obj, const char* arg, Py_ssize_t index, uint64_t max, const char* width,
                        uint64_t& out) {
    if (!PyLong_Check(obj)) {
        raise_item_error(arg, index, ErrorKind::Type, "expected int, got " + type_name_of(obj));
        return false;
    }
    uint64_t value = 0;
    bool in_range = false;
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
        const Py_ssize_t compact = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
        in_range = compact >= 0;
        value = static_cast<uint64_t>(compact);
    } else {
        if (read_u64(obj, value) == 0) {
            in_range = true;
        } else if (PyErr_Occurred()) {
            return false;
        }
    }
    if (!in_range || value > max) {
        raise_item_error(arg, index, ErrorKind::Overflow, std::string("int is outside the range of ") + width);
        return false;
    }
    out = value;
    return true;
}

std::nullptr_t raise_argument_error(const char* arg, std::string_view detail) {
    return raise_item_error(arg, -1, ErrorKind::Type, detail);
}

bool bind_arguments(const char* function, std::span<const char* const> names, int positional, int required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out,
                    std::span<uint8_t> guesses) {
    const auto count = static_cast<Py_ssize_t>(names.size());
    for (PyObject*& slot : out) slot = nullptr;

    if (nargs > positional) {
        return call_error(function, "takes at most " + std::to_string(positional) + " positional argument" +
                                        (positional == 1 ? "" : "s") + " (" + std::to_string(nargs) + " given)");
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    // Names are matched by text here, which every str (subclass) spelling a
    // name passes; matching by identity is the Keywords fast path's.
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        // Names are distinct, so a matching guess is the one match.
        const bool guessed = static_cast<size_t>(k) < guesses.size();
        if (guessed && guesses[k] < count && keyword_is(key, names[guesses[k]])) slot = guesses[k];
        for (Py_ssize_t i = nargs; i < count && slot < 0; ++i) {
            if (keyword_is(key, names[i])) slot = i;
        }
        for (Py_ssize_t i = 0; i < nargs && slot < 0; ++i) {
            if (keyword_is(key, names[i])) slot = i;
        }
        if (slot < 0) {
            Ref text = Ref::steal(PyObject_Str(key));
            const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
            if (utf8 == nullptr) return false;
            return call_error(function, std::string("got an unexpected keyword argument '") + utf8 + "'");
        }
        if (guessed) guesses[k] = static_cast<uint8_t>(slot);
        if (out[slot] != nullptr) {
            return call_error(function, std::string("got multiple values for argument '") + names[slot] + "'");
        }
        out[slot] = args[nargs + k];
    }

    for (Py_ssize_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) {
            return call_error(function, std::string("missing required argument '") + names[i] + "'");
        }
    }
    return true;
}

bool fail_expected(const char* arg, const char* expected, PyObject* obj) {
    raise_argument_error(arg, std::string("expected ") + expected + ", got " + type_name_of(obj));
    return false;
}

Ref sequence_snapshot(PyObject* obj) {
    if (PyTuple_Check(obj)) return Ref::new_ref(obj);
    if (PyList_Check(obj)) return Ref::steal(PyList_AsTuple(obj));
    // Through a list, whose construction asks the sequence for its length
    // on every interpreter (a tuple's stopped asking in 3.14), so that a
    // failing __len__ fails the argument everywhere alike. The list is never
    // seen by anything else: only the tuple copied from it is kept.
    Ref items = Ref::steal(PySequence_List(obj));
    if (!items) return nullptr;
    return Ref::steal(PyList_AsTuple(items.get()));
}

bool SequenceArg::open_other(PyObject* obj, const char* arg) {
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
        raise_argument_error(arg, "expected a sequence, got " + type_name_of(obj));
        return false;
    }
    Ref snapshot = sequence_snapshot(obj);
    if (!snapshot) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise_argument_error(arg, "expected a sequence, got " + type_name_of(obj));
        }
        return false;
    }
    hold(std::move(snapshot));
    return true;
}

bool to_object_list(PyObject* obj, const char* arg, std::vector<Ref>& out) {
    SequenceArg seq;
    if (!seq.open(obj, arg, ItemReads::RunNoPython)) return false;
    out.clear();
    out.reserve(static_cast<size_t>(seq.size()));
    NoPythonScope no_python("references taken from a sequence");
    for (PyObject* item : seq.items()) out.push_back(Ref::new_ref(item));
    return true;
}

}  // namespace vorlix::py
