// Small builders of Python values from native ones.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"

namespace vorlix::py {

[[nodiscard]] inline Ref str_from_utf8(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// A new list of ints.
template <class T>
[[nodiscard]] Ref int_list(std::span<const T> values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLongLong(values[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

}  // namespace vorlix::py
