// Attribute values: exact, hashable, deep-owned trees of small self-describing values.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "runtime/error.h"
#include "runtime/hash.h"
#include "runtime/hex.h"

namespace vorlix {

class AttrValue;

// The discriminant order is fixed: it is fed to the hash.
enum class AttrKind : uint8_t { Null, Bool, Integer, Float, String, Bytes, List, Tuple, Map };

using AttrList = std::vector<AttrValue>;
// Ordered by the byte-wise order of the keys (std::string compares its
// characters as unsigned bytes), keys unique.
using AttrMap = std::map<std::string, AttrValue, std::less<>>;

// Note [Deep attribute trees]
// Attribute trees may nest arbitrarily deep, so no operation on them recurses
// per level: equality, hashing and `attr::walk` keep an explicit stack (held
// inline for shallow trees, so they allocate nothing there), copying is built
// on `attr::walk`, and destruction moves nested containers onto a work list
// before they are dropped. Moving a value is constant time and leaves null.
class AttrValue {
public:
    AttrValue() noexcept = default;
    AttrValue(const AttrValue& other);
    AttrValue(AttrValue&& other) noexcept;
    AttrValue& operator=(const AttrValue& other);
    AttrValue& operator=(AttrValue&& other) noexcept;
    ~AttrValue();

    [[nodiscard]] static AttrValue null() { return AttrValue(); }
    [[nodiscard]] static AttrValue from_bool(bool value);
    [[nodiscard]] static AttrValue from_integer(int64_t value);
    [[nodiscard]] static AttrValue from_float(double value);
    [[nodiscard]] static AttrValue from_float_bits(uint64_t bits);
    [[nodiscard]] static AttrValue from_string(std::string text);
    [[nodiscard]] static AttrValue from_bytes(Bytes bytes);
    [[nodiscard]] static AttrValue from_list(AttrList items);
    [[nodiscard]] static AttrValue from_tuple(AttrList items);
    [[nodiscard]] static AttrValue from_map(AttrMap entries);

    [[nodiscard]] AttrKind kind() const { return static_cast<AttrKind>(storage_.index()); }
    [[nodiscard]] bool is_sequence() const { return kind() == AttrKind::List || kind() == AttrKind::Tuple; }
    [[nodiscard]] bool is_container() const { return is_sequence() || kind() == AttrKind::Map; }

    // Each accessor requires the matching kind; `as_sequence` serves lists
    // and tuples alike.
    [[nodiscard]] bool as_bool() const { return get<AttrKind::Bool>(); }
    [[nodiscard]] int64_t as_integer() const { return get<AttrKind::Integer>(); }
    [[nodiscard]] uint64_t as_float_bits() const { return get<AttrKind::Float>(); }
    [[nodiscard]] double as_float() const;
    [[nodiscard]] const std::string& as_string() const { return get<AttrKind::String>(); }
    [[nodiscard]] const Bytes& as_bytes() const { return get<AttrKind::Bytes>(); }
    [[nodiscard]] const AttrList& as_sequence() const;
    [[nodiscard]] const AttrMap& as_map() const { return *get<AttrKind::Map>(); }
    // Entry count of a container, 0 for any other kind.
    [[nodiscard]] size_t container_size() const;

    // Same kind and equal payloads; floats compare by bit pattern, so a NaN
    // equals the same NaN and 0.0 differs from -0.0.
    friend bool operator==(const AttrValue& a, const AttrValue& b);

    void hash_into(Hasher& hasher) const;
    [[nodiscard]] uint64_t hash() const;

private:
    // Indexed by AttrKind. The map sits behind a pointer so that std::map is
    // only ever instantiated with a complete AttrValue; it is never null.
    using Storage = std::variant<std::monostate, bool, int64_t, uint64_t, std::string, Bytes, AttrList, AttrList,
                                 std::unique_ptr<AttrMap>>;

    template <AttrKind K>
    [[nodiscard]] const std::variant_alternative_t<static_cast<size_t>(K), Storage>& get() const {
        assert(kind() == K);
        return *std::get_if<static_cast<size_t>(K)>(&storage_);
    }

    template <AttrKind K, class... Args>
    [[nodiscard]] static AttrValue make(Args&&... args) {
        AttrValue v;
        v.storage_.template emplace<static_cast<size_t>(K)>(std::forward<Args>(args)...);
        return v;
    }

    [[nodiscard]] bool has_nested_container() const;
    // Moves every non-empty container child out to `out`, leaving null.
    void take_nested(std::vector<AttrValue>& out);
    void release_nested();

    class Copier;
    // Appends to a list or tuple, or enters `key` into a map, while a copy
    // is being built.
    void adopt(AttrValue child, std::string key);

    Storage storage_;
};

struct AttrValueHash {
    size_t operator()(const AttrValue& value) const { return static_cast<size_t>(value.hash()); }
};

namespace attr {

inline constexpr size_t kKindCount = 9;

// The wire kind of each variant ("null", "bool", ..., "map").
[[nodiscard]] std::string_view kind_name(AttrKind kind);
[[nodiscard]] std::optional<AttrKind> kind_from_name(std::string_view name);

// Exact float form: the 64-bit pattern as 16 lowercase hexadecimal digits,
// most significant byte first (1.0 is 3ff0000000000000).
[[nodiscard]] std::string float_bits_to_hex(uint64_t bits);
// Every refusal is "exact float bits must be 16 lowercase hexadecimal characters".
[[nodiscard]] Expected<uint64_t, std::string> float_bits_from_hex(std::string_view text);

// Hashes a whole map (a node's attributes) as the map variant's payload is
// hashed: entry count, then each key's bytes, 0xFF, and the value.
void hash_map_into(Hasher& hasher, const AttrMap& map);

namespace detail {

// Position among the children of one list, tuple or map. Views the
// container, which must outlive the cursor and stay unchanged.
class ChildCursor {
public:
    using Item = const AttrValue*;

