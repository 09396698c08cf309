// A vector that keeps its first N elements inside the object, so that the
// short lists of hot paths (parents, shapes, operand positions) cost no heap
// allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace vorlix {

template <class T, size_t N>
class InlineVec {
    static_assert(N > 0);

public:
    InlineVec() = default;
    InlineVec(std::span<const T> items) { assign(items); }
    InlineVec(const InlineVec& other) { assign(std::span<const T>(other.data(), other.size())); }
    InlineVec& operator=(const InlineVec& other) {
        if (this != &other) {
            clear();
            assign(std::span<const T>(other.data(), other.size()));
        }
        return *this;
    }
    InlineVec(InlineVec&& other) noexcept { take(std::move(other)); }
    InlineVec& operator=(InlineVec&& other) noexcept {
        if (this != &other) {
            release_storage();
            take(std::move(other));
        }
        return *this;
    }
    ~InlineVec() { release_storage(); }

    [[nodiscard]] size_t size() const { return size_; }
    [[nodiscard]] bool empty() const { return size_ == 0; }
    [[nodiscard]] size_t capacity() const { return capacity_; }
    [[nodiscard]] T* data() { return heap_ != nullptr ? heap_ : inline_data(); }
    [[nodiscard]] const T* data() const { return heap_ != nullptr ? heap_ : inline_data(); }
    T& operator[](size_t i) { return data()[i]; }
    const T& operator[](size_t i) const { return data()[i]; }
    T* begin() { return data(); }
    T* end() { return data() + size_; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size_; }
    operator std::span<const T>() const { return {data(), size_}; }
    [[nodiscard]] std::span<T> span() { return {data(), size_}; }

    void reserve(size_t n) {
        if (n <= capacity_) return;
        T* grown = std::allocator<T>().allocate(n);
        T* old = data();
        for (size_t i = 0; i < size_; ++i) {
            new (grown + i) T(std::move(old[i]));
            old[i].~T();
        }
        if (heap_ != nullptr) std::allocator<T>().deallocate(heap_, capacity_);
        heap_ = grown;
        capacity_ = static_cast<uint32_t>(n);
    }

    template <class... Args>
    T& emplace_back(Args&&... args) {
        if (size_ == capacity_) reserve(size_t{capacity_} * 2);
        T* slot = new (data() + size_) T(std::forward<Args>(args)...);
        ++size_;
        return *slot;
    }
    void push_back(T value) { emplace_back(std::move(value)); }

    // Sets the size to `n`; elements past the old size are left unwritten,
    // for a caller that fills them next.
    void resize_for_overwrite(
        size_t n) requires std::is_trivially_copyable_v<T> && std::is_trivially_default_constructible_v<T> {
        reserve(n);
        size_ = static_cast<uint32_t>(n);
    }

    void clear() {
        std::destroy_n(data(), size_);
        size_ = 0;
    }

private:
    T* inline_data() { return std::launder(reinterpret_cast<T*>(storage_)); }
    const T* inline_data() const { return std::launder(reinterpret_cast<const T*>(storage_)); }

    void assign(std::span<const T> items) {
        reserve(items.size());
        for (const T& item : items) new (data() + size_++) T(item);
    }

    void take(InlineVec&& other) {
        if (other.heap_ != nullptr) {
            heap_ = std::exchange(other.heap_, nullptr);
            capacity_ = std::exchange(other.capacity_, uint32_t{N});
            size_ = std::exchange(other.size_, 0u);
            return;
        }
        for (size_t i = 0; i < other.size_; ++i) new (inline_data() + i) T(std::move(other.inline_data()[i]));
        size_ = other.size_;
        other.clear();
    }

    void release_storage() {
        clear();
        if (heap_ != nullptr) std::allocator<T>().deallocate(std::exchange(heap_, nullptr), capacity_);
        capacity_ = N;
    }

    T* heap_ = nullptr;
    uint32_t size_ = 0;
    uint32_t capacity_ = N;
    alignas(T) unsigned char storage_[N * sizeof(T)];
};

}  // namespace vorlix
