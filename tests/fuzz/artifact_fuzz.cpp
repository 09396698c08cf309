// Fuzz target for the artifact readers: any text must be refused cleanly or read into a store that writes and re-reads
// to the same text, and the quick reader must read nothing the strict one reads otherwise.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "runtime/artifact.h"
#include "runtime/artifact_reader/fast_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using vorlix::artifact::from_json;
    using vorlix::artifact::to_json;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // Whatever the quick reader reads, the strict reader reads to a store
    // with the same text. See Note [Two artifact readers].
    const std::optional<vorlix::GraphStore> quick = vorlix::artifact::reader::read_quickly(text);
    if (quick) {
        auto strict = vorlix::artifact::reader::read_strictly(text);
        if (!strict) std::abort();
        auto quick_text = to_json(*quick);
        auto strict_text = to_json(*strict);
        if (!quick_text || !strict_text || *quick_text != *strict_text) std::abort();
    }
    auto store = from_json(text);
    if (!store) return 0;
    // Whatever the reader accepts, the writer can write, and its text reads
    // back to a store that writes the same text again.
    auto written = to_json(*store);
    if (!written) std::abort();
    auto again = from_json(*written);
    if (!again) std::abort();
    auto rewritten = to_json(*again);
    if (!rewritten || *rewritten != *written) std::abort();
    return 0;
}
