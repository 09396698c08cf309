// Reading an artifact text into a graph store: a schema-directed handler driven by the JSON library's event parser, then the store checks.
#include "runtime/artifact_wire.h"

#include <rapidjson/reader.h>

#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/artifact.h"
#include "runtime/quote.h"

namespace vorlix::artifact {

namespace {

// Note [Reading strings in place]
// The parser runs in its in-situ mode, where it writes each decoded string
// back over the text through the stream. This stream never writes: a string
// without escapes is handed out as a view of the text itself, and the first
// escape moves the string decoded so far into a side buffer that collects
// the rest. So no string, the megabytes of a constant's hex digits least of
// all, is copied on its way to the handler. Puts that copy a byte as it
// stands (exactly one byte taken since the last put) also carry the plain
// run behind it along in one step, which is the parser's own per-byte loop
// done in bulk. Reads past the end yield NUL, which the parser takes for the
// end of the input, and `Tell()` is always the number of bytes consumed.
class TextInput {
public:
    using Ch = char;

    explicit TextInput(std::string_view text)
        : begin_(text.data()), src_(text.data()), end_(text.data() + text.size()) {}
    TextInput(const TextInput&) = delete;
    TextInput& operator=(const TextInput&) = delete;

    [[nodiscard]] Ch Peek() const { return src_ != end_ ? *src_ : '\0'; }
    Ch Take() { return src_ != end_ ? *src_++ : '\0'; }
    [[nodiscard]] size_t Tell() const { return static_cast<size_t>(src_ - begin_); }

    Ch* PutBegin() {
        head_ = src_;
        put_src_ = src_;
        escaped_ = false;
        non_ascii_ = false;
        side_.clear();
        // Never written through; see Note [Reading strings in place].
        return const_cast<Ch*>(src_);
    }
    void Put(Ch c) {
        if (src_ == put_src_ + 1) {
            // One byte taken since the last put: either the closing quote
            // (the parser then puts the terminating NUL, the only NUL that can
            // follow a single take) or a byte copied as it stands.
            if (c == '\0') {
                if (escaped_) side_.push_back('\0');
                put_src_ = src_;
                return;
            }
            non_ascii_ |= static_cast<unsigned char>(c) >= 0x80;
            const char* const run_end = wire::scan_plain(src_, end_, non_ascii_);
            if (escaped_) side_.append(src_ - 1, run_end);
            src_ = put_src_ = run_end;
            return;
        }
        if (!escaped_) {
            escaped_ = true;
            side_.assign(head_, put_src_);
        }
        side_.push_back(c);
        put_src_ = src_;
    }
    size_t PutEnd(Ch*) { return escaped_ ? side_.size() : static_cast<size_t>(put_src_ - head_); }
    void Flush() {}

