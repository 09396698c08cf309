"""Per-node cost of the tape walks against a same-run floor: a Python loop
that builds the same argument tuples and calls the same rule (and, for the
reverse walk on the wide tape, does the cotangent addition the walk must do).
Also the per-lane cost of 16 lanes, a reference walk in pure Python, and the
number of retained values during a consuming reverse walk.

Beside each walk runs a bare C loop doing only the irreducible work against
the same floor (irreducible_walks.cpp, built into build/bench by
scripts/bench.sh): fresh argument tuples, one vectorcall of the rule and the
results stored in a flat array. It is the bound below which no core that
calls its rules from C with fresh tuples can go. It also runs 16 lanes, so
that the per-lane figure of the core stands beside the per-lane figure of
the irreducible work: a tangent tuple and a call per lane.

Each figure is a ratio against its floor, both sides interleaved in one
process and repeated; the minimum and the median of `time.process_time` are
reported. `--only WORKLOAD SIDE REPEATS` runs one side alone (for instruction
counts under callgrind, taken as the difference of two repeat counts)."""

import gc
import pathlib
import statistics
import sys
import time

from vorlix._native_core import DynamicTape, dynamic_jvp, dynamic_jvp_many, dynamic_vjp

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "build" / "bench"))
try:
    import irreducible_walks
except ImportError:
    irreducible_walks = None

NODES = 100_000
REPEATS = 7
ONE = 1.0
SPEC = ((), "float64")
CHAIN_SPECS = (SPEC,)
WIDE_SPECS = (SPEC, None, SPEC)


def jvp_rule(out, primals, tangents, attrs, src, residual):
    return ONE


CHAIN_CONTRIBUTIONS = [ONE]
WIDE_CONTRIBUTIONS = [ONE, None, ONE]


def chain_vjp(out, primals, ct, attrs, active, residual, specs, src):
    return CHAIN_CONTRIBUTIONS


def wide_vjp(out, primals, ct, attrs, active, residual, specs, src):
    return WIDE_CONTRIBUTIONS


def build(shape_name):
    """The tape and a plain description of it: (parents, positions, literals)
    per operation node, for the floors and the reference walk."""
    tape = DynamicTape()
    x = tape.record_input(ONE, (), "float64")
    nodes = []
    if shape_name == "chain":
        prev = x
        for _ in range(NODES):
            prev = tape.record_operation("f", [prev], ONE, None, (), "float64")
            nodes.append(((prev - 1,), (0,), ()))
        vjp = chain_vjp
    else:
        y = tape.record_input(ONE, (), "float64")
        a, b = x, y
        for _ in range(NODES):
            c = tape.record_operation("f", [a, b], ONE, None, (), "float64", input_positions=[0, 2],
                                      literals=(2.0,))
            nodes.append(((a, b), (0, 2), (2.0,)))
            a, b = b, c
        vjp = wide_vjp
    last = tape.node_count - 1
    tape.mark_output(last)
    tape.freeze([None, jvp_rule], [None, vjp], [None, (False, True, False)])
    return tape, nodes, vjp, last


# The floors: per node, the argument tuples the walk builds (values read from
# a list by parent ID, as the walk reads them from the tape) and the rule call.

def jvp_floor_chain(nodes):
    values = [ONE] * (NODES + 1)
    tangents = [ONE] * (NODES + 1)

    def run():
        rule = jvp_rule
        for (p,), _, _ in nodes:
            rule(ONE, (values[p],), (tangents[p],), None, None, None)
    return run


def jvp_floor_wide(nodes):
    values = [ONE] * (NODES + 2)
    tangents = [ONE] * (NODES + 2)

    def run():
        rule = jvp_rule
        for (a, b), _, (lit,) in nodes:
            rule(ONE, (values[a], lit, values[b]), (tangents[a], None, tangents[b]), None, None, None)
    return run


def vjp_floor_chain(nodes):
    values = [ONE] * (NODES + 1)

    def run():
        rule = chain_vjp
        for (p,), positions, _ in nodes:
            rule(None, (values[p],), ONE, None, positions, None, CHAIN_SPECS, None)
    return run


