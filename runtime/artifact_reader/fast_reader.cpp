// The quick artifact reader: a text spelled as the writer spells it, read
// straight into a store (see Note [Two artifact readers]).
#include "runtime/artifact_reader/fast_reader.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <map>
#include <type_traits>
#include <vector>

#include "runtime/artifact_reader/assembly.h"
#include "runtime/artifact_reader/numbers.h"
#include "runtime/artifact_wire.h"
#include "runtime/hex.h"
#include "runtime/inline_vec.h"

namespace vorlix::artifact::reader {

namespace {

// Every member returns false to decline the text.
class QuickReader {
public:
    explicit QuickReader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    [[nodiscard]] std::optional<GraphStore> read();

private:
    [[nodiscard]] bool lit(std::string_view s) {
        if (static_cast<size_t>(end_ - p_) < s.size() || std::memcmp(p_, s.data(), s.size()) != 0) return false;
        p_ += s.size();
        return true;
    }
    [[nodiscard]] bool lit(char c) {
        if (p_ == end_ || *p_ != c) return false;
        ++p_;
        return true;
    }
    // A comma and `"name":`.
    [[nodiscard]] bool next_member(std::string_view name) {
        if (static_cast<size_t>(end_ - p_) < name.size() + 4 || p_[0] != ',' || p_[1] != '"' ||
            std::memcmp(p_ + 2, name.data(), name.size()) != 0 || p_[name.size() + 2] != '"' ||
            p_[name.size() + 3] != ':') {
            return false;
        }
        p_ += name.size() + 4;
        return true;
    }
    // A JSON integer without a leading zero, which the strict reader refuses.
    template <class T>
    [[nodiscard]] bool integer(T& out) {
        const char* digits = p_ != end_ && *p_ == '-' ? p_ + 1 : p_;
        if (end_ - digits >= 2 && digits[0] == '0' && digits[1] >= '0' && digits[1] <= '9') return false;
        const auto [stop, error] = std::from_chars(p_, end_, out);
        if (error != std::errc()) return false;
        p_ = stop;
        return true;
    }
    [[nodiscard]] bool u32(uint32_t& out) { return integer(out); }
    // A string without escapes and of well-formed UTF-8.
    [[nodiscard]] bool string(std::string_view& out) {
        if (!lit('"')) return false;
        bool non_ascii = false;
        const char* stop = wire::scan_plain(p_, end_, non_ascii);
        if (stop == end_ || *stop != '"') return false;
        out = std::string_view(p_, static_cast<size_t>(stop - p_));
        if (non_ascii && wire::first_invalid_utf8(out) != out.size()) return false;
        p_ = stop + 1;
        return true;
    }
    [[nodiscard]] bool optional_string(std::optional<std::string_view>& out) {
        if (lit("null")) {
            out.reset();
            return true;
        }
        std::string_view s;
        if (!string(s)) return false;
        out = s;
        return true;
    }
    // A string of hexadecimal digits, which may be long: found by its
    // closing quote and validated by the decoding.
    [[nodiscard]] bool hex_string(std::string_view& out) {
        if (!lit('"')) return false;
        const void* quote = std::memchr(p_, '"', static_cast<size_t>(end_ - p_));
        if (quote == nullptr) return false;
        const char* stop = static_cast<const char*>(quote);
        out = std::string_view(p_, static_cast<size_t>(stop - p_));
        p_ = stop + 1;
        return out.size() % 2 == 0;
    }
    template <class Out>
    [[nodiscard]] bool uints(Out& out) {
        out.clear();
        if (!lit('[')) return false;
        if (lit(']')) return true;
        do {
            std::remove_cvref_t<decltype(*out.data())> value{};
            if (!integer(value)) return false;
            out.push_back(value);
        } while (lit(','));
        return lit(']');
    }

    [[nodiscard]] bool node(uint64_t position);
    [[nodiscard]] bool attrs();
    [[nodiscard]] bool attr_value();
    [[nodiscard]] bool scalar(AttrKind kind);
    [[nodiscard]] bool entry_key();
    [[nodiscard]] bool close_container(size_t& level);
    [[nodiscard]] bool output_lists(NodeText& node);
    [[nodiscard]] bool constants(std::map<NodeId, PortableConstant>& out);

