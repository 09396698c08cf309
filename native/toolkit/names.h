// Attribute names read on hot paths, interned by the module's exec step.
#pragma once

#include "native/toolkit/python.h"

namespace vorlix::py::names {

// One name of the table below. Each registers itself when the library loads;
// the module's exec step interns them all and the last module object to go
// releases them, so no name outlives the interpreter that made it and a
// failed intern fails the import instead of being cached.
class Slot {
public:
    explicit Slot(const char* text) noexcept;
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    [[nodiscard]] PyObject* get() const { return object_; }

private:
    friend bool acquire();
    friend void release();

    const char* text_;
    PyObject* object_ = nullptr;
    Slot* next_;
};

// Interns every name unless a live module object already did; pairs with one
// `release()`. Raises and returns false on failure, leaving nothing made.
[[nodiscard]] bool acquire();
void release();

// Each line gives `py::names::fn()`: a borrowed, interned str, valid while a
// module object lives (every object of the module's classes keeps its type,
// and so the module, alive).
#define VORLIX_INTERNED_NAME(fn, text) \
    inline Slot fn##_slot{text};       \
    inline PyObject* fn() { return fn##_slot.get(); }

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
