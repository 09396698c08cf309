// The guard every staged entry point runs its body in: no C++ exception
// leaves the module (std::bad_alloc becomes MemoryError, any other exception
// RuntimeError with its text).
#pragma once

#include <exception>
#include <new>
#include <type_traits>

#include "native/toolkit/errors.h"
#include "native/toolkit/python.h"

namespace vorlix::staged {

[[gnu::cold, gnu::noinline]] inline void raise_from_cpp_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        py::raise(py::ErrorKind::Runtime, e.what());
    } catch (...) {
        py::raise(py::ErrorKind::Runtime, "unexpected native exception");
    }
}

// Runs `body`; a C++ exception it throws becomes a Python exception and the
// failure value of the entry point's return type (nullptr or -1).
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
    using R = decltype(body());
    try {
        return body();
    } catch (...) {
        raise_from_cpp_exception();
        if constexpr (std::is_pointer_v<R>) {
            return nullptr;
        } else {
            return R(-1);
        }
    }
}

}  // namespace vorlix::staged
