"""The staged half of the reference frontend: a function traced once into a
graph, optimized, written to an artifact, loaded back and executed by the
core against NumPy evaluators."""

import pathlib
import tempfile

import numpy as np

import eager as E
from eager import staging
from eager.tree import flatten


def show(f, args, title):
    """Stage f on args and print what the staged path does with it."""
    print(f"\nstaged: {title}")
    staged = staging.stage(f, *args)
    print("  optimizer: " + staged.summary().replace("\n", "\n  "))

    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "graph.json"
        staged.save(path)
        size = path.stat().st_size
        loaded = staging.load(path)
    print(f"  artifact: {size} bytes, {loaded.store.node_count} nodes, {len(loaded.store.constant_ids())} constants")
    for node, digest in loaded.digests().items():
        kind, dtype, shape, _, _ = loaded.store._constant_parts(node)
        print(f"    %{node:<4}{kind:<7}{dtype:<9}{str(tuple(shape)):<10}sha256 {digest[:16]}...")

    live = staging.LiveValues()
    result = loaded(*args, context=live)
    result = result if type(result) is tuple else (result,)
    expected, _ = flatten(f(*args))
    difference = max(float(np.max(np.abs(np.asarray(r) - e))) for r, e in zip(result, expected))
    print(f"  loaded graph's result: sum {sum(float(np.sum(r)) for r in result):.12f}, "
          f"eager: sum {sum(float(np.sum(e)) for e in expected):.12f}, largest difference {difference:.1e}")
    print(f"  execution: {live.evaluations} evaluator calls, at most {live.peak} intermediate arrays alive at once")
    return staged


def softmax_rows(z, w):
    """Written plainly: exp(z @ w) twice and a transpose pair, which the
    optimizer merges and cancels."""
    scores = E.transpose(E.transpose(z @ w))
    return E.exp(z @ w) / E.sum(E.exp(scores), axis=1, keepdims=True)


def run(loss, params):
    show(loss, params, "the network's loss, traced once into a graph")
    argnums = tuple(range(len(params)))
    show(E.grad(loss, argnums=argnums), params,
         "the loss's gradient: the reverse walk's rule calls, recorded as graph nodes, no tape at run time")
    rng = np.random.default_rng(2)
    show(softmax_rows, [rng.normal(size=(4, 5)), rng.normal(size=(5, 3))], "a row softmax written plainly")
