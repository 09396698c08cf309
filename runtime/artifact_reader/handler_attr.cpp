// The strict reader's attribute values: either member order, [kind, value] pairs, and payloads met before their kind.
#include "runtime/artifact_reader/handler.h"

#include <limits>
#include <utility>

#include "runtime/artifact_reader/numbers.h"

namespace vorlix::artifact::reader {

bool ArtifactHandler::attr_key(Frame& f, std::string_view key) {
    const int index = claim_member(f, wire::kAttrMembers, key);
    if (index == wire::kAttrKind) f.want = Want::AttrKindName;
    if (index == wire::kAttrValue) f.want = Want::AttrPayload;
    return index >= 0;
}

bool ArtifactHandler::attr_kind(Frame& f, std::string_view name) {
    const std::optional<AttrKind> kind = attr::kind_from_name(name);
    if (!kind) return fail(unknown_attr_kind(name));
    f.attr_kind = *kind;
    if (f.kind == FrameKind::AttrPair) {
        f.want = Want::AttrPayload;
        return true;
    }
    return f.pending == Pending::None || settle_pending(f);
}

bool ArtifactHandler::attr_scalar(Frame& f, Pending type, std::string_view text, bool boolean) {
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

bool ArtifactHandler::attr_payload_container(Frame& f, Pending type, AttrList items, AttrMap map) {
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

bool ArtifactHandler::settle_pending(Frame& f) {
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

bool ArtifactHandler::convert_scalar(Frame& f, Pending type, std::string_view text, bool boolean) {
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

void ArtifactHandler::attr_value_done(AttrValue value) {
    Frame& parent = top();
    if (parent.kind == FrameKind::AttrTable) {
        parent.map.insert_or_assign(std::move(parent.text), std::move(value));
    } else {
        parent.items.push_back(std::move(value));
    }
}

}  // namespace vorlix::artifact::reader
