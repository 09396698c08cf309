// The interpreter's C API, with the few shims for interpreters older than the
// one this module targets.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030D0000
#error "the native core needs CPython 3.13 or later"
#endif

namespace vorlix::py {

// Reads an int into an unsigned 64-bit value. Returns 0 on success, -1 with
// no exception set when the int is outside [0, 2**64), and -1 with an
// exception set for any other failure.
inline int read_u64(PyObject* obj, uint64_t& out) {
#if PY_VERSION_HEX >= 0x030E0000
    if (PyLong_AsUInt64(obj, &out) == 0) return 0;
#else
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (!(v == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        out = v;
        return 0;
    }
#endif
    // Out of range is OverflowError, except that PyLong_AsUInt64 reports a
    // negative int as ValueError.
    if (PyErr_ExceptionMatches(PyExc_OverflowError)
#if PY_VERSION_HEX >= 0x030E0000
        || (PyLong_Check(obj) && PyErr_ExceptionMatches(PyExc_ValueError))
#endif
    ) {
        PyErr_Clear();
        return -1;
    }
    return -1;
}

}  // namespace vorlix::py
