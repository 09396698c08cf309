// The wall between C++ exceptions and the interpreter: every function the
// interpreter calls runs inside `guarded`, so an allocation failure deep in a
// container surfaces as MemoryError instead of terminating the process.
#pragma once

#include <type_traits>
#include <utility>

#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"

namespace vorlix::py {

// Raises the C++ exception being handled: MemoryError for std::bad_alloc,
// RuntimeError with its what() for any other. Call only inside a catch block.
[[gnu::cold]] void raise_current_exception() noexcept;

template <class R>
[[nodiscard]] constexpr R entry_failure() {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        static_assert(std::is_integral_v<R>, "an entry point reports failure with nullptr or -1");
        return R(-1);
    }
}

template <auto Fn>
struct Guarded;

template <class R, class... A, R (*Fn)(A...)>
struct Guarded<Fn> {
    static R call(A... args) noexcept {
        try {
            return Fn(args...);
        } catch (...) {
            raise_current_exception();
            return entry_failure<R>();
        }
    }
};

// `guarded<f>` is `f` with C++ exceptions turned into Python ones; put it,
// not `f`, in method tables, getset tables, type slots and module slots.
template <auto Fn>
inline constexpr auto guarded = &Guarded<Fn>::call;

// Runs `body` (returning Ref) with the same translation, for a step whose
// caller must regain control to restore its object's state after a failure.
template <class Body>
[[nodiscard]] Ref call_guarded(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace vorlix::py
