// Writing and reading a 100,000-node artifact with 16 MiB of constants, against Python's json module on the same text,
// and the reader's heap peak.
#include <malloc.h>

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "benchmarks/runtime/counted_heap.h"
#include "runtime/artifact.h"

using namespace counted_heap;

namespace {

using namespace vorlix;
using Clock = std::chrono::steady_clock;

constexpr size_t kNodes = 100'000;
constexpr size_t kInputs = 100;
constexpr size_t kConstants = 64;
constexpr size_t kConstantBytes = (size_t{16} << 20) / kConstants;
constexpr int kRounds = 5;

template <class T, class E>
T take(Expected<T, E> r) {
    if (!r) {
        std::fprintf(stderr, "benchmark setup failed\n");
        std::exit(1);
    }
    return std::move(r).value();
}

struct Random {
    uint64_t state = 0x9e3779b97f4a7c15ull;
    uint64_t next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 33;
    }
};

NodeMetadata metadata(const DTypeDescriptor& dtype, Shape shape, AttrMap attrs, std::optional<std::string> name,
                      std::optional<std::string> location) {
    return take(NodeMetadata::create(std::move(attrs), std::move(shape), dtype, std::move(name), 1, std::nullopt,
                                     std::nullopt, std::move(location)));
}

// Inputs, then constants, then operations reading one to three earlier
// nodes, each with a few attributes (an integer, a bool, a float, a string,
// now and then a list); every tenth is named and located.
GraphStore build_store() {
    static const char* const kOps[] = {"add",        "mul", "sub",  "matmul", "reshape", "transpose",
                                       "reduce_sum", "exp", "tanh", "concat", "slice",   "broadcast_to"};
    Random random;
    const auto f32 = take(DTypeDescriptor::from_name("float32"));
    auto b = take(GraphBuilder::new_for_array_api("2024.12"));
    for (size_t i = 0; i < kInputs; ++i) take(b.append_input(metadata(f32, {32, 64}, {}, "x" + std::to_string(i), {})));
    for (size_t i = 0; i < kConstants; ++i) {
        Bytes data(kConstantBytes);
        for (uint8_t& byte : data) byte = static_cast<uint8_t>(random.next());
        auto c = take(PortableConstant::create(ConstantKind::Array, NumericDType::Float32, {kConstantBytes / 4}, data));
        take(b.append_constant(metadata(f32, {kConstantBytes / 4}, {}, {}, {}), std::move(c)));
    }
    std::vector<NodeId> parents;
    for (size_t id = kInputs + kConstants; id < kNodes; ++id) {
        AttrMap attrs;
        attrs.emplace("axis", AttrValue::from_integer(static_cast<int64_t>(random.next() % 4) - 1));
        attrs.emplace("keepdims", AttrValue::from_bool(random.next() % 2 == 0));
        attrs.emplace("scale", AttrValue::from_float(1.0 / static_cast<double>(1 + random.next() % 1000)));
        attrs.emplace("mode", AttrValue::from_string(random.next() % 2 == 0 ? "same" : "valid"));
        if (id % 4 == 0) {
            attrs.emplace("perm", AttrValue::from_list({AttrValue::from_integer(1), AttrValue::from_integer(0)}));
        }
        parents.clear();
        const size_t arity = 1 + random.next() % 3;
        for (size_t k = 0; k < arity; ++k) parents.push_back(static_cast<NodeId>(random.next() % id));
        std::optional<std::string> name;
        std::optional<std::string> location;
        if (id % 10 == 0) {
            name = "layer_" + std::to_string(id);
            location = "model.py:" + std::to_string(id % 997);
        }
        take(b.append_operation(kOps[random.next() % std::size(kOps)], 1, parents,
                                metadata(f32, {32, 64}, std::move(attrs), std::move(name), std::move(location))));
    }
    if (!b.append_output(static_cast<NodeId>(kNodes - 1))) std::exit(1);
    return take(GraphStore::create(std::move(b).into_data()));
}

