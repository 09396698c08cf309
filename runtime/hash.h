// Keyed 64-bit hashing shared by the runtime's hash tables and value hashes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vorlix {

// Folds the 128-bit product of `a` and `b`; the mixing step of every hash here.
[[nodiscard]] inline uint64_t hash_mix(uint64_t a, uint64_t b) {
    const __uint128_t product = static_cast<__uint128_t>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

// Two keys from a process-wide generator seeded once from system entropy, so
// that the layout of one table tells nothing about another.
[[nodiscard]] std::array<uint64_t, 2> fresh_hash_keys();

// A streaming hasher. Values feed it a prefix-free sequence of words and
// byte runs, so equal values feed equal sequences. Tables exposed to
// untrusted keys construct it with `fresh_hash_keys()`; the default keys are
// fixed, which makes hashes reproducible within and across runs.
class Hasher {
public:
    static constexpr std::array<uint64_t, 2> kDefaultKeys{0x243f6a8885a308d3ull, 0x13198a2e03707344ull};

    Hasher() : Hasher(kDefaultKeys) {}
    explicit Hasher(std::array<uint64_t, 2> keys) : state_(keys[0] ^ kStep), keys_(keys) {}

    void write_u64(uint64_t word) { state_ = hash_mix(state_ ^ keys_[0], word ^ keys_[1]); }
    void write_u8(uint8_t byte) { write_u64(byte); }
    void write_bytes(const void* data, size_t size);
    void write_bytes(std::string_view text) { write_bytes(text.data(), text.size()); }
    // A text followed by 0xFF, a byte UTF-8 never contains, so consecutive
    // texts cannot run into each other.
    void write_terminated(std::string_view text) {
        write_bytes(text);
        write_u8(0xFF);
    }

    [[nodiscard]] uint64_t finish() const { return hash_mix(state_ ^ kStep, keys_[1] ^ kStep); }

private:
    static constexpr uint64_t kStep = 0x9e3779b97f4a7c15ull;

    uint64_t state_;
    std::array<uint64_t, 2> keys_;
};

}  // namespace vorlix
