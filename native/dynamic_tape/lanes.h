// The lanes of a traversal: one slot per node per seed set, seeded from the
// caller's seeds and read back for the requested nodes.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "native/dynamic_tape/invocation.h"

namespace vorlix::tape {

// One optional object per tape node, indexed by node ID.
using Lane = std::vector<Ref>;
using SeedSet = std::vector<std::pair<uint32_t, Ref>>;

// Validates the requested IDs, then each seed set, and makes one lane per
// seed set.
[[nodiscard]] bool seed_lanes(TapeState& tape, Direction direction, std::vector<SeedSet>& seed_sets,
                              std::span<const uint32_t> requested, std::vector<Lane>& lanes);

// One list per lane with the requested slots, moved out of the lanes; a
// node requested twice yields None after its first occurrence.
[[nodiscard]] Ref take_requested(std::vector<Lane>& lanes, std::span<const uint32_t> requested);

// The last lane's result list of a list of per-lane results.
[[nodiscard]] Ref single_lane(Ref lanes_results);

// Converts a seed-set argument: a sequence (not a str) of (node ID, object)
// pairs.
[[nodiscard]] bool to_seed_set(PyObject* obj, const char* arg, SeedSet& out);

}  // namespace vorlix::tape
