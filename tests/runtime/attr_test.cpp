// Attribute values: exact equality, hash input order, key order, float codec, deep trees, allocation-free comparison.
#include "runtime/attr.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "tests/runtime/allocation_counter.h"

namespace vorlix {
namespace {

AttrValue str(std::string s) { return AttrValue::from_string(std::move(s)); }
AttrValue i64(int64_t v) { return AttrValue::from_integer(v); }

AttrValue list_of(std::initializer_list<int64_t> values, bool tuple = false) {
    AttrList items;
    for (const int64_t v : values) items.push_back(i64(v));
    return tuple ? AttrValue::from_tuple(std::move(items)) : AttrValue::from_list(std::move(items));
}

AttrMap typical_attrs() {
    AttrMap m;
    m.emplace("axes", list_of({1, 0, 2}, true));
    m.emplace("keepdims", AttrValue::from_bool(false));
    m.emplace("scale", AttrValue::from_float(0.5));
    m.emplace("mode", str("reflect"));
    m.emplace("_vorlix_backend", str("numpy"));
    return m;
}

struct Pair {
    const char* label;
    AttrValue a;
    AttrValue b;
    bool equal;
};

std::vector<Pair> comparison_pairs() {
    const double nan_a = std::bit_cast<double>(uint64_t{0x7ff8000000000001});
    AttrMap ab;
    ab.emplace("a", i64(1));
    ab.emplace("b", i64(2));
    AttrMap ab_reordered;
    ab_reordered.emplace("b", i64(2));
    ab_reordered.emplace("a", i64(1));
    AttrMap ac;
    ac.emplace("a", i64(1));
    ac.emplace("c", i64(2));
    std::vector<Pair> pairs;
    pairs.push_back({"null", AttrValue(), AttrValue::null(), true});
    pairs.push_back({"nan bits", AttrValue::from_float(nan_a), AttrValue::from_float(nan_a), true});
    pairs.push_back({"nan payloads", AttrValue::from_float(nan_a), AttrValue::from_float(std::nan("")), false});
    pairs.push_back({"signed zero", AttrValue::from_float(0.0), AttrValue::from_float(-0.0), false});
    pairs.push_back({"bool vs integer", AttrValue::from_bool(true), i64(1), false});
    pairs.push_back({"string vs bytes", str("a"), AttrValue::from_bytes(Bytes{'a'}), false});
    pairs.push_back({"list vs tuple", list_of({1, 2}), list_of({1, 2}, true), false});
    pairs.push_back({"list order", list_of({1, 2}), list_of({2, 1}), false});
    pairs.push_back({"list length", list_of({1}), list_of({1, 1}), false});
    pairs.push_back({"map insertion order", AttrValue::from_map(ab), AttrValue::from_map(ab_reordered), true});
    pairs.push_back({"map keys", AttrValue::from_map(ab), AttrValue::from_map(ac), false});
    pairs.push_back({"empty containers", AttrValue::from_list({}), AttrValue::from_tuple({}), false});
    pairs.push_back({"empty string vs null", str(""), AttrValue(), false});
    return pairs;
}

TEST(AttrValueTest, EqualityIsExactAndHashAgrees) {
    for (const Pair& p : comparison_pairs()) {
        EXPECT_EQ(p.a == p.b, p.equal) << p.label;
        EXPECT_EQ(p.b == p.a, p.equal) << p.label;
        if (p.equal) {
            EXPECT_EQ(p.a.hash(), p.b.hash()) << p.label;
        } else {
            EXPECT_NE(p.a.hash(), p.b.hash()) << p.label;
        }
    }
}

// The hash input of each variant, fed by hand in the documented order.
TEST(AttrValueTest, HashInputOrder) {
    const auto expect_input = [](const AttrValue& v, auto feed) {
        Hasher expected;
        feed(expected);
        Hasher actual;
        v.hash_into(actual);
        EXPECT_EQ(actual.finish(), expected.finish()) << attr::kind_name(v.kind());
    };
    expect_input(AttrValue(), [](Hasher& h) { h.write_u64(0); });
    expect_input(AttrValue::from_bool(true), [](Hasher& h) {
        h.write_u64(1);
        h.write_u8(1);
    });
    expect_input(i64(-2), [](Hasher& h) {
        h.write_u64(2);
        h.write_u64(static_cast<uint64_t>(int64_t{-2}));
    });
    expect_input(AttrValue::from_float(1.0), [](Hasher& h) {
        h.write_u64(3);
        h.write_u64(0x3ff0000000000000);
    });
    expect_input(str("ab"), [](Hasher& h) {
        h.write_u64(4);
        h.write_bytes("ab");
        h.write_u8(0xFF);
    });
    expect_input(AttrValue::from_bytes(Bytes{1, 2, 3}), [](Hasher& h) {
        h.write_u64(5);
        h.write_u64(3);
        const uint8_t raw[] = {1, 2, 3};
        h.write_bytes(raw, 3);
    });
    expect_input(list_of({7}, true), [](Hasher& h) {
        h.write_u64(7);
        h.write_u64(1);
        h.write_u64(2);
        h.write_u64(7);
    });
    AttrMap m;
    m.emplace("k", list_of({}));
    m.emplace("a", AttrValue());
    expect_input(AttrValue::from_map(m), [](Hasher& h) {
        h.write_u64(8);
        h.write_u64(2);
        h.write_bytes("a");
        h.write_u8(0xFF);
        h.write_u64(0);
        h.write_bytes("k");
        h.write_u8(0xFF);
        h.write_u64(6);
        h.write_u64(0);
    });
    Hasher whole_map;
    attr::hash_map_into(whole_map, m);
    Hasher as_value_payload;
    as_value_payload.write_u64(2);
    as_value_payload.write_bytes("a");
    as_value_payload.write_u8(0xFF);
    as_value_payload.write_u64(0);
    as_value_payload.write_bytes("k");
    as_value_payload.write_u8(0xFF);
    as_value_payload.write_u64(6);
    as_value_payload.write_u64(0);
    EXPECT_EQ(whole_map.finish(), as_value_payload.finish());
}

TEST(AttrMapTest, OrdersKeysByUnsignedBytes) {
    AttrMap m;
    for (const char* k : {"b", "\xc3\xa9", "aa", "Z", "a", "\x7f"}) m.insert_or_assign(k, AttrValue());
    m.insert_or_assign("a", i64(5));
    std::vector<std::string> keys;
    for (const auto& [k, v] : m) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"Z", "a", "aa", "b", "\x7f", "\xc3\xa9"}));
    EXPECT_EQ(m.at("a"), i64(5));
}

