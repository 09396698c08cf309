// Attribute values between Python objects and the runtime's attribute maps:
// strict, exact-type conversion in, fresh objects out, neither recursing per
// level (see Note [Deep attribute trees]).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"
#include "runtime/attr.h"
#include "runtime/interned/attr_cells.h"
#include "runtime/interned/attr_draft.h"

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

// Converts attribute dicts into drafts (see AttrDraft), keeping its storage
// between conversions so that a converter reused per node allocates only
// while it grows.
class AttrConverter {
public:
    AttrConverter();
    ~AttrConverter();
    AttrConverter(const AttrConverter&) = delete;
    AttrConverter& operator=(const AttrConverter&) = delete;

    // The entries of `dict` (a dict or a subclass) into `draft()`. `dict`
    // itself is not entered into `active`; `path` names it in messages. On
    // failure an exception is set and the draft holds nothing of use.
    [[nodiscard]] bool map_from_python(PyObject* dict, std::string_view path, ActiveContainers& active);
    [[nodiscard]] const AttrDraft& draft() const { return draft_; }

    // One container being converted.
    struct Frame;

private:
    std::vector<Frame> frames_;
    AttrDraft draft_;
};

// New Python objects on every call; an empty Ref with an exception set on
// failure, with every partly built object released. The map is either an
// attribute tree or a stored map.
[[nodiscard]] py::Ref attr_map_to_python(const AttrMap& map);
[[nodiscard]] py::Ref attr_map_to_python(const AttrMapView& map);

}  // namespace vorlix::staged