def vjp_floor_wide(nodes):
    """Includes the one cotangent addition per node the walk must do: every
    node but the ends receives two contributions."""
    values = [ONE] * (NODES + 2)

    def run():
        rule = wide_vjp
        acc = ONE
        for (a, b), positions, (lit,) in nodes:
            r = rule(None, (values[a], lit, values[b]), ONE, None, positions, None, WIDE_SPECS, None)
            acc = r[0] + r[2]
    return run


def operands(parents, positions, literals, values):
    slots = [None] * (len(parents) + len(literals))
    for p, pos in zip(parents, positions):
        slots[pos] = values[p]
    it = iter(literals)
    for k, s in enumerate(slots):
        if s is None and k not in positions:
            slots[k] = next(it)
    return tuple(slots)


def reference_jvp(nodes, input_count):
    """Forward walk in Python with the same semantics: seeds, interleaving,
    skipping nodes without tangents."""
    def run():
        values = [ONE] * (len(nodes) + input_count)
        tangents = [None] * len(values)
        tangents[0] = ONE
        for k, (parents, positions, literals) in enumerate(nodes):
            i = k + input_count
            if all(tangents[p] is None for p in parents):
                continue
            primals = operands(parents, positions, literals, values)
            lane = [None] * len(primals)
            for p, pos in zip(parents, positions):
                lane[pos] = tangents[p]
            out = jvp_rule(values[i], primals, tuple(lane), None, None, None)
            if out is not None:
                tangents[i] = out
        return tangents[-1]
    return run


def reference_vjp(nodes, input_count, rule):
    """Reverse walk in Python with the same semantics: seeds, interleaving,
    accumulation and release of each value after its last use."""
    def run():
        values = [ONE] * (len(nodes) + input_count)
        uses = [0] * len(values)
        for parents, _, _ in nodes:
            for p in parents:
                uses[p] += 1
        cot = [None] * len(values)
        cot[-1] = ONE
        for k in range(len(nodes) - 1, -1, -1):
            i = k + input_count
            parents, positions, literals = nodes[k]
            c, cot[i] = cot[i], None
            if c is not None:
                primals = operands(parents, positions, literals, values)
                specs = tuple(SPEC if pos in positions else None for pos in range(len(primals)))
                contributions = rule(None, primals, c, None, positions, None, specs, None)
                for p, pos in zip(parents, positions):
                    v = contributions[pos]
                    if v is not None:
                        cot[p] = v if cot[p] is None else cot[p] + v
            for p in parents:
                uses[p] -= 1
                if uses[p] == 0:
                    values[p] = None
        return cot[0]
    return run


def workloads(shape_name):
    """Name -> (core run, floor run) for one tape shape."""
    tape, nodes, vjp, last = build(shape_name)
    inputs = 1 if shape_name == "chain" else 2
    jvp_floor = jvp_floor_chain if shape_name == "chain" else jvp_floor_wide
    vjp_floor = vjp_floor_chain if shape_name == "chain" else vjp_floor_wide

    def jvp():
        dynamic_jvp(tape, [(0, ONE)], [last])

    def rev():
        dynamic_vjp(tape, [(last, ONE)], [0])

    def lanes16():
        dynamic_jvp_many(tape, [[(0, ONE)]] * 16, [last])

    wide = shape_name == "wide"
    positions = (0, 2) if wide else (0,)
    specs = WIDE_SPECS if wide else CHAIN_SPECS

    def bare(kind, rule, lanes=1):
        if irreducible_walks is None:
            return None
        return lambda: irreducible_walks.walk(kind + wide, rule, NODES, ONE, 2.0, positions, specs, lanes)

    return {
        f"{shape_name} JVP": (jvp, jvp_floor(nodes), bare(0, jvp_rule)),
        f"{shape_name} VJP": (rev, vjp_floor(nodes), bare(2, vjp)),
        f"{shape_name} 16-lane JVP": (lanes16, jvp),
        f"{shape_name} bare 16-lane JVP": (bare(0, jvp_rule, 16), bare(0, jvp_rule)),
        f"{shape_name} reference Python JVP": (reference_jvp(nodes, inputs), jvp),
        f"{shape_name} reference Python VJP": (reference_vjp(nodes, inputs, vjp), rev),
    }