TEST(AttrValueTest, CopiesAreDeepAndMovesLeaveNull) {
    AttrMap inner;
    inner.emplace("xs", list_of({1, 2, 3}));
    AttrList items;
    items.push_back(AttrValue::from_map(std::move(inner)));
    items.push_back(str("tail"));
    const AttrValue original = AttrValue::from_tuple(std::move(items));

    AttrValue copy = original;
    EXPECT_EQ(copy, original);
    EXPECT_EQ(copy.hash(), original.hash());
    EXPECT_NE(&copy.as_sequence()[0].as_map().at("xs").as_sequence()[0],
              &original.as_sequence()[0].as_map().at("xs").as_sequence()[0]);

    AttrValue moved = std::move(copy);
    EXPECT_EQ(copy.kind(), AttrKind::Null);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(moved, original);

    // Assigning a child over its own parent keeps the child's value.
    moved = moved.as_sequence()[0];
    EXPECT_EQ(moved, original.as_sequence()[0]);
}

TEST(AttrFloatBitsTest, SixteenDigitsMostSignificantFirst) {
    EXPECT_EQ(attr::float_bits_to_hex(AttrValue::from_float(1.0).as_float_bits()), "3ff0000000000000");
    EXPECT_EQ(attr::float_bits_to_hex(AttrValue::from_float(-0.0).as_float_bits()), "8000000000000000");
    auto nan = attr::float_bits_from_hex("7ff8000000000001");
    ASSERT_TRUE(nan);
    const AttrValue v = AttrValue::from_float_bits(*nan);
    EXPECT_TRUE(std::isnan(v.as_float()));
    EXPECT_EQ(v.as_float_bits(), 0x7ff8000000000001u);
    EXPECT_EQ(attr::float_bits_to_hex(v.as_float_bits()), "7ff8000000000001");

    for (const char* bad : {"3FF0000000000000", "3ff00000000000", "3ff000000000000", "3ff00000000000000",
                            "3ff000000000000000", "zzf0000000000000", ""}) {
        auto r = attr::float_bits_from_hex(bad);
        ASSERT_FALSE(r) << bad;
        EXPECT_EQ(r.error(), "exact float bits must be 16 lowercase hexadecimal characters");
    }
}

