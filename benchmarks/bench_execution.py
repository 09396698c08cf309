"""Staged execution: per-node cost of execute_graph against a Python driver
doing the same work in the same run; linearity of build_graph_execution_plan;
peak live intermediates and buffer reuse through donation on a chain of 1 MB
arrays; and the references the core holds to a donated operand."""

import gc
import statistics
import sys
import time
import tracemalloc
import weakref

import numpy as np

import vorlix._native_core as core

REPEATS = 25
LINK_REPEATS = 11
CHAIN = 100_000
LINK_SIZES = (250_000, 1_000_000)
BIG_CHAIN = 10_000
BIG = 1 << 20  # bytes per value
SMALL_SHAPE = (2,)


def chain_store(n, shape, dtype="float64"):
    b = core.GraphBuilder(required_array_api_version="2024.12")
    prev = b.append_input_node(list(shape), dtype)
    for _ in range(n):
        prev = b.append_node("bench.step", [prev], {}, list(shape), dtype)
    b.append_output(prev)
    return b.finish()[0]


def interleaved(sides, repeats=REPEATS):
    """Times every side once per round, alternating; returns the process times per side."""
    times = {name: [] for name in sides}
    for _ in range(repeats):
        for name, fn in sides.items():
            gc.collect()
            start = time.process_time()
            fn()
            times[name].append(time.process_time() - start)
    return times


def ratio_lines(label, times, numerator, denominator, per=None):
    num, den = times[numerator], times[denominator]
    print(f"{label}: min ratio {min(num) / min(den):.3f}, median ratio {statistics.median(num) / statistics.median(den):.3f}")
    if per:
        for name in (numerator, denominator):
            print(f"{label}: {name} {min(times[name]) / per * 1e9:.0f} ns per node (min), "
                  f"{statistics.median(times[name]) / per * 1e9:.0f} ns (median)")


class SlotValue:
    """A value with nothing but the two attributes the core reads."""

    __slots__ = ("shape", "dtype")

    def __init__(self, shape, dtype):
        self.shape = shape
        self.dtype = dtype


def chain_sides(make_value, input_value):
    """execute_graph and a Python driver doing its per-node work (a fresh operand tuple, the evaluator call,
    shape and dtype read and compared, release of the operand) on a chain whose evaluators all return
    the one value `make_value(shape, dtype)` makes."""
    store = chain_store(CHAIN, SMALL_SHAPE)
    declared_shape = tuple(store.get_node(1).shape)
    declared_dtype = np.dtype(store.get_node(1).dtype)
    value = make_value(declared_shape, declared_dtype)

    def evaluator(operands, context, donated):
        return value

    plan = core.build_graph_execution_plan(store, lambda op, attrs: evaluator)
    parents = [store.get_node(i).inputs[0] for i in range(1, CHAIN + 1)]
    evaluators = [evaluator] * CHAIN

    def python_driver():
        values = [None] * (CHAIN + 1)
        values[0] = input_value
        for i in range(CHAIN):
            p = parents[i]
            result = evaluators[i]((values[p],), None, None)
            if result.shape != declared_shape or result.dtype != declared_dtype:
                raise ValueError("mismatch")
            values[i + 1] = result
            values[p] = None
        return [values[CHAIN]]

    def native():
        return core.execute_graph(plan, [input_value], [])

    assert native()[0] is python_driver()[0] is value
    return {"execute_graph": native, "python loop": python_driver}


def numpy_sides():
    return chain_sides(lambda shape, dtype: np.zeros(shape, dtype), np.ones(SMALL_SHAPE))


def slot_sides():
    """Trivial evaluators returning a preallocated value with __slots__ shape and dtype."""
    value = SlotValue(SMALL_SHAPE, np.dtype("float64"))
    return chain_sides(lambda shape, dtype: SlotValue(shape, dtype), value)


