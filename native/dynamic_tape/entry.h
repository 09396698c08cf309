// The frames every DynamicTape method runs in: the borrow the method needs
// for the whole call, its arguments bound into an array the signature sizes,
// and for node-ID methods the converted ID with the state and existence
// checks in their fixed order.
#pragma once

#include <type_traits>
#include <utility>

#include "native/dynamic_tape/tape.h"
#include "native/toolkit/args.h"

namespace vorlix::tape {

enum class Access : uint8_t { Shared, Exclusive };

template <Access A>
using Hold = std::conditional_t<A == Access::Shared, py::SharedHold, py::ExclusiveHold>;

// Objects a method lets go of, dropped only after its hold has ended: a
// finalizer they run may call back into the tape. See Note [Payload release
// order]. Declared before the hold, so it outlives it.
using Dropped = InlineVec<Ref, 4>;

// Takes the hold, binds the arguments with `keywords` (guesses or interned
// names of the method's parameters) and calls `body(state, argv, dropped)`,
// which returns a new reference or nullptr.
template <Access A, size_t N, class Keywords, class Body>
[[nodiscard]] PyObject* tape_method(PyObject* self, const py::Signature<N>& sig, Keywords& keywords,
                                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    TapeObject* tape = as_tape(self);
    Dropped dropped;
    Hold<A> hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    py::Arguments<N> argv;
    if (!py::bind_arguments(sig, keywords, args, nargs, kwnames, argv)) return nullptr;
    return body(tape->state, argv, dropped);
}

template <Access A, size_t N, class Body>
[[nodiscard]] PyObject* tape_method(PyObject* self, const py::Signature<N>& sig, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    static py::KeywordGuesses<N> guesses;  // one per method, as Body is unique to it
    return tape_method<A>(self, sig, guesses, args, nargs, kwnames, std::forward<Body>(body));
}

// For methods whose first parameter is `node_id`: after binding, converts the
// ID, applies `requirement`, then checks that the node exists, and calls
// `body(state, id, argv)`.
template <Access A, size_t N, class Body>
[[nodiscard]] PyObject* node_method(PyObject* self, const py::Signature<N>& sig, Requirement requirement,
                                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    static_assert(N >= 1);
    return tape_method<A>(self, sig, args, nargs, kwnames,
                          [&](TapeState& state, py::Arguments<N>& argv, Dropped&) -> PyObject* {
                              uint32_t id = 0;
                              if (!py::to_u32(argv[0], "node_id", id)) return nullptr;
                              if (!state.check(requirement) || !state.check_exists(id)) return nullptr;
                              return body(state, id, argv);
                          });
}

}  // namespace vorlix::tape
