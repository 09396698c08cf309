"""Cost of DynamicTape.record_operation against a no-op Python call with the
same arguments, and the native bytes a recorded node holds."""

import gc
import os
import time

from vorlix._native_core import DynamicTape

CALLS = 200_000
NODES = 1_000_000


def noop(op, inputs, value, attrs, shape, dtype, *, input_positions=None, literals=(), weak=False,
         schema_version=1, name=None, source_location=None):
    pass


def best_of(repeats, fn):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def record_loop(target):
    parents = [0, 1]
    positions = [0, 2]
    literals = (2.5,)
    shape = (3, 4)
    value = object()
    attrs = {"axis": 1}

    def run():
        f = target
        for _ in range(CALLS):
            f("mul", parents, value, attrs, shape, "float32", input_positions=positions, literals=literals,
              source_location="model.py:12")

    return run


def fresh_tape():
    tape = DynamicTape()
    tape.record_input(1.0, (3, 4), "float32")
    tape.record_input(2.0, (3, 4), "float32")
    return tape


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def bytes_per_node():
    parents = [0, 1]
    shape = (3, 4)
    value = object()
    gc.collect()
    tape = fresh_tape()
    before = rss_bytes()
    record = tape.record_operation
    for _ in range(NODES):
        record("mul", parents, value, None, shape, "float32")
    after = rss_bytes()
    return (after - before) / NODES


def main():
    gc.disable()
    tapes = []

    def tape_run():
        tape = fresh_tape()
        tapes.append(tape)
        record_loop(tape.record_operation)()

    baseline = best_of(5, record_loop(noop))
    recorded = best_of(5, tape_run)
    tapes.clear()
    gc.enable()
    print(f"record_operation ns per call: {recorded / CALLS * 1e9:.1f}")
    print(f"no-op call ns per call: {baseline / CALLS * 1e9:.1f}")
    print(f"record_operation / no-op call ratio: {recorded / baseline:.2f} (target <= 1.5)")
    print(f"native bytes per recorded node (1M nodes): {bytes_per_node():.1f} (target <= 200)")


if __name__ == "__main__":
    main()
