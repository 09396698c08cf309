// The frame every traversal runs in: start under an exclusive hold, walk with
// no hold, end, and with `consume` retire the invocation payloads.
#pragma once

#include <utility>

#include "native/dynamic_tape/lanes.h"
#include "native/dynamic_tape/lifecycle.h"
#include "native/toolkit/args.h"
#include "native/toolkit/guard.h"

namespace vorlix::tape {

// Note [What a walk relies on]
// While a traversal runs (the tape's traversal state is not idle), whatever
// thread runs Python meanwhile:
// - the tape stays frozen: no node, edge, operation, layout or literal slot is
//   added, and no rule or retention contract is replaced;
// - activity does not change, and no payload leaves the tape but through the
//   walk's own retirement after a node's last rule call: release, pruning and
//   activity changes are refused until the walk ends;
// - the walk holds a reference to the tape, so its collector clear cannot run;
// - the lanes are the walk's own, one slot per node per lane, sized once when
//   they are seeded.
// A node is prepared under a shared hold, so that Python code the preparation
// runs (a weak parent's conversion, a residual's payload) and other threads
// find the tape borrowed; the rules run with no hold. What a rule call
// borrows from the tape (the rule, the output value, attrs, literals, source
// location and cached operand specs) therefore stays in place until the
// node's calls have returned, and the tape's chunked vectors never move an
// element, so a record read before Python ran is still where it was.

// Whether a walk consumes the tape: its invocation payloads are retired when
// it ends, whatever its outcome.
enum class Consume : uint8_t { No, Yes };

// Ends a traversal: the state goes back to idle, and when it consumes the
// tape, the tape is consumed and its payloads are closed and dropped outside
// the hold. A closing failure is noted on the walk's error, or raised itself
// when the walk succeeded. Returns `result`, or nullptr with the exception
// raised.
[[nodiscard]] Ref finish_traversal(TapeObject* tape, Consume consume, Ref result);

// Runs `walk` as a traversal of `kind`. A C++ exception from the walk fails
// it like any other failure, so the tape still goes back to idle.
template <class Walk>
[[nodiscard]] Ref run_traversal(TapeObject* tape, Traversal kind, Consume consume, Walk&& walk) {
    {
        py::ExclusiveHold hold(tape->borrow);
        if (!hold.ok() || !begin_traversal(tape->state, kind)) return nullptr;
    }
    Ref result = py::call_guarded(std::forward<Walk>(walk));
    return finish_traversal(tape, consume, std::move(result));
}

// The converted arguments of a walk function: `(tape, seeds, requested, *,
// consume=False)` for one lane, `(tape, seed_sets, requested)` for many.
struct WalkArguments {
    TapeObject* tape = nullptr;
    Ref keep_alive;  // the tape object, held for the whole walk
    std::vector<SeedSet> seed_sets;
    std::vector<uint32_t> requested;
    Consume consume = Consume::No;
};

// `argv` holds the bound arguments of the walk function's signature.
[[nodiscard]] bool convert_walk_arguments(PyObject* module, std::span<PyObject* const> argv,
                                          std::span<const char* const> names, bool many, const char* direction,
                                          WalkArguments& out);

template <size_t N>
[[nodiscard]] bool bind_walk_arguments(PyObject* module, const py::Signature<N>& sig, const char* direction,
                                       PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, WalkArguments& out) {
    static_assert(N == 3 || N == 4, "walks take (tape, seeds, requested) and, for one lane, consume");
    py::Arguments<N> argv;
    if (!py::bind_arguments(sig, args, nargs, kwnames, argv)) return false;
    return convert_walk_arguments(module, argv, sig.names, N == 3, direction, out);
}

// Converts a sequence of seed sets; more than `kMaxLanes` fails with
// "dynamic {JVP|VJP} supports at most 16 seeds per traversal".
inline constexpr size_t kMaxLanes = 16;
[[nodiscard]] bool to_seed_sets(PyObject* obj, const char* arg, const char* direction, std::vector<SeedSet>& out);

}  // namespace vorlix::tape