def bench_per_node():
    for label, sides in (("NumPy values", numpy_sides), ("__slots__ values", slot_sides)):
        times = interleaved(sides())
        ratio_lines(f"execute_graph vs python driver, {label}, {CHAIN}-node chain", times, "execute_graph",
                    "python loop", per=CHAIN)


def bench_link_linearity():
    def evaluator(operands, context, donated):
        return operands[0]

    evaluator.__vorlix_owned_output__ = True
    evaluator.__vorlix_donation_positions__ = [0]
    stores = {n: chain_store(n, SMALL_SHAPE) for n in LINK_SIZES}
    small, large = LINK_SIZES
    times = interleaved({n: (lambda s=stores[n]: core.build_graph_execution_plan(s, lambda op, attrs: evaluator))
                         for n in LINK_SIZES}, LINK_REPEATS)
    ratio_lines(f"build_graph_execution_plan {large} vs {small} nodes (node ratio {large / small:.0f})", times,
                large, small)
    print(f"build_graph_execution_plan: {min(times[large]) / large * 1e9:.0f} ns per node (min, {large} nodes)")


def bench_peak_live():
    elements = BIG // 8
    store = chain_store(BIG_CHAIN, (elements,))
    live = set()
    peak = [0]

    def fresh(operands, context, donated):
        out = operands[0] + 1.0
        live.add(id(out))
        weakref.finalize(out, live.discard, id(out))
        peak[0] = max(peak[0], len(live))
        return out

    plan = core.build_graph_execution_plan(store, lambda op, attrs: fresh)
    x = np.zeros(elements)
    tracemalloc.start()
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    out = core.execute_graph(plan, [x], [])
    peak_bytes = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    assert out[0][0] == BIG_CHAIN
    print(f"peak live intermediates, {BIG_CHAIN}-node chain of 1 MB arrays (weak references): {peak[0]}")
    print(f"peak traced memory above the input, same chain: {peak_bytes / BIG:.2f} MB")
    del out

    buffers = []

    def in_place(operands, context, donated):
        if donated == 0:
            out = operands[0]
            out += 1.0
        else:
            out = operands[0] + 1.0
        buffers.append(out.__array_interface__["data"][0])
        return out

    in_place.__vorlix_owned_output__ = True
    in_place.__vorlix_donation_positions__ = [0]
    plan = core.build_graph_execution_plan(store, lambda op, attrs: in_place)
    tracemalloc.start()
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    out = core.execute_graph(plan, [x], [])
    peak_bytes = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    assert out[0][0] == BIG_CHAIN and x[0] == 0
    first = buffers[0]
    print(f"donating chain: buffers other than the first operation's output: {sum(b != first for b in buffers)}"
          f" of {len(buffers)} evaluations; input untouched: {x[0] == 0}")
    print(f"peak traced memory above the input, donating chain: {peak_bytes / BIG:.2f} MB")


def bench_donated_refcount():
    store = chain_store(1000, SMALL_SHAPE)
    counts = {}

    def evaluator(operands, context, donated):
        counts.setdefault(donated, set()).add(sys.getrefcount(operands[0]))
        return np.zeros(SMALL_SHAPE)

    evaluator.__vorlix_owned_output__ = True
    evaluator.__vorlix_donation_positions__ = [0]
    core.execute_graph(core.build_graph_execution_plan(store, lambda op, attrs: evaluator), [np.ones(2)], [])
    print(f"sys.getrefcount of the donated operand inside the evaluator: {sorted(counts[0])} "
          f"(the operand tuple and getrefcount's argument); of the undonated input: {sorted(counts[None])}")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--only":
        # One side of the __slots__ comparison, run a given number of times
        # (benchmarks/callgrind.sh).
        side = slot_sides()[sys.argv[2]]
        for _ in range(int(sys.argv[3])):
            side()
        sys.exit(0)
    bench_per_node()
    bench_link_linearity()
    bench_peak_live()
    bench_donated_refcount()
