// The debug-build frame evaluation that stops the process when Python code
// runs inside a NoPythonScope.
#include "native/toolkit/no_python.h"

#ifdef VORLIX_NO_PYTHON_CHECKS

#include <cstdio>
#include <utility>

namespace vorlix::py {

namespace {

// The innermost open scope of this thread, and the evaluation function the
// outermost one replaced.
thread_local const char* open_scope = nullptr;
thread_local _PyFrameEvalFunction replaced = nullptr;

[[noreturn]] void stop(const char* what) {
    std::fprintf(stderr, "vorlix native core: %s\n", what);
    Py_FatalError("a native-core invariant was broken");
}

PyObject* refuse_frame(PyThreadState*, struct _PyInterpreterFrame*, int) {
    std::fprintf(stderr, "vorlix native core: Python code ran inside \"%s\"\n", open_scope);
    stop("Python code ran where the core relies on none running");
}

}  // namespace

NoPythonScope::NoPythonScope(const char* what) : outer_(std::exchange(open_scope, what)) {
    if (outer_ != nullptr) return;
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    replaced = _PyInterpreterState_GetEvalFrameFunc(interpreter);
    _PyInterpreterState_SetEvalFrameFunc(interpreter, refuse_frame);
}

NoPythonScope::~NoPythonScope() {
    open_scope = outer_;
    if (outer_ == nullptr) _PyInterpreterState_SetEvalFrameFunc(PyInterpreterState_Get(), replaced);
}

void check_invariant(bool holds, const char* what) {
    if (!holds) stop(what);
}

}  // namespace vorlix::py

#endif
