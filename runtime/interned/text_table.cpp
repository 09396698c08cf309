// Interning texts.
#include "runtime/interned/text_table.h"

#include <algorithm>

namespace vorlix {

uint64_t TextTable::hash(std::string_view text) const {
    Hasher hasher(index_.keys());
    hasher.write_bytes(text);
    return hasher.finish();
}

std::optional<TextId> TextTable::find(std::string_view text) const {
    return index_.find(hash(text), [&](uint32_t id) { return texts_[id] == text; });
}

Expected<TextId> TextTable::intern(std::string_view text) {
    const uint64_t h = hash(text);
    if (auto found = index_.find(h, [&](uint32_t id) { return texts_[id] == text; })) return *found;
    if (texts_.size() >= InternIndex::kMaxIds - 1) return GraphError("graph text table exceeded its ID range");
    const auto id = static_cast<TextId>(texts_.size());
    // Room first, so that no step after the index entry can fail.
    if (texts_.size() == texts_.capacity()) texts_.reserve(std::max<size_t>(16, 2 * texts_.capacity()));
    const std::span<const char> stored = bytes_.append(std::span<const char>(text.data(), text.size()));
    index_.insert(h, id);
    texts_.emplace_back(stored.data(), stored.size());
    return id;
}

}  // namespace vorlix
