// Sample stores and text edits shared by the artifact test files.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "runtime/artifact.h"

namespace vorlix::samples {

template <class T, class E>
T take(Expected<T, E> r) {
    EXPECT_TRUE(r.has_value());
    return std::move(r).value();
}

inline NodeMetadata meta(Shape shape, std::string_view dtype = "float32", AttrMap attrs = {},
                         std::optional<std::string> name = std::nullopt,
                         std::optional<std::string> source_location = std::nullopt) {
    return take(NodeMetadata::create(std::move(attrs), std::move(shape), take(DTypeDescriptor::from_name(dtype)),
                                     std::move(name), 1, std::nullopt, std::nullopt, std::move(source_location)));
}

inline PortableConstant f32_constant(Bytes data) {
    const uint64_t elements = data.size() / 4;
    return take(PortableConstant::create(ConstantKind::Array, NumericDType::Float32, {elements}, std::move(data)));
}

// An input %0 and a constant %1 of float32[2], and %2 = add(%0, %1) with
// one attribute and a name; %2 is the output.
inline GraphStore small_store() {
    auto b = take(GraphBuilder::new_for_array_api("2024.12"));
    const NodeId x = take(b.append_input(meta({2})));
    const NodeId c = take(b.append_constant(meta({2}), f32_constant({0, 0, 0x80, 0x3f, 0, 0, 0, 0x40})));
    AttrMap attrs;
    attrs.emplace("axis", AttrValue::from_integer(1));
    const std::vector<NodeId> parents{x, c};
    const NodeId y = take(b.append_operation("add", 1, parents, meta({2}, "float32", std::move(attrs), "sum")));
    EXPECT_TRUE(b.append_output(y));
    return take(GraphStore::create(std::move(b).into_data()));
}

inline std::string small_text() { return take(artifact::to_json(small_store())); }

// `text` with the first occurrence of `from` replaced by `to`.
inline std::string replaced(std::string text, std::string_view from, std::string_view to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << "no " << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// The failure of reading `text`, which must fail.
inline std::string read_failure(std::string_view text) {
    auto store = artifact::from_json(text);
    EXPECT_FALSE(store.has_value()) << text;
    if (store) return {};
    EXPECT_FALSE(store.error().node.has_value());
    return store.error().message;
}

// The position suffix for a failure detected right after the first
// occurrence of `marker` in a one-line text.
inline std::string after(std::string_view text, std::string_view marker) {
    const size_t at = text.find(marker);
    EXPECT_NE(at, std::string_view::npos) << "no " << marker;
    return " at line 1 column " + std::to_string(at + marker.size());
}

}  // namespace vorlix::samples