    // The decoded string the parser has just reported.
    [[nodiscard]] std::string_view string(size_t length) const {
        return escaped_ ? std::string_view(side_.data(), length) : std::string_view(head_, length);
    }
    // Whether that string may hold anything but ASCII (escapes may decode to
    // any code point, a lone surrogate included).
    [[nodiscard]] bool string_may_be_ill_formed() const { return escaped_ || non_ascii_; }
    [[nodiscard]] bool string_escaped() const { return escaped_; }
    // Offset of the string's first byte in the text.
    [[nodiscard]] size_t string_offset() const { return static_cast<size_t>(head_ - begin_); }
    // The number the parser has just reported; it ends where reading stands.
    [[nodiscard]] std::string_view number(size_t length) const { return {src_ - length, length}; }
    [[nodiscard]] std::string_view text() const { return {begin_, static_cast<size_t>(end_ - begin_)}; }

private:
    const char* begin_;
    const char* src_;
    const char* end_;
    const char* head_ = nullptr;
    const char* put_src_ = nullptr;
    bool escaped_ = false;
    bool non_ascii_ = false;
    std::string side_;
};

// ---------------------------------------------------------------------------
// Messages

// A value the reader met where it expected something else.
struct Unexpected {
    enum class Type : uint8_t { Null, Bool, Number, String, Array, Object } type;
    std::string_view text = {};
    bool boolean = false;
};

bool is_integer_text(std::string_view number) {
    return number.find_first_of(".eE") == std::string_view::npos;
}

[[gnu::cold, gnu::noinline]] std::string describe(const Unexpected& u) {
    switch (u.type) {
        case Unexpected::Type::Null: return "null";
        case Unexpected::Type::Bool: return u.boolean ? "boolean true" : "boolean false";
        case Unexpected::Type::Number: return (is_integer_text(u.text) ? "integer " : "number ") + std::string(u.text);
        case Unexpected::Type::String: return "string " + quote::literal(u.text);
        case Unexpected::Type::Array: return "array";
        case Unexpected::Type::Object: return "object";
    }
    return "value";
}

[[gnu::cold, gnu::noinline]] std::string invalid_type(const Unexpected& u, std::string_view expected) {
    return "invalid type: " + describe(u) + ", expected " + std::string(expected);
}

[[gnu::cold, gnu::noinline]] std::string invalid_integer(std::string_view number, std::string_view expected) {
    return "invalid value: integer " + std::string(number) + ", expected " + std::string(expected);
}

template <size_t N>
[[gnu::cold, gnu::noinline]] std::string unknown_field(std::string_view key, const std::array<std::string_view, N>& names) {
    std::string message = "unknown field ";
    quote::append_literal(message, key);
    message += N == 2 ? ", expected " : ", expected one of ";
    for (size_t i = 0; i < N; ++i) {
        if (i != 0) message += N == 2 ? " or " : ", ";
        message += '`';
        message += names[i];
        message += '`';
    }
    return message;
}

[[gnu::cold, gnu::noinline]] std::string field_message(std::string_view what, std::string_view name) {
    return std::string(what) + " field `" + std::string(name) + "`";
}

[[gnu::cold, gnu::noinline]] std::string unknown_attr_kind(std::string_view kind) {
    std::string message = "unknown attribute kind ";
    quote::append_literal(message, kind);
    message += ", expected one of ";
    for (size_t i = 0; i < attr::kKindCount; ++i) {
        if (i != 0) message += ", ";
        message += '`';
        message += attr::kind_name(static_cast<AttrKind>(i));
        message += '`';
    }
    return message;
}

[[gnu::cold, gnu::noinline]] std::string pair_length(size_t length) {
    return "invalid length " + std::to_string(length) + ", expected a [kind, value] array";
}

[[gnu::cold, gnu::noinline]] std::string with_quoted(std::string_view prefix, std::string_view text) {
    std::string message(prefix);
    quote::append_literal(message, text);
    return message;
}

[[gnu::cold, gnu::noinline]] std::string dense_ids(uint64_t expected, uint32_t got) {
    return "graph nodes must have dense append-only IDs: expected " + std::to_string(expected) + ", got " +
           std::to_string(got);
}

[[gnu::cold, gnu::noinline]] std::string unsupported_text(std::string_view label, std::string_view got,
                                                          std::string_view expected) {
    return "Unsupported " + std::string(label) + " " + quote::literal(got) + "; expected " + quote::literal(expected);
}

[[gnu::cold, gnu::noinline]] std::string unsupported_number(std::string_view label, uint32_t got, uint32_t expected) {
    return "Unsupported " + std::string(label) + " " + std::to_string(got) + "; expected " + std::to_string(expected);
}

// The parse-step failure: the message and the line and column of the last
// byte consumed when it was detected (`consumed` bytes in). Both count from
// 1 and a line feed belongs to the line it ends, so every position names a
// real line and a column of at least 1; with nothing consumed (an empty
// text) it is line 1 column 1.
[[gnu::cold, gnu::noinline]] GraphError deserialization_failed(std::string_view text, std::string_view message,
                                                               size_t consumed) {
    consumed = std::min(consumed, text.size());
    const size_t at = consumed == 0 ? 0 : consumed - 1;
    const std::string_view before = text.substr(0, at);
    const size_t line = 1 + static_cast<size_t>(std::count(before.begin(), before.end(), '\n'));
    const size_t last_feed = before.rfind('\n');
    const size_t column = 1 + at - (last_feed == std::string_view::npos ? 0 : last_feed + 1);
    return GraphError("graph deserialization failed: " + std::string(message) + " at line " + std::to_string(line) +
                      " column " + std::to_string(column));
}

// ---------------------------------------------------------------------------
// Numbers

enum class IntegerFit : uint8_t { Fits, NotInteger, OutOfRange };

// Reads a JSON number text (as the parser validated it) as an integer whose
// magnitude may not exceed `max_positive` (or `max_negative` below zero).
IntegerFit read_integer(std::string_view text, uint64_t max_positive, uint64_t max_negative, bool& negative,
                        uint64_t& magnitude) {
    negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    magnitude = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return IntegerFit::NotInteger;
    }
    for (const char c : text) {
        const auto digit = static_cast<uint64_t>(c - '0');
        if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) return IntegerFit::OutOfRange;
        magnitude = magnitude * 10 + digit;
    }
    if (magnitude > (negative ? max_negative : max_positive)) return IntegerFit::OutOfRange;
    return IntegerFit::Fits;
}

// ---------------------------------------------------------------------------
// Drafts: what one node, one constant and the header collect until their
// object closes.

struct GraphDraft {
    std::string format;
    std::string version;
    std::string semantic_profile;
    std::string required_array_api_version;
    std::string producer;
    uint32_t core_opset = 0;
    uint32_t semantic_profile_version = 0;
    uint32_t compiler_version = 0;
    uint32_t optimizer_version = 0;
    std::vector<NodeId> inputs;
    std::vector<NodeId> outputs;
};

struct NodeDraft {
    uint32_t id = 0;
    std::string op;
    uint32_t schema_version = 0;
    std::vector<NodeId> inputs;
    AttrMap attrs;
    Shape shape;
    std::string dtype;
    uint64_t num_outputs = 0;
    bool has_output_shapes = false;
    std::vector<Shape> output_shapes;
    bool has_output_dtypes = false;
    std::vector<std::string> output_dtypes;
    std::optional<std::string> name;
    std::optional<std::string> source_location;

    void reset() {
        inputs.clear();
        attrs.clear();
        shape.clear();
        has_output_shapes = false;
        output_shapes.clear();
        has_output_dtypes = false;
        output_dtypes.clear();
        name.reset();
        source_location.reset();
    }
};

struct ConstantDraft {
    std::string format;
    uint32_t version = 0;
    std::string kind;
    std::string dtype;
    Shape shape;
    std::string layout;
    std::string byte_order;
    Bytes data;
    std::optional<std::string> data_error;
    std::string digest;

    void reset() {
        shape.clear();
        data.clear();
        data_error.reset();
    }
};

// ---------------------------------------------------------------------------
// The handler

// What the next value at the top of the stack must be.
enum class Want : uint8_t {
    Nothing,
    Graph,
    Node,
    Constant,
    Text,
    OptionalText,
    U32,
    U64,
    Ids,
    Extents,
    OptionalShapes,
    OptionalTexts,
    Nodes,
    Constants,
    Attrs,
    ConstantData,
    IdItem,
    ExtentItem,
    ShapeItem,
    TextItem,
    AttrValue,
    AttrKindName,
    AttrPayload,
    // Both elements of a [kind, value] array have been read.
    PairComplete,
};

enum class FrameKind : uint8_t {
    Root, Graph, Node, Constant, Ids, Extents, Shapes, Texts, Nodes, Constants, AttrTable, AttrObject, AttrPair,
    AttrItems,
};

