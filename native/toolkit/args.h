// Argument binding for METH_FASTCALL | METH_KEYWORDS functions and the
// converters every entry point uses. Failures raise TypeError (or
// OverflowError for ints outside a field's width) naming the argument.
#pragma once

#include <cstdint>
#include <array>
#include <limits>
#include <span>
#include <type_traits>
#include <vector>

#include "native/toolkit/errors.h"
#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"

namespace vorlix::py {

// A text signature: the parameter names in order; the first `positional` may
// be passed by position (the rest are keyword-only), and the first `required`
// must be passed. The parameter count is part of the type, deduced from the
// braced list of names, so the array arguments are bound into is sized by the
// compiler: `static constexpr py::Signature sig{"f", {"a", "b"}, 2, 1};`.
template <size_t N>
struct Signature {
    const char* function;
    const char* names[N];
    int positional;
    int required;

    static constexpr size_t size = N;
};

// The arguments bound for a signature of N parameters.
template <size_t N>
using Arguments = std::array<PyObject*, N>;

// The parameter each keyword position matched in the previous call through
// one call site. A call site passes the same keywords in the same order call
// after call, so each keyword is compared with its previous parameter's name
// first, and the names are searched only when that comparison fails. Only
// indices are kept, so nothing outlives the interpreter.
template <size_t N>
struct KeywordGuesses {
    std::array<uint8_t, N> parameter{};
};

// Binds fastcall arguments to parameters. On success `out[i]` is a borrowed
// reference to the object passed for parameter i, or nullptr when it was not
// passed. `names` and `out` have the same length; `guesses` is empty or as
// long as `names`.
[[nodiscard]] bool bind_arguments(const char* function, std::span<const char* const> names, int positional,
                                  int required, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                  std::span<PyObject*> out, std::span<uint8_t> guesses = {});

template <size_t N>
[[nodiscard]] bool bind_arguments(const Signature<N>& sig, KeywordGuesses<N>& guesses, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames, Arguments<N>& out) {
    static_assert(N <= 256);
    return bind_arguments(sig.function, sig.names, sig.positional, sig.required, args, nargs, kwnames, out,
                          guesses.parameter);
}

template <size_t N>
[[nodiscard]] bool bind_arguments(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, Arguments<N>& out) {
    return bind_arguments(sig.function, sig.names, sig.positional, sig.required, args, nargs, kwnames, out);
}

template <size_t N>
[[nodiscard]] bool bind_arguments(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, PyObject* (&out)[N]) {
    return bind_arguments(sig.function, sig.names, sig.positional, sig.required, args, nargs, kwnames, out);
}

[[nodiscard]] bool to_u32(PyObject* obj, const char* arg, uint32_t& out);
[[nodiscard]] bool to_u64(PyObject* obj, const char* arg, uint64_t& out);
[[nodiscard]] bool to_bool(PyObject* obj, const char* arg, bool& out);
// A str (or subclass); `out` gets a new reference to it.
[[nodiscard]] bool to_str(PyObject* obj, const char* arg, Ref& out);
// None or a str; `out` stays empty for None.
[[nodiscard]] bool to_optional_str(PyObject* obj, const char* arg, Ref& out);

// A sequence argument (a str is refused) with its items; holds the list or
// tuple it iterates, so items stay borrowed from it.
class SequenceArg {
public:
    [[nodiscard]] bool open(PyObject* obj, const char* arg);
    [[nodiscard]] Py_ssize_t size() const { return size_; }
    [[nodiscard]] PyObject* operator[](Py_ssize_t i) const { return items_[i]; }
    [[nodiscard]] std::span<PyObject* const> items() const { return {items_, static_cast<size_t>(size_)}; }

private:
    Ref fast_;
    PyObject** items_ = nullptr;
    Py_ssize_t size_ = 0;
};

// Reads one int of a sequence argument (index >= 0) or the argument itself
// (index < 0) into a value of at most `max`; `width` names the field.
[[nodiscard]] bool read_unsigned_slow(PyObject* obj, const char* arg, Py_ssize_t index, uint64_t max,
                                      const char* width, uint64_t& out);

[[nodiscard]] inline bool read_unsigned(PyObject* obj, const char* arg, Py_ssize_t index, uint64_t max,
                                        const char* width, uint64_t& out) {
    // Small non-negative ints, the common case, are read in place.
    if (PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
        const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
        if (v >= 0 && static_cast<uint64_t>(v) <= max) {
            out = static_cast<uint64_t>(v);
            return true;
        }
    }
    return read_unsigned_slow(obj, arg, index, max, width, out);
}

// A sequence of ints into `out` (a vector-like container of unsigned ints).
template <class Out>
[[nodiscard]] bool read_uints(std::span<PyObject* const> items, const char* arg, Out& out) {
    using T = std::remove_cvref_t<decltype(out[0])>;
    static_assert(sizeof(T) == 4 || sizeof(T) == 8);
    out.clear();
    out.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        uint64_t v = 0;
        if (!read_unsigned(items[i], arg, static_cast<Py_ssize_t>(i), std::numeric_limits<T>::max(),
                           sizeof(T) == 4 ? "u32" : "u64", v)) {
            return false;
        }
        out.push_back(static_cast<T>(v));
    }
    return true;
}

template <class Out>
[[nodiscard]] bool to_uint_list(PyObject* obj, const char* arg, Out& out) {
    // An exact list or tuple is read in place: reading ints runs no Python
    // code, so its items cannot change under the loop.
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        return read_uints({PySequence_Fast_ITEMS(obj), static_cast<size_t>(PySequence_Fast_GET_SIZE(obj))}, arg,
                          out);
    }
    SequenceArg seq;
    if (!seq.open(obj, arg)) return false;
    return read_uints(seq.items(), arg, out);
}

// For converters of composite arguments: raise TypeError
// "argument '{arg}': {detail}".
[[gnu::cold]] std::nullptr_t raise_argument_error(const char* arg, std::string_view detail);

}  // namespace vorlix::py
