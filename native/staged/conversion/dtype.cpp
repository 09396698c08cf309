// Dtype resolution through the class, NumPy and generic-namespace routes, and
// the per-owner identity cache.
#include "native/staged/conversion/dtype.h"

#include <array>
#include <string>

#include "native/staged/conversion/type_name.h"
#include "native/toolkit/errors.h"
#include "native/toolkit/names.h"
#include "native/toolkit/values.h"
#include "runtime/quote.h"

namespace vorlix::staged {

using py::ErrorKind;
using py::Ref;

namespace {

constexpr std::array<std::string_view, 3> kNamespaces{"array_api_strict", "cupy", "numpy"};
constexpr std::array<std::string_view, 4> kBuiltinScalars{"bool", "int", "float", "complex"};

[[gnu::cold]] std::nullopt_t not_a_string(PyObject* value, const char* what) {
    py::raise(ErrorKind::Type, std::string(what) + " must be a string, not " + py::type_name_of(value));
    return std::nullopt;
}

// Reads an attribute that must hold a string; every failure passes on.
std::optional<std::string> required_text(PyObject* obj, PyObject* attr, const char* what) {
    Ref value = Ref::steal(PyObject_GetAttr(obj, attr));
    if (!value) return std::nullopt;
    if (!PyUnicode_Check(value.get())) return not_a_string(value.get(), what);
    return py::utf8_text(value.get());
}

// Reads an attribute that may be missing or not a string: such a value
// gives an empty Ref with no exception (an ordinary lookup error is
// discarded). A raised exception means the resolution fails.
Ref optional_string_attr(PyObject* obj, PyObject* attr) {
    Ref value = Ref::steal(PyObject_GetAttr(obj, attr));
    if (!value) {
        if (discard_ordinary_error()) return nullptr;
        return nullptr;
    }
    if (!PyUnicode_Check(value.get())) return nullptr;
    return value;
}

bool starts_with_numpy(std::string_view module) { return module == "numpy" || module.starts_with("numpy."); }

std::optional<DTypeDescriptor> descriptor_of_text(PyObject* value) {
    std::optional<std::string> text = py::utf8_text(value);
    if (!text) return std::nullopt;
    return descriptor_from_name(*text);
}

std::optional<DTypeDescriptor> from_class(PyObject* cls) {
    std::optional<std::string> module = required_text(cls, py::names::dunder_module(), "__module__");
    if (!module) return std::nullopt;
    std::optional<std::string> name = required_text(cls, py::names::dunder_name(), "__name__");
    if (!name) return std::nullopt;
    if (*module == "builtins") {
        for (std::string_view scalar : kBuiltinScalars) {
            if (*name == scalar) return descriptor_from_name(*name);
        }
    } else if (is_dtype_namespace(*module)) {
        return descriptor_from_name(*name);
    }
    unsupported_dtype(Py_TYPE(cls), *module);
    return std::nullopt;
}

// The NumPy dtype route; nothing without an exception when the object has
// no string `name` and the generic route must be tried.
std::optional<DTypeDescriptor> from_numpy_dtype(PyObject* obj) {
    Ref name = optional_string_attr(obj, py::names::name());
    if (!name) return std::nullopt;
    std::optional<std::string> name_text = py::utf8_text(name.get());
    if (!name_text) return std::nullopt;

    Ref order = optional_string_attr(obj, py::names::byteorder());
    if (!order) {
        if (PyErr_Occurred()) return std::nullopt;
        return descriptor_from_name(*name_text);
    }
    std::optional<std::string> order_text = py::utf8_text(order.get());
    if (!order_text) return std::nullopt;
    if (*order_text != "<" && *order_text != ">") return descriptor_from_name(*name_text);

    Ref native = Ref::steal(PyObject_GetAttr(obj, py::names::isnative()));
    if (!native) return std::nullopt;
    const int is_native = PyObject_IsTrue(native.get());
    if (is_native < 0) return std::nullopt;
    if (is_native == 1) return descriptor_from_name(*name_text);
    Ref type_string = optional_string_attr(obj, py::names::str());
    if (!type_string) {
        if (PyErr_Occurred()) return std::nullopt;
        return descriptor_from_name(*name_text);
    }
    return descriptor_of_text(type_string.get());
}

std::optional<DTypeDescriptor> from_instance(PyObject* obj) {
    std::optional<std::string> module =
        required_text(reinterpret_cast<PyObject*>(Py_TYPE(obj)), py::names::dunder_module(), "__module__");
    if (!module) return std::nullopt;
    if (!is_dtype_namespace(*module)) {
        unsupported_dtype(Py_TYPE(obj), *module);
        return std::nullopt;
    }
    if (starts_with_numpy(*module)) {
        std::optional<DTypeDescriptor> found = from_numpy_dtype(obj);
        if (found || PyErr_Occurred()) return found;
    }
    Ref name = optional_string_attr(obj, py::names::name());
    if (name) return descriptor_of_text(name.get());
    if (PyErr_Occurred()) return std::nullopt;
    Ref text = Ref::steal(PyObject_Str(obj));
    if (!text) return std::nullopt;
    return descriptor_of_text(text.get());
}

}  // namespace

std::optional<DTypeDescriptor> descriptor_from_name(std::string_view name) {
    Expected<DTypeDescriptor> descriptor = DTypeDescriptor::from_name(name);
    if (!descriptor) {
        py::raise_graph_error(descriptor.error(), py::GraphErrorSite::Building);
        return std::nullopt;
    }
    return std::move(descriptor).value();
}

bool is_dtype_namespace(std::string_view module) {
    for (std::string_view ns : kNamespaces) {
        if (module.starts_with(ns) && (module.size() == ns.size() || module[ns.size()] == '.')) return true;
    }
    return false;
}

std::nullptr_t unsupported_dtype(PyTypeObject* type, std::string_view module) {
    std::optional<std::string> qualname = qualified_name(type);
    if (!qualname) {
        if (!discard_ordinary_error()) return nullptr;
        qualname = "<unknown>";
    }
    std::string message = "unsupported dtype object " + *qualname + " from module ";
    quote::append_path_key(message, module);
    message += "; pass a dtype string, a built-in numeric type, or a supported array-backend dtype";
    return py::raise(ErrorKind::Type, message);
}

std::optional<DTypeDescriptor> dtype_from_python(PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return descriptor_of_text(obj);
    if (PyType_Check(obj)) return from_class(obj);
    return from_instance(obj);
}

const DTypeDescriptor* DTypeCache::find(PyObject* obj) const {
    for (const Entry& entry : entries_) {
        if (entry.object.get() == obj) return &entry.descriptor;
    }
    return nullptr;
}

std::optional<DTypeDescriptor> DTypeCache::resolve(PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return dtype_from_python(obj);
    if (const DTypeDescriptor* cached = find(obj)) return *cached;
    std::optional<DTypeDescriptor> resolved = dtype_from_python(obj);
    if (resolved) entries_.push_back(Entry{Ref::new_ref(obj), *resolved});
    return resolved;
}

int DTypeCache::matches(PyObject* obj, const DTypeDescriptor& expected) {
    std::optional<DTypeDescriptor> resolved = resolve(obj);
    if (!resolved) return -1;
    return *resolved == expected ? 1 : 0;
}

int DTypeCache::traverse(visitproc visit, void* arg) const {
    for (const Entry& entry : entries_) Py_VISIT(entry.object.get());
    return 0;
}

void DTypeCache::clear() {
    // Dropped only after the table is empty, so a finalizer sees no entry.
    std::deque<Entry> old = std::move(entries_);
    entries_.clear();
}

}  // namespace vorlix::staged
