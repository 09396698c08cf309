// Small builders of Python values from native ones.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"

namespace vorlix::py {

[[nodiscard]] inline Ref str_from_utf8(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// The UTF-8 of a compact ASCII str, which is the str's own buffer, read in
// place; nothing for any other str (whose encoding may allocate or fail).
[[gnu::always_inline]] [[nodiscard]] inline std::optional<std::string_view> ascii_of(PyObject* str) {
    if (!PyUnicode_IS_COMPACT_ASCII(str)) return std::nullopt;
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                            static_cast<size_t>(PyUnicode_GET_LENGTH(str)));
}

// The UTF-8 encoding of a str (or subclass), which the str keeps: valid for
// as long as the str lives. Nothing, with the exception raised, when the str
// cannot be encoded (a lone surrogate).
[[nodiscard]] inline std::optional<std::string_view> utf8_of(PyObject* str) {
    if (std::optional<std::string_view> ascii = ascii_of(str)) return ascii;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (utf8 == nullptr) return std::nullopt;
    return std::string_view(utf8, static_cast<size_t>(size));
}

// The same, copied out of the str.
[[nodiscard]] inline std::optional<std::string> utf8_text(PyObject* str) {
    std::optional<std::string_view> view = utf8_of(str);
    if (!view) return std::nullopt;
    return std::string(*view);
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
