// Attribute value construction, copying, destruction, equality and hashing without recursion.
#include "runtime/attr.h"

#include <array>
#include <bit>
#include <cstring>

namespace vorlix {

namespace {

constexpr std::array<std::string_view, attr::kKindCount> kKindNames{
    "null", "bool", "integer", "float", "string", "bytes", "list", "tuple", "map",
};

// Same kind, equal scalar payloads, and for containers the same entry
// count; the children are compared by the caller.
bool same_head(const AttrValue& a, const AttrValue& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case AttrKind::Null: return true;
        case AttrKind::Bool: return a.as_bool() == b.as_bool();
        case AttrKind::Integer: return a.as_integer() == b.as_integer();
        case AttrKind::Float: return a.as_float_bits() == b.as_float_bits();
        case AttrKind::String: return a.as_string() == b.as_string();
        case AttrKind::Bytes: return a.as_bytes() == b.as_bytes();
        case AttrKind::List:
        case AttrKind::Tuple:
        case AttrKind::Map: return a.container_size() == b.container_size();
    }
    return false;
}

// Feeds the hash input of each value as the walk meets it: discriminant,
// then payload or entry count; map keys are terminated by 0xFF.
struct HashFeeder {
    Hasher& hasher;

    void value(const AttrValue& v) {
        hasher.write_u64(static_cast<uint64_t>(v.kind()));
        switch (v.kind()) {
            case AttrKind::Null: break;
            case AttrKind::Bool: hasher.write_u8(v.as_bool() ? 1 : 0); break;
            case AttrKind::Integer: hasher.write_u64(static_cast<uint64_t>(v.as_integer())); break;
            case AttrKind::Float: hasher.write_u64(v.as_float_bits()); break;
            case AttrKind::String: hasher.write_terminated(v.as_string()); break;
            case AttrKind::Bytes:
                hasher.write_u64(v.as_bytes().size());
                hasher.write_bytes(v.as_bytes().data(), v.as_bytes().size());
                break;
            case AttrKind::List:
            case AttrKind::Tuple:
            case AttrKind::Map: hasher.write_u64(v.container_size()); break;
        }
    }
    void key(std::string_view k) { hasher.write_terminated(k); }
    void leave(const AttrValue&) {}
};

}  // namespace

// Rebuilds a walked tree bottom-up: containers are opened empty when the
// walk enters them and moved into their parent when it leaves them.
class AttrValue::Copier {
public:
    void value(const AttrValue& v) {
        switch (v.kind()) {
            case AttrKind::List:
            case AttrKind::Tuple: {
                AttrList items;
                items.reserve(v.as_sequence().size());
                open_.push_back(Open{v.kind() == AttrKind::List ? AttrValue::from_list(std::move(items))
                                                                : AttrValue::from_tuple(std::move(items)),
                                     std::move(key_)});
                return;
            }
            case AttrKind::Map: open_.push_back(Open{AttrValue::from_map({}), std::move(key_)}); return;
            default: place(AttrValue(v), std::move(key_)); return;
        }
    }
    void key(std::string_view k) { key_.assign(k); }
    void leave(const AttrValue&) {
        Open finished = std::move(open_.back());
        open_.pop_back();
        place(std::move(finished.container), std::move(finished.key));
    }

    [[nodiscard]] AttrValue take() { return std::move(result_); }

private:
    struct Open {
        AttrValue container;
        std::string key;
    };

    void place(AttrValue v, std::string key) {
        if (open_.empty()) {
            result_ = std::move(v);
            return;
        }
        open_.back().container.adopt(std::move(v), std::move(key));
    }

    std::vector<Open> open_;
    std::string key_;
    AttrValue result_;
};

AttrValue::AttrValue(const AttrValue& other) {
    switch (other.kind()) {
        case AttrKind::Null: return;
        case AttrKind::Bool: storage_.emplace<static_cast<size_t>(AttrKind::Bool)>(other.as_bool()); return;
        case AttrKind::Integer: storage_.emplace<static_cast<size_t>(AttrKind::Integer)>(other.as_integer()); return;
        case AttrKind::Float: storage_.emplace<static_cast<size_t>(AttrKind::Float)>(other.as_float_bits()); return;
        case AttrKind::String: storage_.emplace<static_cast<size_t>(AttrKind::String)>(other.as_string()); return;
        case AttrKind::Bytes: storage_.emplace<static_cast<size_t>(AttrKind::Bytes)>(other.as_bytes()); return;
        case AttrKind::List:
        case AttrKind::Tuple:
        case AttrKind::Map: break;
    }
    Copier copier;
    attr::walk(other, copier);
    AttrValue copy = copier.take();
    storage_.swap(copy.storage_);
}

AttrValue::AttrValue(AttrValue&& other) noexcept : storage_(std::move(other.storage_)) { other.storage_.emplace<0>(); }

// Both assignments build the new value before the old one is dropped, so
// assigning a value from inside the tree it replaces is safe.
AttrValue& AttrValue::operator=(const AttrValue& other) {
    if (this != &other) {
        AttrValue copy(other);
        storage_.swap(copy.storage_);
    }
    return *this;
}

AttrValue& AttrValue::operator=(AttrValue&& other) noexcept {
    if (this != &other) {
        AttrValue taken(std::move(other));
        storage_.swap(taken.storage_);
    }
    return *this;
}

AttrValue::~AttrValue() {
    if (has_nested_container()) release_nested();
}

bool AttrValue::has_nested_container() const {
    if (!is_container()) return false;
    for (attr::detail::ChildCursor c(*this); !c.done(); c.advance()) {
        if (c.value().container_size() != 0) return true;
    }
    return false;
}

