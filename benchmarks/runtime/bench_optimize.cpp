// Optimizing graphs of 250,000 and 1,000,000 nodes of four shapes, timed per pass.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "benchmarks/runtime/isolated_run.h"
#include "runtime/optimize.h"

namespace {

using namespace vorlix;
using Clock = std::chrono::steady_clock;

// Setup of the working graph, the three passes, then renumbering and rebuild.
constexpr std::array<std::string_view, 6> kSteps{"setup", "dce", "simplify", "cse", "rebuild", "total"};
using Timing = std::array<double, kSteps.size()>;  // ns per input node

template <class T, class E>
T take(Expected<T, E> r) {
    if (!r) std::abort();
    return std::move(r).value();
}

class Builder {
public:
    Builder() : builder_(take(GraphBuilder::new_for_array_api("2024.12"))) {}

    NodeId input(const Shape& shape) { return take(builder_.append_input(metadata(shape, {}))); }
    NodeId op(std::string_view name, std::span<const NodeId> parents, const Shape& shape, AttrMap attrs = {}) {
        return take(builder_.append_operation(name, 1, parents, metadata(shape, std::move(attrs))));
    }
    void output(NodeId id) {
        if (!builder_.append_output(id)) std::abort();
    }
    [[nodiscard]] size_t size() const { return builder_.node_count(); }
    [[nodiscard]] GraphStore store() && { return take(GraphStore::create(std::move(builder_).into_data())); }

private:
    NodeMetadata metadata(const Shape& shape, AttrMap attrs) {
        return take(NodeMetadata::create(std::move(attrs), shape, f32_, std::nullopt, 1, std::nullopt, std::nullopt,
                                         std::nullopt));
    }

    GraphBuilder builder_;
    DTypeDescriptor f32_ = take(DTypeDescriptor::from_name("float32"));
};

// One long dependency chain; every sixteenth node is a dead side branch.
GraphStore chain(size_t nodes) {
    Builder b;
    const Shape shape{64, 64};
    NodeId last = b.input(shape);
    while (b.size() < nodes - 1) {
        const NodeId parent[] = {last};
        if (b.size() % 16 == 15) {
            b.op("array.exp", parent, shape);
        } else {
            last = b.op(b.size() % 2 ? "array.neg" : "array.sin", parent, shape);
        }
    }
    b.output(b.op("array.exp", std::array{last}, shape));
    return std::move(b).store();
}

// Many inputs and nodes reading two of the last 512 nodes, every node
// computed twice in a row. With `effect_every`, an effect on an input
// comes that often and empties the common-subexpression table each time.
GraphStore duplicates(size_t nodes, size_t effect_every) {
    Builder b;
    const Shape shape{32};
    for (int i = 0; i < 64; ++i) b.input(shape);
    uint64_t state = 0x9e3779b97f4a7c15ull;
    const auto next = [&] { return (state = state * 6364136223846793005ull + 1442695040888963407ull) >> 33; };
    while (b.size() < nodes - 64) {
        const auto n = static_cast<NodeId>(b.size());
        if (effect_every != 0 && n % effect_every < 2) {
            b.op("io.sync", std::array{NodeId{0}}, shape);
            continue;
        }
        const NodeId parents[] = {static_cast<NodeId>(n - 1 - next() % std::min<NodeId>(n, 512)),
                                  static_cast<NodeId>(n - 1 - next() % std::min<NodeId>(n, 512))};
        const std::string_view op = next() % 2 ? "array.add" : "array.multiply";
        b.op(op, parents, shape);
        if (b.size() < nodes - 64) b.op(op, parents, shape);
    }
    const auto end = static_cast<NodeId>(b.size());
    for (NodeId k = 1; b.size() < nodes; ++k) b.output(b.op("array.exp", std::array{end - k}, shape));
    return std::move(b).store();
}

GraphStore wide(size_t nodes) { return duplicates(nodes, 0); }
GraphStore wide_with_effects(size_t nodes) { return duplicates(nodes, 64); }

// Blocks of transpose, transpose back, add: every second transpose cancels.
GraphStore transpose_pairs(size_t nodes) {
    Builder b;
    const Shape shape{64, 128};
    const Shape transposed{128, 64};
    const NodeId x = b.input(shape);
    NodeId last = x;
    while (b.size() + 3 < nodes) {
        const NodeId inner = b.op("array.transpose", std::array{last}, transposed);
        const NodeId outer = b.op("array.transpose", std::array{inner}, shape);
        last = b.op("array.add", std::array{outer, x}, shape);
    }
    while (b.size() < nodes) last = b.op("array.neg", std::array{last}, shape);
    b.output(last);
    return std::move(b).store();
}

Timing run(GraphStore (*make)(size_t), size_t nodes) {
    GraphStore store = make(nodes);
    if (store.node_count() != nodes) std::abort();
    Timing t{};
    const auto ns = [&](Clock::time_point a, Clock::time_point b) {
        return std::chrono::duration<double, std::nano>(b - a).count() / static_cast<double>(nodes);
    };
    const auto start = Clock::now();
    WorkingGraph graph = take(WorkingGraph::create(std::move(store)));
    auto mark = Clock::now();
    t[0] = ns(start, mark);
    std::array<PassReport, 3> passes;
    uint64_t total = 0;
    for (size_t i = 0; i < passes.size(); ++i) {
        passes[i] = take(optimizer::run_pass(graph, optimizer::kPasses[i], total));
        const auto now = Clock::now();
        t[i + 1] = ns(mark, now);
        mark = now;
    }
    OptimizedGraph out = take(optimizer::materialize(std::move(graph), passes, total));
    const auto end = Clock::now();
    t[4] = ns(mark, end);
    t[5] = ns(start, end);
    if (out.node_map.size() != nodes) std::abort();
    return t;
}

// Best of a few isolated runs, each step taken separately.
Timing best_of(GraphStore (*make)(size_t), size_t nodes) {
    constexpr int kRuns = 3;
    const auto measure = [=] { return run(make, nodes); };
    Timing best = bench::run_isolated(measure);
    for (int i = 1; i < kRuns; ++i) {
        const Timing t = bench::run_isolated(measure);
        for (size_t s = 0; s < best.size(); ++s) best[s] = std::min(best[s], t[s]);
    }
    return best;
}

}  // namespace

int main() {
    constexpr size_t kSmall = 250'000;
    constexpr size_t kLarge = 1'000'000;
    struct GraphShape {
        const char* name;
        GraphStore (*make)(size_t);
    };
    const GraphShape shapes[] = {{"chain", chain},
                                 {"wide duplicates", wide},
                                 {"transpose pairs", transpose_pairs},
                                 {"wide duplicates between effects", wide_with_effects}};
    for (const GraphShape& shape : shapes) {
        const Timing small = best_of(shape.make, kSmall);
        const Timing large = best_of(shape.make, kLarge);
        for (const auto& [nodes, t] : {std::pair{kSmall, small}, std::pair{kLarge, large}}) {
            for (size_t s = 0; s < kSteps.size(); ++s) {
                std::printf("%s, %zu nodes, %s: %.1f ns/node\n", shape.name, nodes, kSteps[s].data(), t[s]);
            }
        }
        for (size_t s = 0; s < kSteps.size(); ++s) {
            std::printf("%s, time ratio 1,000,000 / 250,000 nodes, %s: %.2f (at most 4.50)\n", shape.name,
                        kSteps[s].data(), large[s] * kLarge / (small[s] * kSmall));
        }
    }
    return 0;
}
