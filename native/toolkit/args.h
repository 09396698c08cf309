// Argument binding for METH_FASTCALL | METH_KEYWORDS functions and the
// converters every entry point uses. Failures raise TypeError (or
// OverflowError for ints outside a field's width) naming the argument.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "native/toolkit/errors.h"
#include "native/toolkit/names.h"
#include "native/toolkit/no_python.h"
#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"

namespace vorlix::py {

// The one declaration of an entry point's parameters, from which both its
// binding and its __text_signature__ come (see Note [Entry points] in
// entry.h): the parameter names in order; the first `positional` may be
// passed by position (the rest are keyword-only), and the first `required`
// must be passed; each optional parameter's default as the text signature
// shows it. The parameter count is part of the type, deduced from the braced
// list of names, so the array arguments are bound into is sized by the
// compiler:
//   inline constexpr py::Signature kF{"f", {"a", "b"}, 2, 1, {nullptr, "None"}};
// Declare it at namespace scope, where the method table can name it, and
// read bound arguments by name: `argv[kF["b"]]`.
template <size_t N>
struct Signature {
    const char* function;
    const char* names[N];
    int positional;
    int required;
    const char* defaults[N] = {};

    static constexpr size_t size = N;

    // The index of parameter `name`; a name the signature lacks does not
    // compile.
    consteval size_t operator[](std::string_view name) const {
        for (size_t i = 0; i < N; ++i) {
            if (std::string_view(names[i]) == name) return i;
        }
        throw "no parameter of that name";
    }
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

// The parameter names of a signature as interned strs, with the guesses of
// its one call site. The names join the module's table of interned names
// (see names.h), so they are made by the exec step and released with the
// last module object, never outliving the interpreter that made them; a
// name not (yet) made is null and matches no keyword. Declare one at
// namespace scope, so that it registers when the library loads.
template <size_t N>
class Keywords {
public:
    explicit Keywords(const Signature<N>& sig) : Keywords(sig, std::make_index_sequence<N>{}) {}
    Keywords(const Keywords&) = delete;
    Keywords& operator=(const Keywords&) = delete;

    // The parameter whose interned name is `key` itself, trying the one the
    // keyword at position `k` named last time first; N when there is none.
    [[nodiscard]] size_t find(Py_ssize_t k, PyObject* key) {
        const bool guessed = static_cast<size_t>(k) < N;
        if (guessed && names_[guesses.parameter[k]].get() == key) return guesses.parameter[k];
        for (size_t i = 0; i < N; ++i) {
            if (names_[i].get() == key) {
                if (guessed) guesses.parameter[k] = static_cast<uint8_t>(i);
                return i;
            }
        }
        return N;
    }

    KeywordGuesses<N> guesses;

private:
    template <size_t... I>
    Keywords(const Signature<N>& sig, std::index_sequence<I...>) : names_{names::Slot(sig.names[I])...} {}

