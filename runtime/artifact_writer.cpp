// Writing a graph store as its canonical artifact text through borrowed views of the store.
#include "runtime/artifact_wire.h"

#include <rapidjson/writer.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "runtime/artifact.h"

namespace vorlix::artifact {

namespace {

// A growable text that the JSON writer and the string escaper both write
// into, held in the sink's memory: the writer places structure and
// separators, the escaper whole strings. Room is claimed before each write,
// so the hot writes are plain stores.
class TextOutput {
public:
    using Ch = char;

    TextOutput(TextSink& sink, size_t expected_size) : sink_(sink) { acquire(0, std::max<size_t>(expected_size, 4096)); }
    TextOutput(const TextOutput&) = delete;
    TextOutput& operator=(const TextOutput&) = delete;

    void Put(char c) {
        reserve(1);
        *cursor_++ = c;
    }
    void Flush() {}

    void reserve(size_t n) {
        if (static_cast<size_t>(end_ - cursor_) < n) grow(n);
    }
    // The caller has reserved room.
    void put_unsafe(char c) { *cursor_++ = c; }
    // Room for `n` bytes, to be written by the caller.
    [[nodiscard]] char* claim(size_t n) {
        reserve(n);
        char* out = cursor_;
        cursor_ += n;
        return out;
    }

    [[nodiscard]] size_t size() const { return static_cast<size_t>(cursor_ - begin_); }

private:
    [[gnu::noinline]] void grow(size_t n) {
        const size_t used = size();
        acquire(used, std::max(2 * static_cast<size_t>(end_ - begin_), used + n));
    }
    void acquire(size_t used, size_t capacity) {
        char* buffer = sink_.grow(used, capacity);
        if (buffer == nullptr) throw std::bad_alloc();
        begin_ = buffer;
        cursor_ = buffer + used;
        end_ = buffer + capacity;
    }

    TextSink& sink_;
    char* begin_ = nullptr;
    char* cursor_ = nullptr;
    char* end_ = nullptr;
};

// The sink of `to_json`: the returned string itself.
class StringSink final : public TextSink {
public:
    [[nodiscard]] char* grow(size_t, size_t capacity) override {
        text_.resize(capacity);
        return text_.data();
    }
    [[nodiscard]] std::string take(size_t size) && {
        text_.resize(size);
        return std::move(text_);
    }

private:
    std::string text_;
};

// The JSON writer's hooks for bulk writes, found by argument-dependent lookup.
void PutReserve(TextOutput& out, size_t n) { out.reserve(n); }
void PutUnsafe(TextOutput& out, char c) { out.put_unsafe(c); }

using JsonWriter = rapidjson::Writer<TextOutput, rapidjson::UTF8<>, rapidjson::UTF8<>, wire::JsonStackAllocator>;

// The borrowed view of one node as it is written.
struct NodeWireRef {
    NodeId id;
    std::string_view op;
    uint32_t schema_version;
    Parents inputs;
    AttrMapView attrs;
    // Output 0 first; the per-output lists are written only for two or more.
    std::span<const SpecView> outputs;
    std::optional<std::string_view> name;
    std::optional<std::string_view> source_location;

    [[nodiscard]] static NodeWireRef from(const NodeRef& node) {
        return NodeWireRef{node.id,
                           node.schema.name,
                           node.schema.version,
                           node.parents,
                           node.metadata.attrs(),
                           node.metadata.outputs(),
                           node.metadata.name(),
                           node.metadata.source_location()};
    }
};

// The decimal text of a node ID, the key of its constant.
struct ConstantKey {
    std::array<char, 10> digits;
    uint8_t length;

    [[nodiscard]] std::string_view text() const { return {digits.data(), length}; }
};

// The borrowed view of the whole store as it is written: the header member
// that varies, the declared endpoints, and the constants in the byte-wise
// order of their keys, which is not their ID order ("10" precedes "2").
// Nodes are looked up one at a time as they are written.
struct GraphWireRef {
    std::string_view required_array_api_version;
    std::span<const NodeId> inputs;
    std::span<const NodeId> outputs;
    std::vector<std::pair<ConstantKey, const PortableConstant*>> constants;

