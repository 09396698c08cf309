// Dtype resolution: dtype strings, Python scalar types and the dtype classes
// and objects of the supported array namespaces, into DTypeDescriptors.
#pragma once

#include <deque>
#include <optional>
#include <string_view>

#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"
#include "runtime/dtype.h"

namespace vorlix::staged {

// Every function here fails with a Python exception set and an empty result.

// Resolves without caching.
[[nodiscard]] std::optional<DTypeDescriptor> dtype_from_python(PyObject* obj);
// The descriptor of a dtype name; a refused name raises ValueError.
[[nodiscard]] std::optional<DTypeDescriptor> descriptor_from_name(std::string_view name);
// "array_api_strict", "cupy" or "numpy", or a submodule of one of them.
[[nodiscard]] bool is_dtype_namespace(std::string_view module);
// Raises the TypeError for a dtype of `type` from `module`; returns nullptr.
[[gnu::cold]] std::nullptr_t unsupported_dtype(PyTypeObject* type, std::string_view module);

// The descriptors an owner has resolved, by object identity. Each entry holds
// a strong reference, so no other object can take over its address while the
// entry exists; entries are never removed or refreshed. Strings are parsed on
// every call and never entered, and failed resolutions leave no entry. An
// entry stays where it is while the cache lives (until `clear`), so a
// descriptor read in place stays valid across later resolutions.
class DTypeCache {
public:
    DTypeCache() = default;
    DTypeCache(const DTypeCache&) = delete;
    DTypeCache& operator=(const DTypeCache&) = delete;

    [[nodiscard]] std::optional<DTypeDescriptor> resolve(PyObject* obj);
    // The descriptor an entry holds for `obj`, in place; null when there is
    // none (a str, an object not met yet), where `resolve` is the way on.
    [[nodiscard]] const DTypeDescriptor* cached(PyObject* obj) const { return find(obj); }
    // 1 when `obj` resolves to `expected` (both texts equal), 0 when it
    // resolves to another descriptor, -1 with an exception set when it
    // cannot be resolved.
    [[nodiscard]] int matches(PyObject* obj, const DTypeDescriptor& expected);

    [[nodiscard]] size_t size() const { return entries_.size(); }
    // Whether an entry holds `obj`.
    [[nodiscard]] bool holds(PyObject* obj) const { return find(obj) != nullptr; }
    // Garbage-collector support for the owner's tp_traverse and tp_clear.
    int traverse(visitproc visit, void* arg) const;
    void clear();

private:
    struct Entry {
        py::Ref object;
        DTypeDescriptor descriptor;
    };
    [[nodiscard]] const DTypeDescriptor* find(PyObject* obj) const;

    std::deque<Entry> entries_;
};

}  // namespace vorlix::staged