// The payload of an attribute value read before its kind.
enum class Pending : uint8_t { None, Null, Bool, Number, String, Array, Object };

// One open array or object (or the root). Attribute frames own the values
// built so far, so a failure anywhere drops everything with the stack.
struct Frame {
    FrameKind kind;
    Want want = Want::Nothing;
    void* dest = nullptr;
    // Members seen (bit per member), and the member expected next.
    uint32_t seen = 0;
    uint8_t next_member = 0;
    // Attribute value frames.
    std::optional<AttrKind> attr_kind;
    Pending pending = Pending::None;
    bool pending_bool = false;
    AttrValue value;
    // Items of a sequence (also a pending array); entries of a table (also a
    // pending object).
    AttrList items;
    AttrMap map;
    // The key of the member being read (tables), or a pending number or
    // string.
    std::string text;

    Frame(FrameKind k, Want w, void* d) : kind(k), want(w), dest(d) {}
};

// Where the value of a member goes, and what it must be.
struct Slot {
    Want want;
    void* dest;
};

[[nodiscard]] std::string_view expected_for_kind(AttrKind kind) {
    switch (kind) {
        case AttrKind::Null: return "null";
        case AttrKind::Bool: return "a boolean";
        case AttrKind::Integer: return "i64";
        case AttrKind::Float:
        case AttrKind::String:
        case AttrKind::Bytes: return "a string";
        case AttrKind::List:
        case AttrKind::Tuple: return "an array";
        case AttrKind::Map: return "an object";
    }
    return "a value";
}

[[nodiscard]] std::string_view expected_for(const Frame& f) {
    switch (f.want) {
        case Want::Nothing: return "nothing";
        case Want::Graph: return "a graph artifact object";
        case Want::Node: return "a node object";
        case Want::Constant: return "a constant object";
        case Want::Text:
        case Want::ConstantData:
        case Want::TextItem: return "a string";
        case Want::OptionalText: return "a string or null";
        case Want::U32:
        case Want::IdItem: return "u32";
        case Want::U64:
        case Want::ExtentItem: return "u64";
        case Want::Ids: return "an array of u32";
        case Want::Extents:
        case Want::ShapeItem: return "an array of u64";
        case Want::OptionalShapes: return "an array of shapes or null";
        case Want::OptionalTexts: return "an array of strings or null";
        case Want::Nodes: return "an array of nodes";
        case Want::Constants: return "an object of constants";
        case Want::Attrs: return "an object of attribute values";
        case Want::AttrValue: return "an attribute value object or [kind, value] array";
        case Want::AttrKindName: return "an attribute kind";
        case Want::AttrPayload: return f.attr_kind ? expected_for_kind(*f.attr_kind) : "a value";
        case Want::PairComplete: return "the end of a [kind, value] array";
    }
    return "a value";
}

// Index of `key` among `names`, trying the member that usually comes next
// first; -1 when it is none of them.
template <size_t N>
[[nodiscard]] int member_index(const std::array<std::string_view, N>& names, std::string_view key, size_t hint) {
    if (hint < N && names[hint] == key) return static_cast<int>(hint);
    for (size_t i = 0; i < N; ++i) {
        if (names[i] == key) return static_cast<int>(i);
    }
    return -1;
}

// Index of the first required member not seen, or -1.
[[nodiscard]] int first_missing(uint32_t seen, uint32_t required) {
    const uint32_t missing = required & ~seen;
    return missing == 0 ? -1 : __builtin_ctz(missing);
}

class ArtifactHandler {
public:
    explicit ArtifactHandler(TextInput& in) : in_(in) {
        frames_.reserve(wire::kMaxNesting + 1);
        frames_.emplace_back(FrameKind::Root, Want::Graph, nullptr);
    }
    ArtifactHandler(const ArtifactHandler&) = delete;
    ArtifactHandler& operator=(const ArtifactHandler&) = delete;

    [[nodiscard]] const std::string& message() const { return message_; }
    [[nodiscard]] size_t consumed() const { return consumed_; }

    // Events. Each first notes how many bytes the event has consumed: the
    // parser reports brackets before it takes them, everything else after.

    bool Null() {
        consumed_ = in_.Tell();
        Frame& f = top();
        switch (f.want) {
            case Want::OptionalText: static_cast<std::optional<std::string>*>(f.dest)->reset(); return true;
            case Want::OptionalShapes: node_.has_output_shapes = false; return true;
            case Want::OptionalTexts: node_.has_output_dtypes = false; return true;
            case Want::AttrPayload: return attr_scalar(f, Pending::Null, {}, false);
            default: return fail_unexpected(f, {Unexpected::Type::Null});
        }
    }

    bool Bool(bool b) {
        consumed_ = in_.Tell();
        Frame& f = top();
        if (f.want == Want::AttrPayload) return attr_scalar(f, Pending::Bool, {}, b);
        return fail_unexpected(f, {Unexpected::Type::Bool, {}, b});
    }

    // Numbers arrive as texts only; these cannot be called.
    bool Int(int) { return fail("number events must arrive as text"); }
    bool Uint(unsigned) { return fail("number events must arrive as text"); }
    bool Int64(int64_t) { return fail("number events must arrive as text"); }
    bool Uint64(uint64_t) { return fail("number events must arrive as text"); }
    bool Double(double) { return fail("number events must arrive as text"); }

    bool RawNumber(const char*, size_t length, bool) {
        consumed_ = in_.Tell();
        const std::string_view number = in_.number(length);
        Frame& f = top();
        uint32_t u32 = 0;
        uint64_t u64 = 0;
        switch (f.want) {
            case Want::U32:
                return read_u32(number, *static_cast<uint32_t*>(f.dest));
            case Want::U64:
                return read_u64(number, *static_cast<uint64_t*>(f.dest));
            case Want::IdItem:
                if (!read_u32(number, u32)) return false;
                static_cast<std::vector<NodeId>*>(f.dest)->push_back(u32);
                return true;
            case Want::ExtentItem:
                if (!read_u64(number, u64)) return false;
                static_cast<Shape*>(f.dest)->push_back(u64);
                return true;
            case Want::AttrPayload: return attr_scalar(f, Pending::Number, number, false);
            default: return fail_unexpected(f, {Unexpected::Type::Number, number});
        }
    }

