// How every Python entry point of the module is declared and entered: one
// row builder for method and getset tables, always guarded, and one frame
// for the hold and the binding.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "native/toolkit/args.h"
#include "native/toolkit/borrow.h"
#include "native/toolkit/guard.h"
#include "native/toolkit/python.h"

namespace vorlix::py {

// Note [Entry points]
// An entry point is one declaration and one body. The declaration is its
// py::Signature, at namespace scope; the row that puts the body in a method
// table names both, and builds the __text_signature__ from the declaration,
// so the binder and the signature Python shows cannot disagree. Every row
// wraps its body in `guarded`, so no C++ exception reaches the interpreter
// and no body guards itself. A body runs in one frame, in this order: the
// hold of its object (refused with "Already borrowed" before any argument
// is looked at), the binding of its arguments, then its own work. An entry
// that converts arguments which may run Python code, and must not hold its
// object while they run, binds and converts first and takes the hold after
// (`frame_converting_first`).

inline constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// Whether a text signature begins with `$self`.
enum class Receiver : uint8_t { Self, Module };

// "name(params)\n--\n\ndoc", the docstring CPython splits into
// __text_signature__ and __doc__.
[[nodiscard]] std::string signature_doc(const char* function, std::span<const char* const> names,
                                        std::span<const char* const> defaults, int positional, Receiver receiver,
                                        const char* doc);

namespace detail {

template <auto Fn>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<Fn>));
}

// The docstring of one entry, built once and kept for the process: method
// tables are static data that CPython reads for as long as it runs.
template <const auto& Sig, Receiver R>
const char* stored_doc(const char* doc) {
    static const std::string text = signature_doc(Sig.function, Sig.names, Sig.defaults, Sig.positional, R, doc);
    return text.c_str();
}

template <auto Fn>
const char* stored_noargs_doc(const char* name, const char* doc) {
    static const std::string text = signature_doc(name, {}, {}, 0, Receiver::Self, doc);
    return text.c_str();
}

}  // namespace detail

// A METH_FASTCALL | METH_KEYWORDS method row for `Fn`, bound by `Sig`.
template <auto Fn, const auto& Sig>
PyMethodDef method(const char* doc) {
    return {Sig.function, detail::as_cfunction<Fn>(), kFastcall, detail::stored_doc<Sig, Receiver::Self>(doc)};
}

// The same for a module-level function.
template <auto Fn, const auto& Sig>
PyMethodDef function(const char* doc) {
    return {Sig.function, detail::as_cfunction<Fn>(), kFastcall, detail::stored_doc<Sig, Receiver::Module>(doc)};
}

// The docstring of a class whose constructor is bound by `Sig`.
template <const auto& Sig>
const char* type_doc(const char* doc) {
    return detail::stored_doc<Sig, Receiver::Module>(doc);
}

// A METH_NOARGS method row.
template <auto Fn>
PyMethodDef method_noargs(const char* name, const char* doc) {
    return {name, detail::as_cfunction<Fn>(), METH_NOARGS, detail::stored_noargs_doc<Fn>(name, doc)};
}

// A read-only property row.
template <auto Get>
PyGetSetDef property(const char* name, const char* doc) {
    return {name, guarded<Get>, nullptr, doc, nullptr};
}

inline constexpr PyMethodDef kEndOfMethods{nullptr, nullptr, 0, nullptr};
inline constexpr PyGetSetDef kEndOfProperties{nullptr, nullptr, nullptr, nullptr, nullptr};

enum class Access : uint8_t { Shared, Exclusive };

template <Access A>
using Hold = std::conditional_t<A == Access::Shared, SharedHold, ExclusiveHold>;

// The frame of a method body (see Note [Entry points]): takes the hold of
// `borrow`, binds the arguments by `sig` with `keywords` (guesses or
// interned names), and returns `body(argv)`: a new reference or nullptr.
template <Access A, size_t N, class Keywords, class Body>
[[nodiscard]] PyObject* frame(BorrowState& borrow, const Signature<N>& sig, Keywords& keywords, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    Hold<A> hold(borrow);
    if (!hold.ok()) return nullptr;
    Arguments<N> argv;
    if (!bind_arguments(sig, keywords, args, nargs, kwnames, argv)) return nullptr;
    return body(argv);
}

template <Access A, size_t N, class Body>
[[nodiscard]] PyObject* frame(BorrowState& borrow, const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, Body&& body) {
    static KeywordGuesses<N> guesses;  // one per entry, as Body is unique to it
    return frame<A>(borrow, sig, guesses, args, nargs, kwnames, std::forward<Body>(body));
}

// The frame of an entry with no object to hold: a module function.
template <size_t N, class Body>
[[nodiscard]] PyObject* frame(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              Body&& body) {
    static KeywordGuesses<N> guesses;
    Arguments<N> argv;
    if (!bind_arguments(sig, guesses, args, nargs, kwnames, argv)) return nullptr;
    return body(argv);
}

// The frame of an entry that binds and converts its arguments before the
// hold, because converting them may run Python code that must find the
// object free: `convert(argv)` returns false with an exception raised, and
// `body()` runs under the hold.
template <Access A, size_t N, class Convert, class Body>
[[nodiscard]] PyObject* frame_converting_first(BorrowState& borrow, const Signature<N>& sig, PyObject* const* args,
                                               Py_ssize_t nargs, PyObject* kwnames, Convert&& convert, Body&& body) {
    static KeywordGuesses<N> guesses;
    Arguments<N> argv;
    if (!bind_arguments(sig, guesses, args, nargs, kwnames, argv) || !convert(argv)) return nullptr;
    Hold<A> hold(borrow);
    if (!hold.ok()) return nullptr;
    return body();
}

// A read under a shared hold of `borrow`: `body()` returns a new reference
// or nullptr. For METH_NOARGS methods and properties.
template <class Body>
[[nodiscard]] PyObject* shared_read(BorrowState& borrow, Body&& body) {
    SharedHold hold(borrow);
    if (!hold.ok()) return nullptr;
    return body();
}

}  // namespace vorlix::py
