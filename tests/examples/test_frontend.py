"""The reference eager frontend against central finite differences and
hand-derived results: gradients, JVPs and Jacobians of compositions of its
primitives, broadcasting, weak scalars, residuals, retention and rule errors."""

import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))

import eager as E  # noqa: E402
from eager import primitives, tracing  # noqa: E402

from vorlix._native_core import dynamic_vjp  # noqa: E402

# These tests run NumPy and the reference frontend through hundreds of first
# calls whose caches and free lists keep growing for a while (every value the
# frontend records is released, as weak references to them show), so memory
# grows in every short repetition: the leak run skips them.
pytestmark = pytest.mark.no_leak_check

RNG = np.random.default_rng(8)
A = RNG.normal(size=(4, 3))


def positive(*shape):
    return RNG.uniform(0.5, 2.0, size=shape)


def normal(*shape):
    return RNG.normal(size=shape)


# Scalar-valued compositions; between them they use every primitive.
SCALAR_CASES = {
    "arithmetic": (lambda a, b: E.sum((a * b - a / b) ** 2 + -a * 3.0), [positive(3, 4), positive(3, 4)]),
    "broadcast": (lambda a, b: E.sum(E.exp(a + b) * 0.5 - 2.0 / b), [normal(3, 1), positive(4)]),
    "transcendental": (lambda a: E.mean(E.log(a) * E.sin(a) + E.cos(a) ** 3), [positive(5)]),
    "network": (lambda w, x: E.mean((E.tanh(x @ w + 0.1) @ w.T - x) ** 2), [normal(3, 2), normal(4, 3)]),
    "max_where": (lambda a, b: E.sum(E.where(a > 0, E.maximum(a, b), a * b)), [normal(6), normal(6)]),
    "structural": (lambda a: E.sum(E.transpose(E.reshape(a, (2, 6)))[1:4] * E.broadcast_to(E.mean(a), (3, 2))),
                   [normal(3, 4)]),
    "permutation": (lambda a: E.sum(E.transpose(a, (1, 2, 0)) * np.arange(24.0).reshape(3, 4, 2)), [normal(2, 3, 4)]),
    "repeated_index": (lambda a: E.sum(a[[0, 2, 0]] ** 2 * a[1]), [normal(3, 2)]),
    "vector_matmul": (lambda v, m: E.sum((v @ m) * (m[:2] @ v[:2])), [normal(3), normal(3, 2)]),
    "batched_matmul": (lambda a, b: E.sum(E.sin(a @ b), axis=(0, 2)) @ b[0], [normal(2, 3, 4), normal(4, 3)]),
    "trigonometric": (lambda a: E.sum(E.tan(a) + E.arcsin(a) * E.arccos(a) - E.arctan(a * 3.0)),
                      [RNG.uniform(-0.9, 0.9, 5)]),
    "hyperbolic": (lambda a: E.mean(E.sinh(a) / E.cosh(a) + E.sigmoid(a) * E.expm1(a) - E.log1p(a * a)), [normal(5)]),
    "abs_sign_clip": (lambda a, b: E.sum(E.abs(a) * E.sign(b) + E.clip(a, -0.5, b) + E.minimum(a, 0.3)),
                      [normal(6), RNG.uniform(0.2, 1.0, 6)]),
    "choosers": (lambda a: E.max(a, axis=0) @ E.min(a, axis=1, keepdims=True)[:, 0] + E.prod(a[:2], axis=1)[0],
                 [normal(3, 3)]),
    "traced_exponent": (lambda a, b: E.sum(2.0 ** a + b ** a + E.sqrt(b)), [normal(4), positive(4)]),
    "joining": (lambda a, b: E.sum(E.concatenate([a, b * 2.0, A[:1]], axis=0) * E.stack([b, a, a], axis=1)[0]),
                [normal(1, 3), normal(1, 3)]),
    "dot_and_cast": (lambda a, b: E.sum(E.dot(a, b)) + E.sum(E.dot(a[0], 2.0) * E.astype(a, np.float64)),
                     [normal(2, 3), normal(2, 3, 4)]),
    "masks": (lambda a: E.sum(E.where((a != 0.5) * (a >= -1.0), a * a, -a) * (a <= 1.0))
              - E.sum((a == a[0]) * (a < 0.0) * a),
              [normal(8)]),
}

