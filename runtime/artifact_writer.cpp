// Writing a graph store as its canonical artifact text, straight from its
// interned tables.
#include "runtime/artifact_wire.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "runtime/artifact.h"

namespace vorlix::artifact {

namespace {

// Note [Fixed-width copies]
// Most pieces the writer copies are a few bytes long (a key written before,
// the head of an attribute value), and a copy of a length known only at run
// time is a call into the C library each time. A piece of at most
// kShortPiece bytes is copied as kShortPiece bytes instead, which compiles
// to a few register moves: the room is claimed first, the cursor advances by
// the piece's own length, and the bytes past it are overwritten by what
// follows or cut off when the text is finished.
constexpr size_t kShortPiece = 32;

// A piece of text stored with room for a fixed-width copy.
struct PaddedPiece {
    std::array<char, kShortPiece> bytes{};
    size_t size = 0;
};

// A growable text held in the sink's memory. Room is claimed before each
// write, so the hot writes are plain stores.
class TextOutput {
public:
    TextOutput(TextSink& sink, size_t expected_size) : sink_(sink) {
        acquire(0, std::max<size_t>(expected_size, 4096));
    }
    TextOutput(const TextOutput&) = delete;
    TextOutput& operator=(const TextOutput&) = delete;

    void reserve(size_t n) {
        if (static_cast<size_t>(end_ - cursor_) < n) grow(n);
    }
    void put(char c) {
        reserve(1);
        *cursor_++ = c;
    }
    // An empty text may have no storage at all, and memcpy takes no null.
    void put(std::string_view text) {
        if (!text.empty()) std::memcpy(claim(text.size()), text.data(), text.size());
    }
    // Room for `n` bytes, to be written by the caller.
    [[nodiscard]] char* claim(size_t n) {
        reserve(n);
        char* out = cursor_;
        cursor_ += n;
        return out;
    }
    void put_u64(uint64_t value) {
        char* p = claim(20);
        cursor_ = std::to_chars(p, p + 20, value).ptr;
    }
    void put_i64(int64_t value) {
        char* p = claim(20);
        cursor_ = std::to_chars(p, p + 20, value).ptr;
    }
    // See Note [Fixed-width copies].
    void put(const PaddedPiece& piece) {
        reserve(kShortPiece);
        std::memcpy(cursor_, piece.bytes.data(), kShortPiece);
        cursor_ += piece.size;
    }
    // Copies bytes written earlier, [begin, begin + n), to the end.
    void repeat(size_t begin, size_t n) {
        if (n == 0) return;
        if (n <= kShortPiece) {
            // See Note [Fixed-width copies]. The source may run past the
            // cursor into room already claimed, so the copy may overlap;
            // only its first n bytes, all written before, are kept.
            reserve(kShortPiece);
            std::memmove(cursor_, begin_ + begin, kShortPiece);
            cursor_ += n;
            return;
        }
        reserve(n);
        std::memcpy(cursor_, begin_ + begin, n);
        cursor_ += n;
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

// The decimal text of a node ID, the key of its constant.
struct ConstantKey {
    std::array<char, 10> digits;
    uint8_t length;

    [[nodiscard]] std::string_view text() const { return {digits.data(), length}; }
};

// Where a piece of the text was first written, so that a later occurrence
// of the same piece is copied from there; `size` 0 means not yet written.
struct Written {
    size_t begin = 0;
    size_t size = 0;
};

[[gnu::cold, gnu::noinline]] GraphError serialization_failed(std::string_view reason) {
    return GraphError("graph serialization failed: " + std::string(reason));
}

// Note [Writing from the tables]
// A graph stores each distinct operation, attribute map, output
// specification and set of labels once, and the text of one of them is the
// same wherever it occurs. So each is written out the first time a node
// uses it, and later nodes copy those bytes from where they were written:
// a node that repeats what came before costs a few copies. Structure is
// written by hand, members in the orders of the wire tables, with no white
// space; strings escape only the quotation mark, the backslash and the
// control characters (lowercase \u00xx), everything else is their UTF-8
// bytes. The first failure sticks and later writes are skipped.
class Writer {
public:
    Writer(const GraphStore& store, TextSink& sink, size_t expected_size)
        : store_(store),
          metadata_(store.data().metadata),
          out_(sink, expected_size),
          ops_(store.data().arena.ops().size()),
          maps_(metadata_.attr_map_count()),
          specs_(metadata_.spec_count()),
          extras_(metadata_.extra_count()),
          texts_(metadata_.texts().size()) {}

    [[nodiscard]] Expected<WrittenText> write();

private:
    [[nodiscard]] bool ok() const { return failure_.empty(); }
    void fail(std::string_view reason) {
        if (ok()) failure_ = reason;
    }

    // Inlined so that a member name known at compile time is copied with a
    // fixed width. See Note [Fixed-width copies].
    [[gnu::always_inline]] void key(std::string_view name) {
        char* p = out_.claim(name.size() + 3);
        *p = '"';
        std::memcpy(p + 1, name.data(), name.size());
        p[name.size() + 1] = '"';
        p[name.size() + 2] = ':';
    }
    void quoted(std::string_view name) {
        char* p = out_.claim(name.size() + 2);
        *p = '"';
        std::memcpy(p + 1, name.data(), name.size());
        p[name.size() + 1] = '"';
    }
    void text(std::string_view value);
    // A text of the graph's table, written once and copied after.
    void table_text(TextId id);
    void hex(std::span<const uint8_t> bytes) {
        char* p = out_.claim(2 * bytes.size() + 2);
        *p++ = '"';
        hex::encode_to(bytes, p);
        p[2 * bytes.size()] = '"';
    }
    void ids(std::span<const NodeId> list) {
        out_.put('[');
        for (size_t k = 0; k < list.size(); ++k) {
            if (k != 0) out_.put(',');
            out_.put_u64(list[k]);
        }
        out_.put(']');
    }
    void extents(std::span<const uint64_t> shape) {
        out_.put('[');
        for (size_t k = 0; k < shape.size(); ++k) {
            if (k != 0) out_.put(',');
            out_.put_u64(shape[k]);
        }
        out_.put(']');
    }
    void optional_text(std::optional<std::string_view> value) {
        if (value) {
            text(*value);
        } else {
            out_.put("null");
        }
    }

    // Writes `piece` the first time, copies it after.
    template <class F>
    void once(Written& slot, F&& piece) {
        if (slot.size != 0) {
            out_.repeat(slot.begin, slot.size);
            return;
        }
        const size_t begin = out_.size();
        piece();
        if (ok()) slot = Written{begin, out_.size() - begin};
    }

    friend class AttrWriter;
    void node(NodeId id);
    void attrs(const AttrMapView& map);
    void constant(const PortableConstant& constant);

    const GraphStore& store_;
    const MetadataTable& metadata_;
    TextOutput out_;
    std::vector<Written> ops_;
    std::vector<Written> maps_;
    std::vector<Written> specs_;
    std::vector<Written> extras_;
    std::vector<Written> texts_;
    bool non_ascii_ = false;
    std::string failure_;
};

void Writer::text(std::string_view value) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    const char* p = value.data();
    const char* const end = p + value.size();
    bool non_ascii = false;
    out_.reserve(value.size() + 2);
    *out_.claim(1) = '"';
    while (true) {
        const char* const stop = wire::scan_plain(p, end, non_ascii);
        const size_t run = static_cast<size_t>(stop - p);
        if (run != 0) std::memcpy(out_.claim(run), p, run);  // see put()
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
    out_.put('"');
    non_ascii_ |= non_ascii;
    if (non_ascii && wire::first_invalid_utf8(value) != value.size()) fail("string is not valid UTF-8");
}

void Writer::table_text(TextId id) {
    once(texts_[id], [&] { text(metadata_.texts()[id]); });
}

// The text before each kind's payload: {"kind":K} for null, {"kind":K,"value":
// otherwise, made once from the kinds' names.
class KindHeads {
public:
    KindHeads() {
        for (size_t k = 0; k < heads_.size(); ++k) {
            const auto kind = static_cast<AttrKind>(k);
            std::string head = R"({"kind":")";
            head += attr::kind_name(kind);
            head += kind == AttrKind::Null ? R"("})" : R"(","value":)";
            texts_[k] = head;
            if (head.size() <= kShortPiece) {
                std::memcpy(heads_[k].bytes.data(), head.data(), head.size());
                heads_[k].size = head.size();
            }
        }
    }
    void write(TextOutput& out, AttrKind kind) const {
        const auto k = static_cast<size_t>(kind);
        if (heads_[k].size != 0) {
            out.put(heads_[k]);
        } else {
            out.put(texts_[k]);
        }
    }

private:
    static constexpr size_t kKinds = static_cast<size_t>(AttrKind::Map) + 1;
    std::array<PaddedPiece, kKinds> heads_{};
    std::array<std::string, kKinds> texts_;
};

const KindHeads& kind_heads() {
    static const KindHeads heads;
    return heads;
}

// Writes one attribute value per value met by `attr::walk_entries`:
// {"kind":K} for null, {"kind":K,"value":V} otherwise, containers opened on
// the way down and closed by `leave`, siblings separated by commas. Levels
// count as the reader counts them: the attrs object is level 4, a value
// object one deeper than its container, a container's payload one deeper
// than its value object.
class AttrWriter {
public:
    AttrWriter(Writer& writer, TextOutput& out) : writer_(writer), out_(out), heads_(kind_heads()) {
        firsts_[0] = true;
    }

