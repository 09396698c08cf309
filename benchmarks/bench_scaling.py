"""Per-node cost of the staged paths as graphs grow: for each path (append,
finish, write, read, execute) and each size, the time per node as a ratio to
the time per node at the smallest size, all sizes measured in the same run,
interleaved and repeated (min and median of time.process_time). A flat path
stays within 1.15 at every size.

The graph is a chain of binary operations with three scalar attributes,
every sixteenth node a unary one, so that the optimizer keeps every node and
execution evaluates them all.

Two paths are baselines, not targets: what a large result costs whoever
makes it. A large result lies in pages the process has never touched, which
the kernel maps one by one on first touch. fill makes and fills a bytes
object of the text's length, the memory write must fill. objects builds in
Python the objects finish returns per node (its snapshot entry with a
two-parent list, and its int in the node map) with the collector off, as
it is while finish runs, so that it pays for fresh pages. The floor of
write or finish at a size is its cost per node at the smallest size plus
what its baseline's cost per node gains from there."""

import gc
import statistics
import time

import numpy as np

import vorlix._native_core as core

SIZES = (10_000, 100_000, 1_000_000)
REPEATS = 3
SHAPE = [2]
PATHS = ("append", "finish", "objects", "write", "fill", "read", "execute")
BASELINES = {"write": "fill", "finish": "objects"}


class SlotValue:
    __slots__ = ("shape", "dtype")

    def __init__(self, shape, dtype):
        self.shape = shape
        self.dtype = dtype


def append_nodes(nodes):
    """A builder holding `nodes` nodes."""
    builder = core.GraphBuilder()
    append = builder.append_node
    x = builder.append_input_node(SHAPE, "float64", name="x")
    last = x
    attrs = {"axis": 1, "alpha": 0.5, "mode": "fast"}
    for i in range(1, nodes):
        if i % 16 == 15:
            last = append("array.exp", [last], {}, SHAPE, "float64")
        else:
            last = append("array.add", [last, x], attrs, SHAPE, "float64")
    builder.append_output(last)
    return builder


class Workload:
    """One size's graph at every stage, so that each path is timed on its own."""

    def __init__(self, nodes):
        self.nodes = nodes
        self.store = append_nodes(nodes).finish()[0]
        self.text = self.store._to_json()
        self.text_bytes = len(self.text)
        value = SlotValue(tuple(SHAPE), np.dtype("float64"))
        self.input = value
        self.plan = core.build_graph_execution_plan(self.store, lambda op, attrs: lambda *args: value)

    def run(self, path):
        if path == "append":
            return append_nodes(self.nodes)
        if path == "finish":
            builder = append_nodes(self.nodes)
            return timed(builder.finish)
        if path == "write":
            return self.store._to_json()
        if path == "fill":
            return b" " * self.text_bytes
        if path == "objects":
            # One int per node, shared by its entry, its children's parent
            # lists and the node map, as finish shares them. The collector
            # stays off, as it does while finish runs: it only runs between
            # bytecodes.
            gc.disable()
            try:
                ids = list(range(self.nodes))
                return [(ids[i], "array.add", [ids[i - 1], ids[0]], None) for i in range(self.nodes)], ids
            finally:
                gc.enable()
        if path == "read":
            return core.deserialize_graph_json(self.text)
        return core.execute_graph(self.plan, [self.input], [])


def timed(fn):
    gc.collect()
    start = time.process_time()
    result = fn()
    elapsed = time.process_time() - start
    return elapsed, result


def measure(workload, path):
    """Seconds of one run of `path`; finish times only the call itself."""
    elapsed, result = timed(lambda: workload.run(path))
    if path == "finish":
        elapsed = result[0]
    del result
    return elapsed


def main():
    workloads = [Workload(n) for n in SIZES]
    times = {(path, w.nodes): [] for path in PATHS for w in workloads}
    for _ in range(REPEATS):
        for path in PATHS:
            for w in workloads:
                times[path, w.nodes].append(measure(w, path) / w.nodes)
    base = SIZES[0]
    for path in PATHS:
        for n in SIZES[1:]:
            ours, ref = times[path, n], times[path, base]
            target = "baseline" if path in BASELINES.values() else "target <= 1.15"
            print(f"{path} per-node cost, {n:,} / {base:,} nodes: min {min(ours) / min(ref):.2f}, median "
                  f"{statistics.median(ours) / statistics.median(ref):.2f} ({target}; "
                  f"{min(ours) * 1e9:.0f} vs {min(ref) * 1e9:.0f} ns per node)")
    for path, baseline in BASELINES.items():
        for n in SIZES[1:]:
            # As cheap per node as at the smallest size, plus what the size
            # adds to the baseline.
            floors = [(f(times[path, base]) + f(times[baseline, n]) - f(times[baseline, base])) / f(times[path, base])
                      for f in (min, statistics.median)]
            print(f"{path}'s floor from its baseline ({baseline}), {n:,} / {base:,} nodes: min {floors[0]:.2f}, "
                  f"median {floors[1]:.2f}")

if __name__ == "__main__":
    main()
