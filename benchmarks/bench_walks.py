"""Per-node cost of the tape walks against a same-run floor (the bare rule
calls with their argument tuples, built in a Python loop) and against a
reference walk in pure Python; the per-lane cost of 16 lanes; and the number
of retained values during a consuming reverse walk over large values."""

import gc
import sys
import time

from vorlix._native_core import DynamicTape, dynamic_jvp, dynamic_jvp_many, dynamic_vjp

NODES = 100_000
REPEATS = 5
ONE = 1.0
SPEC = ((), "float64")


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
    per operation node, for the floor and the reference walk."""
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


def timed(fn):
    best = float("inf")
    for _ in range(REPEATS):
        gc.collect()
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def operands(parents, positions, literals, values):
    slots = [None] * (len(parents) + len(literals))
    for p, pos in zip(parents, positions):
        slots[pos] = values[p]
    it = iter(literals)
    for k, s in enumerate(slots):
        if s is None and k not in positions:
            slots[k] = next(it)
    return tuple(slots)


def jvp_floor(nodes):
    def run():
        rule = jvp_rule
        for parents, positions, literals in nodes:
            if len(parents) == 1:
                primals = (ONE,)
                tangents = (ONE,)
            else:
                primals = (ONE, literals[0], ONE)
                tangents = (ONE, None, ONE)
            rule(ONE, primals, tangents, None, None, None)
    return run


def vjp_floor(nodes, rule):
    def run():
        for parents, positions, literals in nodes:
            if len(parents) == 1:
                primals = (ONE,)
                specs = (SPEC,)
            else:
                primals = (ONE, literals[0], ONE)
                specs = (SPEC, None, SPEC)
            rule(None, primals, ONE, None, positions, None, specs, None)
    return run


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


def per_node_ns(seconds):
    return seconds / NODES * 1e9


def main():
    for shape_name in ("chain", "wide"):
        tape, nodes, vjp, last = build(shape_name)
        inputs = 1 if shape_name == "chain" else 2
        jvp = timed(lambda: dynamic_jvp(tape, [(0, ONE)], [last]))
        rev = timed(lambda: dynamic_vjp(tape, [(last, ONE)], [0]))
        jvp_floor_t = timed(jvp_floor(nodes))
        vjp_floor_t = timed(vjp_floor(nodes, vjp))
        ref_jvp = timed(reference_jvp(nodes, inputs))
        ref_vjp = timed(reference_vjp(nodes, inputs, vjp))
        lanes16 = timed(lambda: dynamic_jvp_many(tape, [[(0, ONE)]] * 16, [last]))
        print(f"{shape_name}: dynamic_jvp ns per node: {per_node_ns(jvp):.1f}")
        print(f"{shape_name}: dynamic_vjp ns per node: {per_node_ns(rev):.1f}")
        print(f"{shape_name}: dynamic_jvp / floor: {jvp / jvp_floor_t:.2f} (target <= 1.0)")
        print(f"{shape_name}: dynamic_vjp / floor: {rev / vjp_floor_t:.2f} (target <= 1.0)")
        print(f"{shape_name}: reference Python jvp walk / dynamic_jvp: {ref_jvp / jvp:.1f}x (target >= 5)")
        print(f"{shape_name}: reference Python vjp walk / dynamic_vjp: {ref_vjp / rev:.1f}x (target >= 5)")
        print(f"{shape_name}: 16-lane cost per node per lane / one-lane cost per node: "
              f"{lanes16 / 16 / jvp:.2f} (target <= 0.6)")
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


if __name__ == "__main__":
    sys.setrecursionlimit(10000)
    main()
