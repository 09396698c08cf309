"""Gradients through the walks with NumPy rules for a few primitives, checked
against hand-derived results."""

import numpy as np
import pytest

from vorlix._native_core import DynamicTape, dynamic_jvp, dynamic_jvp_many, dynamic_vjp, dynamic_vjp_many

# These tests check results with NumPy's assertions, whose caches keep
# growing through their first few hundred calls, so memory grows in every
# short repetition: the leak run skips them (the walks they drive are
# repeated by the leak run through test_walks.py and test_boundary.py).
pytestmark = pytest.mark.no_leak_check

# Each primitive: (jvp rule, vjp rule, reverse needs).
RULES = {
    "mul": (
        lambda out, p, t, *r: sum(ti * p[1 - i] for i, ti in enumerate(t) if ti is not None),
        lambda out, p, ct, *r: [ct * p[1], ct * p[0]],
        (False, True, False),
    ),
    "sin": (
        lambda out, p, t, *r: np.cos(p[0]) * t[0],
        lambda out, p, ct, *r: [ct * np.cos(p[0])],
        (False, True, False),
    ),
    "exp": (
        lambda out, p, t, *r: out * t[0],
        lambda out, p, ct, *r: [ct * out],
        (True, False, False),
    ),
    "matmul": (
        lambda out, p, t, *r: (t[0] @ p[1] if t[0] is not None else 0)
        + (p[0] @ t[1] if t[1] is not None else 0),
        lambda out, p, ct, *r: [ct @ p[1].T, p[0].T @ ct],
        (False, True, False),
    ),
    "sum": (
        lambda out, p, t, *r: np.sum(t[0]),
        lambda out, p, ct, attrs, active, res, specs, src: [np.broadcast_to(ct, specs[0][0]).copy()],
        (False, False, False),
    ),
    # x ** k with the exponent recorded as a literal in operand slot 1
    "pow": (
        lambda out, p, t, *r: p[1] * p[0] ** (p[1] - 1) * t[0],
        lambda out, p, ct, *r: [ct * p[1] * p[0] ** (p[1] - 1), None],
        (False, True, False),
    ),
}


class Recorder:
    def __init__(self):
        self.tape = DynamicTape()

    def input(self, value):
        return self.tape.record_input(value, list(np.shape(value)), "float64"), value

    def op(self, name, *operands, literal=None):
        ids = [i for i, _ in operands]
        values = [v for _, v in operands]
        kw = {}
        if literal is not None:
            kw = dict(input_positions=[0], literals=(literal,))
            values = values + [literal]
        out = {
            "mul": lambda a, b: a * b, "sin": np.sin, "exp": np.exp, "matmul": lambda a, b: a @ b,
            "sum": np.sum, "pow": lambda a, k: a ** k,
        }[name](*values)
        return self.tape.record_operation(name, ids, out, None, list(np.shape(out)), "float64", **kw), out

    def freeze(self, *outputs):
        for node, _ in outputs:
            self.tape.mark_output(node)
        names = self.tape.op_names
        self.tape.freeze([RULES[n][0] if n in RULES else None for n in names],
                         [RULES[n][1] if n in RULES else None for n in names],
                         [RULES[n][2] if n in RULES else None for n in names])
        return self.tape


def loss_tape(x_value, w_value):
    """loss = sum(exp(sin(x @ w) * (x @ w)) ** 2)"""
    r = Recorder()
    x, w = r.input(x_value), r.input(w_value)
    h = r.op("matmul", x, w)
    s = r.op("sin", h)
    m = r.op("mul", s, h)
    e = r.op("exp", m)
    p = r.op("pow", e, literal=2.0)
    loss = r.op("sum", p)
    return r.freeze(loss), x[0], w[0], loss[0]


def loss_grads(x, w):
    h = x @ w
    m = np.sin(h) * h
    dm = 2 * np.exp(2 * m)  # d/dm of exp(m) ** 2
    dh = dm * (np.cos(h) * h + np.sin(h))
    return dh @ w.T, x.T @ dh


@pytest.fixture
def data():
    rng = np.random.default_rng(7)
    return rng.normal(size=(3, 4)) * 0.3, rng.normal(size=(4, 2)) * 0.3


@pytest.mark.parametrize("consume", [False, True])
def test_reverse_gradient_matches_hand_derivation(data, consume):
    x, w = data
    tape, xi, wi, loss = loss_tape(x, w)
    gx, gw = dynamic_vjp(tape, [(loss, 1.0)], [xi, wi], consume=consume)
    ex, ew = loss_grads(x, w)
    np.testing.assert_allclose(gx, ex, rtol=1e-12)
    np.testing.assert_allclose(gw, ew, rtol=1e-12)
    assert tape.is_consumed == consume
    if consume:
        assert tape.stats()["retained_value_count"] == 0


@pytest.mark.no_leak_check  # NumPy's assert_allclose fills caches over its first few hundred calls
def test_forward_directional_derivatives_match(data):
    x, w = data
    tape, xi, wi, loss = loss_tape(x, w)
    ex, ew = loss_grads(x, w)
    rng = np.random.default_rng(3)
    dx, dw = rng.normal(size=x.shape), rng.normal(size=w.shape)
    (jvp,) = dynamic_jvp(tape, [(xi, dx), (wi, dw)], [loss])
    np.testing.assert_allclose(jvp, np.sum(ex * dx) + np.sum(ew * dw), rtol=1e-12)


@pytest.mark.no_leak_check  # NumPy's assert_allclose fills caches over its first few hundred calls
def test_jacobian_both_ways_by_lanes():
    # f(v) = sin(v) * v on a vector of 5: the Jacobian is diagonal.
    v = np.linspace(-1.0, 1.0, 5)
    r = Recorder()
    vi = r.input(v)
    out = r.op("mul", r.op("sin", vi), vi)
    tape = r.freeze(out)
    expected = np.diag(np.cos(v) * v + np.sin(v))
    eye = np.eye(5)
    columns = dynamic_jvp_many(tape, [[(vi[0], eye[k])] for k in range(5)], [out[0]])
    rows = dynamic_vjp_many(tape, [[(out[0], eye[k])] for k in range(5)], [vi[0]])
    np.testing.assert_allclose(np.stack([c[0] for c in columns], axis=1), expected, rtol=1e-12)
    np.testing.assert_allclose(np.stack([r_[0] for r_ in rows]), expected, rtol=1e-12)
