// Resolving dtype names into descriptors, and the numeric dtype table.
#include "runtime/dtype.h"

#include <array>

#include "runtime/quote.h"
#include "runtime/unicode.h"

namespace vorlix {

namespace {

struct Alias {
    std::string_view name;
    std::string_view canonical;
};

constexpr std::array<Alias, 18> kAliases{{
    {"int", "int64"},
    {"intp", "int64"},
    {"long", "int64"},
    {"byte", "int8"},
    {"short", "int16"},
    {"uint", "uint64"},
    {"uintp", "uint64"},
    {"ulong", "uint64"},
    {"ubyte", "uint8"},
    {"ushort", "uint16"},
    {"half", "float16"},
    {"single", "float32"},
    {"float", "float64"},
    {"double", "float64"},
    {"bool_", "bool"},
    {"csingle", "complex64"},
    {"cdouble", "complex128"},
    {"complex", "complex128"},
}};

// Tried in this order; at most one is removed.
constexpr std::array<std::string_view, 3> kNamespacePrefixes{"array_api_strict.", "cupy.", "numpy."};

struct NumericInfo {
    std::string_view name;
    size_t size;
};

constexpr std::array<NumericInfo, NumericDType::kCount> kNumeric{{
    {"bool", 1},
    {"int8", 1},
    {"int16", 2},
    {"int32", 4},
    {"int64", 8},
    {"uint8", 1},
    {"uint16", 2},
    {"uint32", 4},
    {"uint64", 8},
    {"float16", 2},
    {"float32", 4},
    {"float64", 8},
    {"complex64", 8},
    {"complex128", 16},
}};

std::string_view strip_namespace(std::string_view text) {
    for (const std::string_view prefix : kNamespacePrefixes) {
        if (!text.starts_with(prefix)) continue;
        const std::string_view rest = text.substr(prefix.size());
        if (rest.empty() || rest.find('.') != std::string_view::npos) return text;
        // The name is what artifacts carry and what a reader rebuilds the
        // descriptor from; white space left behind the prefix would be
        // trimmed on that second pass and the name would change on the way
        // through an artifact.
        return dtype::trim(rest);
    }
    return text;
}

[[gnu::cold, gnu::noinline]] std::string unsupported_numeric(std::string_view text) {
    std::string message = "unsupported staged constant dtype ";
    quote::append_literal(message, text);
    return message;
}

}  // namespace

namespace dtype {

Status<> validate(std::string_view canonical, std::string_view name) {
    if (canonical.empty() || name.empty()) return GraphError("dtype descriptor must not be empty");
    if (canonical.find('\0') != std::string_view::npos || name.find('\0') != std::string_view::npos) {
        return GraphError("dtype descriptor must not contain NUL characters");
    }
    return Status<>::ok();
}

std::string_view trim(std::string_view text) {
    // Texts that start and end with an ASCII character other than white
    // space, nearly all of them, need no decoding: an ASCII byte is always
    // a whole character.
    if (!text.empty()) {
        const auto first = static_cast<unsigned char>(text.front());
        const auto last = static_cast<unsigned char>(text.back());
        if (first < 0x80 && last < 0x80 && !unicode::is_white_space(first) && !unicode::is_white_space(last)) {
            return text;
        }
    }
    size_t begin = text.size();
    size_t end = 0;
    for (size_t pos = 0; pos < text.size();) {
        const unicode::Decoded d = unicode::decode_utf8(text, pos);
        if (!d.valid || !unicode::is_white_space(d.code_point)) {
            if (begin == text.size()) begin = pos;
            end = pos + d.length;
        }
        pos += d.length;
    }
    return begin < end ? text.substr(begin, end - begin) : std::string_view();
}

std::optional<std::string_view> alias_target(std::string_view name) {
    for (const Alias& alias : kAliases) {
        if (alias.name == name) return alias.canonical;
    }
    return std::nullopt;
}

}  // namespace dtype

Expected<DTypeDescriptor> DTypeDescriptor::from_name(std::string_view text) {
    const std::string_view name = strip_namespace(dtype::trim(text));
    const std::string_view canonical = dtype::alias_target(name).value_or(name);
    if (auto valid = dtype::validate(canonical, name); !valid) return std::move(valid).error();
    return DTypeDescriptor(std::string(canonical), std::string(name));
}

Expected<NumericDType, std::string> NumericDType::from_str(std::string_view text) {
    for (size_t i = 0; i < kNumeric.size(); ++i) {
        if (kNumeric[i].name == text) return NumericDType(static_cast<Kind>(i));
    }
    return unsupported_numeric(text);
}

std::optional<NumericDType> NumericDType::from_index(size_t index) {
    if (index >= kCount) return std::nullopt;
    return NumericDType(static_cast<Kind>(index));
}

std::string_view NumericDType::name() const { return kNumeric[kind_].name; }

size_t NumericDType::size() const { return kNumeric[kind_].size; }

}  // namespace vorlix
