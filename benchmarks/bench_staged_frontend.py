"""Staged execution through the reference frontend, against baselines
measured in the same run, sides interleaved, min and median of
time.process_time over the repeats:

- per-node cost on a 10,000-node elementwise graph of small arrays, against a
  hand-written Python graph interpreter over the same store (same evaluators
  from the same binder, each value dropped at its last use) and against the
  same function as eager NumPy calls in a Python loop;
- a function with repeated subexpressions, optimized and staged, against the
  same function run eagerly: evaluator calls and time;
- the elementwise graph through torch.fx's Interpreter, where PyTorch is
  installed for this interpreter."""

import gc
import pathlib
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))

import eager as E  # noqa: E402
from eager import staging  # noqa: E402
from eager.evaluators import numpy_binder  # noqa: E402

NODES = 10_000
SMALL = (8,)
REPEATS = 9
RUNS_PER_SAMPLE = 3
COPIES = 8
MEDIUM = (128, 128)


def elementwise(ns, x, y):
    """NODES elementwise operations, each reading the one or two values just
    before it; tanh and sin keep every value bounded."""
    a, b = x, y
    for _ in range(NODES // 4):
        c = ns.add(a, b)
        d = ns.tanh(c)
        e = ns.multiply(d, a)
        a, b = d, ns.sin(e)
    return b


def repeated(ns, x, w):
    """The same hidden layer computed COPIES times, as code written without
    caring does."""
    total = None
    for _ in range(COPIES):
        h = ns.tanh(ns.matmul(x, w))
        term = ns.sum(ns.multiply(h, h), axis=1)
        total = term if total is None else ns.add(total, term)
    return total


class NumpyNamespace:
    add, multiply, tanh, sin, matmul, sum = np.add, np.multiply, np.tanh, np.sin, np.matmul, np.sum


def interpreter(staged):
    """A hand-written interpreter of the staged store: the evaluators the
    binder gives, operand tuples built per node, and every value dropped at
    its last use, as the core does (but without donation)."""
    store = staged.store
    n = store.node_count
    nodes = [store.get_node(i) for i in range(n)]
    last = {}
    for i, node in enumerate(nodes):
        for p in node.inputs:
            last[p] = i
    for o in store.outputs:
        last[o] = n
    steps = []
    for i, node in enumerate(nodes):
        if node.op in ("vorlix.input", "vorlix.const"):
            continue
        assert 1 <= len(node.inputs) <= 2, "the interpreter handles unary and binary nodes"
        frees = tuple(sorted({p for p in node.inputs if last[p] == i} | ({i} if i not in last else set())))
        a, b = (node.inputs + [-1])[:2]
        steps.append((i, numpy_binder(node.op, node.attrs), a, b, frees))
    inputs, constant_ids, outputs = store.inputs, store.constant_ids(), store.outputs

    def run(*args):
        values = [None] * n
        for i, v in zip(inputs, args):
            values[i] = v
        for i, v in zip(constant_ids, staged.constants):
            values[i] = v
        for i, ev, a, b, frees in steps:
            values[i] = ev((values[a],) if b < 0 else (values[a], values[b]), None, None)
            for p in frees:
                values[p] = None
        return [values[o] for o in outputs]

    return run


def sample(fn):
    gc.collect()
    start = time.process_time()
    for _ in range(RUNS_PER_SAMPLE):
        fn()
    return (time.process_time() - start) / RUNS_PER_SAMPLE


def measure(sides):
    """Interleaved samples of every side (name -> call without arguments):
    {name: [seconds per run]}."""
    times = {name: [] for name in sides}
    for _ in range(REPEATS):
        for name, fn in sides.items():
            times[name].append(sample(fn))
    return times


def ratio_line(label, times, side, baseline, target=""):
    ratios = [s / b for s, b in zip(times[side], times[baseline])]
    print(f"{label}: min {min(times[side]) / min(times[baseline]):.2f}, "
          f"median {statistics.median(ratios):.2f}{target}")


def per_node_overhead():
    rng = np.random.default_rng(0)
    x, y = rng.normal(size=SMALL), rng.normal(size=SMALL)
    staged = staging.stage(lambda a, b: elementwise(E, a, b), x, y)
    hand = interpreter(staged)
    eager = lambda a, b: elementwise(NumpyNamespace, a, b)  # noqa: E731
    reference = eager(x, y)
    for result in (staged(x, y), hand(x, y)[0]):
        if not np.allclose(result, reference, rtol=1e-12):
            sys.exit("the staged graph computes something else; the comparison would be meaningless")
    times = measure({"staged": lambda: staged(x, y), "interpreter": lambda: hand(x, y), "eager": lambda: eager(x, y)})
    ops = staged.store.node_count - len(staged.store.inputs)
    print(f"elementwise graph: {ops} operation nodes on arrays of shape {SMALL}")
    print(f"elementwise graph: staged execution, microseconds per node: min "
          f"{min(times['staged']) / ops * 1e6:.2f}, median {statistics.median(times['staged']) / ops * 1e6:.2f}")
    ratio_line("elementwise graph: staged / Python graph interpreter (same evaluators, release at last use)",
               times, "staged", "interpreter", " (target <= 0.95)")
    ratio_line("elementwise graph: staged / eager NumPy calls in a Python loop", times, "staged", "eager")
    return x, y


def repeated_subexpressions():
    rng = np.random.default_rng(1)
    x, w = rng.normal(size=MEDIUM), rng.normal(size=MEDIUM) / np.sqrt(MEDIUM[1])
    staged = staging.stage(lambda a, b: repeated(E, a, b), x, w)
    eager = lambda a, b: repeated(E, a, b)  # noqa: E731 - the frontend on plain arrays runs NumPy directly
    if not np.allclose(staged(x, w), eager(x, w), rtol=1e-12):
        sys.exit("the staged graph computes something else; the comparison would be meaningless")
    counter = staging.LiveValues()
    staged(x, w, context=counter)
    eager_calls = staged.report["nodes_before"] - len(staged.store.inputs) - len(staged.store.constant_ids())
    times = measure({"staged": lambda: staged(x, w), "eager": lambda: eager(x, w)})
    print(f"repeated subexpressions ({COPIES} copies of tanh(x @ w), shape {MEDIUM}): "
          f"evaluator calls staged {counter.evaluations}, eager {eager_calls}, "
          f"ratio {counter.evaluations / eager_calls:.2f}")
    ratio_line("repeated subexpressions: staged (optimized) / eager time", times, "staged", "eager",
               f" (target <= {counter.evaluations / eager_calls:.2f}, the call ratio)")


def torch_fx(x, y):
    try:
        import torch
        import torch.fx
    except ImportError:
        print(f"torch.fx: skipped, PyTorch is not installed for Python "
              f"{sys.version_info[0]}.{sys.version_info[1]} here (its wheels here are built for other versions)")
        return
    staged = staging.stage(lambda a, b: elementwise(E, a, b), x, y)

    class Graph(torch.nn.Module):
        def forward(self, a, b):
            return elementwise(torch, a, b)

    module = torch.fx.symbolic_trace(Graph())
    tx, ty = torch.from_numpy(x), torch.from_numpy(y)
    run_fx = lambda a, b: torch.fx.Interpreter(module).run(a, b)  # noqa: E731
    if not np.allclose(run_fx(tx, ty).numpy(), staged(x, y), rtol=1e-12):
        sys.exit("torch.fx computes something else; the comparison would be meaningless")
    times = measure({"staged": lambda: staged(x, y), "fx": lambda: run_fx(tx, ty)})
    ratio_line("elementwise graph: staged / torch.fx Interpreter", times, "staged", "fx")


def main():
    x, y = per_node_overhead()
    repeated_subexpressions()
    torch_fx(x, y)


if __name__ == "__main__":
    main()
