"""The reference frontend's staged path through the real module: staged
results against eager ones on fresh arguments, the optimizer's rewrites,
artifacts across processes, donation observed through buffer identity,
release after a failing evaluator, and staged gradients."""

import gc
import json
import pathlib
import subprocess
import sys
import threading

import numpy as np
import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))

from vorlix import _native_core as core  # noqa: E402


# Tests here register test-only primitives and patch the frontend's tape
# functions, so they cannot be repeated in one process by the leak run.
pytestmark = pytest.mark.no_leak_check

import eager as E  # noqa: E402
from eager import primitives as P, staging  # noqa: E402
from eager.primitives.linear import NOTHING  # noqa: E402
from eager.tracing import Primitive  # noqa: E402

RNG = np.random.default_rng(15)
MASK = RNG.normal(size=6) > 0
W = RNG.normal(size=(3, 2))


def positive(*shape):
    return RNG.uniform(0.5, 2.0, size=shape)


def normal(*shape):
    return RNG.normal(size=shape)


def rewritten(a, b):
    """What the optimizer rewrites: a dead branch, duplicate subexpressions
    and a transpose pair."""
    dead = E.exp(a) * b  # noqa: F841
    return (E.sin(a) * b + E.sin(a) * b) * E.transpose(E.transpose(a))


# Compositions that use every primitive between them; captured arrays
# (W, MASK, index arrays) become constants.
CASES = {
    "arithmetic": (lambda a, b: (a * b - a / b) ** 2 + -a * 3.0, lambda: [positive(3, 4), positive(3, 4)]),
    "broadcast": (lambda a, b: E.exp(a + b) * 0.5 - 2.0 / b, lambda: [normal(3, 1), positive(4)]),
    "transcendental": (lambda a: E.mean(E.log(a) * E.sin(a) + E.cos(a) ** 3), lambda: [positive(5)]),
    "network": (lambda x: E.mean((E.tanh(x @ W + 0.1) @ W.T - x) ** 2, axis=1), lambda: [normal(4, 3)]),
    "max_where": (lambda a, b: E.where(MASK, E.maximum(a, b), a * b), lambda: [normal(6), normal(6)]),
    "structural": (lambda a: E.transpose(E.reshape(a, (2, 6)))[1:4] * E.broadcast_to(E.mean(a), (3, 2)),
                   lambda: [normal(3, 4)]),
    "permutation": (lambda a: E.sum(E.transpose(a, (1, 2, 0)) * np.arange(24.0).reshape(3, 4, 2), axis=(0, 2),
                                    keepdims=True), lambda: [normal(2, 3, 4)]),
    "advanced_index": (lambda a: a[[0, 2, 0]] ** 2 * a[1], lambda: [normal(3, 2)]),
    "several_outputs": (lambda a, b: (a @ b, E.sum(a, axis=0), a), lambda: [normal(2, 3), normal(3)]),
    "float32": (lambda a: E.tanh(a * 2.0) - a[::-1], lambda: [normal(5).astype(np.float32)]),
    "optimizer_rewrites": (rewritten, lambda: [normal(3, 4), normal(3, 4)]),
    "rank_zero_literals": (lambda a: a * np.float32(2.0) + np.array(3.0) * a[0], lambda: [normal(4)]),
    "numerics": (lambda a, b: E.linalg.solve(a @ a.T + 3 * np.eye(3), E.cumsum(b)) * E.linalg.eigh(a + a.T)[1][0]
                 + E.real(E.einsum("ij,j", a, b * 1j)) + E.linalg.norm(a, "nuc"), lambda: [normal(3, 3), normal(3)]),
    "comparisons_casts": (lambda a, b: E.where(P.logical_or(a > b, a < -1.0), E.astype(a, np.float32), b.astype(np.float32)),
                          lambda: [normal(6), normal(6)]),
}


def eager(f, args):
    """f on plain arrays: the primitives run NumPy directly."""
    return f(*args)


def assert_same(staged, expected):
    if type(expected) is tuple:
        assert type(staged) is tuple and len(staged) == len(expected)
        for s, e in zip(staged, expected):
            assert_same(s, e)
        return
    assert np.shape(staged) == np.shape(expected)
    assert np.result_type(staged) == np.result_type(expected)
    np.testing.assert_allclose(staged, expected, rtol=1e-6)


