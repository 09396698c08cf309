// Wire vocabulary shared by the artifact writer and reader: member names, header values, text scanning.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vorlix::artifact::wire {

inline constexpr std::string_view kFormat = "vorlix.graph";
inline constexpr std::string_view kVersion = "2.0";
inline constexpr uint32_t kCoreOpset = 1;
inline constexpr std::string_view kSemanticProfile = "vorlix-array-1";
inline constexpr uint32_t kSemanticProfileVersion = 1;
inline constexpr std::string_view kProducer = "vorlix";
inline constexpr uint32_t kCompilerVersion = 1;
inline constexpr uint32_t kOptimizerVersion = 2;

// Arrays and objects nest at most this deep; the artifact object is level 1.
inline constexpr size_t kMaxNesting = 127;

// Members in the order they are written; the enumerators index the arrays.
enum GraphMember : uint8_t {
    kGraphFormat,
    kGraphVersion,
    kCoreOpsetMember,
    kSemanticProfileMember,
    kSemanticProfileVersionMember,
    kRequiredArrayApiVersion,
    kProducerMember,
    kCompilerVersionMember,
    kOptimizerVersionMember,
    kGraphInputs,
    kGraphOutputs,
    kGraphNodes,
    kGraphConstants,
};
inline constexpr std::array<std::string_view, 13> kGraphMembers{
    "format",
    "version",
    "core_opset",
    "semantic_profile",
    "semantic_profile_version",
    "required_array_api_version",
    "producer",
    "compiler_version",
    "optimizer_version",
    "inputs",
    "outputs",
    "nodes",
    "constants",
};

enum NodeMember : uint8_t {
    kNodeId,
    kNodeOp,
    kNodeSchemaVersion,
    kNodeInputs,
    kNodeAttrs,
    kNodeShape,
    kNodeDtype,
    kNodeNumOutputs,
    kNodeOutputShapes,
    kNodeOutputDtypes,
    kNodeName,
    kNodeSourceLocation,
};
inline constexpr std::array<std::string_view, 12> kNodeMembers{
    "id",    "op",          "schema_version", "inputs",        "attrs", "shape",
    "dtype", "num_outputs", "output_shapes",  "output_dtypes", "name",  "source_location",
};
// The members a node must carry; the rest read as null when absent.
inline constexpr uint32_t kNodeRequired = (1u << kNodeOutputShapes) - 1;

enum ConstantMember : uint8_t {
    kConstantFormat,
    kConstantVersion,
    kConstantKind,
    kConstantDtype,
    kConstantShape,
    kConstantLayout,
    kConstantByteOrder,
    kConstantData,
    kConstantDigest,
};
inline constexpr std::array<std::string_view, 9> kConstantMembers{
    "format", "version", "kind", "dtype", "shape", "layout", "byte_order", "data", "digest",
};

enum AttrMember : uint8_t { kAttrKind, kAttrValue };
inline constexpr std::array<std::string_view, 2> kAttrMembers{"kind", "value"};

// The first byte at or after `p` (and before `end`) that a JSON string
// cannot hold as it stands: the quotation mark, the backslash or a control
// character. Sets `non_ascii` when a byte of the skipped run is 0x80 or above.
[[nodiscard]] inline const char* scan_plain(const char* p, const char* end, bool& non_ascii) {
    static_assert(std::endian::native == std::endian::little, "the lowest flagged byte is the first in memory");
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHighs = 0x8080808080808080ull;
    uint64_t high = 0;
    while (end - p >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        // Per byte: below 0x20, equal to '"', equal to '\\'. Borrows make
        // only the lowest flagged byte of each test exact, which is all that
        // is used.
        const uint64_t quote = w ^ (kOnes * '"');
        const uint64_t backslash = w ^ (kOnes * '\\');
        const uint64_t stop =
            (((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash)) & kHighs;
        if (stop != 0) {
            const int bytes = __builtin_ctzll(stop) / 8;
            if (bytes != 0) high |= w & (~uint64_t{0} >> (64 - 8 * bytes));
            non_ascii |= (high & kHighs) != 0;
            return p + bytes;
        }
        high |= w;
        p += 8;
    }
    non_ascii |= (high & kHighs) != 0;
    for (; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == '"' || c == '\\') return p;
        non_ascii |= c >= 0x80;
    }
    return p;
}

// Index of the first byte of `text` that does not begin a well-formed UTF-8
// sequence, or `text.size()` when the whole text is well formed.
[[nodiscard]] size_t first_invalid_utf8(std::string_view text);

}  // namespace vorlix::artifact::wire
