// Small argument tuples recycled across rule calls: a tuple that only the
// walk still references after a call can carry the next call's arguments,
// which spares an allocation and a deallocation per call on the hot paths.
#pragma once

#include <array>

#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"

namespace vorlix::py {

[[nodiscard]] inline bool uniquely_referenced(PyObject* obj) {
#if PY_VERSION_HEX >= 0x030E0000
    return PyUnstable_Object_IsUniquelyReferenced(obj);
#else
    return Py_REFCNT(obj) == 1;
#endif
}

class TuplePool {
public:
    static constexpr Py_ssize_t kMaxSize = 4;
    static constexpr size_t kPerSize = 4;

    TuplePool() = default;
    TuplePool(const TuplePool&) = delete;
    TuplePool& operator=(const TuplePool&) = delete;

    // A tuple of `size` whose items are all unset, to be filled with
    // PyTuple_SET_ITEM before anyone else sees it.
    [[nodiscard]] Ref take(Py_ssize_t size) {
        if (size > 0 && size <= kMaxSize && count_[size - 1] > 0) return std::move(spare_[size - 1][--count_[size - 1]]);
        return Ref::steal(PyTuple_New(size));
    }

    // Keeps `tuple` for reuse when nothing else references it. Its items are
    // dropped here, so this must run where dropping them is safe.
    void give_back(Ref tuple) {
        if (!tuple || !PyTuple_CheckExact(tuple.get()) || !uniquely_referenced(tuple.get())) return;
        const Py_ssize_t size = PyTuple_GET_SIZE(tuple.get());
        if (size == 0 || size > kMaxSize || count_[size - 1] == kPerSize) return;
        for (Py_ssize_t k = 0; k < size; ++k) {
            PyObject*& item = PyTuple_GET_ITEM(tuple.get(), k);
            Py_CLEAR(item);
        }
        spare_[size - 1][count_[size - 1]++] = std::move(tuple);
    }

private:
    std::array<std::array<Ref, kPerSize>, kMaxSize> spare_;
    std::array<size_t, kMaxSize> count_{};
};

}  // namespace vorlix::py