// Builds a chain `depth` containers deep, alternating list, tuple and map,
// around `leaf`.
AttrValue deep_chain(size_t depth, AttrValue leaf) {
    AttrValue v = std::move(leaf);
    for (size_t level = 0; level < depth; ++level) {
        if (level % 3 == 2) {
            AttrMap m;
            m.emplace("k", std::move(v));
            v = AttrValue::from_map(std::move(m));
        } else {
            AttrList items;
            items.push_back(i64(static_cast<int64_t>(level)));
            items.push_back(std::move(v));
            v = level % 3 == 0 ? AttrValue::from_list(std::move(items)) : AttrValue::from_tuple(std::move(items));
        }
    }
    return v;
}

TEST(AttrValueTest, HundredThousandLevelsNeitherRecurseNorOverflow) {
    constexpr size_t kDepth = 100'000;
    const AttrValue a = deep_chain(kDepth, str("leaf"));
    const AttrValue b = deep_chain(kDepth, str("leaf"));
    const AttrValue c = deep_chain(kDepth, str("other"));
    EXPECT_EQ(a, b);
    EXPECT_FALSE(a == c);
    EXPECT_EQ(a.hash(), b.hash());
    EXPECT_NE(a.hash(), c.hash());

    const AttrValue copy = a;
    EXPECT_EQ(copy, a);
    EXPECT_EQ(copy.hash(), a.hash());

    size_t levels = 0;
    const AttrValue* cursor = &copy;
    while (cursor->is_container()) {
        cursor = cursor->kind() == AttrKind::Map ? &cursor->as_map().at("k") : &cursor->as_sequence()[1];
        ++levels;
    }
    EXPECT_EQ(levels, kDepth);
    EXPECT_EQ(cursor->as_string(), "leaf");
    // Leaving scope destroys all four trees; a recursive destructor would
    // overflow the stack here.
}

TEST(AttrValueTest, ComparingAndHashingTypicalMapsDoesNotAllocate) {
    const AttrMap a = typical_attrs();
    const AttrMap b = typical_attrs();
    const AttrValue va = AttrValue::from_map(typical_attrs());
    const AttrValue vb = AttrValue::from_map(typical_attrs());

    const size_t before = testing::allocation_count();
    const bool maps_equal = a == b;
    const bool values_equal = va == vb;
    Hasher h;
    attr::hash_map_into(h, a);
    const uint64_t map_hash = h.finish();
    const uint64_t value_hash = va.hash();
    const size_t after = testing::allocation_count();

    EXPECT_TRUE(maps_equal);
    EXPECT_TRUE(values_equal);
    EXPECT_NE(map_hash, value_hash);
    EXPECT_EQ(after - before, 0u);

    // The counter does see allocations, so the zero above is meaningful.
    const AttrValue copy = va;
    EXPECT_GT(testing::allocation_count(), after);
}

}  // namespace
}  // namespace vorlix
