// Growing the hash index of an interning table.
#include "runtime/interned/intern_index.h"

#include <utility>

namespace vorlix {

void InternIndex::grow() {
    const size_t capacity = slots_ ? 2 * (mask_ + 1) : kFirstCapacity;
    std::unique_ptr<Slot[]> old = std::exchange(slots_, std::make_unique<Slot[]>(capacity));
    const size_t old_capacity = old ? mask_ + 1 : 0;
    mask_ = capacity - 1;
    for (size_t i = 0; i < old_capacity; ++i) {
        if (old[i].id_plus_one != 0) place(old[i]);
    }
}

}  // namespace vorlix
