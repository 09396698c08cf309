// Element types: the open set of dtype descriptors and the closed set of numeric constant dtypes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/error.h"

namespace vorlix {

// An element type as written by the caller (`name`, after trimming and
// namespace stripping) and as resolved through the alias table
// (`canonical`). Equal only when both texts are equal, so "float" and
// "float64" are different descriptors of the same canonical type.
class DTypeDescriptor {
public:
    [[nodiscard]] static Expected<DTypeDescriptor> from_name(std::string_view text);

    [[nodiscard]] const std::string& canonical() const { return canonical_; }
    [[nodiscard]] const std::string& name() const { return name_; }

    friend bool operator==(const DTypeDescriptor&, const DTypeDescriptor&) = default;

private:
    DTypeDescriptor(std::string canonical, std::string name)
        : canonical_(std::move(canonical)), name_(std::move(name)) {}

    std::string canonical_;
    std::string name_;
};

namespace dtype {

// The validity check of descriptor texts: non-empty, then free of NUL.
[[nodiscard]] Status<> validate(std::string_view canonical, std::string_view name);

// The text with leading and trailing White_Space characters removed.
[[nodiscard]] std::string_view trim(std::string_view text);

// The alias target of `name`, or nothing when `name` is not an alias.
[[nodiscard]] std::optional<std::string_view> alias_target(std::string_view name);

}  // namespace dtype

// The fourteen element types a portable constant may carry. The position in
// the enumeration is the discriminant and is stable.
class NumericDType {
public:
    enum Kind : uint8_t {
        Bool,
        Int8,
        Int16,
        Int32,
        Int64,
        UInt8,
        UInt16,
        UInt32,
        UInt64,
        Float16,
        Float32,
        Float64,
        Complex64,
        Complex128,
    };
    static constexpr size_t kCount = 14;

    constexpr NumericDType(Kind kind) : kind_(kind) {}

    // Exact, case-sensitive match of one of the fourteen names.
    [[nodiscard]] static Expected<NumericDType, std::string> from_str(std::string_view text);
    [[nodiscard]] static std::optional<NumericDType> from_index(size_t index);

    [[nodiscard]] constexpr Kind kind() const { return kind_; }
    [[nodiscard]] constexpr size_t index() const { return kind_; }
    [[nodiscard]] std::string_view name() const;
    // Storage size of one element in bytes.
    [[nodiscard]] size_t size() const;

    friend constexpr bool operator==(NumericDType, NumericDType) = default;

private:
    Kind kind_;
};

}  // namespace vorlix