    const char* p_;
    const char* end_;
    Assembly assembly_;
    AttrDraft draft_;
    InlineVec<NodeId, 4> inputs_;
    InlineVec<uint64_t, 8> shape_;
    std::vector<Shape> output_shapes_;
    std::vector<std::string_view> output_dtypes_;
    // The kinds of the attribute containers open, innermost last.
    std::vector<AttrKind> open_;
};

std::optional<GraphStore> QuickReader::read() {
    using namespace wire;
    HeaderText header;
    std::string_view version;
    std::vector<NodeId> inputs;
    std::vector<NodeId> outputs;
    if (!lit(R"({"format":)") || !string(header.format) || !next_member(kGraphMembers[kGraphVersion]) ||
        !string(header.version) || !next_member(kGraphMembers[kCoreOpsetMember]) || !u32(header.core_opset) ||
        !next_member(kGraphMembers[kSemanticProfileMember]) || !string(header.semantic_profile) ||
        !next_member(kGraphMembers[kSemanticProfileVersionMember]) || !u32(header.semantic_profile_version) ||
        !next_member(kGraphMembers[kRequiredArrayApiVersion]) || !string(version) ||
        !next_member(kGraphMembers[kProducerMember]) || !string(header.producer) ||
        !next_member(kGraphMembers[kCompilerVersionMember]) || !u32(header.compiler_version) ||
        !next_member(kGraphMembers[kOptimizerVersionMember]) || !u32(header.optimizer_version) ||
        !check_header(header).empty() || !next_member(kGraphMembers[kGraphInputs]) || !uints(inputs) ||
        !next_member(kGraphMembers[kGraphOutputs]) || !uints(outputs) || !next_member(kGraphMembers[kGraphNodes]) ||
        !lit('[')) {
        return std::nullopt;
    }
    if (!lit(']')) {
        uint64_t position = 0;
        do {
            if (!node(position++)) return std::nullopt;
        } while (lit(','));
        if (!lit(']')) return std::nullopt;
    }
    std::map<NodeId, PortableConstant> constant_table;
    if (!next_member(kGraphMembers[kGraphConstants]) || !constants(constant_table) || !lit('}')) return std::nullopt;
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    if (p_ != end_) return std::nullopt;
    auto store = std::move(assembly_).finish(std::move(inputs), std::move(outputs), version, std::move(constant_table));
    if (!store) return std::nullopt;
    return std::move(*store);
}

bool QuickReader::node(uint64_t position) {
    using namespace wire;
    NodeText n;
    if (!lit(R"({"id":)") || !u32(n.id) || !next_member(kNodeMembers[kNodeOp]) || !string(n.op) ||
        !next_member(kNodeMembers[kNodeSchemaVersion]) || !u32(n.schema_version) ||
        !next_member(kNodeMembers[kNodeInputs]) || !uints(inputs_) || !next_member(kNodeMembers[kNodeAttrs]) ||
        !attrs() || !next_member(kNodeMembers[kNodeShape]) || !uints(shape_) ||
        !next_member(kNodeMembers[kNodeDtype]) || !string(n.dtype) || !next_member(kNodeMembers[kNodeNumOutputs]) ||
        !integer(n.num_outputs) || !output_lists(n) || !next_member(kNodeMembers[kNodeName]) ||
        !optional_string(n.name) || !next_member(kNodeMembers[kNodeSourceLocation]) ||
        !optional_string(n.source_location) || !lit('}')) {
        return false;
    }
    n.inputs = inputs_;
    n.attrs = &draft_;
    n.shape = shape_;
    return !assembly_.node(position, n).has_value();
}

bool QuickReader::output_lists(NodeText& n) {
    using namespace wire;
    if (!next_member(kNodeMembers[kNodeOutputShapes])) return false;
    if (!lit("null")) {
        output_shapes_.clear();
        if (!lit('[')) return false;
        if (!lit(']')) {
            do {
                if (!uints(output_shapes_.emplace_back())) return false;
            } while (lit(','));
            if (!lit(']')) return false;
        }
        n.output_shapes = &output_shapes_;
    }
    if (!next_member(kNodeMembers[kNodeOutputDtypes])) return false;
    if (!lit("null")) {
        output_dtypes_.clear();
        if (!lit('[')) return false;
        if (!lit(']')) {
            do {
                if (!string(output_dtypes_.emplace_back())) return false;
            } while (lit(','));
            if (!lit(']')) return false;
        }
        n.output_dtypes = &output_dtypes_;
    }
    return true;
}

bool QuickReader::attrs() {
    draft_.clear();
    if (!lit('{')) return false;
    if (lit('}')) return true;
    do {
        std::string_view key;
        if (!string(key) || !lit(':')) return false;
        draft_.key(key);
        if (!attr_value()) return false;
    } while (lit(','));
    return lit('}');
}

// The container innermost closes: its bracket, then its value object's brace.
bool QuickReader::close_container(size_t& level) {
    if (!lit(open_.back() == AttrKind::Map ? '}' : ']') || !lit('}')) return false;
    draft_.close();
    open_.pop_back();
    level -= 2;
    return true;
}

// One scalar payload of kind `kind`, into the draft.
bool QuickReader::scalar(AttrKind kind) {
    std::string_view text;
    switch (kind) {
        case AttrKind::Bool:
            if (lit("true")) {
                draft_.boolean(true);
                return true;
            }
            if (!lit("false")) return false;
            draft_.boolean(false);
            return true;
        case AttrKind::Integer: {
            int64_t value = 0;
            if (!integer(value)) return false;
            draft_.integer(value);
            return true;
        }
        case AttrKind::Float: {
            if (!string(text)) return false;
            auto bits = attr::float_bits_from_hex(text);
            if (!bits) return false;
            draft_.float_bits(*bits);
            return true;
        }
        case AttrKind::String:
            if (!string(text)) return false;
            draft_.string(text);
            return true;
        case AttrKind::Bytes:
            return hex_string(text) && hex::decode_to(text, draft_.bytes_for_overwrite(text.size() / 2));
        default: return false;
    }
}

// A map entry's key, named to the draft.
bool QuickReader::entry_key() {
    std::string_view key;
    if (!string(key) || !lit(':')) return false;
    draft_.key(key);
    return true;
}

// One attribute value of the attrs object, its containers read without
// recursion. Levels count as the strict reader counts them: the attrs
// object is level 4, a value object one deeper than its container, a
// container's payload one deeper than its value object.
bool QuickReader::attr_value() {
    open_.clear();
    size_t level = 5;
    while (true) {
        std::string_view name;
        if (level > wire::kMaxNesting || !lit(R"({"kind":)") || !string(name)) return false;
        const std::optional<AttrKind> kind = attr::kind_from_name(name);
        if (!kind) return false;
        if (*kind == AttrKind::Null) {
            if (!lit('}')) return false;
            draft_.null();
        } else if (!lit(R"(,"value":)")) {
            return false;
        } else if (*kind == AttrKind::List || *kind == AttrKind::Tuple || *kind == AttrKind::Map) {
            const bool map = *kind == AttrKind::Map;
            if (level + 1 > wire::kMaxNesting || !lit(map ? '{' : '[')) return false;
            draft_.open(*kind);
            open_.push_back(*kind);
            level += 2;
            if (p_ == end_ || *p_ != (map ? '}' : ']')) {
                if (map && !entry_key()) return false;
                continue;
            }
            if (!close_container(level)) return false;
        } else if (!scalar(*kind) || !lit('}')) {
            return false;
        }
        // A value is complete: the next sibling, or the containers it closes.
        while (true) {
            if (open_.empty()) return true;
            if (lit(',')) {
                if (open_.back() == AttrKind::Map && !entry_key()) return false;
                break;
            }
            if (!close_container(level)) return false;
        }
    }
}

bool QuickReader::constants(std::map<NodeId, PortableConstant>& out) {
    using namespace wire;
    if (!lit('{')) return false;
    if (lit('}')) return true;
    do {
        std::string_view key;
        std::string_view data;
        ConstantText c;
        if (!string(key) || !lit(':') || !lit(R"({"format":)") || !string(c.format) ||
            !next_member(kConstantMembers[kConstantVersion]) || !u32(c.version) ||
            !next_member(kConstantMembers[kConstantKind]) || !string(c.kind) ||
            !next_member(kConstantMembers[kConstantDtype]) || !string(c.dtype) ||
            !next_member(kConstantMembers[kConstantShape]) || !uints(c.shape) ||
            !next_member(kConstantMembers[kConstantLayout]) || !string(c.layout) ||
            !next_member(kConstantMembers[kConstantByteOrder]) || !string(c.byte_order) ||
            !next_member(kConstantMembers[kConstantData]) || !hex_string(data) ||
            !next_member(kConstantMembers[kConstantDigest]) || !string(c.digest) || !lit('}')) {
            return false;
        }
        const std::optional<NodeId> id = canonical_node_id(key);
        if (!id) return false;
        c.data_hex = data;
        auto built = check_constant(std::move(c));
        if (!built) return false;
        out.insert_or_assign(*id, std::move(*built));
    } while (lit(','));
    return lit('}');
}

}  // namespace

std::optional<GraphStore> read_quickly(std::string_view text) { return QuickReader(text).read(); }

}  // namespace vorlix::artifact::reader
