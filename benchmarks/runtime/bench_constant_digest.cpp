// Digesting a 64 MiB constant against OpenSSL's SHA-256 over the same number of hex bytes.
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "runtime/constant.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kDataBytes = size_t{64} << 20;
constexpr int kRounds = 5;

template <class F>
double best_seconds(F&& run) {
    double best = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        const auto start = Clock::now();
        run();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

}  // namespace

int main() {
    using namespace vorlix;
    Bytes data(kDataBytes);
    uint64_t state = 0x9e3779b97f4a7c15ull;
    for (uint8_t& b : data) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        b = static_cast<uint8_t>(state >> 56);
    }
    const Shape shape{kDataBytes / 4};
    const std::string hex_text = hex::encode(data);

    unsigned char sink[EVP_MAX_MD_SIZE];
    unsigned int sink_size = 0;
    const double openssl = best_seconds([&] {
        if (EVP_Digest(hex_text.data(), hex_text.size(), sink, &sink_size, EVP_sha256(), nullptr) != 1) std::abort();
    });
    std::string last;
    const double ours = best_seconds([&] {
        auto d = constant::digest_body(ConstantKind::Array, NumericDType::Float32, shape, data);
        if (!d) std::abort();
        last.assign(d->text());
    });

    const double hex_mb = static_cast<double>(hex_text.size()) / 1e6;
    std::printf("constant data: %zu bytes (%zu hex characters), best of %d\n", data.size(), hex_text.size(), kRounds);
    std::printf("openssl sha256 over the hex text: %.1f ms (%.0f MB/s of hex)\n", openssl * 1e3, hex_mb / openssl);
    std::printf("digest_body, streamed in %zu-byte chunks: %.1f ms (%.0f MB/s of hex)\n", constant::kDigestChunk,
                ours * 1e3, hex_mb / ours);
    std::printf("digest throughput ratio against openssl: %.3f (target at least 0.700)\n", openssl / ours);
    std::printf("digest: %s\n", last.c_str());
    return 0;
}
