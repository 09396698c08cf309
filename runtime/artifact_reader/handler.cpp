// The strict reader's events: where each value goes, and the checks every value shares.
#include "runtime/artifact_reader/handler.h"

#include <limits>
#include <utility>

#include "runtime/artifact_reader/numbers.h"

namespace vorlix::artifact::reader {

bool ArtifactHandler::Null() {
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

bool ArtifactHandler::Bool(bool b) {
    consumed_ = in_.Tell();
    Frame& f = top();
    if (f.want == Want::AttrPayload) return attr_scalar(f, Pending::Bool, {}, b);
    return fail_unexpected(f, {Unexpected::Type::Bool, {}, b});
}

bool ArtifactHandler::RawNumber(const char*, size_t length, bool) {
    consumed_ = in_.Tell();
    const std::string_view number = in_.number(length);
    Frame& f = top();
    uint32_t u32 = 0;
    uint64_t u64 = 0;
    switch (f.want) {
        case Want::U32: return read_u32(number, *static_cast<uint32_t*>(f.dest));
        case Want::U64: return read_u64(number, *static_cast<uint64_t*>(f.dest));
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

bool ArtifactHandler::String(const char*, size_t length, bool) {
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

bool ArtifactHandler::Key(const char*, size_t length, bool) {
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

bool ArtifactHandler::StartObject() {
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

bool ArtifactHandler::StartArray() {
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

bool ArtifactHandler::EndObject(size_t) {
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
            if (const int missing = first_missing(f.seen, (1u << wire::kConstantMembers.size()) - 1); missing >= 0) {
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

bool ArtifactHandler::EndArray(size_t) {
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

bool ArtifactHandler::enter() {
    // The new array or object is level frames_.size(): the root frame
    // stands below the artifact object.
    if (frames_.size() > wire::kMaxNesting) return fail("recursion limit exceeded");
    return true;
}

bool ArtifactHandler::fail(std::string message) {
    message_ = std::move(message);
    return false;
}

bool ArtifactHandler::fail_unexpected(const Frame& f, const Unexpected& u) {
    if (f.want == Want::PairComplete) return fail(pair_length(3));
    return fail(invalid_type(u, expected_for(f)));
}

bool ArtifactHandler::fail_ill_formed(size_t bad) {
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

bool ArtifactHandler::well_formed(std::string_view s) {
    const size_t bad = wire::first_invalid_utf8(s);
    return bad == s.size() || fail_ill_formed(bad);
}

bool ArtifactHandler::read_u32(std::string_view number, uint32_t& out) {
    uint64_t wide = 0;
    if (!read_unsigned(number, std::numeric_limits<uint32_t>::max(), "u32", wide)) return false;
    out = static_cast<uint32_t>(wide);
    return true;
}

bool ArtifactHandler::read_u64(std::string_view number, uint64_t& out) {
    return read_unsigned(number, std::numeric_limits<uint64_t>::max(), "u64", out);
}

bool ArtifactHandler::read_unsigned(std::string_view number, uint64_t max, std::string_view name, uint64_t& out) {
    bool negative = false;
    switch (read_integer(number, max, 0, negative, out)) {
        case IntegerFit::Fits: return true;
        case IntegerFit::NotInteger: return fail(invalid_type({Unexpected::Type::Number, number}, name));
        case IntegerFit::OutOfRange: return fail(invalid_integer(number, name));
    }
    return false;
}

}  // namespace vorlix::artifact::reader
