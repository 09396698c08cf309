// Building graphs of 250,000 and 1,000,000 nodes through the runtime builder and validating them into stores.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <sys/resource.h>

#include "benchmarks/runtime/isolated_run.h"
#include "runtime/graph.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Timing {
    double build_ns_per_node;
    double store_ns_per_node;
    double total_ns_per_node;
    double page_faults_per_node;
};

long minor_page_faults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

template <class T, class E>
T take(vorlix::Expected<T, E> r) {
    if (!r) std::abort();
    return std::move(r).value();
}

// Inputs first, a few constants, then operations reading one, two or three
// earlier nodes; some carry a small attribute map, as traced programs do.
Timing run(size_t nodes) {
    using namespace vorlix;
    const DTypeDescriptor f32 = take(DTypeDescriptor::from_name("float32"));
    AttrMap transpose_attrs;
    AttrList axes;
    axes.push_back(AttrValue::from_integer(1));
    axes.push_back(AttrValue::from_integer(0));
    transpose_attrs.emplace("axes", AttrValue::from_tuple(std::move(axes)));
    const auto metadata = [&](AttrMap attrs) {
        return take(NodeMetadata::create(std::move(attrs), Shape{128, 64}, f32, std::nullopt, 1, std::nullopt,
                                         std::nullopt, std::nullopt));
    };

    const long faults_before = minor_page_faults();
    const auto start = Clock::now();
    GraphBuilder builder = take(GraphBuilder::new_for_array_api("2024.12"));
    for (int i = 0; i < 8; ++i) take(builder.append_input(metadata({})));
    for (int i = 0; i < 4; ++i) {
        take(builder.append_constant(
            metadata({}), take(PortableConstant::create(ConstantKind::Array, NumericDType::Float32, Shape{128, 64},
                                                        Bytes(128 * 64 * 4)))));
    }
    std::vector<NodeId> parents;
    for (size_t id = builder.node_count(); id < nodes; ++id) {
        const auto n = static_cast<NodeId>(id);
        parents.clear();
        switch (id % 4) {
            case 0: parents = {n - 1}; break;
            case 1: parents = {n - 1, n - 3}; break;
            case 2: parents = {n - 2, n - 5, n - 9}; break;
            default: parents = {n - 1, n - 7}; break;
        }
        const bool transpose = id % 4 == 0;
        take(builder.append_operation(transpose ? "array.transpose" : (id % 4 == 2 ? "array.where" : "array.add"), 1,
                                      parents, metadata(transpose ? transpose_attrs : AttrMap{})));
    }
    for (int i = 0; i < 4; ++i) {
        if (!builder.append_output(static_cast<NodeId>(nodes - 1 - i))) std::abort();
    }
    const auto built = Clock::now();
    GraphStore store = take(GraphStore::create(std::move(builder).into_data()));
    const auto validated = Clock::now();
    if (store.node_count() != nodes) std::abort();

    const auto per_node = [&](auto a, auto b) {
        return std::chrono::duration<double, std::nano>(b - a).count() / static_cast<double>(nodes);
    };
    const double faults = static_cast<double>(minor_page_faults() - faults_before) / static_cast<double>(nodes);
    return {per_node(start, built), per_node(built, validated), per_node(start, validated), faults};
}

// Best of a few isolated runs, each step taken separately.
Timing best_of(size_t nodes) {
    constexpr int kRuns = 3;
    const auto measure = [=] { return run(nodes); };
    Timing best = vorlix::bench::run_isolated(measure);
    for (int i = 1; i < kRuns; ++i) {
        const Timing t = vorlix::bench::run_isolated(measure);
        best.build_ns_per_node = std::min(best.build_ns_per_node, t.build_ns_per_node);
        best.store_ns_per_node = std::min(best.store_ns_per_node, t.store_ns_per_node);
        best.total_ns_per_node = std::min(best.total_ns_per_node, t.total_ns_per_node);
        best.page_faults_per_node = std::min(best.page_faults_per_node, t.page_faults_per_node);
    }
    return best;
}

}  // namespace

int main() {
    constexpr size_t kSmall = 250'000;
    constexpr size_t kLarge = 1'000'000;
    const Timing small = best_of(kSmall);
    const Timing large = best_of(kLarge);
    const auto ratio = [](double large_ns, double small_ns) { return large_ns * kLarge / (small_ns * kSmall); };

    std::printf("build, %zu nodes: %.1f ns/node\n", kSmall, small.build_ns_per_node);
    std::printf("store validation, %zu nodes: %.1f ns/node\n", kSmall, small.store_ns_per_node);
    std::printf("build, %zu nodes: %.1f ns/node\n", kLarge, large.build_ns_per_node);
    std::printf("store validation, %zu nodes: %.1f ns/node\n", kLarge, large.store_ns_per_node);
    std::printf("build and validation, %zu nodes: %.1f ns/node\n", kLarge, large.total_ns_per_node);
    std::printf("first-touch page faults, %zu nodes: %.3f per node\n", kLarge, large.page_faults_per_node);
    std::printf("time ratio 1,000,000 / 250,000 nodes, build: %.2f (at most 4.50)\n",
                ratio(large.build_ns_per_node, small.build_ns_per_node));
    std::printf("time ratio 1,000,000 / 250,000 nodes, store validation: %.2f (at most 4.50)\n",
                ratio(large.store_ns_per_node, small.store_ns_per_node));
    std::printf("time ratio 1,000,000 / 250,000 nodes, total: %.2f (at most 4.50)\n",
                ratio(large.total_ns_per_node, small.total_ns_per_node));
    return 0;
}
