// Reading `shape` and `dtype` through each value type's own descriptors.
// See Note [Descriptors of value types].
#include "native/staged/execution/value_attributes.h"

#include "native/toolkit/names.h"

namespace vorlix::staged {

using py::Ref;

namespace {

// The attribute `name` as the first class of `type`'s MRO that defines it
// holds it; null when none does or the search failed (with an exception
// raised only then).
Ref lookup_in_mro(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(mro); ++k) {
        PyObject* base = PyTuple_GET_ITEM(mro, k);
        if (!PyType_Check(base)) return nullptr;
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict) continue;
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(dict.get(), name, &found) < 0) return nullptr;
        if (found != nullptr) return Ref::steal(found);
    }
    return nullptr;
}

// A descriptor the generic lookup would call for `name` on `type`'s
// instances, of a kind whose getter cannot change (built-in descriptor
// types are immutable); null otherwise.
Ref usable_descriptor(PyTypeObject* type, PyObject* name) {
    Ref found = lookup_in_mro(type, name);
    if (!found) {
        PyErr_Clear();
        return nullptr;
    }
    PyTypeObject* kind = Py_TYPE(found.get());
    if (kind != &PyMemberDescr_Type && kind != &PyGetSetDescr_Type && kind != &PyProperty_Type) return nullptr;
    return found;
}

PyObject* read_through(PyObject* descriptor, PyObject* value, PyObject* name) {
    if (descriptor == nullptr) return PyObject_GetAttr(value, name);
    return Py_TYPE(descriptor)->tp_descr_get(descriptor, value, reinterpret_cast<PyObject*>(Py_TYPE(value)));
}

}  // namespace

const ValueAttributes::Descriptors* ValueAttributes::descriptors_of(PyTypeObject* type) {
    if (type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    for (const Descriptors& known : types_) {
        if (known.type.get() == reinterpret_cast<PyObject*>(type)) {
            if (known.version != 0 && known.version == type->tp_version_tag) return &known;
            break;
        }
    }
    if (PyUnstable_Type_AssignVersionTag(type) == 0) return nullptr;
    // Replaces the type's stale entry too: a new one goes first in the
    // search, and the stale one ages out.
    Descriptors& entry = types_[next_];
    next_ = (next_ + 1) % types_.size();
    entry.type = Ref::new_ref(reinterpret_cast<PyObject*>(type));
    entry.version = type->tp_version_tag;
    entry.shape = usable_descriptor(type, py::names::shape());
    entry.dtype = usable_descriptor(type, py::names::dtype());
    // The search may have run Python code (a key's __eq__) that changed the
    // type: then the entry is dropped, not trusted.
    if (entry.version != type->tp_version_tag) {
        entry.type.reset();
        return nullptr;
    }
    return &entry;
}

bool ValueAttributes::read(PyObject* value, Ref& shape, Ref& dtype) {
    const Descriptors* known = descriptors_of(Py_TYPE(value));
    // Held across the getters, which may run Python code that replaces
    // entries (a property's, for one).
    const Ref shape_descriptor = known != nullptr ? known->shape.clone() : Ref();
    const Ref dtype_descriptor = known != nullptr ? known->dtype.clone() : Ref();
    shape = Ref::steal(read_through(shape_descriptor.get(), value, py::names::shape()));
    if (!shape) return false;
    dtype = Ref::steal(read_through(dtype_descriptor.get(), value, py::names::dtype()));
    return static_cast<bool>(dtype);
}

}  // namespace vorlix::staged