    void key(std::string_view) { keyed_ = true; }
    void value(const AttrView& v);
    void leave(const AttrView& container) {
        if (!ok_) return;
        out_.put(container.kind() == AttrKind::Map ? '}' : ']');
        out_.put('}');
        level_ -= 2;
        --depth_;
    }
    [[nodiscard]] bool ok() const { return ok_; }

private:
    Writer& writer_;
    TextOutput& out_;
    const KindHeads& heads_;
    size_t level_ = 4;
    // Per open container, outermost first: whether no child has been
    // written yet. Levels stop below wire::kMaxNesting, and each container
    // takes two, so the array never overflows.
    std::array<bool, wire::kMaxNesting / 2 + 1> firsts_;
    size_t depth_ = 0;
    bool keyed_ = false;
    bool ok_ = true;
};

void AttrWriter::value(const AttrView& v) {
    if (!ok_) return;
    if (!firsts_[depth_]) out_.put(',');
    firsts_[depth_] = false;
    if (keyed_) {
        writer_.table_text(v.cell()->key);
        out_.put(':');
        keyed_ = false;
    }
    const bool container = v.is_container();
    if (level_ + (container ? 2 : 1) > wire::kMaxNesting) {
        ok_ = false;
        return;
    }
    heads_.write(out_, v.kind());
    if (v.kind() == AttrKind::Null) return;
    switch (v.kind()) {
        case AttrKind::Null: break;
        case AttrKind::Bool: out_.put(v.as_bool() ? std::string_view("true") : std::string_view("false")); break;
        case AttrKind::Integer: out_.put_i64(v.as_integer()); break;
        case AttrKind::Float: {
            std::array<uint8_t, 8> big_endian;
            for (size_t i = 0; i < 8; ++i) big_endian[i] = static_cast<uint8_t>(v.as_float_bits() >> (56 - 8 * i));
            writer_.hex(big_endian);
            break;
        }
        case AttrKind::String: writer_.table_text(static_cast<TextId>(v.cell()->payload)); break;
        case AttrKind::Bytes: writer_.hex(v.as_bytes()); break;
        case AttrKind::List:
        case AttrKind::Tuple:
        case AttrKind::Map:
            out_.put(v.kind() == AttrKind::Map ? '{' : '[');
            level_ += 2;
            firsts_[++depth_] = true;
            return;
    }
    out_.put('}');
}

void Writer::attrs(const AttrMapView& map) {
    out_.put('{');
    AttrWriter writer(*this, out_);
    attr::walk_entries(map, writer);
    if (!writer.ok()) fail("recursion limit exceeded");
    out_.put('}');
}

void Writer::node(NodeId id) {
    using namespace wire;
    const ArenaNode& record = *store_.data().arena.node(id);
    const std::optional<Parents> parents = store_.data().arena.parents(record);
    const MetadataView metadata = metadata_[id];
    const MetadataIds m = metadata.ids();
    out_.put(R"({"id":)");
    out_.put_u64(id);
    out_.put(',');
    once(ops_[record.op], [&] {
        const OpSchema& schema = *store_.data().arena.schema(record.op);
        key(kNodeMembers[kNodeOp]);
        text(schema.name);
        out_.put(',');
        key(kNodeMembers[kNodeSchemaVersion]);
        out_.put_u64(schema.version);
        out_.put(',');
        key(kNodeMembers[kNodeInputs]);
    });
    out_.put('[');
    for (size_t k = 0; k < parents->size(); ++k) {
        if (k != 0) out_.put(',');
        out_.put_u64((*parents)[k]);
    }
    out_.put(']');
    out_.put(',');
    key(kNodeMembers[kNodeAttrs]);
    once(maps_[m.attrs], [&] { attrs(metadata.attrs()); });
    out_.put(',');
    once(specs_[m.spec], [&] {
        const SpecView& spec = metadata_.spec(m.spec);
        key(kNodeMembers[kNodeShape]);
        extents(spec.shape);
        out_.put(',');
        key(kNodeMembers[kNodeDtype]);
        text(spec.dtype->name());
        out_.put(',');
    });
    once(extras_[m.extra], [&] {
        const std::span<const SpecView> outputs = metadata.outputs();
        key(kNodeMembers[kNodeNumOutputs]);
        out_.put_u64(outputs.size());
        out_.put(',');
        key(kNodeMembers[kNodeOutputShapes]);
        if (outputs.size() >= 2) {
            out_.put('[');
            for (size_t k = 0; k < outputs.size(); ++k) {
                if (k != 0) out_.put(',');
                extents(outputs[k].shape);
            }
            out_.put(']');
        } else {
            out_.put("null");
        }
        out_.put(',');
        key(kNodeMembers[kNodeOutputDtypes]);
        if (outputs.size() >= 2) {
            out_.put('[');
            for (size_t k = 0; k < outputs.size(); ++k) {
                if (k != 0) out_.put(',');
                text(outputs[k].dtype->name());
            }
            out_.put(']');
        } else {
            out_.put("null");
        }
        out_.put(',');
        key(kNodeMembers[kNodeName]);
        optional_text(metadata.name());
        out_.put(',');
        key(kNodeMembers[kNodeSourceLocation]);
        optional_text(metadata.source_location());
        out_.put('}');
    });
}

void Writer::constant(const PortableConstant& c) {
    using namespace wire;
    out_.put('{');
    key(kConstantMembers[kConstantFormat]);
    quoted(constant::kFormat);
    out_.put(',');
    key(kConstantMembers[kConstantVersion]);
    out_.put_u64(constant::kFormatVersion);
    out_.put(',');
    key(kConstantMembers[kConstantKind]);
    quoted(constant::kind_name(c.kind()));
    out_.put(',');
    key(kConstantMembers[kConstantDtype]);
    quoted(c.dtype().name());
    out_.put(',');
    key(kConstantMembers[kConstantShape]);
    extents(c.shape());
    out_.put(',');
    key(kConstantMembers[kConstantLayout]);
    quoted(constant::kLayout);
    out_.put(',');
    key(kConstantMembers[kConstantByteOrder]);
    quoted(constant::kByteOrder);
    out_.put(',');
    key(kConstantMembers[kConstantData]);
    hex(c.data());
    out_.put(',');
    key(kConstantMembers[kConstantDigest]);
    quoted(c.digest());
    out_.put('}');
}

Expected<WrittenText> Writer::write() {
    using namespace wire;
    out_.put('{');
    key(kGraphMembers[kGraphFormat]);
    quoted(kFormat);
    out_.put(',');
    key(kGraphMembers[kGraphVersion]);
    quoted(kVersion);
    out_.put(',');
    key(kGraphMembers[kCoreOpsetMember]);
    out_.put_u64(kCoreOpset);
    out_.put(',');
    key(kGraphMembers[kSemanticProfileMember]);
    quoted(kSemanticProfile);
    out_.put(',');
    key(kGraphMembers[kSemanticProfileVersionMember]);
    out_.put_u64(kSemanticProfileVersion);
    out_.put(',');
    key(kGraphMembers[kRequiredArrayApiVersion]);
    text(store_.required_array_api_version());
    out_.put(',');
    key(kGraphMembers[kProducerMember]);
    quoted(kProducer);
    out_.put(',');
    key(kGraphMembers[kCompilerVersionMember]);
    out_.put_u64(kCompilerVersion);
    out_.put(',');
    key(kGraphMembers[kOptimizerVersionMember]);
    out_.put_u64(kOptimizerVersion);
    out_.put(',');
    key(kGraphMembers[kGraphInputs]);
    ids(store_.inputs());
    out_.put(',');
    key(kGraphMembers[kGraphOutputs]);
    ids(store_.outputs());
    out_.put(',');
    key(kGraphMembers[kGraphNodes]);
    out_.put('[');
    for (uint64_t id = 0; id < store_.node_count() && ok(); ++id) {
        // A store that validated holds every node's parts; the lookup keeps
        // its checks and its message for one that does not.
        if (auto checked = store_.node(static_cast<NodeId>(id)); !checked) {
            return GraphError(checked.error().rendered());
        }
        if (id != 0) out_.put(',');
        node(static_cast<NodeId>(id));
    }
    out_.put(']');
    out_.put(',');
    key(kGraphMembers[kGraphConstants]);
    // Keyed by the decimal node ID, in the byte-wise order of the keys,
    // which is not their ID order ("10" precedes "2").
    std::vector<std::pair<ConstantKey, const PortableConstant*>> constants;
    constants.reserve(store_.constants().size());
    for (const auto& [cid, c] : store_.constants()) {
        ConstantKey k{};
        k.length =
            static_cast<uint8_t>(std::to_chars(k.digits.data(), k.digits.data() + 10, cid).ptr - k.digits.data());
        constants.emplace_back(k, &c);
    }
    std::sort(constants.begin(), constants.end(),
              [](const auto& a, const auto& b) { return a.first.text() < b.first.text(); });
    out_.put('{');
    for (size_t k = 0; k < constants.size(); ++k) {
        if (k != 0) out_.put(',');
        key(constants[k].first.text());
        constant(*constants[k].second);
    }
    out_.put('}');
    out_.put('}');
    if (!ok()) return serialization_failed(failure_);
    return WrittenText{out_.size(), !non_ascii_};
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
    Writer writer(store, sink, expected_size(store));
    return writer.write();
}

}  // namespace vorlix::artifact
