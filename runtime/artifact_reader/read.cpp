// Reading an artifact text into a graph store: the quick reader first, and
// the strict reader for every text the quick one declines.
#include "runtime/artifact_reader/rapidjson.h"

#include <rapidjson/reader.h>

#include "runtime/artifact.h"
#include "runtime/artifact_reader/fast_reader.h"
#include "runtime/artifact_reader/handler.h"

namespace vorlix::artifact {

namespace reader {

namespace {

bool is_json_white_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

Expected<GraphStore> read_strictly(std::string_view text) {
    TextInput in(text);
    ArtifactHandler handler(in);
    rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, JsonStackAllocator> parser;
    constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseInsituFlag |
                                rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseStopWhenDoneFlag;
    const rapidjson::ParseResult parsed = parser.Parse<kFlags>(in, handler);
    if (parsed.IsError()) {
        if (parsed.Code() == rapidjson::kParseErrorTermination) {
            return deserialization_failed(text, handler.message(), handler.consumed());
        }
        return syntax_failed(text, parsed.Code(), parsed.Offset(), in.Tell());
    }
    // The parser stops after the artifact object without looking further,
    // and a NUL byte would have ended its input early: the rest must be
    // white space, to the last byte.
    size_t rest = in.Tell();
    while (rest < text.size() && is_json_white_space(text[rest])) ++rest;
    if (rest < text.size()) return deserialization_failed(text, "trailing characters", rest + 1);
    return std::move(handler).finish();
}

}  // namespace reader

Expected<GraphStore> from_json(std::string_view text) {
    if (std::optional<GraphStore> store = reader::read_quickly(text)) return std::move(*store);
    return reader::read_strictly(text);
}

}  // namespace vorlix::artifact