# Vector-valued functions for JVPs and Jacobians.
VECTOR_CASES = {
    "elementwise": (lambda x: E.tanh(x) * x[::-1] + 1.0, normal(5)),
    "matrix_input": (lambda x: E.sum(E.exp(x) @ A.T, axis=0), normal(3, 3)),
    "reduction": (lambda x: E.mean(E.reshape(x, (2, 3)) ** 2, axis=1), normal(6)),
    "wide_output": (lambda x: E.reshape(E.sin(A @ x), (2, 2)), normal(3)),
    "full_sum": (lambda x: x * E.sum(E.sin(x)), normal(4)),
    "broadcast_constant": (lambda x: E.sum(E.reshape(x, (3, 1)) + A.T, axis=1), normal(3)),
    "joined_reductions": (lambda x: E.concatenate([E.max(x, axis=0), E.prod(x, axis=1), E.min(x, axis=-1)]) * 2.0,
                          normal(3, 2)),
    "stacked_dot": (lambda x: E.dot(E.stack([x, E.sigmoid(x)], axis=-1), np.arange(6.0).reshape(2, 3)), normal(4)),
}


def numeric(fn, args, k, h=1e-6):
    """Central finite differences of fn in argument k: the Jacobian,
    shaped out.shape + args[k].shape."""
    x = args[k]
    columns = []
    for i in range(x.size):
        step = np.zeros(x.size)
        step[i] = h
        hi = list(args)
        lo = list(args)
        hi[k] = x + step.reshape(x.shape)
        lo[k] = x - step.reshape(x.shape)
        columns.append((np.asarray(fn(*hi)) - np.asarray(fn(*lo))) / (2 * h))
    return np.stack(columns, axis=-1).reshape(np.shape(fn(*args)) + x.shape)


def assert_close(got, want):
    error = np.linalg.norm(np.asarray(got) - want) / max(np.linalg.norm(want), 1e-300)
    assert error < 1e-6, f"relative error {error:.2e}"


@pytest.mark.parametrize("name", SCALAR_CASES)
def test_gradients_match_finite_differences(name):
    fn, args = SCALAR_CASES[name]
    value, grads = E.value_and_grad(fn, argnums=tuple(range(len(args))))(*args)
    assert value == pytest.approx(fn(*args), rel=1e-12)
    for k, g in enumerate(grads):
        assert g.shape == args[k].shape and g.dtype == np.float64
        assert_close(g, numeric(fn, args, k))


@pytest.mark.parametrize("name", SCALAR_CASES)
def test_jvps_and_vjps_match_finite_differences(name):
    fn, args = SCALAR_CASES[name]
    tangents = [normal(*a.shape) for a in args]
    _, t = E.jvp(fn, args, tangents)
    want = sum(np.tensordot(numeric(fn, args, k), tk, axes=tk.ndim) for k, tk in enumerate(tangents))
    assert_close(t, want)
    _, pullback = E.vjp(fn, *args)
    for first, second in zip(pullback(2.0), pullback(2.0)):  # a pullback can run twice
        np.testing.assert_array_equal(first, second)
    assert_close(pullback(2.0)[0], 2.0 * numeric(fn, args, 0))


@pytest.mark.parametrize("name", VECTOR_CASES)
@pytest.mark.parametrize("jac", [E.jacfwd, E.jacrev])
def test_jacobians_match_finite_differences(name, jac):
    fn, x = VECTOR_CASES[name]
    assert_close(jac(fn)(x), numeric(fn, [x], 0))