@pytest.mark.parametrize("case", CASES)
def test_staged_results_equal_eager_on_fresh_arguments(case):
    f, make = CASES[case]
    staged = staging.stage(f, *make())
    loaded = staging.StagedFunction.from_json(staged.to_json())
    for _ in range(2):  # the plan is linked once and reused
        args = make()
        result = staged(*args)
        assert_same(result, eager(f, args))
        assert_same(loaded(*args), result)


def test_operation_without_evaluator_fails_binding_with_its_node():
    builder = core.GraphBuilder()
    x = builder.append_input_node([2], "float64")
    builder.append_output(builder.append_node("array.no_such_primitive", [x], {}, [2], "float64"))
    loaded = staging.StagedFunction.from_json(builder.finish()[0]._to_json())
    with pytest.raises(KeyError) as error:
        loaded(np.zeros(2))
    assert error.value.__notes__ == ["while binding staged operation 'array.no_such_primitive' at node %1"]


def test_optimizer_report_counts_each_rewrite():
    f, make = CASES["optimizer_rewrites"]
    staged = staging.stage(f, *make())
    passes = {p["name"]: p for p in staged.report["passes"]}
    assert passes["dce"]["removed_nodes"] == 2
    assert passes["simplify"]["rewritten_nodes"] == 1
    assert passes["cse"]["rewritten_nodes"] == 2
    assert staged.report["nodes_after"] == staged.store.node_count < staged.report["nodes_before"]
    assert not any(staged.store.get_node(i).op == "array.transpose" for i in staged.store.node_ids())
    text = staged.summary()
    assert text.splitlines()[0] == (f"{staged.report['nodes_before']} nodes before optimization, "
                                    f"{staged.report['nodes_after']} after, {staged.report['rewritten_nodes']} rewritten")
    assert [line.split()[0] for line in text.splitlines()[1:]] == ["dce", "simplify", "cse"]


def test_weak_scalar_inputs_and_literals_keep_eager_promotion():
    def f(x, s):
        return x * s + s * 2.0

    x = normal(4).astype(np.float32)
    staged = staging.stage(f, x, 1.5)
    out = staged(x, 3.0)
    assert out.dtype == np.float32
    np.testing.assert_allclose(out, x * 3.0 + 6.0, rtol=1e-6)
    assert staging.stage(lambda s: s * 2.0 + 1.0, 1.5)(4.0) == 9.0


def test_equal_captured_constants_share_one_node_with_digest():
    c = np.arange(4.0)

    def f(x):
        return x * c + x * c.copy() + 2.0 * x + 2.0

    staged = staging.stage(f, normal(4))
    digests = staged.digests()
    assert len(digests) == 2  # the array once, the scalar 2.0 once
    assert all(len(d) == 64 and int(d, 16) >= 0 for d in digests.values())
    kinds = sorted(staged.store._constant_parts(n)[0] for n in digests)
    assert kinds == ["array", "scalar"]


def test_artifact_reads_back_to_the_same_text_and_digests():
    f, make = CASES["network"]
    staged = staging.stage(f, *make())
    loaded = staging.StagedFunction.from_json(staged.to_json())
    assert loaded.to_json() == staged.to_json()
    assert loaded.digests() == staged.digests() and len(staged.digests()) == 4  # W, W.T, 0.1, the exponent 2
    assert [type(v) for v in loaded.constants] == [type(v) for v in staged.constants]
    for v, w in zip(loaded.constants, staged.constants):
        np.testing.assert_array_equal(v, w)


ROUND_TRIP = """
import sys
import numpy as np
sys.path.insert(0, {examples!r})
from eager import staging
f = staging.load(sys.argv[1])
args = np.load(sys.argv[2])
out = f(*(args[k] for k in sorted(args.files)))
np.save(sys.argv[3], np.asarray(out))
print(f.to_json() == open(sys.argv[1], encoding="utf-8").read())
"""