    bool String(const char*, size_t length, bool) {
        consumed_ = in_.Tell();
        const std::string_view s = in_.string(length);
        if (in_.string_may_be_ill_formed() && !well_formed(s)) return false;
        Frame& f = top();
        switch (f.want) {
            case Want::Text: static_cast<std::string*>(f.dest)->assign(s); return true;
            case Want::OptionalText: static_cast<std::optional<std::string>*>(f.dest)->emplace(s); return true;
            case Want::TextItem: static_cast<std::vector<std::string>*>(f.dest)->emplace_back(s); return true;
            case Want::ConstantData: constant_data(s); return true;
            case Want::AttrKindName: return attr_kind(f, s);
            case Want::AttrPayload: return attr_scalar(f, Pending::String, s, false);
            default: return fail_unexpected(f, {Unexpected::Type::String, s});
        }
    }

    bool Key(const char*, size_t length, bool) {
        consumed_ = in_.Tell();
        const std::string_view key = in_.string(length);
        if (in_.string_may_be_ill_formed() && !well_formed(key)) return false;
        Frame& f = top();
        switch (f.kind) {
            case FrameKind::Graph: return member_key(f, wire::kGraphMembers, graph_slots_, key);
            case FrameKind::Node: return member_key(f, wire::kNodeMembers, node_slots_, key);
            case FrameKind::Constant: return member_key(f, wire::kConstantMembers, constant_slots_, key);
            case FrameKind::AttrObject: return attr_key(f, key);
            case FrameKind::AttrTable:
                f.text.assign(key);
                f.want = Want::AttrValue;
                return true;
            case FrameKind::Constants:
                f.text.assign(key);
                f.want = Want::Constant;
                return true;
            default: return fail("object key outside an object");
        }
    }

    bool StartObject() {
        consumed_ = in_.Tell() + 1;
        if (!enter()) return false;
        Frame& f = top();
        switch (f.want) {
            case Want::Graph: push(FrameKind::Graph); return true;
            case Want::Node:
                node_.reset();
                push(FrameKind::Node);
                return true;
            case Want::Constant:
                constant_.reset();
                push(FrameKind::Constant);
                return true;
            case Want::Constants: push(FrameKind::Constants); return true;
            case Want::Attrs: push(FrameKind::AttrTable); return true;
            case Want::AttrValue: push(FrameKind::AttrObject); return true;
            case Want::AttrPayload:
                if (f.attr_kind && *f.attr_kind != AttrKind::Map) break;
                push(FrameKind::AttrTable);
                return true;
            default: break;
        }
        return fail_unexpected(f, {Unexpected::Type::Object});
    }

    bool StartArray() {
        consumed_ = in_.Tell() + 1;
        if (!enter()) return false;
        Frame& f = top();
        switch (f.want) {
            case Want::Ids: push(FrameKind::Ids, Want::IdItem, f.dest); return true;
            case Want::Extents: push(FrameKind::Extents, Want::ExtentItem, f.dest); return true;
            case Want::ShapeItem: {
                auto& shapes = *static_cast<std::vector<Shape>*>(f.dest);
                shapes.emplace_back();
                push(FrameKind::Extents, Want::ExtentItem, &shapes.back());
                return true;
            }
            case Want::OptionalShapes:
                node_.has_output_shapes = true;
                push(FrameKind::Shapes, Want::ShapeItem, &node_.output_shapes);
                return true;
            case Want::OptionalTexts:
                node_.has_output_dtypes = true;
                push(FrameKind::Texts, Want::TextItem, &node_.output_dtypes);
                return true;
            case Want::Nodes: push(FrameKind::Nodes, Want::Node); return true;
            case Want::AttrValue: push(FrameKind::AttrPair, Want::AttrKindName); return true;
            case Want::AttrPayload:
                if (f.attr_kind && *f.attr_kind != AttrKind::List && *f.attr_kind != AttrKind::Tuple) break;
                push(FrameKind::AttrItems, Want::AttrValue);
                return true;
            default: break;
        }
        return fail_unexpected(f, {Unexpected::Type::Array});
    }

    bool EndObject(size_t) {
        consumed_ = in_.Tell() + 1;
        Frame& f = top();
        switch (f.kind) {
            case FrameKind::Graph: {
                if (const int missing = first_missing(f.seen, (1u << wire::kGraphMembers.size()) - 1); missing >= 0) {
                    return fail(field_message("missing", wire::kGraphMembers[missing]));
                }
                pop();
                top().want = Want::Nothing;
                return true;
            }
            case FrameKind::Node: {
                if (const int missing = first_missing(f.seen, wire::kNodeRequired); missing >= 0) {
                    return fail(field_message("missing", wire::kNodeMembers[missing]));
                }
                pop();
                rebuild_node();
                return true;
            }
            case FrameKind::Constant: {
                if (const int missing = first_missing(f.seen, (1u << wire::kConstantMembers.size()) - 1);
                    missing >= 0) {
                    return fail(field_message("missing", wire::kConstantMembers[missing]));
                }
                pop();
                return finish_constant(top().text);
            }
            case FrameKind::Constants: pop(); return true;
            case FrameKind::AttrTable: {
                AttrMap map = std::move(f.map);
                pop();
                Frame& parent = top();
                if (parent.kind == FrameKind::Node) {
                    node_.attrs = std::move(map);
                    return true;
                }
                return attr_payload_container(parent, Pending::Object, {}, std::move(map));
            }
            case FrameKind::AttrObject: {
                if (!(f.seen & (1u << wire::kAttrKind))) return fail(field_message("missing", "kind"));
                if (!(f.seen & (1u << wire::kAttrValue)) && *f.attr_kind != AttrKind::Null) {
                    return fail(field_message("missing", "value"));
                }
                AttrValue value = std::move(f.value);
                pop();
                attr_value_done(std::move(value));
                return true;
            }
            default: return fail("object end outside an object");
        }
    }

