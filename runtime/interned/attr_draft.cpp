// Attribute drafts: their log, reading it back into runs, and drafts of
// attribute trees.
#include "runtime/interned/attr_draft.h"

#include <algorithm>
#include <cassert>

namespace vorlix {

void AttrDraft::grow(size_t n) {
    const size_t capacity = std::max({size_t{256}, 2 * capacity_, size_ + n});
    auto data = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    if (size_ != 0) std::memcpy(data.get(), data_.get(), size_);
    data_ = std::move(data);
    capacity_ = capacity;
}

void AttrDraft::assign(const AttrDraft& other) {
    size_ = 0;
    if (other.size_ != 0) std::memcpy(room(other.size_), other.data_.get(), other.size_);
    opens_ = other.opens_;
    last_closed_ = other.last_closed_;
}

// A quick multiplicative fold of the log: only a cache is indexed by it, so
// it need not resist chosen inputs.
uint64_t AttrDraft::fingerprint(const std::array<uint64_t, 2>& keys) const {
    constexpr uint64_t kMul = 0x9e3779b97f4a7c15ull;
    uint64_t h = keys[0];
    size_t k = 0;
    for (; k + 8 <= size_; k += 8) {
        uint64_t word;
        std::memcpy(&word, data_.get() + k, 8);
        h = (h ^ word) * kMul;
    }
    uint64_t tail = 0;
    if (k < size_) std::memcpy(&tail, data_.get() + k, size_ - k);
    h = (h ^ tail ^ (uint64_t{size_} << 56)) * kMul;
    return h ^ (h >> 29) ^ keys[1];
}

void DraftTree::read(const AttrDraft& draft) {
    assert(draft.open_depth() == 0);
    log_ = draft.log();
    stack_.clear();
    opens_.clear();
    done_.clear();
    runs_.clear();
    open_heads_.clear();
    uint64_t pending_key = kNoKey;
    const auto head = [&](AttrKind kind) {
        const uint64_t h = pending_key | uint64_t{static_cast<uint8_t>(kind)} << 56;
        pending_key = kNoKey;
        return h;
    };
    const auto word_at = [&](size_t at) {
        uint64_t word;
        std::memcpy(&word, log_.data() + at, 8);
        return word;
    };
    for (size_t at = 0; at < log_.size();) {
        const uint8_t tag = log_[at++];
        const auto kind = static_cast<AttrKind>(tag);
        switch (tag) {
            case AttrDraft::kKeyTag:
                pending_key = at;
                at += 8 + word_at(at);
                break;
            case AttrDraft::kCloseTag: {
                const size_t height = opens_.back();
                opens_.pop_back();
                const Cell container = open_heads_.back();
                open_heads_.pop_back();
                runs_.push_back(Run{done_.size(), stack_.size() - height});
                done_.insert(done_.end(), stack_.begin() + static_cast<std::ptrdiff_t>(height), stack_.end());
                stack_.resize(height);
                stack_.push_back(Cell{container.head, runs_.size() - 1});
                break;
            }
            default:
                switch (kind) {
                    case AttrKind::Null: stack_.push_back(Cell{head(kind), 0}); break;
                    case AttrKind::Bool: stack_.push_back(Cell{head(kind), log_[at++]}); break;
                    case AttrKind::Integer:
                    case AttrKind::Float:
                        stack_.push_back(Cell{head(kind), word_at(at)});
                        at += 8;
                        break;
                    case AttrKind::String:
                    case AttrKind::Bytes:
                        stack_.push_back(Cell{head(kind), at});
                        at += 8 + word_at(at);
                        break;
                    case AttrKind::List:
                    case AttrKind::Tuple:
                    case AttrKind::Map:
                        opens_.push_back(stack_.size());
                        open_heads_.push_back(Cell{head(kind), 0});
                        break;
                }
        }
    }
}

namespace {

// Replays a tree's walk as draft calls.
struct TreeToDraft {
    AttrDraft& draft;

    void key(std::string_view k) { draft.key(k); }
    void value(const AttrValue& v) {
        switch (v.kind()) {
            case AttrKind::Null: draft.null(); return;
            case AttrKind::Bool: draft.boolean(v.as_bool()); return;
            case AttrKind::Integer: draft.integer(v.as_integer()); return;
            case AttrKind::Float: draft.float_bits(v.as_float_bits()); return;
            case AttrKind::String: draft.string(v.as_string()); return;
            case AttrKind::Bytes: draft.bytes(v.as_bytes()); return;
            case AttrKind::List:
            case AttrKind::Tuple:
            case AttrKind::Map: draft.open(v.kind()); return;
        }
    }
    void leave(const AttrValue&) { draft.close(); }
};

}  // namespace

void draft_from_map(const AttrMap& map, AttrDraft& draft) {
    draft.clear();
    TreeToDraft visitor{draft};
    attr::walk_entries(map, visitor);
}

}  // namespace vorlix
