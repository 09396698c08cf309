// The JSON library as the strict artifact reader uses it: its settings, and
// the work stack that replaces the library's own in the release that needs it.
#pragma once

// Configured before any of the library's headers: lengths are machine words
// (texts beyond 4 GiB stay exact), and its internal assertions only guard
// states that no input reaches (see the reader's stream), so they follow the
// build's own asserts.
#include <cassert>
#include <cstddef>
#define RAPIDJSON_NO_SIZETYPEDEFINE
namespace rapidjson {
using SizeType = std::size_t;
}
#define RAPIDJSON_ASSERT(x) assert(x)

#include <rapidjson/allocators.h>
#include <rapidjson/internal/stack.h>
#include <rapidjson/rapidjson.h>

#include <algorithm>
#include <cstdlib>
#include <new>

namespace vorlix::artifact::reader {

// The allocator the parser is instantiated with. It is a type of its own
// only so that the parser's work stack can be the one below.
struct JsonStackAllocator : rapidjson::CrtAllocator {};

}  // namespace vorlix::artifact::reader

// RapidJSON 1.1.0's internal::Stack::Reserve, which every Push calls, tests
// for room with `stackTop_ + sizeof(T) * count > stackEnd_` while its buffer
// pointers are still null (before the first allocation): arithmetic on a
// null pointer, undefined behaviour that the sanitizer build stops on. Its
// later sources compare the free room as a size instead, so this stand-in
// is tied to the one release it works around.
#if RAPIDJSON_MAJOR_VERSION == 1 && RAPIDJSON_MINOR_VERSION == 1 && RAPIDJSON_PATCH_VERSION == 0
namespace rapidjson::internal {

// What the parser uses of the library's stack, allocating before it adds.
template <>
class Stack<vorlix::artifact::reader::JsonStackAllocator> {
public:
    Stack(vorlix::artifact::reader::JsonStackAllocator*, size_t initial_capacity)
        : initial_capacity_(std::max<size_t>(initial_capacity, 64)) {}
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;
    ~Stack() { std::free(bottom_); }

    template <typename T>
    T* Push(size_t count = 1) {
        const size_t bytes = sizeof(T) * count;
        if (capacity_ - size_ < bytes) grow(bytes);
        T* top = reinterpret_cast<T*>(bottom_ + size_);
        size_ += bytes;
        return top;
    }
    template <typename T>
    T* Pop(size_t count) {
        assert(size_ >= sizeof(T) * count);
        size_ -= sizeof(T) * count;
        return reinterpret_cast<T*>(bottom_ + size_);
    }
    template <typename T>
    T* Top() {
        assert(size_ >= sizeof(T));
        return reinterpret_cast<T*>(bottom_ + size_ - sizeof(T));
    }
    void Clear() { size_ = 0; }
    [[nodiscard]] bool Empty() const { return size_ == 0; }
    [[nodiscard]] size_t GetSize() const { return size_; }

private:
    void grow(size_t bytes) {
        const size_t capacity = std::max(capacity_ == 0 ? initial_capacity_ : capacity_ + capacity_ / 2, size_ + bytes);
        char* bottom = static_cast<char*>(std::realloc(bottom_, capacity));
        if (bottom == nullptr) throw std::bad_alloc();
        bottom_ = bottom;
        capacity_ = capacity;
    }

    char* bottom_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    size_t initial_capacity_;
};

}  // namespace rapidjson::internal
#endif
