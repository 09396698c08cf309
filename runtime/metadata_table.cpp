// Interning node metadata: dtypes, output specifications, the rare fields
// and attribute maps, and the per-node IDs.
#include "runtime/metadata_table.h"

#include <algorithm>
#include <cstring>

namespace vorlix {

namespace {

[[gnu::cold, gnu::noinline]] GraphError table_full(const char* table) {
    return GraphError(std::string("graph ") + table + " table exceeded its ID range");
}

template <class Vec>
[[nodiscard]] bool has_room_for_id(const Vec& v) {
    return v.size() < InternIndex::kMaxIds - 1;
}

// Shapes have a few extents: compared in line, where a library comparison's
// call would cost more than the loop.
[[nodiscard]] bool same_extents(std::span<const uint64_t> a, std::span<const uint64_t> b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k) {
        if (a[k] != b[k]) return false;
    }
    return true;
}

}  // namespace

std::optional<std::string_view> MetadataView::name() const {
    if (ids_.extra == 0) return std::nullopt;
    const MetadataTable::Extra& extra = table_->extras_[ids_.extra];
    if (!extra.has_name) return std::nullopt;
    return table_->texts_[extra.name];
}

std::optional<std::string_view> MetadataView::source_location() const {
    if (ids_.extra == 0) return std::nullopt;
    const MetadataTable::Extra& extra = table_->extras_[ids_.extra];
    if (!extra.has_source_location) return std::nullopt;
    return table_->texts_[extra.source_location];
}

MetadataTable::MetadataTable() { extras_.emplace_back(Extra{{}, 0, 0, false, false}); }

Expected<DTypeId> MetadataTable::intern_dtype(const DTypeDescriptor& dtype) {
    Hasher hasher(dtype_index_.keys());
    hasher.write_terminated(dtype.canonical());
    hasher.write_terminated(dtype.name());
    const uint64_t h = hasher.finish();
    if (auto found = dtype_index_.find(h, [&](uint32_t id) { return dtypes_[id] == dtype; })) return *found;
    if (!has_room_for_id(dtypes_)) return table_full("dtype");
    const auto id = static_cast<DTypeId>(dtypes_.size());
    dtypes_.reserve(dtypes_.size() + 1);
    dtype_index_.insert(h, id);
    dtypes_.emplace_back(dtype);
    return id;
}

Expected<SpecId> MetadataTable::intern_spec(std::span<const uint64_t> shape, const DTypeDescriptor& dtype) {
    if (last_spec_) {
        const SpecView& last = specs_[*last_spec_];
        if (same_extents(last.shape, shape) && *last.dtype == dtype) return *last_spec_;
    }
    auto dtype_id = intern_dtype(dtype);
    if (!dtype_id) return std::move(dtype_id).error();
    Hasher hasher(spec_index_.keys());
    hasher.write_u64(*dtype_id);
    hasher.write_u64(shape.size());
    for (const uint64_t extent : shape) hasher.write_u64(extent);
    const uint64_t h = hasher.finish();
    const auto same = [&](uint32_t id) {
        const SpecView& s = specs_[id];
        return s.dtype_id == *dtype_id && same_extents(s.shape, shape);
    };
    if (auto found = spec_index_.find(h, same)) {
        last_spec_ = *found;
        return *found;
    }
    if (!has_room_for_id(specs_)) return table_full("specification");
    const auto id = static_cast<SpecId>(specs_.size());
    specs_.reserve(specs_.size() + 1);
    const std::span<const uint64_t> extents = extents_.append(shape);
    spec_index_.insert(h, id);
    specs_.emplace_back(SpecView{extents, &dtypes_[*dtype_id], *dtype_id, id});
    last_spec_ = id;
    return id;
}

Expected<ExtraId> MetadataTable::intern_extra(const NodeParts& parts, SpecId first) {
    Extra extra{{}, 0, 0, parts.name.has_value(), parts.source_location.has_value()};
    if (parts.name) {
        auto id = texts_.intern(*parts.name);
        if (!id) return std::move(id).error();
        extra.name = *id;
    }
    if (parts.source_location) {
        auto id = texts_.intern(*parts.source_location);
        if (!id) return std::move(id).error();
        extra.source_location = *id;
    }
    scratch_outputs_.clear();
    if (parts.num_outputs > 1) {
        scratch_outputs_.push_back(specs_[first]);
        for (size_t k = 1; k < parts.num_outputs; ++k) {
            auto spec = intern_spec((*parts.output_shapes)[k], (*parts.output_dtypes)[k]);
            if (!spec) return std::move(spec).error();
            scratch_outputs_.push_back(specs_[*spec]);
        }
    }
    Hasher hasher(extra_index_.keys());
    hasher.write_u64(uint64_t{extra.has_name} | uint64_t{extra.has_source_location} << 1);
    hasher.write_u64(uint64_t{extra.name} << 32 | extra.source_location);
    hasher.write_u64(scratch_outputs_.size());
    for (const SpecView& spec : scratch_outputs_) hasher.write_u64(spec.id);
    const uint64_t h = hasher.finish();
    const auto same = [&](uint32_t id) {
        const Extra& e = extras_[id];
        return e.has_name == extra.has_name && e.has_source_location == extra.has_source_location &&
               e.name == extra.name && e.source_location == extra.source_location &&
               std::ranges::equal(e.outputs, scratch_outputs_,
                                  [](const SpecView& a, const SpecView& b) { return a.id == b.id; });
    };
    if (auto found = extra_index_.find(h, same)) return *found;
    if (!has_room_for_id(extras_)) return table_full("node label");
    const auto id = static_cast<ExtraId>(extras_.size());
    extras_.reserve(extras_.size() + 1);
    extra.outputs = extra_outputs_.append(scratch_outputs_);
    extra_index_.insert(h, id);
    extras_.emplace_back(extra);
    return id;
}

Expected<MetadataIds> MetadataTable::intern(const NodeParts& parts) {
    auto spec = intern_spec(parts.shape, *parts.dtype);
    if (!spec) return std::move(spec).error();
    AttrMapId attrs = AttrPool::kEmpty;
    if (parts.attrs != nullptr) {
        auto id = attrs_.intern(*parts.attrs, texts_);
        if (!id) return std::move(id).error();
        attrs = *id;
    }
    ExtraId extra = 0;
    if (parts.name || parts.source_location || parts.num_outputs > 1) {
        auto id = intern_extra(parts, *spec);
        if (!id) return std::move(id).error();
        extra = *id;
    }
    return MetadataIds{*spec, attrs, extra};
}

void MetadataTable::retain(std::span<const uint32_t> ids) {
    for (size_t k = 0; k < ids.size(); ++k) nodes_[k] = nodes_[ids[k]];
    nodes_.truncate(ids.size());
}

size_t MetadataTable::reserved_bytes() const {
    return texts_.reserved_bytes() + attrs_.reserved_bytes() + dtypes_.capacity() * sizeof(DTypeDescriptor) +
           dtype_index_.capacity() * 8 + extents_.reserved_bytes() + specs_.capacity() * sizeof(SpecView) +
           spec_index_.capacity() * 8 + extras_.capacity() * sizeof(Extra) + extra_outputs_.reserved_bytes() +
           extra_index_.capacity() * 8 + nodes_.capacity() * sizeof(MetadataIds);
}

}  // namespace vorlix
