// An attribute map on its way into a graph: converters (Python objects, the
// artifact reader, attribute trees) write values into it in the order they
// meet them, and the graph's attribute pool interns the result.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "runtime/attr.h"

namespace vorlix {

// Values go to the innermost open container, or to the root map when none
// is open; inside a map, `key` names the value that comes next. A repeated
// key in one map keeps its last value, and the order of keys does not
// matter: interning puts them in byte-wise order. Nothing recurses, however
// deep the containers nest.
//
// Note [Attribute drafts as logs]
// A draft is the log of the calls that wrote it, one tagged record each,
// texts inline. So writing a value is a bounded copy into one buffer, two
// drafts written the same way are equal bytes (which is how the pool
// recognises a map it has just interned, see Note [Recently written maps]),
// and the map's structure is worked out only for a map the pool has not
// seen (DraftTree). The buffer is kept by `clear`: a draft reused for every
// node allocates only while it grows.
class AttrDraft {
public:
    // Record tags beside the value kinds (a container's kind opens it).
    static constexpr uint8_t kKeyTag = 16;
    static constexpr uint8_t kCloseTag = 17;

    AttrDraft() = default;
    AttrDraft(const AttrDraft&) = delete;
    AttrDraft& operator=(const AttrDraft&) = delete;
    AttrDraft(AttrDraft&&) noexcept = default;
    AttrDraft& operator=(AttrDraft&&) noexcept = default;

    void clear() {
        size_ = 0;
        opens_.clear();
        last_closed_ = 0;
    }

    void key(std::string_view text) { put_text(kKeyTag, text.data(), text.size()); }
    void null() { *room(1) = tag_of(AttrKind::Null); }
    void boolean(bool value) {
        uint8_t* p = room(2);
        p[0] = tag_of(AttrKind::Bool);
        p[1] = value ? 1 : 0;
    }
    void integer(int64_t value) { put_word(AttrKind::Integer, static_cast<uint64_t>(value)); }
    void float_bits(uint64_t bits) { put_word(AttrKind::Float, bits); }
    void string(std::string_view text) { put_text(tag_of(AttrKind::String), text.data(), text.size()); }
    void bytes(std::span<const uint8_t> data) { put_text(tag_of(AttrKind::Bytes), data.data(), data.size()); }
    // Room for `n` bytes of a bytes value, written by the caller next (and
    // before the next call).
    [[nodiscard]] uint8_t* bytes_for_overwrite(size_t n) { return put_text(tag_of(AttrKind::Bytes), nullptr, n); }
    // Opens a list, tuple or map.
    void open(AttrKind container) {
        opens_.push_back(size_);
        *room(1) = tag_of(container);
    }
    void close() {
        last_closed_ = opens_.back();
        opens_.pop_back();
        *room(1) = kCloseTag;
    }
    // Changes the kind of the container closed last, which was closed before
    // its kind was known (the reader meets a payload before its kind).
    void set_last_kind(AttrKind kind) { data_[last_closed_] = tag_of(kind); }

    [[nodiscard]] size_t open_depth() const { return opens_.size(); }
    // No value written.
    [[nodiscard]] bool empty() const { return size_ == 0; }
    [[nodiscard]] std::span<const uint8_t> log() const { return {data_.get(), size_}; }

    // A hash and an equality of the draft as written (insertion order,
    // texts as bytes): drafts written the same way hold the same map.
    [[nodiscard]] uint64_t fingerprint(const std::array<uint64_t, 2>& keys) const;
    [[nodiscard]] bool same_writing(const AttrDraft& other) const {
        return size_ == other.size_ && opens_.empty() && other.opens_.empty() &&
               (size_ == 0 || std::memcmp(data_.get(), other.data_.get(), size_) == 0);
    }
    // Becomes a copy of `other` as written, reusing its storage.
    void assign(const AttrDraft& other);

