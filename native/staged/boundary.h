// The guard every staged entry point runs its body in: no C++ exception
// leaves the module (std::bad_alloc becomes MemoryError, any other exception
// RuntimeError with its text).
#pragma once

#include "native/toolkit/guard.h"

namespace vorlix::staged {

// Runs `body`; a C++ exception it throws becomes a Python exception and the
// failure value of the entry point's return type (nullptr or -1).
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
    using R = decltype(body());
    try {
        return body();
    } catch (...) {
        py::raise_current_exception();
        return py::entry_failure<R>();
    }
}

}  // namespace vorlix::staged
