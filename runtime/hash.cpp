// Hash key generation and byte-run hashing.
#include "runtime/hash.h"

#include <mutex>
#include <random>

namespace vorlix {

std::array<uint64_t, 2> fresh_hash_keys() {
    static std::mutex mutex;
    static std::mt19937_64 generator{[] {
        std::random_device device;
        std::seed_seq seq{device(), device(), device(), device()};
        return std::mt19937_64(seq);
    }()};
    std::lock_guard lock(mutex);
    return {generator(), generator()};
}

void Hasher::write_bytes(const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    size_t left = size;
    while (left >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        write_u64(word);
        p += 8;
        left -= 8;
    }
    // The tail word carries its byte count, so runs of different lengths
    // that share a prefix still feed different words.
    uint64_t tail = 0;
    std::memcpy(&tail, p, left);
    write_u64(tail ^ (uint64_t{left} << 56));
}

}  // namespace vorlix