    [[nodiscard]] static GraphWireRef from(const GraphStore& store) {
        GraphWireRef ref{store.required_array_api_version(), store.inputs(), store.outputs(), {}};
        ref.constants.reserve(store.constants().size());
        for (const auto& [id, constant] : store.constants()) {
            ConstantKey key{};
            key.length = static_cast<uint8_t>(std::to_chars(key.digits.data(), key.digits.data() + 10, id).ptr -
                                              key.digits.data());
            ref.constants.emplace_back(key, &constant);
        }
        std::sort(ref.constants.begin(), ref.constants.end(),
                  [](const auto& a, const auto& b) { return a.first.text() < b.first.text(); });
        return ref;
    }
};

[[gnu::cold, gnu::noinline]] GraphError serialization_failed(std::string_view reason) {
    return GraphError("graph serialization failed: " + std::string(reason));
}

// Writes JSON structure and numbers through the library writer, and
// strings straight to the output. The first failure sticks; later calls
// write nothing.
class Emitter {
public:
    Emitter(TextSink& sink, size_t expected_size) : out_(sink, expected_size), writer_(out_) {}

    [[nodiscard]] bool ok() const { return failure_.empty(); }

    void begin_object() {
        if (enter()) check(writer_.StartObject());
    }
    void end_object() {
        if (leave()) check(writer_.EndObject());
    }
    void begin_array() {
        if (enter()) check(writer_.StartArray());
    }
    void end_array() {
        if (leave()) check(writer_.EndArray());
    }
    // A member of the format, whose value the next call writes.
    Emitter& member(std::string_view name) {
        key(name);
        return *this;
    }
    // Member names of the format, which need no escaping.
    void key(std::string_view name) {
        if (!separate()) return;
        char* p = out_.claim(name.size() + 2);
        *p = '"';
        std::memcpy(p + 1, name.data(), name.size());
        p[name.size() + 1] = '"';
    }
    // A key or value holding user text.
    void text(std::string_view value) {
        if (separate()) write_escaped(value);
    }
    void hex_text(std::span<const uint8_t> bytes) {
        if (!separate()) return;
        char* p = out_.claim(2 * bytes.size() + 2);
        *p++ = '"';
        hex::encode_to(bytes, p);
        p[2 * bytes.size()] = '"';
    }
    void u64(uint64_t value) {
        if (ok()) check(writer_.Uint64(value));
    }
    void i64(int64_t value) {
        if (ok()) check(writer_.Int64(value));
    }
    void boolean(bool value) {
        if (ok()) check(writer_.Bool(value));
    }
    void null() {
        if (ok()) check(writer_.Null());
    }
    void fail(std::string reason) {
        if (ok()) failure_ = std::move(reason);
    }

    [[nodiscard]] Expected<WrittenText> finish() && {
        if (ok() && !writer_.IsComplete()) fail("the JSON writer left the document incomplete");
        if (!ok()) return serialization_failed(failure_);
        return WrittenText{out_.size(), !non_ascii_};
    }

private:
    // Strings are written past the library writer, which escapes control
    // characters with uppercase digits and copies byte by byte: it only
    // places the separator before them.
    [[nodiscard]] bool separate() {
        if (ok()) check(writer_.RawValue("", 0, rapidjson::kStringType));
        return ok();
    }
    void check(bool written) {
        if (!written) fail("the JSON writer refused a value");
    }
    [[nodiscard]] bool enter() {
        if (!ok()) return false;
        if (++depth_ > wire::kMaxNesting) {
            fail("recursion limit exceeded");
            return false;
        }
        return true;
    }
    [[nodiscard]] bool leave() {
        if (!ok()) return false;
        --depth_;
        return true;
    }

    // Escapes only the quotation mark, the backslash and the control
    // characters; everything else, the solidus and U+007F included, is
    // written as its UTF-8 bytes.
    void write_escaped(std::string_view value) {
        static constexpr char kHexDigits[] = "0123456789abcdef";
        const char* p = value.data();
        const char* const end = p + value.size();
        bool non_ascii = false;
        out_.reserve(value.size() + 2);
        out_.put_unsafe('"');
        while (true) {
            const char* const stop = wire::scan_plain(p, end, non_ascii);
            const size_t run = static_cast<size_t>(stop - p);
            std::memcpy(out_.claim(run), p, run);
            if (stop == end) break;
            const auto c = static_cast<unsigned char>(*stop);
            char escape[6] = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0xF]};
            size_t length = 2;
            switch (c) {
                case '"': escape[1] = '"'; break;
                case '\\': escape[1] = '\\'; break;
                case '\b': escape[1] = 'b'; break;
                case '\t': escape[1] = 't'; break;
                case '\n': escape[1] = 'n'; break;
                case '\f': escape[1] = 'f'; break;
                case '\r': escape[1] = 'r'; break;
                default: length = 6; break;
            }
            std::memcpy(out_.claim(length), escape, length);
            p = stop + 1;
        }
        out_.Put('"');
        non_ascii_ |= non_ascii;
        if (non_ascii && wire::first_invalid_utf8(value) != value.size()) fail("string is not valid UTF-8");
    }

