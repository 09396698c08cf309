// The `shape` and `dtype` of the values staged operations produce, read
// through descriptors found once per value type.
#pragma once

#include <array>
#include <cstddef>

#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"

namespace vorlix::staged {

// Note [Descriptors of value types]
// The generic attribute lookup searches the type's MRO and the instance
// dict for every read. When a type's lookup is the generic one and its
// `shape` or `dtype` is a data descriptor of a built-in kind (a __slots__
// member, a C getter such as an array's, a property), that lookup always
// ends in the descriptor's getter before it looks at the instance, so
// calling the getter directly reads the same value, failures included. The
// descriptors are found once per type and trusted while the type keeps its
// version tag, which any change to it or to its bases replaces; the type
// and descriptors are held, so no other object can take their addresses.
class ValueAttributes {
public:
    ValueAttributes() = default;
    ValueAttributes(const ValueAttributes&) = delete;
    ValueAttributes& operator=(const ValueAttributes&) = delete;

    // `value.shape`, then `value.dtype` unless that failed: both set, or
    // false with the exception of the failed read raised.
    [[nodiscard]] bool read(PyObject* value, py::Ref& shape, py::Ref& dtype);

private:
    struct Descriptors {
        py::Ref type;
        unsigned int version = 0;
        // Null when the type has no usable descriptor of that name.
        py::Ref shape;
        py::Ref dtype;
    };

    [[nodiscard]] const Descriptors* descriptors_of(PyTypeObject* type);

    // The types met last, replaced in turn.
    std::array<Descriptors, 4> types_;
    size_t next_ = 0;
};

}  // namespace vorlix::staged