    std::array<names::Slot, N> names_;
};

// `bind_arguments` for a call site with interned parameter names. Keywords
// at call sites are interned strs, so each is matched by identity; a call
// with any keyword that is not (a str made at run time, a str subclass, an
// unknown name) or that does not bind is bound again from the start by
// text, so results and messages are those of the general binding.
template <size_t N>
[[nodiscard]] inline bool bind_arguments(const Signature<N>& sig, Keywords<N>& keywords, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames, Arguments<N>& out) {
    static_assert(N <= 256);
    // Filled slot by slot in one pass, which compiles to a few stores: a
    // plain fill and copy become a string instruction and a library call,
    // whose start-up costs more. Too many positional arguments fill slots
    // they should not, but that call is bound again below.
    for (size_t i = 0; i < N; ++i) out[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
    if (nargs <= sig.positional) {
        const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
        bool bound = true;
        for (Py_ssize_t k = 0; k < nkw && bound; ++k) {
            const size_t slot = keywords.find(k, PyTuple_GET_ITEM(kwnames, k));
            bound = slot < N && out[slot] == nullptr;
            if (bound) out[slot] = args[nargs + k];
        }
        for (auto i = nargs; i < sig.required && bound; ++i) bound = out[i] != nullptr;
        if (bound) return true;
    }
    return bind_arguments(sig.function, sig.names, sig.positional, sig.required, args, nargs, kwnames, out,
                          keywords.guesses.parameter);
}

template <size_t N>
[[nodiscard]] bool bind_arguments(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                  Arguments<N>& out) {
    return bind_arguments(sig.function, sig.names, sig.positional, sig.required, args, nargs, kwnames, out);
}

template <size_t N>
[[nodiscard]] bool bind_arguments(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                  PyObject* (&out)[N]) {
    return bind_arguments(sig.function, sig.names, sig.positional, sig.required, args, nargs, kwnames, out);
}

// Raises TypeError "argument '{arg}': expected {expected}, got {type}".
[[gnu::cold]] bool fail_expected(const char* arg, const char* expected, PyObject* obj);

[[nodiscard]] inline bool to_bool(PyObject* obj, const char* arg, bool& out) {
    if (!PyBool_Check(obj)) return fail_expected(arg, "bool", obj);
    out = obj == Py_True;
    return true;
}
// Whether `obj` is a str (or subclass), raising TypeError when it is not.
[[nodiscard]] inline bool check_str(PyObject* obj, const char* arg) {
    return PyUnicode_Check(obj) || fail_expected(arg, "str", obj);
}
// A str (or subclass); `out` gets a new reference to it.
[[nodiscard]] inline bool to_str(PyObject* obj, const char* arg, Ref& out) {
    if (!check_str(obj, arg)) return false;
    out = Ref::new_ref(obj);
    return true;
}
// None or a str; `out` stays empty for None.
[[nodiscard]] inline bool to_optional_str(PyObject* obj, const char* arg, Ref& out) {
    if (obj == nullptr || obj == Py_None) {
        out.reset();
        return true;
    }
    return to_str(obj, arg, out);
}

// Note [Snapshots of caller sequences]
// A list's item array belongs to the caller, and holding the list does not
// keep the array in place: any Python code that runs (an __index__,
// __iter__ or __eq__, an attribute read, a finalizer, a collection) may
// clear, shrink or regrow the list and free the array under a pointer into
// it. So the items of a sequence that are converted by code that can run
// Python are read from an owned snapshot taken first: a tuple, whose items
// never change while it is held. A tuple (or subclass) is its own snapshot;
// a list (or subclass) is copied from its storage, as before, without
// calling an overridden __iter__; any other sequence is iterated once into a
// new tuple. A snapshot rather than re-checking the size and taking a new
// reference on every read, because it converts one consistent state of the
// argument: no item is read twice or skipped when a conversion edits the
// list, and the failure messages cannot depend on how it was edited. Only
// where nothing between the first and the last read can run Python code
// (exact ints, references taken at once, literals stored by a call that
// runs no Python) is an exact list read in place, without the copy, under a
// NoPythonScope (see Note [No Python code runs here]).

// An owned snapshot of `obj` as a tuple (see Note [Snapshots of caller
// sequences]); nullptr with the exception raised when `obj` cannot be
// iterated.
[[nodiscard]] Ref sequence_snapshot(PyObject* obj);

// Whether anything between the first and the last read of a sequence's
// items can run Python code.
enum class ItemReads { MayRunPython, RunNoPython };

// A sequence argument (a str is refused) with its items, borrowed from the
// owned snapshot it holds (see Note [Snapshots of caller sequences]): they
// stay valid whatever Python code runs while it lives. Opened for reads
// that run no Python code, an exact list is viewed in place instead, and its
// items are valid only until Python code next runs.
class SequenceArg {
public:
    [[nodiscard]] bool open(PyObject* obj, const char* arg, ItemReads reads = ItemReads::MayRunPython) {
        if (PyTuple_CheckExact(obj) || (reads == ItemReads::RunNoPython && PyList_CheckExact(obj))) {
            hold(Ref::new_ref(obj));
            return true;
        }
        return open_other(obj, arg);
    }
    [[nodiscard]] Py_ssize_t size() const { return size_; }
    [[nodiscard]] PyObject* operator[](Py_ssize_t i) const { return items_[i]; }
    [[nodiscard]] std::span<PyObject* const> items() const { return {items_, static_cast<size_t>(size_)}; }

private:
    [[nodiscard]] bool open_other(PyObject* obj, const char* arg);
    // `held` is a tuple, or an exact list viewed for reads that run no Python.
    void hold(Ref held) {
        held_ = std::move(held);
        items_ = PySequence_Fast_ITEMS(held_.get());
        size_ = PySequence_Fast_GET_SIZE(held_.get());
    }

    Ref held_;
    PyObject** items_ = nullptr;
    Py_ssize_t size_ = 0;
};

// A sequence argument's items as owned references, taken before any other
// argument is converted: an exact list is read in place, as taking
// references runs no Python code.
[[nodiscard]] bool to_object_list(PyObject* obj, const char* arg, std::vector<Ref>& out);

// Reads one int of a sequence argument (index >= 0) or the argument itself
// (index < 0) into a value of at most `max`; `width` names the field.
[[nodiscard]] bool read_unsigned_slow(PyObject* obj, const char* arg, Py_ssize_t index, uint64_t max, const char* width,
                                      uint64_t& out);

// Reads an exact, compact, non-negative int, the common case, in place.
// Compact ints have one digit, so the value fits in 32 bits.
[[nodiscard]] inline bool read_small_uint(PyObject* obj, uint64_t& out) {
    static_assert(PyLong_SHIFT < 32);
    auto* v = reinterpret_cast<PyLongObject*>(obj);
    if (!PyLong_CheckExact(obj) || !PyUnstable_Long_IsCompact(v)) return false;
    const Py_ssize_t value = PyUnstable_Long_CompactValue(v);
    out = static_cast<uint64_t>(value);
    return value >= 0;
}

[[nodiscard]] inline bool read_unsigned(PyObject* obj, const char* arg, Py_ssize_t index, uint64_t max,
                                        const char* width, uint64_t& out) {
    if (read_small_uint(obj, out) && out <= max) return true;
    return read_unsigned_slow(obj, arg, index, max, width, out);
}

[[nodiscard]] inline bool to_u32(PyObject* obj, const char* arg, uint32_t& out) {
    uint64_t v = 0;
    if (!read_unsigned(obj, arg, -1, std::numeric_limits<uint32_t>::max(), "u32", v)) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

[[nodiscard]] inline bool to_u64(PyObject* obj, const char* arg, uint64_t& out) {
    return read_unsigned(obj, arg, -1, std::numeric_limits<uint64_t>::max(), "u64", out);
}

// Sizes a vector-like container of unsigned ints for `n` items its caller
// writes next.
template <class Out>
inline void size_for_overwrite(Out& out, size_t n) {
    if constexpr (requires { out.resize_for_overwrite(n); }) {
        out.resize_for_overwrite(n);
    } else {
        out.resize(n);
    }
}

// A sequence of ints into `out` (a vector-like container of unsigned ints).
template <class Out>
[[nodiscard]] bool read_uints(std::span<PyObject* const> items, const char* arg, Out& out) {
    using T = std::remove_cvref_t<decltype(out[0])>;
    static_assert(sizeof(T) == 4 || sizeof(T) == 8);
    NoPythonScope no_python("ints read from a sequence");
    size_for_overwrite(out, items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        uint64_t v = 0;
        if (!read_unsigned(items[i], arg, static_cast<Py_ssize_t>(i), std::numeric_limits<T>::max(),
                           sizeof(T) == 4 ? "u32" : "u64", v)) {
            out.clear();
            return false;
        }
        out[i] = static_cast<T>(v);
    }
    return true;
}

// `to_uint_list` for any sequence, with every message.
template <class Out>
[[gnu::noinline]] [[nodiscard]] bool to_uint_list_general(PyObject* obj, const char* arg, Out& out) {
    // Reading ints runs no Python code, so an exact list is read in place.
    SequenceArg seq;
    if (!seq.open(obj, arg, ItemReads::RunNoPython)) return false;
    return read_uints(seq.items(), arg, out);
}

template <class Out>
[[gnu::always_inline]] [[nodiscard]] inline bool to_uint_list(PyObject* obj, const char* arg, Out& out) {
    // An exact list or tuple of small ints, which fit any width, is written
    // straight into place. Anything else is read again from the start by the
    // general reading, which is safe as reading ints runs no Python code.
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        NoPythonScope no_python("small ints read in place");
        const auto n = static_cast<size_t>(PySequence_Fast_GET_SIZE(obj));
        PyObject* const* items = PySequence_Fast_ITEMS(obj);
        size_for_overwrite(out, n);
        auto* dst = out.data();
        size_t i = 0;
        for (uint64_t v = 0; i < n && read_small_uint(items[i], v); ++i) {
            dst[i] = static_cast<std::remove_cvref_t<decltype(dst[i])>>(v);
        }
        if (i == n) return true;
    }
    return to_uint_list_general(obj, arg, out);
}

// For converters of composite arguments: raise TypeError
// "argument '{arg}': {detail}".
[[gnu::cold]] std::nullptr_t raise_argument_error(const char* arg, std::string_view detail);

}  // namespace vorlix::py
