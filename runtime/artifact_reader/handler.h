// The strict artifact reader's handler: the events of the JSON library's
// parser, directed by the artifact's schema, each value checked as it comes
// with the messages and positions the format fixes. Its members are defined
// by family: the events and their common checks (handler.cpp), the header
// and the end (handler_header.cpp), nodes, constants and attribute values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/artifact_reader/assembly.h"
#include "runtime/artifact_reader/messages.h"
#include "runtime/artifact_reader/text_input.h"
#include "runtime/artifact_wire.h"
#include "runtime/attr.h"
#include "runtime/graph.h"
#include "runtime/interned/attr_draft.h"

namespace vorlix::artifact::reader {

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
    Root,
    Graph,
    Node,
    Constant,
    Ids,
    Extents,
    Shapes,
    Texts,
    Nodes,
    Constants,
    AttrTable,
    AttrObject,
    AttrPair,
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

[[nodiscard]] inline std::string_view expected_for_kind(AttrKind kind) {
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

[[nodiscard]] inline std::string_view expected_for(const Frame& f) {
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
[[nodiscard]] inline int first_missing(uint32_t seen, uint32_t required) {
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

    bool Null();
    bool Bool(bool b);

    // Numbers arrive as texts only; these cannot be called.
    bool Int(int) { return fail("number events must arrive as text"); }
    bool Uint(unsigned) { return fail("number events must arrive as text"); }
    bool Int64(int64_t) { return fail("number events must arrive as text"); }
    bool Uint64(uint64_t) { return fail("number events must arrive as text"); }
    bool Double(double) { return fail("number events must arrive as text"); }

    bool RawNumber(const char*, size_t length, bool);
    bool String(const char*, size_t length, bool);
    bool Key(const char*, size_t length, bool);
    bool StartObject();
    bool StartArray();
    bool EndObject(size_t);
    bool EndArray(size_t);

    // Steps after parsing: header, nodes, constant keys, version, store.
    [[nodiscard]] Expected<GraphStore> finish() &&;

private:
    [[nodiscard]] Frame& top() { return frames_.back(); }
    void push(FrameKind kind, Want want = Want::Nothing, void* dest = nullptr) {
        frames_.emplace_back(kind, want, dest);
    }
    void pop() { frames_.pop_back(); }

    [[nodiscard]] bool enter();

    [[gnu::cold, gnu::noinline]] bool fail(std::string message);

    [[gnu::cold, gnu::noinline]] bool fail_unexpected(const Frame& f, const Unexpected& u);

    // The string just read is not well-formed UTF-8: locates the offending
    // byte, or the escape that produced it.
    [[gnu::cold, gnu::noinline]] bool fail_ill_formed(size_t bad);

    [[nodiscard]] bool well_formed(std::string_view s);

    [[nodiscard]] bool read_u32(std::string_view number, uint32_t& out);
    [[nodiscard]] bool read_u64(std::string_view number, uint64_t& out);
    [[nodiscard]] bool read_unsigned(std::string_view number, uint64_t max, std::string_view name, uint64_t& out);

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

    bool attr_key(Frame& f, std::string_view key);

    // -- nodes

    // Rebuilds the node just closed: the checks of the node step, run while
    // the text is still being parsed. Their first failure is kept and
    // reported only once the whole text has parsed and the header has passed,
    // and no later node is rebuilt.
    void rebuild_node();

    [[nodiscard]] std::optional<std::string> rebuild_node_at(uint64_t position);

    // -- constants

    void constant_data(std::string_view hex_text);

    // Checks the constant just closed, in the fixed order, and files it under
    // `key` (a later constant with the same key replaces it).
    bool finish_constant(const std::string& key);

    // -- attribute values

    bool attr_kind(Frame& f, std::string_view name);

    // A scalar payload: converted now when the kind is known, kept until the
    // kind comes otherwise.
    bool attr_scalar(Frame& f, Pending type, std::string_view text, bool boolean);

    // A list or map payload, once its array or object has closed. A known
    // kind was checked against the container when it opened.
    bool attr_payload_container(Frame& f, Pending type, AttrList items, AttrMap map);

    // The kind has come after the payload.
    bool settle_pending(Frame& f);

    bool convert_scalar(Frame& f, Pending type, std::string_view text, bool boolean);

    // A whole attribute value has closed: it joins the table or sequence
    // around it. In a table a repeated key keeps its last value.
    void attr_value_done(AttrValue value);

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
    Assembly assembly_;
    // The attributes of the node being rebuilt, and its output dtype texts.
    AttrDraft draft_;
    std::vector<std::string_view> output_dtypes_;
    uint64_t node_count_ = 0;
    std::optional<std::string> node_error_;
    std::map<std::string, PortableConstant, std::less<>> constants_;
};

}  // namespace vorlix::artifact::reader
