// Debug-build checks of the places that rely on no Python code running: see
// Note [No Python code runs here].
#pragma once

#include "native/toolkit/python.h"

#if defined(Py_DEBUG) || !defined(NDEBUG) || defined(VORLIX_CHECK_INVARIANTS)
#define VORLIX_NO_PYTHON_CHECKS 1
#endif

namespace vorlix::py {

// Note [No Python code runs here]
// Some fast paths are sound only while no Python code runs: an exact list
// read in place (see Note [Snapshots of caller sequences]), a str written
// before Python can see it, a dtype remembered by identity, a function
// entered through its vectorcall slot. Any Python code (an __index__, a
// finalizer, a weakref callback) could edit or free what they rely on. In
// debug builds (Py_DEBUG, no NDEBUG, or VORLIX_CHECK_INVARIANTS, which the
// sanitizer build sets) such a place opens a NoPythonScope: while one is
// open, the interpreter evaluates frames through a function that stops the
// process naming the scope, so the first test that makes Python code run
// there fails instead of corrupting memory. Every Python function entered
// from C starts with a frame evaluation, so the check sees them all. The
// previous evaluation function comes back when the outermost scope closes.
// In release builds the scope does nothing, and `check_invariant` neither.
class [[nodiscard]] NoPythonScope {
public:
#ifdef VORLIX_NO_PYTHON_CHECKS
    explicit NoPythonScope(const char* what);
    ~NoPythonScope();
#else
    explicit NoPythonScope(const char*) {}
#endif
    NoPythonScope(const NoPythonScope&) = delete;
    NoPythonScope& operator=(const NoPythonScope&) = delete;

#ifdef VORLIX_NO_PYTHON_CHECKS
private:
    const char* outer_;
#endif
};

// Stops the process naming `what` when `holds` is false, in debug builds:
// for states the code around it makes impossible.
#ifdef VORLIX_NO_PYTHON_CHECKS
void check_invariant(bool holds, const char* what);
#else
inline void check_invariant(bool, const char*) {}
#endif

}  // namespace vorlix::py
