"""Nested transforms of the reference eager frontend (derivatives of
derivatives, Hessians, Hessian-vector products, closures over an enclosing
trace), argnums, pytrees and auxiliary outputs, checked against the results
of autograd and JAX (float64, without jit) on the same functions."""

import os
import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))

import eager as E  # noqa: E402

os.environ.setdefault("JAX_PLATFORMS", "cpu")
autograd = pytest.importorskip("autograd")
jax = pytest.importorskip("jax")
jax.config.update("jax_enable_x64", True)

import autograd.numpy as anp  # noqa: E402
import jax.numpy as jnp  # noqa: E402


class Namespace:
    """One array namespace per library, with the few functions that some of
    them lack filled in from the others."""

    def __init__(self, module, **extra):
        self.module, self.extra = module, extra

    def __getattr__(self, name):
        return self.extra[name] if name in self.extra else getattr(self.module, name)


NAMESPACES = {
    "eager": Namespace(E),
    "autograd": Namespace(anp, sigmoid=lambda x: 0.5 * (anp.tanh(0.5 * x) + 1), max=anp.max, min=anp.min),
    "jax": Namespace(jnp, sigmoid=jax.nn.sigmoid),
}
TRANSFORMS = {
    "eager": {"grad": E.grad, "hessian": E.hessian, "jacfwd": E.jacfwd, "jacrev": E.jacrev},
    "autograd": {"grad": lambda f, argnums=0: autograd.grad(f, argnum=argnums), "hessian": autograd.hessian,
                 "jacfwd": autograd.jacobian, "jacrev": autograd.jacobian},
    "jax": {"grad": jax.grad, "hessian": jax.hessian, "jacfwd": jax.jacfwd, "jacrev": jax.jacrev},
}

RNG = np.random.default_rng(16)
W = RNG.normal(size=(4, 3))

# Scalar functions of one vector, written once for every namespace.
FUNCTIONS = {
    "polynomial": lambda ns, x: ns.sum(x ** 3 * x[0] - 2.0 * x * x[::-1]),
    "transcendental": lambda ns, x: ns.sum(ns.sin(x) * ns.exp(x / 2.0) + ns.log1p(x * x) * ns.arctan(x)),
    "network": lambda ns, x: ns.mean((ns.tanh(W @ x[:3] + x[3]) - 0.5) ** 2),
    "sigmoid_dot": lambda ns, x: ns.dot(ns.sigmoid(x), ns.cosh(x) - ns.sinh(x * 0.5)),
    "joined": lambda ns, x: ns.sum(ns.concatenate([x, x[:2] * x[2:]]) ** 2) * ns.prod(x[1:3]),
    "traced_power": lambda ns, x: ns.sum(1.5 ** x + (x * x + 1.0) ** (x / 4.0)),
    "selection": lambda ns, x: ns.sum(ns.where(x > 0.1, x ** 3, ns.sin(x))) + ns.max(x * x[::-1]),
}
POINT = RNG.normal(size=4) * 0.8


def run(library, transform, name, x, *options):
    ns = NAMESPACES[library]
    fn = TRANSFORMS[library][transform](lambda x: FUNCTIONS[name](ns, x), *options)
    return np.asarray(fn(jnp.asarray(x) if library == "jax" else x))


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("transform", ["grad", "hessian"])
def test_gradients_and_hessians_match_autograd(name, transform):
    np.testing.assert_allclose(run("eager", transform, name, POINT), run("autograd", transform, name, POINT),
                               rtol=1e-10, atol=1e-12)


