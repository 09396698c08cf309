// The runtime's own build, validation and optimisation of the graph that
// benchmarks/bench_staged.py finishes through GraphBuilder: prints the CPU
// nanoseconds of one run (and of its appends alone), for the Python benchmark
// to interleave with its own.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "runtime/graph.h"
#include "runtime/optimize.h"

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

NodeMetadata metadata(AttrMap attrs, std::optional<std::string> name) {
    return take(NodeMetadata::create(std::move(attrs), Shape{64, 64}, take(DTypeDescriptor::from_name("float32")),
                                     std::move(name), 1, std::nullopt, std::nullopt, std::nullopt));
}

// Input x, then a chain where node i adds x to node i-1 with three scalar
// attributes; every sixteenth node is a dead exp of x. The last is the output.
struct Run {
    double build_ns;
    size_t kept;
};

Run build_validate_optimize(size_t nodes) {
    const double start = cpu_ns();
    GraphBuilder builder = take(GraphBuilder::new_for_array_api("2024.12"));
    const NodeId x = take(builder.append_input(metadata({}, "x")));
    NodeId last = x;
    while (builder.node_count() < nodes) {
        if (builder.node_count() % 16 == 15) {
            const NodeId parent[] = {x};
            (void)take(builder.append_operation("array.exp", 1, parent, metadata({}, std::nullopt)));
            continue;
        }
        AttrMap attrs;
        attrs.emplace("axis", AttrValue::from_integer(1));
        attrs.emplace("alpha", AttrValue::from_float(0.5));
        attrs.emplace("mode", AttrValue::from_string("fast"));
        const NodeId parents[] = {last, x};
        last = take(builder.append_operation("array.add", 1, parents, metadata(std::move(attrs), std::nullopt)));
    }
    if (!builder.append_output(last)) std::abort();
    const double build_ns = cpu_ns() - start;
    GraphStore store = take(GraphStore::create(std::move(builder).into_data()));
    OptimizedGraph optimized = take(optimize(std::move(store)));
    return Run{build_ns, optimized.store.node_count()};
}

}  // namespace

int main(int argc, char** argv) {
    const size_t nodes = argc > 1 ? std::stoul(argv[1]) : 100000;
    const double start = cpu_ns();
    const Run run = build_validate_optimize(nodes);
    const double elapsed = cpu_ns() - start;
    // Total CPU ns, surviving node count, CPU ns of the appends alone.
    std::printf("%.0f %zu %.0f\n", elapsed, run.kept, run.build_ns);
    return 0;
}
