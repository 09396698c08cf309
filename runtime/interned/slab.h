// Append-only storage of contiguous runs that never move: the backing of a
// graph's interned shapes, texts and attribute cells.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "runtime/chunk_cache.h"

namespace vorlix {

// Runs are carved from chunks of doubling size (up to kMaxChunkBytes); a run
// that does not fit what is left of the current chunk starts the next one,
// and a run larger than a chunk gets a chunk of its own. So every run stays
// contiguous and in place for the slab's lifetime, a view of one needs no
// lookup, and growing copies nothing. Elements are trivially copyable, so
// nothing is constructed or destroyed.
template <class T>
class Slab {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    static constexpr size_t kFirstChunkBytes = 1024;
    static constexpr size_t kMaxChunkBytes = size_t{1} << 20;

    Slab() = default;
    Slab(const Slab&) = delete;
    Slab& operator=(const Slab&) = delete;
    Slab(Slab&& other) noexcept { take(other); }
    Slab& operator=(Slab&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~Slab() { release(); }

    // Room for `n` elements, left unwritten; throws std::bad_alloc.
    [[nodiscard]] T* allocate(size_t n) {
        if (static_cast<size_t>(end_ - cursor_) < n) start_chunk(n);
        T* run = cursor_;
        cursor_ += n;
        return run;
    }
    // A copy of `items`, in place for the slab's lifetime.
    [[nodiscard]] std::span<const T> append(std::span<const T> items) {
        T* run = allocate(items.size());
        if (!items.empty()) std::memcpy(run, items.data(), items.size() * sizeof(T));
        return {run, items.size()};
    }

    // Bytes of the chunks held, used or not.
    [[nodiscard]] size_t reserved_bytes() const {
        size_t total = 0;
        for (const Chunk& chunk : chunks_) total += chunk.count * sizeof(T);
        return total;
    }
    [[nodiscard]] size_t chunk_count() const { return chunks_.size(); }

private:
    struct Chunk {
        T* data;
        size_t count;
    };

    [[gnu::noinline]] void start_chunk(size_t n) {
        constexpr size_t kFirst = std::max<size_t>(1, kFirstChunkBytes / sizeof(T));
        constexpr size_t kMax = std::max<size_t>(1, kMaxChunkBytes / sizeof(T));
        const size_t regular = chunks_.empty() ? kFirst : std::min(2 * chunks_.back().count, kMax);
        const size_t count = std::max(regular, n);
        chunks_.reserve(chunks_.size() + 1);
        T* data = static_cast<T*>(chunk_cache::allocate(count * sizeof(T)));
        chunks_.push_back(Chunk{data, count});
        cursor_ = data;
        end_ = data + count;
    }

    void take(Slab& other) {
        chunks_ = std::move(other.chunks_);
        cursor_ = std::exchange(other.cursor_, nullptr);
        end_ = std::exchange(other.end_, nullptr);
        other.chunks_.clear();
    }

    void release() {
        for (const Chunk& chunk : chunks_) chunk_cache::deallocate(chunk.data, chunk.count * sizeof(T));
        chunks_.clear();
        cursor_ = end_ = nullptr;
    }

    std::vector<Chunk> chunks_;
    T* cursor_ = nullptr;
    T* end_ = nullptr;
};

}  // namespace vorlix