    ChildCursor() = default;
    explicit ChildCursor(const AttrList& items) : item_(items.data()), item_end_(items.data() + items.size()) {}
    explicit ChildCursor(const AttrMap& map) : entry_(map.begin()), entry_end_(map.end()), is_map_(true) {}
    explicit ChildCursor(const AttrValue& container)
        : ChildCursor(container.kind() == AttrKind::Map ? ChildCursor(container.as_map())
                                                        : ChildCursor(container.as_sequence())) {}

    [[nodiscard]] bool done() const { return is_map_ ? entry_ == entry_end_ : item_ == item_end_; }
    [[nodiscard]] bool is_map() const { return is_map_; }
    // The entry's key for maps, null for sequences.
    [[nodiscard]] const std::string* key() const { return is_map_ ? &entry_->first : nullptr; }
    [[nodiscard]] const AttrValue& value() const { return is_map_ ? entry_->second : *item_; }
    [[nodiscard]] Item item() const { return &value(); }
    [[nodiscard]] static const AttrValue& deref(Item item) { return *item; }
    void advance() {
        if (is_map_) {
            ++entry_;
        } else {
            ++item_;
        }
    }

private:
    const AttrValue* item_ = nullptr;
    const AttrValue* item_end_ = nullptr;
    AttrMap::const_iterator entry_{};
    AttrMap::const_iterator entry_end_{};
    bool is_map_ = false;
};

// A stack that keeps its first N frames inline and spills to the heap only
// beyond them, so walks over shallow trees allocate nothing. The inline
// frames are raw storage, constructed on push, so an unused stack costs
// nothing to set up.
template <class T, size_t N>
class InlineStack {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    InlineStack() = default;
    InlineStack(const InlineStack&) = delete;
    InlineStack& operator=(const InlineStack&) = delete;

    [[nodiscard]] bool empty() const { return size_ == 0; }
    [[nodiscard]] T& back() { return size_ <= N ? *slot(size_ - 1) : spill_.back(); }
    void push(const T& frame) {
        if (size_ < N) {
            ::new (static_cast<void*>(slot(size_))) T(frame);
        } else {
            spill_.push_back(frame);
        }
        ++size_;
    }
    void pop() {
        if (size_ > N) spill_.pop_back();
        --size_;
    }

private:
    T* slot(size_t i) { return std::launder(reinterpret_cast<T*>(inline_ + i * sizeof(T))); }

    alignas(T) unsigned char inline_[N * sizeof(T)];
    std::vector<T> spill_;
    size_t size_ = 0;
};

inline constexpr size_t kInlineDepth = 16;

[[nodiscard]] inline std::string_view key_text(const ChildCursor& cursor) { return *cursor.key(); }
template <class Cursor>
[[nodiscard]] std::string_view key_text(const Cursor& cursor) {
    return cursor.key();
}

// The walk over the children of one container, for either form of a value:
// attribute trees (ChildCursor) and stored cells (CellCursor, see Note
// [Attribute cells]). A cursor's `Item` is a trivially copyable handle to one
// value, `deref` turns it into what the visitor is given.
template <class Cursor, class Visitor>
void walk_children(Cursor root, Visitor& visitor) {
    using Item = typename Cursor::Item;
    struct Frame {
        Cursor cursor;
        Item container;
        bool has_container;
    };
    InlineStack<Frame, kInlineDepth> stack;
    stack.push(Frame{root, Item{}, false});
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.cursor.done()) {
            const Frame finished = top;
            stack.pop();
            if (finished.has_container) visitor.leave(Cursor::deref(finished.container));
            continue;
        }
        if (top.cursor.is_map()) visitor.key(key_text(top.cursor));
        const Item child = top.cursor.item();
        top.cursor.advance();
        visitor.value(Cursor::deref(child));
        if (Cursor::deref(child).is_container()) stack.push(Frame{Cursor(Cursor::deref(child)), child, true});
    }
}

}  // namespace detail

// Visits a tree in pre-order without recursion (see Note [Deep attribute
// trees]). For every value, `visitor.value(v)` is called first; for a map
// entry, `visitor.key(k)` (a string view) comes just before the value;
// after the last child of a list, tuple or map, `visitor.leave(container)`
// is called.
template <class Visitor>
void walk(const AttrValue& root, Visitor& visitor) {
    visitor.value(root);
    if (!root.is_container()) return;
    detail::walk_children(detail::ChildCursor(root), visitor);
    visitor.leave(root);
}

// Visits the entries of a map that is not itself a value (a node's
// attributes): `key` and the walk of each value, in key order.
template <class Visitor>
void walk_entries(const AttrMap& map, Visitor& visitor) {
    detail::walk_children(detail::ChildCursor(map), visitor);
}

}  // namespace attr
}  // namespace vorlix

template <>
struct std::hash<vorlix::AttrValue> : vorlix::AttrValueHash {};
