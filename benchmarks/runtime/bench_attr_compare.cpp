// Equality and hashing of a typical attribute map: time per call and heap allocations per call.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "runtime/attr.h"
#include "tests/runtime/allocation_counter.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace vorlix;

AttrMap typical_attrs() {
    AttrMap m;
    AttrList axes;
    for (const int64_t a : {0, 2, 1}) axes.push_back(AttrValue::from_integer(a));
    m.emplace("axes", AttrValue::from_tuple(std::move(axes)));
    m.emplace("keepdims", AttrValue::from_bool(true));
    m.emplace("scale", AttrValue::from_float(0.125));
    m.emplace("mode", AttrValue::from_string("constant"));
    m.emplace("_vorlix_backend", AttrValue::from_string("numpy"));
    return m;
}

template <class F>
void measure(const char* label, F&& op) {
    constexpr int kCalls = 1'000'000;
    uint64_t sink = 0;
    const size_t before = testing::allocation_count();
    const auto start = Clock::now();
    for (int i = 0; i < kCalls; ++i) sink += op();
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kCalls;
    const size_t allocations = testing::allocation_count() - before;
    std::printf("%s: %.1f ns/call, %.3f allocations/call (%zu in %d calls) [%llu]\n", label, ns,
                static_cast<double>(allocations) / kCalls, allocations, kCalls,
                static_cast<unsigned long long>(sink & 1));
}

}  // namespace

int main() {
    const AttrMap a = typical_attrs();
    const AttrMap b = typical_attrs();
    const AttrValue va = AttrValue::from_map(typical_attrs());
    const AttrValue vb = AttrValue::from_map(typical_attrs());
    measure("attribute map equality (5 entries)", [&] { return static_cast<uint64_t>(a == b); });
    measure("attribute map value equality (5 entries)", [&] { return static_cast<uint64_t>(va == vb); });
    measure("attribute map hash (5 entries)", [&] {
        Hasher h;
        attr::hash_map_into(h, a);
        return h.finish();
    });
    measure("attribute map value hash (5 entries)", [&] { return va.hash(); });
    measure("attribute map value copy (5 entries), for scale", [&] {
        const AttrValue copy = va;
        return static_cast<uint64_t>(copy.container_size());
    });
    return 0;
}
