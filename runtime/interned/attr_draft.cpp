// Building attribute drafts, and drafts of attribute trees.
#include "runtime/interned/attr_draft.h"

namespace vorlix {

void AttrDraft::clear() {
    bytes_.clear();
    texts_.clear();
    stack_.clear();
    opens_.clear();
    done_.clear();
    runs_.clear();
    pending_key_ = kNoKey;
}

uint64_t AttrDraft::add_text(std::string_view text) {
    texts_.push_back(Run{bytes_.size(), text.size()});
    bytes_.append(text);
    return texts_.size() - 1;
}

uint8_t* AttrDraft::bytes_for_overwrite(size_t n) {
    const size_t begin = bytes_.size();
    bytes_.resize(begin + n);
    texts_.push_back(Run{begin, n});
    push(AttrKind::Bytes, texts_.size() - 1);
    return reinterpret_cast<uint8_t*>(bytes_.data() + begin);
}

void AttrDraft::open(AttrKind container) {
    opens_.push_back(Open{stack_.size(), container, pending_key_});
    pending_key_ = kNoKey;
}

void AttrDraft::close() {
    const Open open = opens_.back();
    opens_.pop_back();
    const size_t count = stack_.size() - open.height;
    runs_.push_back(Run{done_.size(), count});
    done_.insert(done_.end(), stack_.begin() + static_cast<std::ptrdiff_t>(open.height), stack_.end());
    stack_.resize(open.height);
    stack_.push_back(Cell{open.kind, open.key, runs_.size() - 1});
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