    bool EndArray(size_t) {
        consumed_ = in_.Tell() + 1;
        Frame& f = top();
        switch (f.kind) {
            case FrameKind::Ids:
            case FrameKind::Extents:
            case FrameKind::Shapes:
            case FrameKind::Texts:
            case FrameKind::Nodes: pop(); return true;
            case FrameKind::AttrPair: {
                if (f.want != Want::PairComplete) return fail(pair_length(f.want == Want::AttrKindName ? 0 : 1));
                AttrValue value = std::move(f.value);
                pop();
                attr_value_done(std::move(value));
                return true;
            }
            case FrameKind::AttrItems: {
                AttrList items = std::move(f.items);
                pop();
                return attr_payload_container(top(), Pending::Array, std::move(items), {});
            }
            default: return fail("array end outside an array");
        }
    }

    // Steps after parsing: header, nodes, constant keys, version, store.
    [[nodiscard]] Expected<GraphStore> finish() && {
        if (auto header = check_header(); !header.empty()) return GraphError(std::move(header));
        if (node_error_) return GraphError(std::move(*node_error_));

        std::map<NodeId, PortableConstant> constants;
        for (auto& [key, constant] : constants_) {
            const std::optional<NodeId> id = canonical_node_id(key);
            if (!id) return GraphError(with_quoted("graph constant key ", key) + " is not a canonical node ID");
            constants.emplace(*id, std::move(constant));
        }
        if (auto version = graph::check_array_api_version(graph_.required_array_api_version); !version) {
            return std::move(version).error();
        }

        data_.inputs = std::move(graph_.inputs);
        data_.outputs = std::move(graph_.outputs);
        data_.required_array_api_version = std::move(graph_.required_array_api_version);
        data_.constants = std::move(constants);
        auto store = GraphStore::create(std::move(data_));
        if (!store) return GraphError(store.error().rendered());
        return store;
    }

private:
    [[nodiscard]] Frame& top() { return frames_.back(); }
    void push(FrameKind kind, Want want = Want::Nothing, void* dest = nullptr) { frames_.emplace_back(kind, want, dest); }
    void pop() { frames_.pop_back(); }

    [[nodiscard]] bool enter() {
        // The new array or object is level frames_.size(): the root frame
        // stands below the artifact object.
        if (frames_.size() > wire::kMaxNesting) return fail("recursion limit exceeded");
        return true;
    }

    [[gnu::cold, gnu::noinline]] bool fail(std::string message) {
        message_ = std::move(message);
        return false;
    }

    [[gnu::cold, gnu::noinline]] bool fail_unexpected(const Frame& f, const Unexpected& u) {
        if (f.want == Want::PairComplete) return fail(pair_length(3));
        return fail(invalid_type(u, expected_for(f)));
    }

    // The string just read is not well-formed UTF-8: locates the offending
    // byte, or the escape that produced it.
    [[gnu::cold, gnu::noinline]] bool fail_ill_formed(size_t bad) {
        const size_t start = in_.string_offset();
        if (!in_.string_escaped()) {
            consumed_ = start + bad + 1;
            return fail("invalid UTF-8 in string");
        }
        // Walk the source and the decoded string side by side.
        const std::string_view source = in_.text().substr(start, in_.Tell() - 1 - start);
        size_t decoded = 0;
        for (size_t pos = 0; pos < source.size();) {
            size_t unit = 1;
            size_t produced = 1;
            const bool escape = source[pos] == '\\';
            if (escape && pos + 1 < source.size() && source[pos + 1] == 'u') {
                // The parser has checked the four hexadecimal digits.
                unsigned cp = 0;
                for (size_t k = pos + 2; k < pos + 6 && k < source.size(); ++k) {
                    const char h = source[k];
                    cp = cp * 16 + static_cast<unsigned>(h <= '9' ? h - '0' : (h | 0x20) - 'a' + 10);
                }
                unit = 6;
                produced = cp < 0x80 ? 1 : cp < 0x800 ? 2 : 3;
                if (cp >= 0xD800 && cp <= 0xDBFF) unit = 12, produced = 4;
            } else if (escape) {
                unit = 2;
            }
            if (decoded + produced > bad) {
                consumed_ = start + pos + unit;
                return fail(escape ? "lone surrogate in unicode escape" : "invalid UTF-8 in string");
            }
            decoded += produced;
            pos += unit;
        }
        consumed_ = in_.Tell();
        return fail("invalid UTF-8 in string");
    }

    [[nodiscard]] bool well_formed(std::string_view s) {
        const size_t bad = wire::first_invalid_utf8(s);
        return bad == s.size() || fail_ill_formed(bad);
    }

    [[nodiscard]] bool read_u32(std::string_view number, uint32_t& out) {
        uint64_t wide = 0;
        if (!read_unsigned(number, std::numeric_limits<uint32_t>::max(), "u32", wide)) return false;
        out = static_cast<uint32_t>(wide);
        return true;
    }
    [[nodiscard]] bool read_u64(std::string_view number, uint64_t& out) {
        return read_unsigned(number, std::numeric_limits<uint64_t>::max(), "u64", out);
    }
    [[nodiscard]] bool read_unsigned(std::string_view number, uint64_t max, std::string_view name, uint64_t& out) {
        bool negative = false;
        switch (read_integer(number, max, 0, negative, out)) {
            case IntegerFit::Fits: return true;
            case IntegerFit::NotInteger: return fail(invalid_type({Unexpected::Type::Number, number}, name));
            case IntegerFit::OutOfRange: return fail(invalid_integer(number, name));
        }
        return false;
    }

