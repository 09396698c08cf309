#include "runtime/chunk_cache.h"

#include <mutex>
#include <new>
#include <vector>

namespace vorlix::chunk_cache {

namespace {

struct Block {
    void* address;
    size_t bytes;
};

// Chunk sizes double, so a cache holds few distinct sizes: a flat list,
// most recently freed last, is searched faster than a map is kept.
struct Cache {
    std::mutex mutex;
    std::vector<Block> blocks;
    size_t bytes = 0;
};

// Never destroyed: a vector may let a block go while the process exits.
Cache& cache() {
    static Cache* instance = new Cache;
    return *instance;
}

}  // namespace

void* allocate(size_t bytes) {
    if (bytes >= kMinBytes) {
        Cache& c = cache();
        std::lock_guard lock(c.mutex);
        for (size_t k = c.blocks.size(); k-- > 0;) {
            if (c.blocks[k].bytes != bytes) continue;
            void* block = c.blocks[k].address;
            c.blocks.erase(c.blocks.begin() + static_cast<std::ptrdiff_t>(k));
            c.bytes -= bytes;
            return block;
        }
    }
    return ::operator new(bytes);
}

void deallocate(void* block, size_t bytes) noexcept {
    if (bytes >= kMinBytes && bytes <= kMaxBytes) {
        Cache& c = cache();
        std::lock_guard lock(c.mutex);
        if (c.bytes + bytes <= kMaxBytes) {
            try {
                c.blocks.push_back(Block{block, bytes});
                c.bytes += bytes;
                return;
            } catch (const std::bad_alloc&) {
                // No room to remember it: free it below.
            }
        }
    }
    ::operator delete(block);
}

size_t cached_bytes() noexcept {
    Cache& c = cache();
    std::lock_guard lock(c.mutex);
    return c.bytes;
}

void release_all() noexcept {
    Cache& c = cache();
    std::vector<Block> blocks;
    {
        std::lock_guard lock(c.mutex);
        blocks.swap(c.blocks);
        c.bytes = 0;
    }
    for (const Block& block : blocks) ::operator delete(block.address);
}

}  // namespace vorlix::chunk_cache
