// Lowercase hexadecimal encoding (vectorised where SSE2 is available) and strict decoding.
#include "runtime/hex.h"

#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorlix::hex {

namespace {

constexpr char kDigits[] = "0123456789abcdef";

constexpr std::array<char, 512> make_pairs() {
    std::array<char, 512> pairs{};
    for (size_t b = 0; b < 256; ++b) {
        pairs[2 * b] = kDigits[b >> 4];
        pairs[2 * b + 1] = kDigits[b & 0xF];
    }
    return pairs;
}
constexpr std::array<char, 512> kPairs = make_pairs();

constexpr int8_t kInvalidNibble = -1;

constexpr std::array<int8_t, 256> make_nibbles() {
    std::array<int8_t, 256> nibbles{};
    for (auto& n : nibbles) n = kInvalidNibble;
    for (int c = '0'; c <= '9'; ++c) nibbles[c] = static_cast<int8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) nibbles[c] = static_cast<int8_t>(c - 'a' + 10);
    return nibbles;
}
constexpr std::array<int8_t, 256> kNibbles = make_nibbles();

#if defined(__SSE2__)
// Nibble n becomes '0' + n, plus the gap to 'a' when n exceeds 9.
inline __m128i nibbles_to_ascii(__m128i n) {
    const __m128i above_nine = _mm_cmpgt_epi8(n, _mm_set1_epi8(9));
    const __m128i base = _mm_add_epi8(n, _mm_set1_epi8('0'));
    return _mm_add_epi8(base, _mm_and_si128(above_nine, _mm_set1_epi8('a' - '0' - 10)));
}
#endif

}  // namespace

void encode_to(std::span<const uint8_t> bytes, char* out) {
    const uint8_t* p = bytes.data();
    size_t left = bytes.size();
#if defined(__SSE2__)
    const __m128i low_mask = _mm_set1_epi8(0x0F);
    while (left >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i high = nibbles_to_ascii(_mm_and_si128(_mm_srli_epi16(v, 4), low_mask));
        const __m128i low = nibbles_to_ascii(_mm_and_si128(v, low_mask));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(high, low));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(high, low));
        p += 16;
        out += 32;
        left -= 16;
    }
#endif
    for (; left > 0; --left, ++p, out += 2) std::memcpy(out, &kPairs[2 * size_t{*p}], 2);
}

std::string encode(std::span<const uint8_t> bytes) {
    std::string out(2 * bytes.size(), '\0');
    encode_to(bytes, out.data());
    return out;
}

bool decode_to(std::string_view text, uint8_t* out) {
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size() / 2;
    // The invalid nibble is all ones, so one test per run of bytes finds any.
    int8_t invalid = 0;
    for (size_t i = 0; i < n; ++i) {
        const int8_t high = kNibbles[in[2 * i]];
        const int8_t low = kNibbles[in[2 * i + 1]];
        invalid |= static_cast<int8_t>(high | low);
        out[i] = static_cast<uint8_t>((high << 4) | low);
        if ((i & 255) == 255 && invalid < 0) return false;
    }
    return invalid >= 0;
}

Expected<Bytes, std::string> decode(std::string_view text) {
    if (text.size() % 2 != 0) return std::string("must contain an even number of characters");
    Bytes out(text.size() / 2);
    if (!decode_to(text, out.data())) return std::string("must use lowercase hexadecimal");
    return out;
}

}  // namespace vorlix::hex