    // -- members of the three fixed objects

    template <size_t N>
    [[nodiscard]] int claim_member(Frame& f, const std::array<std::string_view, N>& names, std::string_view key) {
        const int index = member_index(names, key, f.next_member);
        if (index < 0) {
            fail(unknown_field(key, names));
            return -1;
        }
        if (f.seen & (1u << index)) {
            fail(field_message("duplicate", names[index]));
            return -1;
        }
        f.seen |= 1u << index;
        f.next_member = static_cast<uint8_t>(index + 1);
        return index;
    }

    // Reads the key of a member of one of the three fixed objects and
    // expects its value where its slot says.
    template <size_t N>
    bool member_key(Frame& f, const std::array<std::string_view, N>& names, const std::array<Slot, N>& slots,
                    std::string_view key) {
        const int index = claim_member(f, names, key);
        if (index < 0) return false;
        f.want = slots[index].want;
        f.dest = slots[index].dest;
        return true;
    }

    bool attr_key(Frame& f, std::string_view key) {
        const int index = claim_member(f, wire::kAttrMembers, key);
        if (index == wire::kAttrKind) f.want = Want::AttrKindName;
        if (index == wire::kAttrValue) f.want = Want::AttrPayload;
        return index >= 0;
    }

    // -- nodes

    // Rebuilds the node just closed: the checks of the node step, run while
    // the text is still being parsed. Their first failure is kept and
    // reported only once the whole text has parsed and the header has passed,
    // and no later node is rebuilt.
    void rebuild_node() {
        const uint64_t position = node_count_++;
        if (node_error_) return;
        if (auto failure = rebuild_node_at(position)) node_error_ = std::move(failure);
    }

    [[nodiscard]] std::optional<std::string> rebuild_node_at(uint64_t position) {
        NodeDraft& n = node_;
        if (position > std::numeric_limits<NodeId>::max()) return std::string("graph node ID exceeded its range");
        if (n.id != position) return dense_ids(position, n.id);
        const uint8_t flags = n.op == graph::kInputOp ? node_flags::kInput : 0;
        if (auto appended = data_.arena.append(n.op, n.schema_version, n.inputs, flags); !appended) {
            return std::move(appended).error().into_message();
        }
        auto dtype = DTypeDescriptor::from_name(n.dtype);
        if (!dtype) return std::move(dtype).error().into_message();
        std::optional<std::vector<DTypeDescriptor>> output_dtypes;
        if (n.has_output_dtypes) {
            output_dtypes.emplace();
            output_dtypes->reserve(n.output_dtypes.size());
            for (const std::string& name : n.output_dtypes) {
                auto d = DTypeDescriptor::from_name(name);
                if (!d) return std::move(d).error().into_message();
                output_dtypes->push_back(std::move(*d));
            }
        }
        std::optional<std::vector<Shape>> output_shapes;
        if (n.has_output_shapes) output_shapes.emplace(std::move(n.output_shapes));
        auto metadata = NodeMetadata::create(std::move(n.attrs), std::move(n.shape), std::move(*dtype), std::move(n.name),
                                             n.num_outputs, std::move(output_shapes), std::move(output_dtypes),
                                             std::move(n.source_location));
        if (!metadata) return std::move(metadata).error().into_message();
        data_.metadata.emplace_back(std::move(*metadata));
        return std::nullopt;
    }

    // -- constants

    void constant_data(std::string_view hex_text) {
        auto bytes = hex::decode(hex_text);
        if (bytes) {
            constant_.data = std::move(*bytes);
        } else {
            constant_.data_error = "staged constant data " + std::move(bytes).error();
        }
    }

    // Checks the constant just closed, in the fixed order, and files it under
    // `key` (a later constant with the same key replaces it).
    bool finish_constant(const std::string& key) {
        ConstantDraft& c = constant_;
        if (c.format != constant::kFormat) return fail(with_quoted("unknown staged constant format ", c.format));
        if (c.version != constant::kFormatVersion) {
            return fail("unsupported staged constant version " + std::to_string(c.version));
        }
        if (c.layout != constant::kLayout) return fail(with_quoted("unsupported staged constant layout ", c.layout));
        if (c.byte_order != constant::kByteOrder) {
            return fail(with_quoted("unsupported staged constant byte order ", c.byte_order));
        }
        auto kind = constant::kind_from_str(c.kind);
        if (!kind) return fail(std::move(kind).error());
        auto dtype = NumericDType::from_str(c.dtype);
        if (!dtype) return fail(std::move(dtype).error());
        if (c.data_error) return fail(std::move(*c.data_error));
        // Validation first, then the digest of exactly these fields.
        auto built = PortableConstant::create(*kind, *dtype, std::move(c.shape), std::move(c.data));
        if (!built) return fail(std::move(built).error());
        if (built->digest() != c.digest) return fail("staged constant digest does not match its contents");
        constants_.insert_or_assign(key, std::move(*built));
        return true;
    }

    // -- attribute values

    bool attr_kind(Frame& f, std::string_view name) {
        const std::optional<AttrKind> kind = attr::kind_from_name(name);
        if (!kind) return fail(unknown_attr_kind(name));
        f.attr_kind = *kind;
        if (f.kind == FrameKind::AttrPair) {
            f.want = Want::AttrPayload;
            return true;
        }
        return f.pending == Pending::None || settle_pending(f);
    }

    // A scalar payload: converted now when the kind is known, kept until the
    // kind comes otherwise.
    bool attr_scalar(Frame& f, Pending type, std::string_view text, bool boolean) {
        if (!f.attr_kind) {
            f.pending = type;
            f.pending_bool = boolean;
            f.text.assign(text);
            return true;
        }
        if (!convert_scalar(f, type, text, boolean)) return false;
        if (f.kind == FrameKind::AttrPair) f.want = Want::PairComplete;
        return true;
    }

