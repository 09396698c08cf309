// UTF-8 well-formedness of artifact texts, with a fast path for ASCII runs.
#include "runtime/artifact_wire.h"

#include "runtime/unicode.h"

namespace vorlix::artifact::wire {

size_t first_invalid_utf8(std::string_view text) {
    constexpr uint64_t kHighs = 0x8080808080808080ull;
    size_t pos = 0;
    while (pos < text.size()) {
        if (text.size() - pos >= 8) {
            uint64_t w;
            std::memcpy(&w, text.data() + pos, 8);
            if ((w & kHighs) == 0) {
                pos += 8;
                continue;
            }
        }
        if (static_cast<unsigned char>(text[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const unicode::Decoded d = unicode::decode_utf8(text, pos);
        if (!d.valid) return pos;
        pos += d.length;
    }
    return text.size();
}

}  // namespace vorlix::artifact::wire
