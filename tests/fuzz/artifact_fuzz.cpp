// Fuzz target for the artifact reader: any text must be refused cleanly or read into a store that writes and re-reads to the same text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "runtime/artifact.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using vorlix::artifact::from_json;
    using vorlix::artifact::to_json;
    auto store = from_json(std::string_view(reinterpret_cast<const char*>(data), size));
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