    // A list or map payload, once its array or object has closed. A known
    // kind was checked against the container when it opened.
    bool attr_payload_container(Frame& f, Pending type, AttrList items, AttrMap map) {
        if (!f.attr_kind) {
            f.pending = type;
            f.items = std::move(items);
            f.map = std::move(map);
            return true;
        }
        switch (*f.attr_kind) {
            case AttrKind::List: f.value = AttrValue::from_list(std::move(items)); break;
            case AttrKind::Tuple: f.value = AttrValue::from_tuple(std::move(items)); break;
            default: f.value = AttrValue::from_map(std::move(map)); break;
        }
        if (f.kind == FrameKind::AttrPair) f.want = Want::PairComplete;
        return true;
    }

    // The kind has come after the payload.
    bool settle_pending(Frame& f) {
        const AttrKind kind = *f.attr_kind;
        switch (f.pending) {
            case Pending::Array:
                if (kind == AttrKind::List) {
                    f.value = AttrValue::from_list(std::move(f.items));
                } else if (kind == AttrKind::Tuple) {
                    f.value = AttrValue::from_tuple(std::move(f.items));
                } else {
                    return fail(invalid_type({Unexpected::Type::Array}, expected_for_kind(kind)));
                }
                return true;
            case Pending::Object:
                if (kind != AttrKind::Map) return fail(invalid_type({Unexpected::Type::Object}, expected_for_kind(kind)));
                f.value = AttrValue::from_map(std::move(f.map));
                return true;
            default: {
                const std::string text = std::move(f.text);
                return convert_scalar(f, f.pending, text, f.pending_bool);
            }
        }
    }

    bool convert_scalar(Frame& f, Pending type, std::string_view text, bool boolean) {
        const AttrKind kind = *f.attr_kind;
        switch (type) {
            case Pending::Null:
                if (kind != AttrKind::Null) break;
                f.value = AttrValue::null();
                return true;
            case Pending::Bool:
                if (kind != AttrKind::Bool) break;
                f.value = AttrValue::from_bool(boolean);
                return true;
            case Pending::Number: {
                if (kind != AttrKind::Integer) break;
                bool negative = false;
                uint64_t magnitude = 0;
                const uint64_t max = std::numeric_limits<int64_t>::max();
                switch (read_integer(text, max, max + 1, negative, magnitude)) {
                    case IntegerFit::Fits: break;
                    case IntegerFit::NotInteger: return fail(invalid_type({Unexpected::Type::Number, text}, "i64"));
                    case IntegerFit::OutOfRange: return fail(invalid_integer(text, "i64"));
                }
                f.value = AttrValue::from_integer(negative ? static_cast<int64_t>(0 - magnitude)
                                                           : static_cast<int64_t>(magnitude));
                return true;
            }
            case Pending::String:
                if (kind == AttrKind::String) {
                    f.value = AttrValue::from_string(std::string(text));
                    return true;
                }
                if (kind == AttrKind::Float) {
                    auto bits = attr::float_bits_from_hex(text);
                    if (!bits) return fail(std::move(bits).error());
                    f.value = AttrValue::from_float_bits(*bits);
                    return true;
                }
                if (kind == AttrKind::Bytes) {
                    auto bytes = hex::decode(text);
                    if (!bytes) return fail("hex byte string " + std::move(bytes).error());
                    f.value = AttrValue::from_bytes(std::move(*bytes));
                    return true;
                }
                break;
            default: break;
        }
        const Unexpected::Type unexpected = type == Pending::Null     ? Unexpected::Type::Null
                                            : type == Pending::Bool   ? Unexpected::Type::Bool
                                            : type == Pending::Number ? Unexpected::Type::Number
                                                                      : Unexpected::Type::String;
        return fail(invalid_type({unexpected, text, boolean}, expected_for_kind(kind)));
    }

    // A whole attribute value has closed: it joins the table or sequence
    // around it. In a table a repeated key keeps its last value.
    void attr_value_done(AttrValue value) {
        Frame& parent = top();
        if (parent.kind == FrameKind::AttrTable) {
            parent.map.insert_or_assign(std::move(parent.text), std::move(value));
        } else {
            parent.items.push_back(std::move(value));
        }
    }

    // -- after parsing

    [[nodiscard]] std::string check_header() const {
        using namespace wire;
        const GraphDraft& g = graph_;
        if (g.format != kFormat) return unsupported_text("graph format", g.format, kFormat);
        if (g.version != kVersion) return unsupported_text("graph version", g.version, kVersion);
        if (g.semantic_profile != kSemanticProfile) {
            return unsupported_text("semantic profile", g.semantic_profile, kSemanticProfile);
        }
        if (g.producer != kProducer) return unsupported_text("graph producer", g.producer, kProducer);
        if (g.core_opset != kCoreOpset) return unsupported_number("core opset", g.core_opset, kCoreOpset);
        if (g.semantic_profile_version != kSemanticProfileVersion) {
            return unsupported_number("semantic profile version", g.semantic_profile_version, kSemanticProfileVersion);
        }
        if (g.compiler_version != kCompilerVersion) {
            return unsupported_number("compiler version", g.compiler_version, kCompilerVersion);
        }
        if (g.optimizer_version != kOptimizerVersion) {
            return unsupported_number("optimizer version", g.optimizer_version, kOptimizerVersion);
        }
        return {};
    }

