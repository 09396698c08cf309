// Argument binding for METH_FASTCALL | METH_KEYWORDS functions and the
// converters every entry point uses. Failures raise TypeError (or
// OverflowError for ints outside a field's width) naming the argument.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "native/toolkit/errors.h"
#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"

namespace vorlix::py {

// A text signature: the parameter names in order; the first `positional` may
// be passed by position (the rest are keyword-only), and the first `required`
// must be passed.
struct Signature {
    const char* function;
    std::initializer_list<const char*> names;
    int positional;
    int required;
};

// Binds fastcall arguments to parameters. On success `out[i]` is a borrowed
// reference to the object passed for parameter i, or nullptr when it was not
// passed. `out` must hold `sig.names.size()` entries.
[[nodiscard]] bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                  PyObject** out);

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

[[nodiscard]] bool to_u32_list(PyObject* obj, const char* arg, std::vector<uint32_t>& out);
[[nodiscard]] bool to_u64_list(PyObject* obj, const char* arg, std::vector<uint64_t>& out);

// For converters of composite arguments: raise TypeError
// "argument '{arg}': {detail}".
[[gnu::cold]] std::nullptr_t raise_argument_error(const char* arg, std::string_view detail);

}  // namespace vorlix::py
