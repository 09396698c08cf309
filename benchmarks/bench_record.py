"""Cost of DynamicTape.record_operation against a no-op Python function with
the same signature called with the same arguments (both interleaved in one
process, repeated, minimum and median of `time.process_time`), and the
native bytes a recorded node holds, measured in a fresh process.

`--memory plain|rich` records 1M nodes in this process and prints the bytes
per node and the peak RSS; `--only core|noop REPEATS` runs one side alone
(for instruction counts under callgrind)."""

import gc
import os
import resource
import statistics
import subprocess
import sys
import time

from vorlix._native_core import DynamicTape

CALLS = 200_000
NODES = 1_000_000
REPEATS = 7


def noop(op, inputs, value, attrs, shape, dtype, *, input_positions=None, literals=(), weak=False,
         schema_version=1, name=None, source_location=None):
    pass


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


def memory(kind):
    """Records NODES nodes; every Python object they hold is shared, so the
    growth of the resident set is the tape's own."""
    parents = [0, 1]
    positions = [0, 2]
    literals = (2.5,)
    shape = (3, 4)
    value = object()
    gc.collect()
    tape = fresh_tape()
    before = rss_bytes()
    record = tape.record_operation
    if kind == "plain":
        for _ in range(NODES):
            record("mul", parents, value, None, shape, "float32")
    else:
        for _ in range(NODES):
            record("mul", parents, value, None, shape, "float32", input_positions=positions, literals=literals,
                   source_location="model.py:12")
    after = rss_bytes()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(f"{(after - before) / NODES:.1f} {peak}")


def in_fresh_process(kind):
    out = subprocess.run([sys.executable, __file__, "--memory", kind], check=True, capture_output=True,
                         text=True).stdout.split()
    return float(out[0]), int(out[1])


def interleaved(core, floor):
    """Times `run` of each side; a side's `prepare`, when it has one, runs
    before the clock starts."""
    core_times, floor_times = [], []
    for _ in range(REPEATS):
        for fn, times in ((core, core_times), (floor, floor_times)):
            getattr(fn, "prepare", lambda: None)()
            gc.collect()
            start = time.process_time()
            fn()
            times.append(time.process_time() - start)
    return core_times, floor_times


def tape_run():
    """Each run records into a fresh tape, made (and the previous one
    dropped) by `prepare`, outside the timed region: dropping a tape is not
    recording."""
    tapes = []

    def prepare():
        tapes.clear()
        tapes.append(fresh_tape())

    def run():
        record_loop(tapes[0].record_operation)()

    run.prepare = prepare
    return run


def main():
    gc.disable()
    recorded, baseline = interleaved(tape_run(), record_loop(noop))
    gc.enable()
    print(f"record_operation ns per call: {min(recorded) / CALLS * 1e9:.1f}")
    print(f"no-op call ns per call: {min(baseline) / CALLS * 1e9:.1f}")
    lo = min(recorded) / min(baseline)
    mid = statistics.median(recorded) / statistics.median(baseline)
    print(f"record_operation / no-op call: {lo:.2f} (min), {mid:.2f} (median) (target <= 1.10)")
    plain, peak = in_fresh_process("plain")
    rich, _ = in_fresh_process("rich")
    print(f"native bytes per plain recorded node (1M nodes, fresh process): {plain:.1f} (target <= 80)")
    print(f"native bytes per node with positions, a literal and a source location: {rich:.1f} (target <= 110)")
    print(f"peak RSS recording 1M plain nodes (fresh process): {peak / 2**20:.1f} MiB (target < 100)")


def only(side, repeats):
    """Runs one side `repeats` times for instruction counts. Every tape is
    kept until the process leaves without finalization, so that the counts
    hold recording alone, as the timed runs do."""
    gc.disable()
    kept = []
    for _ in range(repeats):
        if side == "core":
            kept.append(fresh_tape())
            record_loop(kept[-1].record_operation)()
        else:
            record_loop(noop)()
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--memory":
        memory(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "--only":
        only(sys.argv[2], int(sys.argv[3]))
    else:
        main()
