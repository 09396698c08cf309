// The lanes of a traversal: one slot per node per seed set, seeded from the
// caller's seeds and read back for the requested nodes.
#pragma once

#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "native/dynamic_tape/rule_call.h"

namespace vorlix::tape {

using SeedSet = std::vector<std::pair<uint32_t, Ref>>;

// One optional object per node per lane, stored node by node with a node's
// lanes side by side: a single lane is a plain array indexed by node ID, and
// the lanes a node shares its preparation with lie together.
class Lanes {
public:
    Lanes() = default;
    Lanes(const Lanes&) = delete;
    Lanes& operator=(const Lanes&) = delete;

    // Empties and sizes the lanes: `width` lanes of `nodes` slots.
    void reset(size_t nodes, size_t width) {
        slots_.reset();
        slots_ = std::make_unique<Ref[]>(nodes * width);
        nodes_ = nodes;
        width_ = width;
    }
    [[nodiscard]] size_t nodes() const { return nodes_; }
    [[nodiscard]] size_t width() const { return width_; }
    // The `width()` slots of `node`, lane by lane; node < nodes().
    [[nodiscard]] Ref* of(size_t node) { return slots_.get() + node * width_; }
    [[nodiscard]] const Ref* of(size_t node) const { return slots_.get() + node * width_; }

private:
    std::unique_ptr<Ref[]> slots_;
    size_t nodes_ = 0;
    size_t width_ = 0;
};

// Validates the requested IDs, then each seed set, and makes one lane per
// seed set over the tape's nodes.
[[nodiscard]] bool seed_lanes(TapeState& tape, Direction direction, std::vector<SeedSet>& seed_sets,
                              std::span<const uint32_t> requested, Lanes& lanes);

// One list per lane with the requested slots, moved out of the lanes; a
// node requested twice yields None after its first occurrence.
[[nodiscard]] Ref take_requested(Lanes& lanes, std::span<const uint32_t> requested);

// The last lane's result list of a list of per-lane results.
[[nodiscard]] Ref single_lane(Ref lanes_results);

// Converts a seed-set argument: a sequence (not a str) of (node ID, object)
// pairs.
[[nodiscard]] bool to_seed_set(PyObject* obj, const char* arg, SeedSet& out);

}  // namespace vorlix::tape
