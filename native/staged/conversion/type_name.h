// Qualified type names for conversion messages, and the rule for lookup
// errors that a conversion may discard.
#pragma once

#include <optional>
#include <string>

#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"

namespace vorlix::staged {

// `type.__qualname__` as UTF-8 text; nothing, with the exception set, when
// it cannot be read.
[[nodiscard]] inline std::optional<std::string> qualified_name(PyTypeObject* type) {
    py::Ref name = py::Ref::steal(PyType_GetQualName(type));
    if (!name) return std::nullopt;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 == nullptr) return std::nullopt;
    return std::string(utf8, static_cast<size_t>(size));
}

[[nodiscard]] inline std::optional<std::string> qualified_type_name(PyObject* obj) {
    return qualified_name(Py_TYPE(obj));
}

// Clears the raised exception when it is an ordinary failure (an Exception
// other than MemoryError) and returns true; KeyboardInterrupt, SystemExit,
// MemoryError and the like stay raised and false is returned.
[[nodiscard]] inline bool discard_ordinary_error() {
    if (PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        return true;
    }
    return false;
}

}  // namespace vorlix::staged