// The best time of `run`; what it returns is dropped after the clock stops.
template <class F>
double best_seconds(F&& run) {
    double best = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        const auto start = Clock::now();
        const auto kept = run();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

// The same text through Python's json module: loads (objects, no checks)
// and compact dumps of what it loaded. Prints MB/s of each.
constexpr const char* kPythonBaseline = R"(import json, sys, time
text = open(sys.argv[1], encoding="utf-8").read()
def best(f):
    b = 1e30
    for _ in range(3):
        t = time.perf_counter(); f(); b = min(b, time.perf_counter() - t)
    return b
obj = json.loads(text)
dumped = json.dumps(obj, separators=(",", ":"))
print(len(text.encode()) / best(lambda: json.loads(text)) / 1e6,
      len(dumped.encode()) / best(lambda: json.dumps(obj, separators=(",", ":"))) / 1e6,
      int(dumped == text))
)";

std::string temp_path(const char* suffix) {
    char path[] = "/tmp/bench_artifact_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) std::exit(1);
    close(fd);
    const std::string named = std::string(path) + suffix;
    std::rename(path, named.c_str());
    return named;
}

}  // namespace

int main() {
    const GraphStore store = build_store();

    const double write = best_seconds([&] { return take(artifact::to_json(store)); });
    const std::string text = take(artifact::to_json(store));
    const double mb = static_cast<double>(text.size()) / 1e6;
    const double read = best_seconds([&] { return take(artifact::from_json(text)); });

    // The heap while reading, counted from a start with nothing counted live:
    // what is live afterwards is the store.
    g_live.store(0);
    g_peak.store(0);
    g_counting.store(true);
    size_t peak = 0;
    size_t after = 0;
    {
        const GraphStore back = take(artifact::from_json(text));
        after = g_live.load();
        peak = g_peak.load();
        g_counting.store(false);
        if (back.node_count() != kNodes) std::exit(1);
    }

    const std::string artifact_path = temp_path(".json");
    const std::string script_path = temp_path(".py");
    std::ofstream(artifact_path, std::ios::binary) << text;
    std::ofstream(script_path) << kPythonBaseline;
    double loads = 0;
    double dumps = 0;
    int same_text = 0;
    const std::string command = "python3 " + script_path + " " + artifact_path;
    if (FILE* python = popen(command.c_str(), "r")) {
        if (std::fscanf(python, "%lf %lf %d", &loads, &dumps, &same_text) != 3) loads = dumps = 0;
        pclose(python);
    }
    std::remove(artifact_path.c_str());
    std::remove(script_path.c_str());

    std::printf("artifact: %zu nodes, %zu constants of %zu bytes, text %.1f MB, best of %d\n", kNodes, kConstants,
                kConstantBytes, mb, kRounds);
    std::printf("write (to_json): %.0f MB/s\n", mb / write);
    std::printf("read (from_json: parse, build, digests, validation): %.0f MB/s\n", mb / read);
    if (loads <= 0 || dumps <= 0) {
        std::printf("python3 json baseline unavailable\n");
        return 1;
    }
    std::printf("python3 json.dumps (compact, same structure%s): %.0f MB/s\n", same_text ? ", identical text" : "",
                dumps);
    std::printf("python3 json.loads (same text): %.0f MB/s\n", loads);
    std::printf("write ratio against json.dumps: %.2f (target at least 4)\n", mb / write / dumps);
    std::printf("read ratio against json.loads: %.2f (target at least 3)\n", mb / read / loads);
    std::printf("read heap: store %.1f MB, peak beyond text and store %.2f MB (%.2f%% of the text)\n",
                static_cast<double>(after) / 1e6, static_cast<double>(peak - after) / 1e6,
                100.0 * static_cast<double>(peak - after) / static_cast<double>(text.size()));
    return 0;
}
