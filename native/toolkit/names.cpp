// The table of interned attribute names and its lifetime.
#include "native/toolkit/names.h"

namespace vorlix::py::names {

namespace {

// Filled during static initialisation, before any module object exists.
constinit Slot* registered = nullptr;
// Module objects whose exec step acquired the names.
constinit long holders = 0;

}  // namespace

Slot::Slot(const char* text) noexcept : text_(text), next_(registered) { registered = this; }

bool acquire() {
    if (holders > 0) {
        ++holders;
        return true;
    }
    for (Slot* slot = registered; slot != nullptr; slot = slot->next_) {
        slot->object_ = PyUnicode_InternFromString(slot->text_);
        if (slot->object_ == nullptr) {
            for (Slot* made = registered; made != slot; made = made->next_) Py_CLEAR(made->object_);
            return false;
        }
    }
    holders = 1;
    return true;
}

void release() {
    if (holders == 0 || --holders > 0) return;
    for (Slot* slot = registered; slot != nullptr; slot = slot->next_) Py_CLEAR(slot->object_);
}

}  // namespace vorlix::py::names