# The JAX references are compiled: without jit JAX dispatches and compiles
# every operation of every transform on its own, which takes far longer.
@pytest.mark.parametrize("name", ["network", "selection", "traced_power"])
def test_gradients_hessians_and_hessian_vector_products_match_jax(name):
    f = lambda x: FUNCTIONS[name](E, x)  # noqa: E731
    f_jax = lambda x: FUNCTIONS[name](NAMESPACES["jax"], x)  # noqa: E731
    v = RNG.normal(size=4)
    hvp_jax = jax.jit(lambda x, v: jax.jvp(jax.grad(f_jax), (x,), (v,))[1])
    for got, want in ((E.grad(f)(POINT), jax.jit(jax.grad(f_jax))(POINT)),
                      (E.hessian(f)(POINT), jax.jit(jax.hessian(f_jax))(POINT)),
                      (E.hvp(f, (POINT,), (v,)), hvp_jax(POINT, v))):
        np.testing.assert_allclose(got, np.asarray(want), rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_every_nesting_of_jacobians_gives_the_hessian(name):
    f = lambda x: FUNCTIONS[name](E, x)  # noqa: E731
    want = E.hessian(f)(POINT)
    np.testing.assert_allclose(want, want.T, rtol=1e-12, atol=1e-12)
    for outer in (E.jacfwd, E.jacrev):
        for inner in (E.jacfwd, E.jacrev):
            np.testing.assert_allclose(outer(inner(f))(POINT), want, rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(E.jacrev(E.grad(f))(POINT), want, rtol=1e-10, atol=1e-12)
    v = RNG.normal(size=4)
    np.testing.assert_allclose(E.hvp(f, (POINT,), (v,)), want @ v, rtol=1e-10, atol=1e-12)


def test_derivatives_of_any_order():
    x = 0.7
    third = E.grad(E.grad(E.grad(E.sin)))
    assert third(x) == pytest.approx(-np.cos(x), rel=1e-14)
    fourth = E.grad(E.grad(E.grad(E.grad(lambda s: s ** 5))))
    assert fourth(x) == pytest.approx(120 * x, rel=1e-14)
    _, t = E.jvp(E.grad(lambda s: E.exp(s * 2.0)), (x,), (1.0,))
    assert t == pytest.approx(4 * np.exp(2 * x), rel=1e-14)


def test_gradient_of_a_function_closing_over_an_enclosing_trace():
    def outer(a):
        # The inner gradient sees `a` as a constant of its own trace, but
        # its rules record onto the outer one, so d/da flows through it.
        return E.grad(lambda b: E.sum(E.sin(a * b) * b))(np.array([0.5, -1.0]))

    def outer_autograd(a):
        return autograd.grad(lambda b: anp.sum(anp.sin(a * b) * b))(np.array([0.5, -1.0]))

    a = np.array([1.2, 0.3])
    np.testing.assert_allclose(E.jacrev(outer)(a), autograd.jacobian(outer_autograd)(a), rtol=1e-12)
    np.testing.assert_allclose(E.jacfwd(outer)(a), E.jacrev(outer)(a), rtol=1e-12)


def test_the_inner_walk_records_onto_the_enclosing_trace():
    seen = []

    def inner_gradient(x):
        g = E.grad(lambda y: E.sum(E.tanh(y)))(x)
        seen.append(type(g) is E.Tracer and g.trace.tape is not None)
        return E.sum(g)

    rec = E.Recording(inner_gradient, (np.ones(3),), (0,))
    assert seen == [True]
    # tanh's VJP multiplies by its residual 1 - y**2, computed on this trace.
    assert {"tanh", "multiply", "subtract"} <= set(rec.tape.op_names)


@pytest.mark.filterwarnings("ignore:Output seems independent of input")
def test_argnums_on_every_transform():
    def f(a, b, c):
        return E.sum(E.sin(a) * b) * c

    def f_autograd(a, b, c):
        return anp.sum(anp.sin(a) * b) * c

    args = (RNG.normal(size=3), RNG.normal(size=3), 1.5)
    peers = {E.grad: autograd.grad, E.jacfwd: autograd.jacobian, E.jacrev: autograd.jacobian,
             E.hessian: autograd.hessian}
    for transform, peer in peers.items():
        singles = [transform(f, k)(*args) for k in range(3)]
        for k, got in enumerate(singles):
            np.testing.assert_allclose(got, peer(f_autograd, k)(*args), rtol=1e-12, atol=1e-14)
        np.testing.assert_allclose(transform(f, -1)(*args), singles[2], rtol=1e-15)
        both = transform(f, (2, 0))(*args)
        assert type(both) is tuple and len(both) == 2
        if transform is not E.hessian:  # the Hessian's tuple holds the cross terms
            np.testing.assert_allclose(both[0], singles[2], rtol=1e-15)
            np.testing.assert_allclose(both[1], singles[0], rtol=1e-15)
    (aa, ac), (ca, cc) = E.hessian(f, (0, 2))(*args)
    np.testing.assert_allclose(aa, autograd.hessian(f_autograd, 0)(*args), rtol=1e-12, atol=1e-14)
    cross = autograd.jacobian(autograd.grad(f_autograd, 0), 2)(*args)
    np.testing.assert_allclose(ac, cross, rtol=1e-12)
    np.testing.assert_allclose(ca, cross, rtol=1e-12)
    assert cc == 0.0
    value, grads = E.value_and_grad(f, argnums=(1, 2))(*args)
    assert value == pytest.approx(f_autograd(*args)) and len(grads) == 2
    with pytest.raises(ValueError, match="out of range"):
        E.grad(f, argnums=3)(*args)


def test_pytrees_in_and_out():
    params = {"w": RNG.normal(size=(3, 2)), "b": [np.zeros(2), 0.5]}
    x = RNG.normal(size=(4, 3))

    def loss(p, x):
        return E.mean(E.tanh(x @ p["w"] + p["b"][0]) * p["b"][1])

    def loss_autograd(p, x):
        return anp.mean(anp.tanh(x @ p["w"] + p["b"][0]) * p["b"][1])

    g = E.grad(loss)(params, x)
    want = autograd.grad(loss_autograd)(params, x)
    assert set(g) == {"w", "b"} and type(g["b"]) is list and type(g["b"][1]) is float
    for got, w in ((g["w"], want["w"]), (g["b"][0], want["b"][0]), (g["b"][1], want["b"][1])):
        np.testing.assert_allclose(got, np.asarray(w), rtol=1e-12)

    def pair(v):
        return {"sum": E.sum(v), "parts": (v * 2.0, E.sin(v))}

    v = np.array([0.1, 0.2])
    out, tangent = E.jvp(pair, (v,), (np.ones(2),))
    np.testing.assert_allclose(tangent["parts"][1], np.cos(v))
    assert tangent["sum"] == pytest.approx(2.0) and out["parts"][0].tolist() == [0.2, 0.4]
    _, pullback = E.vjp(pair, v)
    (ct,) = pullback({"sum": 1.0, "parts": (np.ones(2), np.zeros(2))})
    np.testing.assert_allclose(ct, [3.0, 3.0])
    jac = E.jacrev(pair)(v)
    np.testing.assert_allclose(jac["parts"][1], np.diag(np.cos(v)))
    with pytest.raises(TypeError, match="cotangent structure"):
        pullback((1.0, np.ones(2)))


def test_auxiliary_outputs():
    def f(x):
        y = E.sin(x)
        return E.sum(y), {"y": y, "note": "kept"}

    x = np.array([0.3, 0.6])
    g, aux = E.grad(f, has_aux=True)(x)
    np.testing.assert_allclose(g, np.cos(x))
    assert aux["note"] == "kept" and type(aux["y"]) is np.ndarray
    np.testing.assert_allclose(aux["y"], np.sin(x))
    (value, aux), g = E.value_and_grad(f, has_aux=True)(x)
    assert value == pytest.approx(np.sum(np.sin(x)))
    with pytest.raises(TypeError, match=r"must return a pair \(output, aux\), got Tracer$"):
        E.grad(lambda x: x, has_aux=True)(x)


@pytest.mark.serial
def test_two_threads_nest_transforms_at_once():
    # Traces are found from the operands, not from a global "current trace",
    # so interleaved recordings on two threads stay apart.
    import threading

    f = lambda x: FUNCTIONS["transcendental"](E, x)  # noqa: E731
    want = E.hessian(f)(POINT)
    results, errors = [], []

    def work():
        try:
            for _ in range(20):
                results.append(E.hessian(f)(POINT))
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=work) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and len(results) == 40
    for got in results:
        np.testing.assert_array_equal(got, want)
