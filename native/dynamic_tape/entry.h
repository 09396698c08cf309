// The frame every DynamicTape method runs in, the module's one frame with
// the tape's state and the references it drops after its hold, and for
// node-ID methods the converted ID with the state and existence checks in
// their fixed order.
#pragma once

#include <type_traits>
#include <utility>

#include "native/dynamic_tape/tape.h"
#include "native/toolkit/args.h"
#include "native/toolkit/entry.h"

namespace vorlix::tape {

using py::Access;

// Objects a method lets go of, dropped only after its hold has ended: a
// finalizer they run may call back into the tape. See Note [Payload release
// order]. Declared before the hold, so it outlives it.
using Dropped = InlineVec<Ref, 4>;

// The frame of a tape method (see Note [Entry points]): the hold, the
// arguments bound with `keywords` when given, then `body(state, argv,
// dropped)`, which returns a new reference or nullptr.
template <Access A, size_t N, class Keywords, class Body>
[[nodiscard]] PyObject* tape_method(PyObject* self, const py::Signature<N>& sig, Keywords& keywords,
                                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    TapeObject* tape = as_tape(self);
    Dropped dropped;
    return py::frame<A>(tape->borrow, sig, keywords, args, nargs, kwnames,
                        [&](py::Arguments<N>& argv) { return body(tape->state, argv, dropped); });
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
