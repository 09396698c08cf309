"""Staged graphs from Python, each figure a ratio against a baseline measured in
the same run, both sides interleaved and repeated (min and median of
time.process_time):

- GraphBuilder.append_node (two parents, three scalar attributes, a cached
  dtype) against a no-op Python function called with the same arguments;
- GraphBuilder.finish() on 100,000 nodes against the runtime's own build,
  validation and optimisation of the same graph (the staged_finish_baseline
  program, built by scripts/bench.sh);
- GraphStore._to_json() and deserialize_graph_json() on an artifact of at
  least 50 MB against json.dumps and json.loads on the same text, and the
  reader's peak memory beyond the text and the resulting store."""

import gc
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import vorlix._native_core as core

ROOT = Path(__file__).resolve().parent.parent
FINISH_PROGRAM = ROOT / "build" / "bench" / "staged_finish_baseline"
APPEND_CALLS = 100_000
FINISH_NODES = 100_000
REPEATS = 5


def noop(op, inputs, attrs, shape, dtype, *, schema_version=1, name=None, num_outputs=1, output_shapes=None,
         output_dtypes=None, source_location=None):
    pass


def summary(label, ours, base, target):
    print(f"{label}: min {min(ours) / min(base):.2f}, median {statistics.median(ours) / statistics.median(base):.2f}"
          f" ({target})")


def timed(fn):
    start = time.process_time()
    fn()
    return time.process_time() - start


def append_node_figures():
    dtype = np.dtype("float32")
    attrs = {"axis": 1, "alpha": 0.5, "mode": "fast"}
    shape = [64, 64]

    def loop(target, parents):
        def run():
            f = target
            for _ in range(APPEND_CALLS):
                f("array.add", parents, attrs, shape, dtype)

        return run

    ours, base = [], []
    for _ in range(REPEATS):
        builder = core.GraphBuilder()
        x = builder.append_input_node(shape, dtype)
        y = builder.append_input_node(shape, dtype)
        base.append(timed(loop(noop, [x, y])))
        ours.append(timed(loop(builder.append_node, [x, y])))
        del builder
    print(f"append_node ns per call: min {min(ours) / APPEND_CALLS * 1e9:.0f}")
    print(f"no-op call ns per call: min {min(base) / APPEND_CALLS * 1e9:.0f}")
    summary("append_node / no-op call ratio", ours, base, "target <= 1.5")


def finish_graph(nodes):
    """The graph staged_finish_baseline builds natively."""
    builder = core.GraphBuilder()
    shape = [64, 64]
    x = builder.append_input_node(shape, "float32", name="x")
    last = x
    count = 1
    append = builder.append_node
    while count < nodes:
        if count % 16 == 15:
            append("array.exp", [x], {}, shape, "float32")
        else:
            last = append("array.add", [last, x], {"axis": 1, "alpha": 0.5, "mode": "fast"}, shape, "float32")
        count += 1
    builder.append_output(last)
    return builder


def finish_figures():
    if not FINISH_PROGRAM.exists():
        print(f"finish figures skipped: {FINISH_PROGRAM.relative_to(ROOT)} is not built (run scripts/bench.sh)")
        return
    ours, base, appends = [], [], []
    for _ in range(REPEATS):
        out = subprocess.run([str(FINISH_PROGRAM), str(FINISH_NODES)], check=True, capture_output=True, text=True)
        native_ns, native_kept, append_ns, allocations, heap_bytes = out.stdout.split()
        base.append(float(native_ns) / 1e9)
        appends.append(float(append_ns) / FINISH_NODES)
        builder = finish_graph(FINISH_NODES)
        gc.collect()
        result = []
        ours.append(timed(lambda: result.append(builder.finish())))
        assert result[0][0].node_count == int(native_kept)
        del builder, result
    print(f"finish() on {FINISH_NODES} nodes ms: min {min(ours) * 1e3:.1f}")
    print(f"runtime build+validate+optimize ms: min {min(base) * 1e3:.1f}")
    summary("finish() / runtime build+validate+optimize ratio", ours, base, "target <= 1.2")
    # For scale: what the runtime alone spends appending one node of this graph.
    print(f"runtime append ns per node (native, no Python): min {min(appends):.0f} (target <= 150)")
    print(f"runtime append allocations per node: {float(allocations):.3f} (target <= 2); "
          f"heap bytes per node: {float(heap_bytes):.1f}")


def big_store():
    """Nodes with attributes and a share of constant payloads: about 55 MB of artifact."""
    builder = core.GraphBuilder()
    shape = [64, 64]
    x = builder.append_input_node(shape, "float32", name="x")
    last = x
    rng = np.random.default_rng(0)
    for i in range(120_000):
        last = builder.append_node("array.add", [last, x], {"axis": i, "alpha": 0.5, "mode": "fast",
                                                            "axes": [0, 1]}, shape, "float32")
    for _ in range(100):
        c, _ = builder.append_constant(rng.standard_normal(16384, dtype="<f4").tobytes(), [128, 128], "float32",
                                       kind="array")
        last = builder.append_node("array.add", [last, c], {}, shape, "float32")
    builder.append_output(last)
    return builder.finish()[0]


def json_figures():
    store = big_store()
    text = store._to_json()
    print(f"artifact size MB: {len(text) / 1e6:.1f}")
    parsed = json.loads(text)
    try:
        import orjson  # installed by scripts/bench.sh
    except ImportError:
        orjson = None
    write, dumps, read, loads, orjson_dumps, orjson_loads = [], [], [], [], [], []
    for _ in range(REPEATS):
        dumps.append(timed(lambda: json.dumps(parsed, separators=(",", ":"))))
        write.append(timed(store._to_json))
        loads.append(timed(lambda: json.loads(text)))
        read.append(timed(lambda: core.deserialize_graph_json(text)))
        if orjson is not None:
            orjson_dumps.append(timed(lambda: orjson.dumps(parsed)))
            orjson_loads.append(timed(lambda: orjson.loads(text)))
    summary("_to_json speed-up over json.dumps", dumps, write, "target >= 5")
    summary("deserialize_graph_json speed-up over json.loads", loads, read, "target >= 8")
    if orjson is None:
        print("orjson figures skipped: orjson is not installed (scripts/bench.sh installs it)")
        return
    summary("_to_json speed-up over orjson.dumps", orjson_dumps, write, "target >= 1")
    summary("deserialize_graph_json speed-up over orjson.loads", orjson_loads, read, "target >= 3")


PEAK_CHILD = """
import ctypes, gc, sys
sys.path.insert(0, {bench_dir!r})
import bench_staged
import vorlix._native_core as core

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024

text = bench_staged.big_store()._to_json()
gc.collect()
ctypes.CDLL("libc.so.6").malloc_trim(0)
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
store = core.deserialize_graph_json(text)
peak = status("VmHWM")
after = status("VmRSS")
print(peak - after, after - before)
"""


def peak_memory_figure():
    code = PEAK_CHILD.format(bench_dir=str(Path(__file__).resolve().parent))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if out.returncode != 0:
        print(f"reader peak memory skipped: {out.stderr.strip().splitlines()[-1:]}")
        return
    extra, store_bytes = (int(v) for v in out.stdout.split())
    print(f"reader store MB: {store_bytes / 1e6:.1f}")
    print(f"reader peak beyond text and store MB: {max(extra, 0) / 1e6:.2f} (target < 1)")


def main():
    gc.disable()
    append_node_figures()
    gc.enable()
    finish_figures()
    json_figures()
    peak_memory_figure()


if __name__ == "__main__":
    main()