    TextOutput out_;
    JsonWriter writer_;
    size_t depth_ = 0;
    // Strings are the only place a byte above 0x7F can come from.
    bool non_ascii_ = false;
    std::string failure_;
};

// Writes one attribute tree per value met by `attr::walk_entries`:
// {"kind":K} for null, {"kind":K,"value":V} otherwise, containers opened on
// the way down and closed by `leave`.
class AttrEmitter {
public:
    explicit AttrEmitter(Emitter& out) : out_(out) {}

    void key(std::string_view k) { out_.text(k); }

    void value(const AttrView& v) {
        out_.begin_object();
        out_.member(wire::kAttrMembers[wire::kAttrKind]).text(attr::kind_name(v.kind()));
        if (v.kind() == AttrKind::Null) {
            out_.end_object();
            return;
        }
        out_.key(wire::kAttrMembers[wire::kAttrValue]);
        switch (v.kind()) {
            case AttrKind::Null: break;
            case AttrKind::Bool: out_.boolean(v.as_bool()); break;
            case AttrKind::Integer: out_.i64(v.as_integer()); break;
            case AttrKind::Float: {
                std::array<uint8_t, 8> big_endian;
                for (size_t i = 0; i < 8; ++i) big_endian[i] = static_cast<uint8_t>(v.as_float_bits() >> (56 - 8 * i));
                out_.hex_text(big_endian);
                break;
            }
            case AttrKind::String: out_.text(v.as_string()); break;
            case AttrKind::Bytes: out_.hex_text(v.as_bytes()); break;
            case AttrKind::List:
            case AttrKind::Tuple: out_.begin_array(); return;
            case AttrKind::Map: out_.begin_object(); return;
        }
        out_.end_object();
    }

    void leave(const AttrView& container) {
        if (container.kind() == AttrKind::Map) {
            out_.end_object();
        } else {
            out_.end_array();
        }
        out_.end_object();
    }

private:
    Emitter& out_;
};

void write_extents(Emitter& out, std::span<const uint64_t> extents) {
    out.begin_array();
    for (const uint64_t extent : extents) out.u64(extent);
    out.end_array();
}

void write_optional_text(Emitter& out, std::optional<std::string_view> value) {
    if (value) {
        out.text(*value);
    } else {
        out.null();
    }
}

void write_node(Emitter& out, const NodeWireRef& node) {
    using namespace wire;
    out.begin_object();
    out.member(kNodeMembers[kNodeId]).u64(node.id);
    out.member(kNodeMembers[kNodeOp]).text(node.op);
    out.member(kNodeMembers[kNodeSchemaVersion]).u64(node.schema_version);
    out.key(kNodeMembers[kNodeInputs]);
    out.begin_array();
    for (size_t k = 0; k < node.inputs.size(); ++k) out.u64(node.inputs[k]);
    out.end_array();
    out.key(kNodeMembers[kNodeAttrs]);
    out.begin_object();
    AttrEmitter attrs(out);
    attr::walk_entries(node.attrs, attrs);
    out.end_object();
    write_extents(out.member(kNodeMembers[kNodeShape]), node.outputs.front().shape);
    out.member(kNodeMembers[kNodeDtype]).text(node.outputs.front().dtype->name());
    out.member(kNodeMembers[kNodeNumOutputs]).u64(node.outputs.size());
    out.key(kNodeMembers[kNodeOutputShapes]);
    if (node.outputs.size() >= 2) {
        out.begin_array();
        for (const SpecView& spec : node.outputs) write_extents(out, spec.shape);
        out.end_array();
    } else {
        out.null();
    }
    out.key(kNodeMembers[kNodeOutputDtypes]);
    if (node.outputs.size() >= 2) {
        out.begin_array();
        for (const SpecView& spec : node.outputs) out.text(spec.dtype->name());
        out.end_array();
    } else {
        out.null();
    }
    write_optional_text(out.member(kNodeMembers[kNodeName]), node.name);
    write_optional_text(out.member(kNodeMembers[kNodeSourceLocation]), node.source_location);
    out.end_object();
}