    [[nodiscard]] static uint8_t tag_of(AttrKind kind) { return static_cast<uint8_t>(kind); }

private:
    uint8_t* room(size_t n) {
        if (capacity_ - size_ < n) grow(n);
        uint8_t* p = data_.get() + size_;
        size_ += n;
        return p;
    }
    void put_word(AttrKind kind, uint64_t word) {
        uint8_t* p = room(9);
        p[0] = tag_of(kind);
        std::memcpy(p + 1, &word, 8);
    }
    // A tag, the length as eight bytes, then the bytes (copied from `text`
    // unless it is null); returns where the bytes go.
    [[gnu::always_inline]] uint8_t* put_text(uint8_t tag, const void* text, size_t length) {
        uint8_t* p = room(9 + length);
        p[0] = tag;
        const uint64_t n = length;
        std::memcpy(p + 1, &n, 8);
        if (text != nullptr) copy_text(p + 9, static_cast<const uint8_t*>(text), length);
        return p + 9;
    }
    // Keys and short strings, nearly every text, are copied as two
    // overlapping words, without a library call (which costs more than the
    // copy); no byte outside either range is read or written.
    [[gnu::always_inline]] static void copy_text(uint8_t* to, const uint8_t* from, size_t length) {
        if (length >= 8 && length <= 16) {
            copy_ends<uint64_t>(to, from, length);
        } else if (length >= 4 && length < 8) {
            copy_ends<uint32_t>(to, from, length);
        } else if (length < 4) {
            for (size_t k = 0; k < length; ++k) to[k] = from[k];
        } else {
            std::memcpy(to, from, length);
        }
    }
    // The first and the last `sizeof(Word)` bytes of a text at least that
    // long and at most twice it: together they cover it.
    template <class Word>
    [[gnu::always_inline]] static void copy_ends(uint8_t* to, const uint8_t* from, size_t length) {
        Word head;
        Word tail;
        std::memcpy(&head, from, sizeof(Word));
        std::memcpy(&tail, from + length - sizeof(Word), sizeof(Word));
        std::memcpy(to, &head, sizeof(Word));
        std::memcpy(to + length - sizeof(Word), &tail, sizeof(Word));
    }
    void grow(size_t n);

    std::unique_ptr<uint8_t[]> data_;
    size_t size_ = 0;
    size_t capacity_ = 0;
    // Where the records of the open containers begin, innermost last.
    std::vector<size_t> opens_;
    size_t last_closed_ = 0;
};

// A draft's log read back into runs of values: the entries of the root map
// and the children of each container, each run contiguous. Texts (keys,
// strings, bytes) are named by where their length stands in the log.
class DraftTree {
public:
    static constexpr uint64_t kNoKey = (uint64_t{1} << 56) - 1;

    // A value: its kind in the top byte of `head` and its key's text below
    // (kNoKey outside maps); a string's or bytes' payload is its text, a
    // container's the index of its run of children, others their bits.
    struct Cell {
        uint64_t head;
        uint64_t payload;

        [[nodiscard]] AttrKind kind() const { return static_cast<AttrKind>(head >> 56); }
        [[nodiscard]] uint64_t key() const { return head & kNoKey; }
    };

    // Reads `draft`, whose containers must all be closed; reuses storage.
    void read(const AttrDraft& draft);

    [[nodiscard]] std::span<const Cell> root() const { return stack_; }
    [[nodiscard]] std::span<const Cell> children(const Cell& container) const {
        const Run run = runs_[container.payload];
        return std::span<const Cell>(done_).subspan(run.begin, run.count);
    }
    [[nodiscard]] std::string_view text(uint64_t at) const {
        uint64_t length;
        std::memcpy(&length, log_.data() + at, 8);
        return {reinterpret_cast<const char*>(log_.data() + at + 8), length};
    }

private:
    struct Run {
        size_t begin;
        size_t count;
    };

    std::span<const uint8_t> log_;
    // The values of the root and of every open container, innermost last;
    // where each open container's values begin, and its head.
    std::vector<Cell> stack_;
    std::vector<size_t> opens_;
    std::vector<Cell> open_heads_;
    std::vector<Cell> done_;
    std::vector<Run> runs_;
};

// Writes an attribute tree's entries into `draft`, without recursion.
void draft_from_map(const AttrMap& map, AttrDraft& draft);

}  // namespace vorlix
