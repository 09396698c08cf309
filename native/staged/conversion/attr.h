// Attribute values between Python objects and the runtime's attribute trees:
// strict, exact-type conversion in, fresh objects out, neither recursing per
// level (see Note [Deep attribute trees]).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_set>

#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"
#include "runtime/attr.h"

namespace vorlix::staged {

// The identities of the dicts, lists and tuples whose contents one top-level
// conversion is converting right now. Keyed by address, never by content, so
// no container is hashed or compared; the hash keys are drawn per set, and
// only when the first container is entered.
class ActiveContainers {
public:
    ActiveContainers() = default;
    ActiveContainers(const ActiveContainers&) = delete;
    ActiveContainers& operator=(const ActiveContainers&) = delete;

    // False when `container` is already being converted (a cycle).
    [[nodiscard]] bool enter(PyObject* container);
    void leave(PyObject* container);
    [[nodiscard]] bool empty() const { return !set_ || set_->empty(); }

private:
    struct IdentityHash {
        std::array<uint64_t, 2> keys;
        size_t operator()(const PyObject* p) const noexcept;
    };
    std::optional<std::unordered_set<const PyObject*, IdentityHash>> set_;
};

// The entries of `dict` (a dict or a subclass) as an attribute map. `dict`
// itself is not entered into `active`; `path` names it in messages. On
// failure an exception is set and nothing is returned.
[[nodiscard]] std::optional<AttrMap> map_from_python(PyObject* dict, std::string_view path,
                                                     ActiveContainers& active);
// One value of the nine accepted exact types.
[[nodiscard]] std::optional<AttrValue> attr_value_from_python(PyObject* obj, std::string_view path,
                                                              ActiveContainers& active);

// New Python objects on every call; an empty Ref with an exception set on
// failure, with every partly built object released.
[[nodiscard]] py::Ref attr_value_to_python(const AttrValue& value);
[[nodiscard]] py::Ref attr_map_to_python(const AttrMap& map);

}  // namespace vorlix::staged