void write_constant(Emitter& out, const PortableConstant& constant) {
    using namespace wire;
    out.begin_object();
    out.member(kConstantMembers[kConstantFormat]).text(constant::kFormat);
    out.member(kConstantMembers[kConstantVersion]).u64(constant::kFormatVersion);
    out.member(kConstantMembers[kConstantKind]).text(constant::kind_name(constant.kind()));
    out.member(kConstantMembers[kConstantDtype]).text(constant.dtype().name());
    write_extents(out.member(kConstantMembers[kConstantShape]), constant.shape());
    out.member(kConstantMembers[kConstantLayout]).text(constant::kLayout);
    out.member(kConstantMembers[kConstantByteOrder]).text(constant::kByteOrder);
    out.member(kConstantMembers[kConstantData]).hex_text(constant.data());
    out.member(kConstantMembers[kConstantDigest]).text(constant.digest());
    out.end_object();
}

void write_ids(Emitter& out, std::span<const NodeId> ids) {
    out.begin_array();
    for (const NodeId id : ids) out.u64(id);
    out.end_array();
}

// A first guess at the text's length, so that large stores seldom grow
// their output: about 224 bytes for a node's fixed members, 48 for each of
// its attributes, its labels, and twice the bytes of each constant, and a
// quarter more for what that leaves out (nested attributes, long texts).
// Growing copies all that was written so far, while room never written to
// costs the large buffers only address space.
size_t expected_size(const GraphStore& store) {
    size_t size = 512;
    const MetadataTable& metadata = store.data().metadata;
    for (size_t id = 0; id < metadata.size(); ++id) {
        const MetadataView m = metadata[id];
        size += 224 + 48 * m.attrs().size() + (m.name() ? m.name()->size() : 0) +
                (m.source_location() ? m.source_location()->size() : 0);
    }
    for (const auto& [id, constant] : store.constants()) size += 2 * constant.data().size() + 384;
    return size + size / 4;
}

}  // namespace

Expected<std::string> to_json(const GraphStore& store) {
    StringSink sink;
    Expected<WrittenText> written = write_json(store, sink);
    if (!written) return std::move(written).error();
    return std::move(sink).take(written->size);
}

Expected<WrittenText> write_json(const GraphStore& store, TextSink& sink) {
    using namespace wire;
    const GraphWireRef graph = GraphWireRef::from(store);
    Emitter out(sink, expected_size(store));
    out.begin_object();
    out.member(kGraphMembers[kGraphFormat]).text(kFormat);
    out.member(kGraphMembers[kGraphVersion]).text(kVersion);
    out.member(kGraphMembers[kCoreOpsetMember]).u64(kCoreOpset);
    out.member(kGraphMembers[kSemanticProfileMember]).text(kSemanticProfile);
    out.member(kGraphMembers[kSemanticProfileVersionMember]).u64(kSemanticProfileVersion);
    out.member(kGraphMembers[kRequiredArrayApiVersion]).text(graph.required_array_api_version);
    out.member(kGraphMembers[kProducerMember]).text(kProducer);
    out.member(kGraphMembers[kCompilerVersionMember]).u64(kCompilerVersion);
    out.member(kGraphMembers[kOptimizerVersionMember]).u64(kOptimizerVersion);
    write_ids(out.member(kGraphMembers[kGraphInputs]), graph.inputs);
    write_ids(out.member(kGraphMembers[kGraphOutputs]), graph.outputs);
    out.key(kGraphMembers[kGraphNodes]);
    out.begin_array();
    for (uint64_t id = 0; id < store.node_count() && out.ok(); ++id) {
        auto node = store.node(static_cast<NodeId>(id));
        if (!node) return GraphError(node.error().rendered());
        write_node(out, NodeWireRef::from(*node));
    }
    out.end_array();
    out.key(kGraphMembers[kGraphConstants]);
    out.begin_object();
    for (const auto& [key, constant] : graph.constants) {
        out.text(key.text());
        write_constant(out, *constant);
    }
    out.end_object();
    out.end_object();
    return std::move(out).finish();
}

}  // namespace vorlix::artifact