def test_artifacts_execute_identically_in_another_process(tmp_path):
    f, make = CASES["network"]
    staged = staging.stage(f, *make())
    path = tmp_path / "network.json"
    staged.save(path)
    args = make()
    np.savez(tmp_path / "args.npz", *args)
    done = subprocess.run([sys.executable, "-c", ROUND_TRIP.format(examples=str(EXAMPLES)), str(path),
                           str(tmp_path / "args.npz"), str(tmp_path / "out.npy")],
                          capture_output=True, text=True, check=True)
    assert done.stdout.split() == ["True"]
    other = np.load(tmp_path / "out.npy")
    np.testing.assert_array_equal(other, staged(*args))  # identical, not just close
    loaded = staging.load(path)
    assert loaded.digests() == staged.digests()
    assert json.loads(loaded.to_json()) == json.loads(staged.to_json())


class Buffers:
    """Records, per evaluation, the operation, the donated position and the
    data addresses of the operands and the result."""

    def __init__(self):
        self.calls = []

    def observe(self, op, operands, donated, result):
        address = lambda v: v.__array_interface__["data"][0] if type(v) is np.ndarray else None  # noqa: E731
        self.calls.append((op, donated, [address(v) for v in operands], address(result)))

    def find(self, op):
        (call,) = [c for c in self.calls if c[0] == op]
        return call


def test_dying_operand_is_donated_into_elementwise_results():
    staged = staging.stage(lambda x: E.exp(x * 2.0) - 1.0, normal(3, 4))
    buffers = Buffers()
    x = normal(3, 4)
    x_address = x.__array_interface__["data"][0]
    out = staged(x, context=buffers)
    np.testing.assert_allclose(out, np.exp(x * 2.0) - 1.0)
    _, donated, _, product = buffers.find("multiply")
    assert donated is None  # an input is the caller's and is never donated
    _, donated, operands, result = buffers.find("exp")
    assert donated == 0 and operands == [product] and result == product
    _, donated, operands, result = buffers.find("subtract")
    assert donated == 0 and result == product
    assert out.__array_interface__["data"][0] == product != x_address


def test_no_donation_while_a_view_of_the_operand_is_live():
    def f(x):
        y = x * 2.0
        view = E.reshape(y, (12,))
        return E.exp(y) + E.reshape(view, (3, 4))

    staged = staging.stage(f, normal(3, 4))
    buffers = Buffers()
    x = normal(3, 4)
    np.testing.assert_allclose(staged(x, context=buffers), np.exp(2 * x) + 2 * x)
    product = buffers.find("multiply")[3]
    _, donated, operands, result = buffers.find("exp")
    assert donated is None and operands == [product] and result != product


def test_peak_live_values_of_a_chain_stay_small():
    def chain(x):
        for _ in range(30):
            x = E.sin(x) * 0.5
        return x

    staged = staging.stage(chain, normal(16))
    live = staging.LiveValues()
    x = normal(16)
    out = staged(x, context=live)
    np.testing.assert_allclose(out, chain(x))
    assert live.evaluations == 60
    assert live.peak == 1  # each result is written into the value it replaces
    del out
    assert live.live == 0


@pytest.fixture
def primitive():
    """Makes primitives for one test and takes them out of the registry
    afterwards, so that other tests see only the frontend's own."""
    made = []

    def make(name, impl):
        made.append(name)
        return Primitive(name, impl, None, None, NOTHING)

    yield make
    for name in made:
        del Primitive.registry[name]


def test_failing_evaluator_leaves_no_live_value(primitive):
    armed = False

    def failing_impl(x):
        if armed:
            raise ArithmeticError("refused")
        return x + 0.0

    fail = primitive("test_fail", failing_impl)

    def f(x):
        a = E.exp(x)
        b = E.reshape(a * 2.0, (4, 3))
        return E.bind(fail, E.transpose(b) + a) + a

    staged = staging.stage(f, normal(3, 4))
    live = staging.LiveValues()
    armed = True
    try:
        staged(normal(3, 4), context=live)
    except ArithmeticError as error:
        fail_node = next(i for i in staged.store.node_ids() if staged.store.get_node(i).op == "array.test_fail")
        assert error.__notes__[-1] == f"while executing staged operation 'array.test_fail' at node %{fail_node}"
    else:
        pytest.fail("the failing evaluator did not raise")
    gc.collect()
    assert live.evaluations == 5 and live.live == 0