@pytest.mark.parametrize("fn, x, want", [
    (lambda x: E.sum(x * x), np.array([1.0, -2.0, 3.0]), lambda x: 2 * x),
    (lambda x: E.sum(x ** 3), np.array([1.0, -2.0, 0.5]), lambda x: 3 * x ** 2),
    (lambda x: E.sum(E.tanh(x)), np.array([0.0, 1.0, -2.0]), lambda x: 1 - np.tanh(x) ** 2),
    (lambda x: E.sum(A @ x), np.array([1.0, 2.0, 3.0]), lambda x: A.sum(axis=0)),
    (lambda x: E.sum(E.maximum(x, 0.0)), np.array([-1.0, 0.0, 2.0]), lambda x: np.array([0.0, 0.5, 1.0])),
    (lambda x: E.sum(x[[0, 0, 2]]), np.array([5.0, 6.0, 7.0]), lambda x: np.array([2.0, 0.0, 1.0])),
    (lambda x: E.sum(E.mean(x, axis=1) * np.array([1.0, 2.0])), np.ones((2, 4)),
     lambda x: np.repeat([[0.25], [0.5]], 4, axis=1)),
    (lambda x: E.sum(E.astype(x, np.float32) * 2.0), np.array([1.0, 2.0]), lambda x: np.full(2, 2.0)),
    (lambda x: E.sum(E.abs(x) + E.sign(x)), np.array([-2.0, 0.0, 3.0]), lambda x: np.array([-1.0, 0.0, 1.0])),
    (lambda x: E.max(x) + E.min(x), np.array([1.0, 3.0, 3.0, -1.0]), lambda x: np.array([0.0, 0.5, 0.5, 1.0])),
    (lambda x: E.prod(x), np.array([2.0, 0.0, 3.0]), lambda x: np.array([0.0, 6.0, 0.0])),
    (lambda x: E.prod(x), np.array([0.0, 0.0, 3.0]), lambda x: np.zeros(3)),
    (lambda x: E.sum(E.clip(x, -1.0, 1.0)), np.array([-2.0, 0.5, 2.0]), lambda x: np.array([0.0, 1.0, 0.0])),
], ids=["square", "cube", "tanh", "matmul", "relu_tie", "repeated_index", "mean_axis", "cast_float32", "abs_sign",
        "max_min_ties", "prod_one_zero", "prod_two_zeros", "clip"])
def test_gradients_match_hand_derivations(fn, x, want):
    np.testing.assert_allclose(E.grad(fn)(x), want(x), rtol=1e-14, atol=1e-15)


def test_broadcast_operands_receive_summed_cotangents_in_their_dtype():
    a, b = np.zeros((3, 1), np.float32), np.zeros(4)
    ga, gb = E.grad(lambda a, b: E.sum(a + b - b * 2.0), argnums=(0, 1))(a, b)
    assert (ga.dtype, gb.dtype) == (np.float32, np.float64)
    np.testing.assert_array_equal(ga, np.full((3, 1), 4.0))
    np.testing.assert_array_equal(gb, np.full(4, -3.0))


def test_python_scalars_are_weak():
    x = np.arange(3, dtype=np.float32)
    rec = E.Recording(lambda s, x: E.sum(x * (s * 2.0 + 1.0)), (0.5, x), (0, 1))
    s_node, x_node = rec.input_nodes()
    # s, x, s * 2.0, (...) + 1.0, x * (...), sum: weak until s meets x.
    assert rec.tape.weak_mask(range(rec.tape.node_count)) == [True, False, True, True, False, False]
    assert rec.output.dtype == np.float32  # scalars do not promote
    gs, gx = dynamic_vjp(rec.tape, [(rec.output.node, np.float32(1))], [s_node, x_node])
    assert gs == pytest.approx(6.0) and gx.dtype == np.float32
    np.testing.assert_array_equal(gx, np.full(3, 2.0, np.float32))
    assert E.grad(lambda s: E.sin(s) * 3.0)(0.0) == pytest.approx(3.0)
    assert E.grad(lambda s: E.sum(E.broadcast_to(s * 2.0, (3,))))(1.0) == pytest.approx(6.0)


def test_literal_operands_fill_their_slots():
    # 1.0 - x records x in slot 1 with the literal before it; exp(1 - x)'s
    # derivative has the sign that only that order gives.
    x = np.array([0.3, -0.2])
    np.testing.assert_allclose(E.grad(lambda x: E.sum(E.exp(1.0 - x)))(x), -np.exp(1.0 - x), rtol=1e-15)
    np.testing.assert_allclose(E.grad(lambda x: E.sum(2.0 / x))(x), -2.0 / x ** 2, rtol=1e-15)