void AttrValue::take_nested(std::vector<AttrValue>& out) {
    if (kind() == AttrKind::Map) {
        for (auto& [key, child] : *std::get<static_cast<size_t>(AttrKind::Map)>(storage_)) {
            if (child.container_size() != 0) out.push_back(std::move(child));
        }
        return;
    }
    AttrList& items = kind() == AttrKind::List ? std::get<static_cast<size_t>(AttrKind::List)>(storage_)
                                               : std::get<static_cast<size_t>(AttrKind::Tuple)>(storage_);
    for (AttrValue& child : items) {
        if (child.container_size() != 0) out.push_back(std::move(child));
    }
}

// See Note [Deep attribute trees]: every value popped here has had its own
// nested containers moved out first, so its destructor goes no deeper.
[[gnu::noinline]] void AttrValue::release_nested() {
    std::vector<AttrValue> pending;
    take_nested(pending);
    while (!pending.empty()) {
        AttrValue next = std::move(pending.back());
        pending.pop_back();
        next.take_nested(pending);
    }
}

void AttrValue::adopt(AttrValue child, std::string key) {
    switch (kind()) {
        case AttrKind::List:
            std::get<static_cast<size_t>(AttrKind::List)>(storage_).push_back(std::move(child));
            return;
        case AttrKind::Tuple:
            std::get<static_cast<size_t>(AttrKind::Tuple)>(storage_).push_back(std::move(child));
            return;
        case AttrKind::Map: {
            AttrMap& map = *std::get<static_cast<size_t>(AttrKind::Map)>(storage_);
            map.insert_or_assign(map.end(), std::move(key), std::move(child));
            return;
        }
        default: assert(false && "only containers adopt children"); return;
    }
}

AttrValue AttrValue::from_bool(bool value) { return make<AttrKind::Bool>(value); }
AttrValue AttrValue::from_integer(int64_t value) { return make<AttrKind::Integer>(value); }
AttrValue AttrValue::from_float(double value) { return from_float_bits(std::bit_cast<uint64_t>(value)); }
AttrValue AttrValue::from_float_bits(uint64_t bits) { return make<AttrKind::Float>(bits); }
AttrValue AttrValue::from_string(std::string text) { return make<AttrKind::String>(std::move(text)); }
AttrValue AttrValue::from_bytes(Bytes bytes) { return make<AttrKind::Bytes>(std::move(bytes)); }
AttrValue AttrValue::from_list(AttrList items) { return make<AttrKind::List>(std::move(items)); }
AttrValue AttrValue::from_tuple(AttrList items) { return make<AttrKind::Tuple>(std::move(items)); }
AttrValue AttrValue::from_map(AttrMap entries) {
    return make<AttrKind::Map>(std::make_unique<AttrMap>(std::move(entries)));
}

double AttrValue::as_float() const { return std::bit_cast<double>(as_float_bits()); }

const AttrList& AttrValue::as_sequence() const {
    assert(is_sequence());
    return kind() == AttrKind::List ? get<AttrKind::List>() : get<AttrKind::Tuple>();
}

size_t AttrValue::container_size() const {
    switch (kind()) {
        case AttrKind::List: return get<AttrKind::List>().size();
        case AttrKind::Tuple: return get<AttrKind::Tuple>().size();
        case AttrKind::Map: return get<AttrKind::Map>()->size();
        default: return 0;
    }
}

bool operator==(const AttrValue& a, const AttrValue& b) {
    if (&a == &b) return true;
    if (!same_head(a, b)) return false;
    if (!a.is_container()) return true;
    using attr::detail::ChildCursor;
    struct Frame {
        ChildCursor a;
        ChildCursor b;
    };
    attr::detail::InlineStack<Frame, attr::detail::kInlineDepth> stack;
    stack.push(Frame{ChildCursor(a), ChildCursor(b)});
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.a.done()) {
            stack.pop();
            continue;
        }
        if (const std::string* key = top.a.key(); key != nullptr && *key != *top.b.key()) return false;
        const AttrValue& x = top.a.value();
        const AttrValue& y = top.b.value();
        top.a.advance();
        top.b.advance();
        if (!same_head(x, y)) return false;
        if (x.container_size() != 0) stack.push(Frame{ChildCursor(x), ChildCursor(y)});
    }
    return true;
}

void AttrValue::hash_into(Hasher& hasher) const {
    HashFeeder feeder{hasher};
    attr::walk(*this, feeder);
}

uint64_t AttrValue::hash() const {
    Hasher hasher;
    hash_into(hasher);
    return hasher.finish();
}

namespace attr {

std::string_view kind_name(AttrKind kind) { return kKindNames[static_cast<size_t>(kind)]; }

std::optional<AttrKind> kind_from_name(std::string_view name) {
    for (size_t i = 0; i < kKindNames.size(); ++i) {
        if (kKindNames[i] == name) return static_cast<AttrKind>(i);
    }
    return std::nullopt;
}

std::string float_bits_to_hex(uint64_t bits) {
    std::array<uint8_t, 8> big_endian;
    for (size_t i = 0; i < 8; ++i) big_endian[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    return hex::encode(big_endian);
}

Expected<uint64_t, std::string> float_bits_from_hex(std::string_view text) {
    auto bytes = hex::decode(text);
    if (!bytes || bytes->size() != 8)
        return std::string("exact float bits must be 16 lowercase hexadecimal characters");
    uint64_t bits = 0;
    for (const uint8_t b : *bytes) bits = (bits << 8) | b;
    return bits;
}

void hash_map_into(Hasher& hasher, const AttrMap& map) {
    hasher.write_u64(map.size());
    HashFeeder feeder{hasher};
    walk_entries(map, feeder);
}

}  // namespace attr
}  // namespace vorlix
