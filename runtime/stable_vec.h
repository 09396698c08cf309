// An append-only sequence stored in chunks of doubling size: appending never
// moves earlier elements (so references stay valid and a long recording
// touches each byte once), and indexing is a few bit operations.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

#include "runtime/chunk_cache.h"

namespace vorlix {

template <class T>
class StableVec {
    static constexpr size_t kBaseBits = 4;
    static constexpr size_t kBase = size_t{1} << kBaseBits;
    static constexpr size_t kMaxChunks = 64 - kBaseBits;

public:
    StableVec() = default;
    StableVec(const StableVec&) = delete;
    StableVec& operator=(const StableVec&) = delete;
    StableVec(StableVec&& other) noexcept
        : chunks_(std::exchange(other.chunks_, {})),
          bases_(std::exchange(other.bases_, {})),
          size_(std::exchange(other.size_, 0)),
          next_(std::exchange(other.next_, nullptr)),
          limit_(std::exchange(other.limit_, nullptr)) {}
    StableVec& operator=(StableVec&& other) noexcept {
        if (this != &other) {
            release();
            chunks_ = std::exchange(other.chunks_, {});
            bases_ = std::exchange(other.bases_, {});
            size_ = std::exchange(other.size_, 0);
            next_ = std::exchange(other.next_, nullptr);
            limit_ = std::exchange(other.limit_, nullptr);
        }
        return *this;
    }
    ~StableVec() { release(); }

    [[nodiscard]] size_t size() const { return size_; }
    [[nodiscard]] bool empty() const { return size_ == 0; }
    // Elements the allocated chunks can hold.
    [[nodiscard]] size_t capacity() const {
        size_t chunks = 0;
        while (chunks < kMaxChunks && chunks_[chunks] != nullptr) ++chunks;
        return kBase * ((size_t{1} << chunks) - 1);
    }

    T& operator[](size_t i) { return *slot(i); }
    const T& operator[](size_t i) const { return *const_cast<StableVec*>(this)->slot(i); }

    // Allocates chunks until `n` elements fit.
    void reserve(size_t n) {
        // Room left in the chunk being filled: the common case, a few
        // elements ahead of a recording.
        if (n <= size_ + static_cast<size_t>(limit_ - next_)) return;
        if (n == 0) return;
        // Chunks are allocated in order, up to and including the one that
        // holds element n - 1; when that one is there, all of them are.
        const size_t last = std::min(locate(n - 1).first, kMaxChunks - 1);
        if (chunks_[last] != nullptr) return;
        for (size_t chunk = 0; chunk <= last; ++chunk) {
            if (chunks_[chunk] == nullptr) allocate(chunk);
        }
    }

    // Drops the elements from `n` on, keeping the chunks for reuse.
    void truncate(size_t n) {
        if (n >= size_) return;
        if constexpr (!std::is_trivially_destructible_v<T>) {
            for (size_t i = n; i < size_; ++i) slot(i)->~T();
        }
        size_ = n;
        // The next append finds its slot again.
        next_ = limit_ = nullptr;
    }

    // Whether `n` more elements fit in the chunk being filled, so that
    // appending them allocates nothing and cannot fail.
    [[nodiscard]] bool has_room(size_t n) const { return static_cast<size_t>(limit_ - next_) >= n; }

    // Appends into room that `has_room` found, without looking for a chunk.
    template <class... Args>
    T& emplace_back_in_room(Args&&... args) {
        T* item = new (next_) T(std::forward<Args>(args)...);
        ++next_;
        ++size_;
        return *item;
    }

    // Appends at the end of the chunk being filled, opening the next chunk
    // when it is full.
    template <class... Args>
    T& emplace_back(Args&&... args) {
        if (next_ == limit_) [[unlikely]]
            open_chunk();
        T* item = new (next_) T(std::forward<Args>(args)...);
        ++next_;
        ++size_;
        return *item;
    }

    template <class Self, class Item>
    class Iterator {
    public:
        Iterator(Self* v, size_t i) : v_(v), i_(i) {}
        Item& operator*() const { return (*v_)[i_]; }
        Iterator& operator++() {
            ++i_;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return i_ != other.i_; }

    private:
        Self* v_;
        size_t i_;
    };
    auto begin() { return Iterator<StableVec, T>(this, 0); }
    auto end() { return Iterator<StableVec, T>(this, size_); }
    auto begin() const { return Iterator<const StableVec, const T>(this, 0); }
    auto end() const { return Iterator<const StableVec, const T>(this, size_); }

private:
    static constexpr size_t chunk_size(size_t chunk) { return kBase << chunk; }
    // Elements held by chunks 0 to `chunk`, inclusive, when all are allocated.
    static constexpr size_t capacity_of(size_t chunk) { return kBase * ((size_t{2} << chunk) - 1); }

    // Chunk k holds the elements [kBase * (2^k - 1), kBase * (2^(k+1) - 1)):
    // the index of the highest set bit of (i >> kBaseBits) + 1. That value is
    // never zero, so the bit scan needs none of the zero handling
    // std::bit_width adds, which every walk would pay per index.
    static size_t chunk_of(size_t i) {
        static_assert(sizeof(size_t) == sizeof(unsigned long long));
        // 63 - clz, written so that the compiler emits the bare bit scan.
        return static_cast<size_t>(__builtin_clzll((i >> kBaseBits) + 1) ^ 63);
    }
    static std::pair<size_t, size_t> locate(size_t i) {
        const size_t chunk = chunk_of(i);
        return {chunk, i - capacity_before(chunk)};
    }

    // Element i lies at bases_[chunk] + i * sizeof(T): the base is the
    // chunk's address less the bytes of the elements before the chunk, so an
    // index needs only its chunk. Kept as an integer, as the base may point
    // outside any object.
    T* slot(size_t i) { return reinterpret_cast<T*>(bases_[chunk_of(i)] + i * sizeof(T)); }
    // Points the append cursor at the slot of element size_, allocating its
    // chunk unless reserve did.
    void open_chunk() {
        const auto [chunk, offset] = locate(size_);
        if (chunks_[chunk] == nullptr) allocate(chunk);
        next_ = chunks_[chunk] + offset;
        limit_ = chunks_[chunk] + chunk_size(chunk);
    }
    void allocate(size_t chunk) {
        static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "chunks come from plain operator new");
        chunks_[chunk] = static_cast<T*>(chunk_cache::allocate(chunk_size(chunk) * sizeof(T)));
        bases_[chunk] = reinterpret_cast<uintptr_t>(chunks_[chunk]) - capacity_before(chunk) * sizeof(T);
    }
    // Elements held by the chunks before `chunk`.
    static constexpr size_t capacity_before(size_t chunk) { return kBase * ((size_t{1} << chunk) - 1); }
    void release() {
        size_t remaining = size_;
        for (size_t chunk = 0; chunk < kMaxChunks && chunks_[chunk] != nullptr; ++chunk) {
            const size_t n = std::min(remaining, chunk_size(chunk));
            std::destroy_n(chunks_[chunk], n);
            remaining -= n;
            chunk_cache::deallocate(chunks_[chunk], chunk_size(chunk) * sizeof(T));
            chunks_[chunk] = nullptr;
            bases_[chunk] = 0;
        }
        size_ = 0;
        next_ = limit_ = nullptr;
    }

    std::array<T*, kMaxChunks> chunks_{};
    std::array<uintptr_t, kMaxChunks> bases_{};
    size_t size_ = 0;
    // Where the next element goes, and the end of its chunk: equal when no
    // chunk is open for appending.
    T* next_ = nullptr;
    T* limit_ = nullptr;
};

}  // namespace vorlix
