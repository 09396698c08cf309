// Compact node metadata: runs that stay in place across chunk boundaries, and
// interning that gives equal IDs exactly to equal values.
#include "runtime/metadata_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <numeric>
#include <vector>

namespace vorlix {
namespace {

TEST(SlabTest, RunsStayInPlaceAcrossChunkBoundaries) {
    Slab<uint64_t> slab;
    constexpr size_t kFirst = Slab<uint64_t>::kFirstChunkBytes / sizeof(uint64_t);
    constexpr size_t kMax = Slab<uint64_t>::kMaxChunkBytes / sizeof(uint64_t);
    // Fills the first chunk exactly, then one element more starts the second;
    // a run longer than any chunk gets one of its own.
    const std::vector<size_t> sizes{kFirst - 3, 3, 1, 2 * kFirst - 2, 2, kMax + 5, 7};
    const std::vector<size_t> chunks_after{1, 1, 2, 2, 3, 4, 5};
    std::vector<std::span<const uint64_t>> runs;
    for (size_t k = 0; k < sizes.size(); ++k) {
        std::vector<uint64_t> values(sizes[k]);
        std::iota(values.begin(), values.end(), uint64_t{k} << 32);
        runs.push_back(slab.append(values));
        EXPECT_EQ(slab.chunk_count(), chunks_after[k]) << "run " << k;
    }
    for (size_t k = 0; k < runs.size(); ++k) {
        ASSERT_EQ(runs[k].size(), sizes[k]);
        for (size_t i = 0; i < sizes[k]; ++i) ASSERT_EQ(runs[k][i], (uint64_t{k} << 32) + i) << "run " << k;
    }
    EXPECT_EQ(runs[1].data(), runs[0].data() + runs[0].size());
}

using DraftWriter = std::function<void(AttrDraft&)>;

struct InternCase {
    const char* label;
    DraftWriter a;
    DraftWriter b;
    bool equal;
};

void ints(AttrDraft& d, AttrKind kind, std::initializer_list<int64_t> items) {
    d.open(kind);
    for (const int64_t i : items) d.integer(i);
    d.close();
}

class AttrInterning : public ::testing::TestWithParam<InternCase> {};

// Both drafts are interned into one table, and each read back through its
// view must equal the tree the draft was written from.
TEST_P(AttrInterning, GivesEqualIdsExactlyToEqualMaps) {
    const InternCase& c = GetParam();
    TextTable texts;
    AttrPool pool;
    AttrDraft draft;
    const auto intern = [&](const DraftWriter& write) {
        draft.clear();
        write(draft);
        const AttrMapId id = std::move(pool.intern(draft, texts)).value();
        AttrDraft again;
        draft_from_map(attr::to_tree(pool.map(id, texts)), again);
        EXPECT_EQ(std::move(pool.intern(again, texts)).value(), id) << c.label << ": the view reads back another map";
        return id;
    };
    const AttrMapId a = intern(c.a);
    const AttrMapId b = intern(c.b);
    EXPECT_EQ(a == b, c.equal) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Table, AttrInterning,
    ::testing::Values(
        InternCase{"key order", [](AttrDraft& d) { d.key("b"), d.integer(1), d.key("a"), d.integer(2); },
                   [](AttrDraft& d) { d.key("a"), d.integer(2), d.key("b"), d.integer(1); }, true},
        InternCase{"a repeated key keeps its last value",
                   [](AttrDraft& d) { d.key("a"), d.integer(1), d.key("b"), d.null(), d.key("a"), d.integer(2); },
                   [](AttrDraft& d) { d.key("b"), d.null(), d.key("a"), d.integer(2); }, true},
        InternCase{"list and tuple",
                   [](AttrDraft& d) {
                       d.key("k"), ints(d, AttrKind::List, {1, 2});
                   },
                   [](AttrDraft& d) {
                       d.key("k"), ints(d, AttrKind::Tuple, {1, 2});
                   },
                   false},
        InternCase{"zero and negative zero", [](AttrDraft& d) { d.key("f"), d.float_bits(0); },
                   [](AttrDraft& d) { d.key("f"), d.float_bits(uint64_t{1} << 63); }, false},
        InternCase{"string and bytes of one text", [](AttrDraft& d) { d.key("s"), d.string("ab"); },
                   [](AttrDraft& d) {
                       d.key("s"), d.bytes(std::vector<uint8_t>{'a', 'b'});
                   },
                   false},
        InternCase{"key and value texts", [](AttrDraft& d) { d.key("x"), d.string("y"); },
                   [](AttrDraft& d) { d.key("y"), d.string("x"); }, false},
        InternCase{"nested maps in any key order, a kind set late",
                   [](AttrDraft& d) {
                       d.key("m"), d.open(AttrKind::Map), d.key("q"), ints(d, AttrKind::List, {3}), d.key("p");
                       ints(d, AttrKind::List, {}), d.set_last_kind(AttrKind::Tuple), d.close();
                   },
                   [](AttrDraft& d) {
                       d.key("m"), d.open(AttrKind::Map), d.key("p"), ints(d, AttrKind::Tuple, {}), d.key("q");
                       ints(d, AttrKind::List, {3}), d.close();
                   },
                   true},
        InternCase{"breadth-first runs of different nestings",
                   [](AttrDraft& d) {
                       d.key("a"), d.open(AttrKind::List), ints(d, AttrKind::List, {1}), d.close();
                       d.key("b"), ints(d, AttrKind::List, {2});
                   },
                   [](AttrDraft& d) {
                       d.key("a"), ints(d, AttrKind::List, {1}), d.key("b"), d.open(AttrKind::List);
                       ints(d, AttrKind::List, {2}), d.close();
                   },
                   false},
        InternCase{"empty maps", [](AttrDraft&) {}, [](AttrDraft& d) { d.clear(); }, true}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(MetadataTableTest, InternsSpecificationsAndLabelsOnce) {
    MetadataTable table;
    const auto dt = [](std::string_view name) { return std::move(DTypeDescriptor::from_name(name)).value(); };
    const DTypeDescriptor f64 = dt("float64");
    const DTypeDescriptor f = dt("float");
    const Shape shape{2, 3};
    const std::vector<Shape> shapes{{2, 3}, {4}};
    const std::vector<DTypeDescriptor> dtypes{f64, f};
    const auto ids = [&](NodeParts parts) { return std::move(table.intern(parts)).value(); };

    const MetadataIds plain = ids({nullptr, shape, &f64});
    EXPECT_EQ(ids({nullptr, Shape{2, 3}, &f64}), plain);
    EXPECT_EQ(plain.extra, 0u);
    EXPECT_NE(ids({nullptr, shape, &f}).spec, plain.spec);
    EXPECT_NE(ids({nullptr, Shape{3, 2}, &f64}).spec, plain.spec);
    const MetadataIds named = ids({nullptr, shape, &f64, "x"});
    EXPECT_EQ(named.spec, plain.spec);
    EXPECT_NE(named.extra, 0u);
    EXPECT_EQ(ids({nullptr, shape, &f64, "x"}), named);
    NodeParts two{nullptr, shape, &f64, "x", 2, &shapes, &dtypes};
    const MetadataIds multi = ids(two);
    EXPECT_NE(multi.extra, named.extra);
    EXPECT_EQ(ids(two), multi);

    table.push(multi);
    const MetadataView view = table[0];
    ASSERT_EQ(view.num_outputs(), 2u);
    EXPECT_EQ(view.outputs()[0].id, plain.spec);
    EXPECT_TRUE(std::ranges::equal(view.outputs()[1].shape, shapes[1]));
    EXPECT_EQ(*view.outputs()[1].dtype, f);
    EXPECT_EQ(view.name(), "x");
    EXPECT_FALSE(view.source_location().has_value());
}

}  // namespace
}  // namespace vorlix
