// An attribute map on its way into a graph: converters (Python objects, the
// artifact reader, attribute trees) write values into it in the order they
// meet them, and the graph's attribute pool interns the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/attr.h"

namespace vorlix {

// Values go to the innermost open container, or to the root map when none
// is open; inside a map, `key` names the value that comes next. A repeated
// key in one map keeps its last value, and the order of keys does not
// matter: interning puts them in byte-wise order. Nothing recurses, however
// deep the containers nest. The storage is kept by `clear`, so a draft
// reused for every node allocates only while it grows.
class AttrDraft {
public:
    static constexpr uint64_t kNoKey = ~uint64_t{0};

    // A value as the draft holds it. Texts (keys, strings, bytes) are
    // indices into the draft's texts; a closed container's payload is the
    // index of its run of children.
    struct Cell {
        AttrKind kind;
        uint64_t key;
        uint64_t payload;
    };

    AttrDraft() = default;
    AttrDraft(const AttrDraft&) = delete;
    AttrDraft& operator=(const AttrDraft&) = delete;
    AttrDraft(AttrDraft&&) noexcept = default;
    AttrDraft& operator=(AttrDraft&&) noexcept = default;

    void clear();

    void key(std::string_view text) { pending_key_ = add_text(text); }
    void null() { push(AttrKind::Null, 0); }
    void boolean(bool value) { push(AttrKind::Bool, value ? 1 : 0); }
    void integer(int64_t value) { push(AttrKind::Integer, static_cast<uint64_t>(value)); }
    void float_bits(uint64_t bits) { push(AttrKind::Float, bits); }
    void string(std::string_view text) { push(AttrKind::String, add_text(text)); }
    void bytes(std::span<const uint8_t> data) {
        push(AttrKind::Bytes, add_text(std::string_view(reinterpret_cast<const char*>(data.data()), data.size())));
    }
    // Room for `n` bytes of a bytes value, written by the caller next.
    [[nodiscard]] uint8_t* bytes_for_overwrite(size_t n);
    // Opens a list, tuple or map.
    void open(AttrKind container);
    void close();
    // Changes the kind of the value added last: a container closed before
    // its kind was known (the reader meets a payload before its kind), or a
    // sequence turned from list to tuple.
    void set_last_kind(AttrKind kind) { stack_.back().kind = kind; }

    [[nodiscard]] size_t open_depth() const { return opens_.size(); }
    [[nodiscard]] bool empty() const { return stack_.empty() && opens_.empty(); }

    // Reading a finished draft (no container open).
    [[nodiscard]] std::span<const Cell> root() const { return stack_; }
    [[nodiscard]] std::span<const Cell> children(const Cell& container) const {
        const Run run = runs_[container.payload];
        return std::span<const Cell>(done_).subspan(run.begin, run.count);
    }
    [[nodiscard]] std::string_view text(uint64_t index) const {
        const Run run = texts_[index];
        return std::string_view(bytes_).substr(run.begin, run.count);
    }

private:
    struct Run {
        size_t begin;
        size_t count;
    };
    struct Open {
        size_t height;
        AttrKind kind;
        uint64_t key;
    };

    uint64_t add_text(std::string_view text);
    void push(AttrKind kind, uint64_t payload) {
        stack_.push_back(Cell{kind, pending_key_, payload});
        pending_key_ = kNoKey;
    }

    // Every text, back to back.
    std::string bytes_;
    std::vector<Run> texts_;
    // The values of the root and of every open container, innermost last.
    std::vector<Cell> stack_;
    std::vector<Open> opens_;
    // The children of every closed container, one run each.
    std::vector<Cell> done_;
    std::vector<Run> runs_;
    uint64_t pending_key_ = kNoKey;
};

// Writes an attribute tree's entries into `draft`, without recursion.
void draft_from_map(const AttrMap& map, AttrDraft& draft);

}  // namespace vorlix
