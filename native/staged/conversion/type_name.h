// Qualified type names for conversion messages, and the rule for lookup
// errors that a conversion may discard.
#pragma once

#include <optional>
#include <string>

#include "native/toolkit/errors.h"
#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"
#include "native/toolkit/values.h"

namespace vorlix::staged {

// `type.__qualname__` as UTF-8 text; nothing, with the exception set, when
// it cannot be read.
[[nodiscard]] inline std::optional<std::string> qualified_name(PyTypeObject* type) {
    py::Ref name = py::Ref::steal(PyType_GetQualName(type));
    if (!name) return std::nullopt;
    return py::utf8_text(name.get());
}

[[nodiscard]] inline std::optional<std::string> qualified_type_name(PyObject* obj) {
    return qualified_name(Py_TYPE(obj));
}

// Clears the raised exception when it is an ordinary failure (an Exception
// other than MemoryError) and returns true; KeyboardInterrupt, SystemExit,
// MemoryError and the like stay raised and false is returned.
[[nodiscard]] inline bool discard_ordinary_error() {
    if (py::ordinary_exception_raised()) {
        PyErr_Clear();
        return true;
    }
    return false;
}

}  // namespace vorlix::staged
