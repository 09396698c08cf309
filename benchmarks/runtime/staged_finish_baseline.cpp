// The runtime's own build, validation and optimisation of the graph that
// benchmarks/bench_staged.py finishes through GraphBuilder: prints the CPU
// nanoseconds of one run and of its appends alone, and what the appends
// allocated, for the Python benchmark to interleave with its own.
#include <malloc.h>

#include <atomic>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>

#include "benchmarks/runtime/counted_heap.h"
#include "runtime/graph.h"
#include "runtime/optimize.h"

using namespace counted_heap;

namespace {

using namespace vorlix;

template <class T, class E>
T take(Expected<T, E> r) {
    if (!r) std::abort();
    return std::move(r).value();
}

double cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

struct Run {
    double build_ns;
    size_t kept;
    size_t allocations;
    size_t heap_bytes;
};

// Input x, then a chain where node i adds x to node i-1 with three scalar
// attributes; every sixteenth node is a dead exp of x. The last is the
// output. Each node's parts are written afresh, as a tracer writes them.
Run build_validate_optimize(size_t nodes) {
    const DTypeDescriptor f32 = take(DTypeDescriptor::from_name("float32"));
    const Shape shape{64, 64};
    AttrDraft attrs;
    const double start = cpu_ns();
    g_counting.store(true);
    GraphBuilder builder = take(GraphBuilder::new_for_array_api("2024.12"));
    const NodeId x = take(builder.append_input(NodeParts{nullptr, shape, &f32, "x"}));
    NodeId last = x;
    while (builder.node_count() < nodes) {
        if (builder.node_count() % 16 == 15) {
            const NodeId parent[] = {x};
            (void)take(builder.append_operation("array.exp", 1, parent, NodeParts{nullptr, shape, &f32}));
            continue;
        }
        attrs.clear();
        attrs.key("axis");
        attrs.integer(1);
        attrs.key("alpha");
        attrs.float_bits(std::bit_cast<uint64_t>(0.5));
        attrs.key("mode");
        attrs.string("fast");
        const NodeId parents[] = {last, x};
        last = take(builder.append_operation("array.add", 1, parents, NodeParts{&attrs, shape, &f32}));
    }
    if (!builder.append_output(last)) std::abort();
    g_counting.store(false);
    const double build_ns = cpu_ns() - start;
    const size_t allocations = g_allocations.load();
    const size_t heap = g_live.load();
    GraphStore store = take(GraphStore::create(std::move(builder).into_data()));
    OptimizedGraph optimized = take(optimize(std::move(store)));
    return Run{build_ns, optimized.store.node_count(), allocations, heap};
}

}  // namespace

int main(int argc, char** argv) {
    const size_t nodes = argc > 1 ? std::stoul(argv[1]) : 100000;
    const double start = cpu_ns();
    const Run run = build_validate_optimize(nodes);
    const double elapsed = cpu_ns() - start;
    // Total CPU ns, surviving node count, CPU ns of the appends alone, and
    // the appends' allocations and heap bytes held afterwards, per node.
    std::printf("%.0f %zu %.0f %.3f %.1f\n", elapsed, run.kept, run.build_ns,
                static_cast<double>(run.allocations) / static_cast<double>(nodes),
                static_cast<double>(run.heap_bytes) / static_cast<double>(nodes));
    return 0;
}