def interleaved(*sides):
    """Per-run process times of each side, taking turns."""
    all_times = [[] for _ in sides]
    for _ in range(REPEATS):
        for fn, times in zip(sides, all_times):
            gc.collect()
            start = time.process_time()
            fn()
            times.append(time.process_time() - start)
    return all_times


def ratio_line(label, core_times, floor_times, scale=1.0, target=""):
    lo = min(core_times) / min(floor_times) * scale
    mid = statistics.median(core_times) / statistics.median(floor_times) * scale
    print(f"{label}: {lo:.2f} (min), {mid:.2f} (median){target}")


def main():
    gc.disable()
    for shape_name in ("chain", "wide"):
        w = workloads(shape_name)
        for direction in ("JVP", "VJP"):
            core_fn, floor_fn, bare_fn = w[f"{shape_name} {direction}"]
            if bare_fn is None:
                core, floor = interleaved(core_fn, floor_fn)
            else:
                core, floor, bare = interleaved(core_fn, floor_fn, bare_fn)
            print(f"{shape_name} {direction}: core ns per node: {min(core) / NODES * 1e9:.1f}, "
                  f"floor ns per node: {min(floor) / NODES * 1e9:.1f}")
            ratio_line(f"{shape_name} {direction}: core / floor", core, floor, target=" (target <= 0.9)")
            if bare_fn is None:
                print(f"{shape_name} {direction}: bare C loop / floor: not built (run scripts/bench.sh)")
            else:
                ratio_line(f"{shape_name} {direction}: bare C loop / floor", bare, floor)
        bare_lanes = w[f"{shape_name} bare 16-lane JVP"]
        if bare_lanes[0] is None:
            lanes, one = interleaved(*w[f"{shape_name} 16-lane JVP"])
        else:
            lanes, one, bare_16, bare_one = interleaved(*w[f"{shape_name} 16-lane JVP"], *bare_lanes)
        ratio_line(f"{shape_name}: 16-lane JVP per lane / one lane", lanes, one, 1 / 16, " (target <= 0.6)")
        if bare_lanes[0] is not None:
            # What a lane costs when nothing but its tuple and its call is paid.
            ratio_line(f"{shape_name}: bare C loop, 16-lane JVP per lane / one lane", bare_16, bare_one, 1 / 16)
        for direction in ("JVP", "VJP"):
            ref, core = interleaved(*w[f"{shape_name} reference Python {direction}"])
            ratio_line(f"{shape_name}: reference Python {direction} walk / core", ref, core, target=" (target >= 5)")
    retained_during_consuming_walk()


def retained_during_consuming_walk():
    """A chain of large values; the VJP rule samples the tape's retained-value
    count as the walk proceeds."""
    import numpy as np

    length = 200
    tape = DynamicTape()
    value = np.ones(1 << 17)  # 1 MiB of float64
    prev = tape.record_input(value, value.shape, "float64")
    for _ in range(length):
        value = value * 1.0
        prev = tape.record_operation("scale", [prev], value, None, value.shape, "float64")
    del value
    tape.mark_output(prev)
    samples = []

    def vjp(out, primals, ct, attrs, active, residual, specs, src):
        samples.append(tape.stats()["retained_value_count"])
        return [ct]

    tape.freeze([None, None], [None, vjp], [None, (False, True, False)])
    before = tape.stats()["retained_value_count"]
    dynamic_vjp(tape, [(prev, np.ones(1 << 17))], [0], consume=True)
    picks = [samples[int(f * (len(samples) - 1))] for f in (0.0, 0.25, 0.5, 0.75, 1.0)]
    print(f"consuming reverse walk over {length} values of 1 MiB: retained before {before}, "
          f"during {picks} (at 0/25/50/75/100% of the walk), after {tape.stats()['retained_value_count']}")


def only(workload, side, repeats):
    """Runs one side of one workload `repeats` times, for instruction counts."""
    shape_name = workload.split()[0]
    sides = dict(zip(("core", "floor", "bare"), workloads(shape_name)[workload]))
    fn = sides[side]
    gc.disable()
    for _ in range(repeats):
        fn()


if __name__ == "__main__":
    sys.setrecursionlimit(10000)
    if len(sys.argv) == 5 and sys.argv[1] == "--only":
        only(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        main()
