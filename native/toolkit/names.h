// Attribute names read on hot paths, interned once per process.
#pragma once

#include "native/toolkit/python.h"

namespace vorlix::py::names {

// Each returns a borrowed, interned str that lives as long as the process
// (the module declares itself unsupported in isolated subinterpreters, so a
// process-wide string is never shared across interpreters).
#define VORLIX_INTERNED_NAME(fn, text)                                   \
    inline PyObject* fn() {                                              \
        static PyObject* const s = PyUnicode_InternFromString(text);     \
        return s;                                                        \
    }

VORLIX_INTERNED_NAME(add_note, "add_note")
VORLIX_INTERNED_NAME(payload, "payload")
VORLIX_INTERNED_NAME(close, "close")
VORLIX_INTERNED_NAME(shape, "shape")
VORLIX_INTERNED_NAME(dtype, "dtype")
VORLIX_INTERNED_NAME(item, "item")
VORLIX_INTERNED_NAME(vorlix_snapshot, "_vorlix_snapshot")
VORLIX_INTERNED_NAME(vjp_many, "__vorlix_vjp_many__")
VORLIX_INTERNED_NAME(node_id, "node_id")
VORLIX_INTERNED_NAME(all, "all")
VORLIX_INTERNED_NAME(dunder_module, "__module__")
VORLIX_INTERNED_NAME(dunder_name, "__name__")
VORLIX_INTERNED_NAME(name, "name")
VORLIX_INTERNED_NAME(byteorder, "byteorder")
VORLIX_INTERNED_NAME(isnative, "isnative")
VORLIX_INTERNED_NAME(str, "str")
VORLIX_INTERNED_NAME(donation_positions, "__vorlix_donation_positions__")
VORLIX_INTERNED_NAME(alias_positions, "__vorlix_alias_positions__")
VORLIX_INTERNED_NAME(owned_output, "__vorlix_owned_output__")

#undef VORLIX_INTERNED_NAME

}  // namespace vorlix::py::names