def test_multi_output_primitives_are_staged_with_one_node(primitive):
    divmod_prim = primitive("test_divmod", np.divmod)

    def f(a, b):
        q, r = E.bind(divmod_prim, a, b)
        return q * b + r

    a, b = positive(5) * 10, positive(5)
    staged = staging.stage(f, a, b)
    nodes = [staged.store.get_node(i) for i in staged.store.node_ids()]
    (multi,) = [n for n in nodes if n.op == "array.test_divmod"]
    assert multi.num_outputs == 2 and multi.output_shapes == [[5], [5]]
    a, b = positive(5) * 10, positive(5)
    np.testing.assert_allclose(staged(a, b), a, rtol=1e-12)


# Scalar functions whose gradients are staged: the reverse walk runs once,
# at staging, and its rule calls become graph nodes.
GRAD_CASES = {
    "arithmetic": (lambda a, b: E.sum((a * b - a / b) ** 2 + -a * 3.0), lambda: [positive(3, 4), positive(3, 4)]),
    "broadcast": (lambda a, b: E.sum(E.exp(a + b) * 0.5 - 2.0 / b), lambda: [normal(3, 1), positive(4)]),
    "transcendental": (lambda a: E.mean(E.log(a) * E.sin(a) + E.cos(a) ** 3), lambda: [positive(5)]),
    "network": (lambda w, x: E.mean((E.tanh(x @ w + 0.1) @ w.T - x) ** 2), lambda: [normal(3, 2), normal(4, 3)]),
    "max_where": (lambda a, b: E.sum(E.where(a > 0, E.maximum(a, b), a * b)), lambda: [normal(6), normal(6)]),
    "structural": (lambda a: E.sum(E.transpose(E.reshape(a, (2, 6)))[1:4] * E.broadcast_to(E.mean(a), (3, 2))),
                   lambda: [normal(3, 4)]),
    "advanced_index": (lambda a: E.sum(a[[0, 2, 0]] ** 2 * a[1]), lambda: [normal(3, 2)]),
    "second_order": (E.grad(lambda t: E.sin(t) * t), lambda: [float(normal())]),
    "hessian_vector": (lambda x: E.sum(E.hvp(lambda y: E.sum(E.sin(y) * y ** 2), (x,), (np.arange(4.0),)) ** 2),
                       lambda: [normal(4)]),
}


@pytest.mark.parametrize("case", GRAD_CASES)
def test_staged_gradients_equal_eager_gradients_without_a_tape(case, monkeypatch):
    f, make = GRAD_CASES[case]
    args = make()
    argnums = tuple(range(len(args)))
    staged = staging.stage(E.grad(f, argnums=argnums), *args)
    fresh = make()
    expected = E.grad(f, argnums=argnums)(*fresh)

    def no_tape(*_, **__):
        raise AssertionError("a tape was used at run time")

    from eager import api, tracing
    monkeypatch.setattr(tracing, "DynamicTape", no_tape)
    monkeypatch.setattr(api, "dynamic_vjp", no_tape)
    assert_same(staged(*fresh), expected)


def test_staged_gradient_of_a_parameter_dict():
    x, targets = normal(8, 4), normal(8, 3)

    def loss(p):
        hidden = E.tanh(x @ p["w1"] + p["b1"])
        return E.mean((hidden @ p["w2"] + p["b2"] - targets) ** 2)

    def params():
        return {"w1": normal(4, 16) * 0.5, "b1": normal(16), "w2": normal(16, 3) * 0.5, "b2": normal(3)}

    staged = staging.stage(E.grad(loss), params())
    p = params()
    result, expected = staged(p), E.grad(loss)(p)
    assert sorted(result) == sorted(expected)
    for k in expected:
        assert_same(result[k], expected[k])
    with pytest.raises(TypeError, match=r"^staged function takes arguments structured as"):
        staged(p["w1"])


@pytest.mark.serial
def test_two_threads_share_one_staged_function():
    f, make = CASES["network"]
    staged = staging.stage(f, *make())
    work = [[make() for _ in range(40)] for _ in range(2)]
    results = [None, None]

    def run(k):
        results[k] = [staged(*args) for args in work[k]]

    threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k in range(2):
        for args, result in zip(work[k], results[k]):
            np.testing.assert_array_equal(result, staged(*args))
            assert_same(result, f(*args))
