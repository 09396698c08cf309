// Owned Python references: the only way the native layer holds an object.
#pragma once

#include "native/toolkit/python.h"

#include <utility>

namespace vorlix::py {

// Drops a reference if there is one. Py_DECREF is always inlined; the
// interpreter's Py_XDECREF is not, and hot loops drop references per node.
[[gnu::always_inline]] inline void drop_ref(PyObject* p) {
    if (p != nullptr) Py_DECREF(p);
}

// A move-only owned reference. Bare `PyObject*` is always borrowed; every new
// reference enters through `steal` (or `new_ref` for a borrowed one), and
// `release()` is used only where the C API steals the reference.
class Ref {
public:
    Ref() = default;
    Ref(std::nullptr_t) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    [[gnu::always_inline]] Ref& operator=(Ref&& other) noexcept {
        // Swap first so that a finalizer run by the old object sees this
        // handle already holding its new value.
        PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
        drop_ref(old);
        return *this;
    }
    // Inlined: walks drop references per node, and an out-of-line
    // destructor costs a call each.
    [[gnu::always_inline]] ~Ref() { drop_ref(ptr_); }

    [[nodiscard]] static Ref steal(PyObject* p) {
        Ref r;
        r.ptr_ = p;
        return r;
    }
    [[nodiscard]] static Ref new_ref(PyObject* p) {
        Py_XINCREF(p);
        return steal(p);
    }
    [[nodiscard]] static Ref none() { return new_ref(Py_None); }

    [[nodiscard]] PyObject* get() const { return ptr_; }
    [[nodiscard]] PyObject* release() { return std::exchange(ptr_, nullptr); }
    [[nodiscard]] Ref clone() const { return new_ref(ptr_); }
    explicit operator bool() const { return ptr_ != nullptr; }
    [[nodiscard]] bool is_none() const { return ptr_ == Py_None; }

    // Drops the held object now; a finalizer it triggers sees an empty handle.
    [[gnu::always_inline]] void reset() {
        PyObject* old = std::exchange(ptr_, nullptr);
        drop_ref(old);
    }

private:
    PyObject* ptr_ = nullptr;
};

// A new reference to `p`, or to None when `p` is null.
[[nodiscard]] inline PyObject* new_ref_or_none(PyObject* p) {
    PyObject* out = p != nullptr ? p : Py_None;
    Py_INCREF(out);
    return out;
}

}  // namespace vorlix::py