def test_reverse_needs_keep_only_what_the_rules_read():
    # tanh keeps its residual, multiply its inputs (tanh's output and the
    # literal), exp its output, sum nothing: two values survive pruning.
    rec = E.Recording(lambda x: E.sum(E.exp(E.tanh(x) * 2.0)), (np.ones(3),), (0,))
    rec.tape.prune_reverse_payloads()
    stats = rec.tape.stats()
    assert (stats["retained_value_count"], stats["residual_count"], stats["literal_count"]) == (2, 1, 1)
    # svdvals keeps the singular vectors its rules read, and not its input.
    rec = E.Recording(lambda x: E.linalg.norm(x, "nuc"), (A,), (0,))
    rec.tape.prune_reverse_payloads()
    assert (rec.tape.stats()["retained_value_count"], rec.tape.stats()["residual_count"]) == (0, 1)


def test_grad_closes_residuals_during_its_consuming_walk(monkeypatch):
    closed = []

    class Spy(tracing.Residual):
        __slots__ = ()

        def close(self):
            closed.append(self.payload is not None)
            super().close()

    def probe_vjp(out, x, ct, attrs, active, res, specs, src):
        assert closed == [True]  # tanh's residual went right after tanh's VJP
        return [ct]

    probe = E.Primitive("probe", np.positive, None, probe_vjp, (False, False, False))
    monkeypatch.setattr(tracing, "Residual", Spy)
    g = E.grad(lambda x: E.sum(E.tanh(E.bind(probe, x))))(np.zeros(2))
    np.testing.assert_array_equal(g, np.ones(2))
    assert closed == [True]


def test_jacrev_hands_lanes_to_batched_rules_in_chunks(monkeypatch):
    lanes = []
    batched = primitives.MATMUL.vjp.__vorlix_vjp_many__

    def counting(out, x, cts, *rest):
        lanes.append(len(cts))
        return batched(out, x, cts, *rest)

    monkeypatch.setattr(primitives.MATMUL.vjp, "__vorlix_vjp_many__", counting)
    wide = normal(20, 3)
    np.testing.assert_allclose(E.jacrev(lambda x: wide @ x)(normal(3)), wide, rtol=1e-15)
    assert lanes == [16, 4]


def test_every_primitive_is_exercised():
    from test_rules import ROWS

    recorded = set()
    for fn, args in SCALAR_CASES.values():
        recorded.update(E.Recording(fn, args, range(len(args))).tape.op_names)
    for _, fn, args in ROWS:
        recorded.update(E.Recording(lambda *xs: fn(E, *xs), args, range(len(args))).tape.op_names)
    # Logical operations are recorded by rules, not by these functions.
    untested = {"probe", "faulty", "logical_and", "logical_or", "logical_not"}
    assert recorded - {tracing.INPUT_OP} == set(tracing.Primitive.registry) - untested


@pytest.mark.parametrize("direction", ["JVP", "VJP"])
def test_errors_raised_in_rules_carry_the_core_note(direction):
    def fail(*args):
        raise ArithmeticError(f"{direction} rule failed")

    faulty = E.Primitive("faulty", np.negative, fail, fail, (False, False, False))

    def fn(x):
        return E.sum(E.bind(faulty, x * 2.0))

    with pytest.raises(ArithmeticError) as info:
        if direction == "JVP":
            E.jvp(fn, (np.ones(2),), (np.ones(2),))
        else:
            E.grad(fn)(np.ones(2))
    assert info.value.args == (f"{direction} rule failed",)
    assert info.value.__notes__ == [f"while executing {direction} for 'faulty' at dynamic node %2"]


def test_misuse_is_refused():
    with pytest.raises(TypeError, match="scalar output"):
        E.grad(lambda x: x * 2.0)(np.ones(2))
    with pytest.raises(TypeError, match="floating point"):
        E.grad(lambda x: E.sum(x))(np.arange(3))