    // The node ID a constant key names: decimal digits only, within 32 bits,
    // written without sign or leading zero.
    [[nodiscard]] static std::optional<NodeId> canonical_node_id(std::string_view key) {
        if (key.empty() || key.size() > 10 || (key.size() > 1 && key.front() == '0')) return std::nullopt;
        uint64_t id = 0;
        for (const char c : key) {
            if (c < '0' || c > '9') return std::nullopt;
            id = id * 10 + static_cast<uint64_t>(c - '0');
        }
        if (id > std::numeric_limits<NodeId>::max()) return std::nullopt;
        return static_cast<NodeId>(id);
    }

    TextInput& in_;
    std::vector<Frame> frames_;
    std::string message_;
    size_t consumed_ = 0;

    GraphDraft graph_;
    NodeDraft node_;
    ConstantDraft constant_;
    // Indexed like the member names of each object.
    const std::array<Slot, 13> graph_slots_{{
        {Want::Text, &graph_.format},
        {Want::Text, &graph_.version},
        {Want::U32, &graph_.core_opset},
        {Want::Text, &graph_.semantic_profile},
        {Want::U32, &graph_.semantic_profile_version},
        {Want::Text, &graph_.required_array_api_version},
        {Want::Text, &graph_.producer},
        {Want::U32, &graph_.compiler_version},
        {Want::U32, &graph_.optimizer_version},
        {Want::Ids, &graph_.inputs},
        {Want::Ids, &graph_.outputs},
        {Want::Nodes, nullptr},
        {Want::Constants, nullptr},
    }};
    const std::array<Slot, 12> node_slots_{{
        {Want::U32, &node_.id},
        {Want::Text, &node_.op},
        {Want::U32, &node_.schema_version},
        {Want::Ids, &node_.inputs},
        {Want::Attrs, nullptr},
        {Want::Extents, &node_.shape},
        {Want::Text, &node_.dtype},
        {Want::U64, &node_.num_outputs},
        {Want::OptionalShapes, nullptr},
        {Want::OptionalTexts, nullptr},
        {Want::OptionalText, &node_.name},
        {Want::OptionalText, &node_.source_location},
    }};
    const std::array<Slot, 9> constant_slots_{{
        {Want::Text, &constant_.format},
        {Want::U32, &constant_.version},
        {Want::Text, &constant_.kind},
        {Want::Text, &constant_.dtype},
        {Want::Extents, &constant_.shape},
        {Want::Text, &constant_.layout},
        {Want::Text, &constant_.byte_order},
        {Want::ConstantData, nullptr},
        {Want::Text, &constant_.digest},
    }};
    GraphData data_;
    uint64_t node_count_ = 0;
    std::optional<std::string> node_error_;
    std::map<std::string, PortableConstant, std::less<>> constants_;
};

// ---------------------------------------------------------------------------
// Syntax errors

// The parser's own refusal, worded for the reader's messages. `stop` is
// where reading stood; a byte there is the unexpected one and counts as
// consumed.
[[gnu::cold, gnu::noinline]] GraphError syntax_failed(std::string_view text, rapidjson::ParseErrorCode code,
                                                      size_t reported, size_t stop) {
    using namespace rapidjson;
    const bool at_end = stop >= text.size();
    const char c = at_end ? '\0' : text[stop];
    size_t consumed = at_end ? text.size() : stop + 1;
    const auto previous_token = [&] {
        size_t p = stop;
        while (p > 0 && (text[p - 1] == ' ' || text[p - 1] == '\t' || text[p - 1] == '\n' || text[p - 1] == '\r')) --p;
        return p > 0 ? text[p - 1] : '\0';
    };
    std::string_view message = "invalid JSON";
    switch (code) {
        case kParseErrorDocumentEmpty: message = at_end ? "EOF while parsing a value" : "expected value"; break;
        case kParseErrorObjectMissName:
            message = at_end ? "EOF while parsing an object" : c == '}' ? "trailing comma" : "key must be a string";
            break;
        case kParseErrorObjectMissColon: message = at_end ? "EOF while parsing an object" : "expected `:`"; break;
        case kParseErrorObjectMissCommaOrCurlyBracket:
            message = at_end ? "EOF while parsing an object" : "expected `,` or `}`";
            break;
        case kParseErrorArrayMissCommaOrSquareBracket:
            message = at_end ? "EOF while parsing an array" : "expected `,` or `]`";
            break;
        case kParseErrorValueInvalid:
            message = at_end                                   ? "EOF while parsing a value"
                      : c == ']' && previous_token() == ','    ? "trailing comma"
                                                               : "expected value";
            break;
        case kParseErrorNumberMissFraction:
        case kParseErrorNumberMissExponent: message = at_end ? "EOF while parsing a value" : "invalid number"; break;
        case kParseErrorNumberTooBig:
            message = "number out of range";
            consumed = stop;
            break;
        case kParseErrorStringMissQuotationMark:
            message = at_end ? "EOF while parsing a string" : "control character found while parsing a string";
            break;
        case kParseErrorStringEscapeInvalid:
            message = at_end              ? "EOF while parsing a string"
                      : reported == stop ? "control character found while parsing a string"
                                          : "invalid escape";
            break;
        case kParseErrorStringUnicodeEscapeInvalidHex: message = at_end ? "EOF while parsing a string" : "invalid escape"; break;
        case kParseErrorStringUnicodeSurrogateInvalid:
            message = at_end ? "EOF while parsing a string" : "lone surrogate in unicode escape";
            // A complete second escape that is not a low surrogate was read
            // whole; anything else stopped at its first wrong byte.
            if (stop - reported == 12) consumed = stop;
            break;
        default: break;
    }
    return deserialization_failed(text, message, consumed);
}

bool is_json_white_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

Expected<GraphStore> from_json(std::string_view text) {
    TextInput in(text);
    ArtifactHandler handler(in);
    rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, wire::JsonStackAllocator> reader;
    constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseInsituFlag |
                                rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseStopWhenDoneFlag;
    const rapidjson::ParseResult parsed = reader.Parse<kFlags>(in, handler);
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

}  // namespace vorlix::artifact
