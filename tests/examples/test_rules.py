"""The reference frontend's rules, one table per family, on real and complex
inputs: each row is checked forwards and backwards against central
differences, to second order (forward over reverse and reverse over
reverse), and against JAX. Then NumPy's own signatures through dispatch,
and holomorphic derivatives."""

import os
import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))

import eager as E  # noqa: E402

os.environ.setdefault("JAX_PLATFORMS", "cpu")
try:
    import jax
    import jax.numpy as jnp
    jax.config.update("jax_enable_x64", True)
except ImportError:
    jax = None

pytestmark = pytest.mark.no_leak_check  # NumPy's and JAX's caches grow on first calls
RNG = np.random.default_rng(29)


def real(*shape):
    return RNG.normal(size=shape)


def cplx(*shape):
    return RNG.normal(size=shape) + 1j * RNG.normal(size=shape)


def positive(*shape):
    return RNG.uniform(0.5, 2.0, size=shape)


def mT(ns, x):
    return ns.swapaxes(x, -1, -2)


def hermitian(ns, x):
    return x + ns.conj(mT(ns, x))


def spd(ns, x):
    return x @ ns.conj(mT(ns, x)) + 3.0 * np.eye(x.shape[-1])


# name: (f(ns, *args), args); ns is the frontend or jax.numpy. A row whose
# name ends in "!" has no JAX counterpart (JAX does not order complex numbers).
UNARY = {
    "abs": (lambda ns, x: ns.abs(x), [real(5)]),
    "abs_complex": (lambda ns, z: ns.abs(z), [cplx(5)]),
    "abs_rotated": (lambda ns, z: ns.abs(1j * z) * ns.real(z), [cplx(5)]),
    "sign_complex": (lambda ns, z: ns.sign(z) * z, [cplx(5)]),
    "parts": (lambda ns, z: ns.real(z) * ns.imag(z) + ns.conj(z) * ns.angle(z), [cplx(5)]),
    "angle_real": (lambda ns, x: ns.angle(x) * x, [real(5)]),
    "logs": (lambda ns, x: ns.log2(x) * ns.log10(x) + ns.exp2(x), [positive(5)]),
    "logs_complex": (lambda ns, z: ns.log2(z) + ns.log10(z) * ns.exp2(z), [cplx(5)]),
    "floor_ceil": (lambda ns, x: ns.floor(x * 3.0) * x + ns.ceil(x) * x * x, [real(5)]),
    "holomorphic_complex": (lambda ns, z: ns.tanh(z) * ns.exp(z) / ns.sqrt(z) + ns.log1p(z) ** 2 * ns.prod(z)
                            + ns.arctan(z) * ns.mean(z * z) - ns.cos(z) ** z, [cplx(5)]),
}
BINARY = {
    "maximum": (lambda ns, a, b: ns.maximum(a, b) * ns.minimum(a, b), [real(5), real(5)]),
    "maximum_complex!": (lambda ns, a, b: ns.maximum(a, b) * ns.minimum(a, b), [cplx(5), cplx(5)]),
    "clip_complex!": (lambda ns, z: ns.clip(z, -0.5 - 0.5j, 0.5), [cplx(6)]),
    "mod": (lambda ns, a, b: ns.mod(a, b) * a, [real(5) * 3, positive(5)]),
}
REDUCTIONS = {
    "var_std": (lambda ns, x: ns.var(x, axis=0, ddof=1) * ns.std(x, axis=1, keepdims=True), [real(3, 4)]),
    "var_complex": (lambda ns, z: ns.var(z) + ns.std(z, axis=-1), [cplx(2, 4)]),
    "cumsum": (lambda ns, x: ns.cumsum(x, axis=1) * ns.cumsum(x)[:3], [cplx(2, 3)]),
    "vector_norms": (lambda ns, x: ns.stack([ns.linalg.norm(x), ns.linalg.norm(x, 1), ns.linalg.norm(x, np.inf),
                                             ns.linalg.norm(x, -np.inf), ns.linalg.norm(x, 3)]), [real(5)]),
    "matrix_norms": (lambda ns, x: ns.stack([ns.linalg.norm(x, o) for o in ("fro", "nuc", 2, -2, 1, -1, np.inf)]),
                     [real(3, 4)]),
    "norm_axis": (lambda ns, z: ns.linalg.norm(z, axis=(0, 2), keepdims=True), [cplx(3, 2, 4)]),
}
LINALG = {
    "einsum": (lambda ns, a, b: ns.einsum("...ij,jk->...ik", a, b) + ns.einsum("ii", b[:, :3]),
               [cplx(2, 3, 3), real(3, 4)]),
    "einsum_diagonal": (lambda ns, a, b: ns.einsum("iij,k->ik", a, b), [real(3, 3, 2), real(2)]),
    "tensordot_outer": (lambda ns, a, b: ns.tensordot(a, b, axes=([0, 2], [1, 0])) * ns.outer(a[0, 0], b[0, 0]),
                        [real(2, 3, 4), cplx(4, 2)]),
    "solve": (lambda ns, a, b, c: ns.linalg.solve(a, b) @ ns.linalg.solve(a, c), [real(2, 3, 3), real(3), real(3, 2)]),
    "inv_det": (lambda ns, a: ns.linalg.inv(a) * ns.linalg.det(a)[..., None, None], [cplx(2, 3, 3)]),
    "slogdet": (lambda ns, a: ns.linalg.slogdet(a)[0] * ns.linalg.slogdet(a)[1], [real(3, 3)]),
    "slogdet_complex": (lambda ns, a: ns.linalg.slogdet(a)[0] * ns.linalg.slogdet(a)[1], [cplx(2, 3, 3)]),
    "cholesky": (lambda ns, x: ns.linalg.cholesky(spd(ns, x)), [real(3, 3)]),
    "cholesky_complex": (lambda ns, x: ns.linalg.cholesky(spd(ns, x)), [cplx(3, 3)]),
    "eigh": (lambda ns, x: eigh_invariants(ns, hermitian(ns, x)), [real(2, 3, 3)]),
    "eigh_complex": (lambda ns, x: eigh_invariants(ns, hermitian(ns, x)), [cplx(3, 3)]),
    "svd_tall": (lambda ns, x: svd_invariants(ns, x), [real(4, 3)]),
    "svd_wide_complex": (lambda ns, x: svd_invariants(ns, x), [cplx(2, 3)]),
}
SHAPES = {
    "repeat_tile": (lambda ns, x: ns.repeat(x, 2, axis=1) * ns.tile(x, (1, 2)), [real(2, 3)]),
    "roll_flip": (lambda ns, x: ns.roll(x, 2) * ns.flip(x, 0) + ns.roll(x, -1, axis=1), [cplx(2, 3)]),
    "stacks_split": (lambda ns, x, y: ns.vstack([x, y]) @ ns.hstack(ns.split(y, 3, axis=1)).T,
                     [real(2, 3), real(2, 3)]),
    "triangles": (lambda ns, x: ns.tril(x, -1) + ns.triu(x, 1) * 2.0 + ns.diag(ns.diag(x, 1), -1), [real(3, 3)]),
    "diagonal_trace": (lambda ns, x: ns.diagonal(x, 1, 2, 0) * ns.trace(x, -1, 0, 2)[:, None], [real(3, 3, 4)]),
    "diff": (lambda ns, x: ns.diff(x, 2, axis=0, prepend=1.0) * ns.diff(x)[:1, :1], [cplx(4, 3)]),
}
FAMILIES = {"unary": UNARY, "binary": BINARY, "reductions": REDUCTIONS, "linalg": LINALG, "shapes": SHAPES}
ROWS = [(f"{family}-{name}", *row) for family, table in FAMILIES.items() for name, row in table.items()]


def eigh_invariants(ns, h):
    # Eigenvectors are fixed up to a phase each: compare what does not see it.
    w, v = ns.linalg.eigh(h)
    return w, (v * ns.exp(w)[..., None, :]) @ ns.conj(mT(ns, v)), v * ns.conj(v)


def svd_invariants(ns, x):
    u, s, vh = ns.linalg.svd(x, full_matrices=False)
    return s, (u * ns.sin(s)) @ vh, u * ns.conj(u)


def leaves(out):
    return list(out) if type(out) in (tuple, list) else [out]


def like(x):
    return (cplx if np.iscomplexobj(x) else real)(*np.shape(x))


def pairing(a, b):
    """Re sum(a * b) over matching leaves: how a cotangent acts on a tangent."""
    return sum(np.real(np.sum(np.asarray(x) * np.asarray(y))) for x, y in zip(leaves(a), leaves(b)))


def directional(f, args, tangents, h=1e-6):
    hi = f(*(a + h * t for a, t in zip(args, tangents)))
    lo = f(*(a - h * t for a, t in zip(args, tangents)))
    return [(np.asarray(p) - np.asarray(q)) / (2 * h) for p, q in zip(leaves(hi), leaves(lo))]


def assert_close(got, want, rtol=1e-6):
    for g, w in zip(leaves(got), leaves(want)):
        error = np.linalg.norm(np.asarray(g) - w) / max(np.linalg.norm(w), 1.0)
        assert error < rtol, f"relative error {error:.2e}"


def scalar_loss(f, args):
    """Re sum(w * f): a real scalar that sees every output, for the
    second-order checks."""
    weights = [like(y) for y in leaves(f(*args))]
    return lambda *xs: sum(E.sum(E.real(y * w)) for y, w in zip(leaves(f(*xs)), weights))


@pytest.mark.parametrize("name, fn, args", ROWS, ids=[r[0] for r in ROWS])
def test_rows_match_central_differences_to_second_order(name, fn, args):
    f = lambda *xs: fn(E, *xs)  # noqa: E731
    tangents = [like(a) for a in args]
    out, forward = E.jvp(f, args, tangents)
    want = directional(f, args, tangents)
    assert [np.result_type(t) for t in leaves(forward)] == [np.result_type(y) for y in leaves(out)]
    assert_close(forward, want)
    cotangents = [like(y) for y in leaves(out)]
    _, pullback = E.vjp(f, *args)
    backward = pullback(tuple(cotangents) if type(out) is tuple else cotangents[0])
    assert [np.result_type(g) for g in backward] == [np.result_type(a) for a in args]
    assert pairing(backward, tangents) == pytest.approx(pairing(cotangents, want), rel=1e-6, abs=1e-9)

    gradient = E.grad(scalar_loss(f, args), argnums=tuple(range(len(args))))
    curvature = directional(gradient, args, tangents)
    assert_close(E.jvp(gradient, args, tangents)[1], curvature)
    probes = [like(a) for a in args]
    _, second = E.vjp(gradient, *args)
    assert pairing(second(tuple(probes)), tangents) == pytest.approx(pairing(probes, curvature), rel=1e-6, abs=1e-9)


@pytest.mark.skipif(jax is None, reason="JAX is not installed")
@pytest.mark.parametrize("name, fn, args", [r for r in ROWS if not r[0].endswith("!")],
                         ids=[r[0] for r in ROWS if not r[0].endswith("!")])
def test_rows_match_jax_to_second_order(name, fn, args):
    f = lambda *xs: fn(E, *xs)  # noqa: E731
    f_jax = lambda *xs: fn(jnp, *xs)  # noqa: E731
    nums = tuple(range(len(args)))
    tangents = tuple(like(a) for a in args)
    out, forward = E.jvp(f, args, tangents)
    seed = tuple(like(y) for y in out) if type(out) is tuple else like(out)
    weights = [like(y) for y in leaves(out)]

    def loss(ns, f):
        return lambda *xs: sum(ns.sum(ns.real(y * w)) for y, w in zip(leaves(f(*xs)), weights))

    # One compiled reference per row: JAX compiles each operation on its own
    # otherwise, which takes far longer.
    @jax.jit
    def reference(xs, ts, seed):
        hvp = jax.jvp(jax.grad(loss(jnp, f_jax), argnums=nums), xs, ts)[1]
        return (*jax.jvp(f_jax, xs, ts), jax.vjp(f_jax, *xs)[1](seed), hvp)

    out_jax, forward_jax, backward_jax, hvp_jax = reference(tuple(args), tangents, seed)
    assert_close(out, leaves(out_jax), 1e-10)
    assert_close(forward, leaves(forward_jax), 1e-10)
    assert_close(E.vjp(f, *args)[1](seed), backward_jax, 1e-10)
    assert_close(E.jvp(E.grad(loss(E, f), argnums=nums), args, tangents)[1], hvp_jax, 1e-9)


MASK = RNG.normal(size=(3, 4)) > 0
LOWER_PD = np.tril(real(3, 3), -1) + spd(np, real(3, 3))  # positive definite by its upper triangle

# NumPy's functions called on traced arrays as NumPy's own callers write
# them: keywords, aliases, int or sequence axes.
SIGNATURES = {
    "clip_ufunc": (lambda x: np.clip(x, a_min=-0.5, a_max=0.5) + np.clip(x, min=0.2) * np.exp(x, where=True, dtype=None),
                   [real(6)]),
    "swapaxes_moveaxis": (lambda x: np.swapaxes(x, axis1=0, axis2=2) + np.moveaxis(x, 0, 2)
                          + np.moveaxis(x, source=[0, 1], destination=[2, 0]), [real(3, 3, 3)]),
    "reductions": (lambda x: np.sum(a=x, axis=(0, 2), keepdims=True, dtype=None, out=None)
                   * np.mean(x, axis=-1)[:, :, None] * np.max(x, axis=-1, keepdims=True) * np.prod(x), [real(2, 3, 2)]),
    "reshapes": (lambda x: np.reshape(x, shape=(4, 6), order="C") @ np.transpose(x, axes=(2, 0, 1)).reshape(6, 4)
                 + np.squeeze(np.expand_dims(np.broadcast_to(array=x[0, 0], shape=(4, 4)), axis=(0, -1)),
                              axis=(0, 3)), [real(2, 3, 4)]),
    "joins": (lambda x, y: np.concatenate([x, y], axis=None) + np.stack(arrays=[x, y], axis=-1).ravel()
              + np.where(MASK, x, y).ravel() @ np.ones((12, 24)), [real(3, 4), real(3, 4)]),
    "contractions": (lambda x, y: np.einsum("ij,jk", x, y.T, optimize=True) + np.tensordot(x, y.T, axes=1)
                     + np.outer(x[0, :3], y[:, 1]) + np.dot(x, b=y.T), [real(3, 4), real(3, 4)]),
    "statistics": (lambda x: np.var(x, axis=1, correction=1) + np.std(x, ddof=1, keepdims=True)[0]
                   + np.linalg.norm(x, ord="fro", axis=(1, 0), keepdims=True)[0], [real(3, 3)]),
    "scans": (lambda x: np.cumsum(x, axis=None)[:4] + np.diff(x, n=2, axis=0, append=0.0).ravel(), [real(3, 2)]),
    "triangles": (lambda x: np.tril(m=x, k=1) + np.triu(x, k=-1) + np.diag(v=np.diagonal(x, offset=1, axis1=1, axis2=0),
                                                                         k=-1) * np.trace(x, offset=1), [real(3, 3)]),
    "gathers": (lambda x: np.repeat(a=x, repeats=[1, 2, 0], axis=0) + np.tile(A=x, reps=(2, 1))[1:4]
                + np.roll(x, shift=(1, -1), axis=(0, 1)) * np.flip(m=x, axis=1), [real(3, 4)]),
    "stacks": (lambda x, y: np.hstack(tup=[x, y]) + np.vstack([x, y]).reshape(2, 6) + np.concatenate(
        np.split(ary=x, indices_or_sections=[1, 3], axis=1) + np.split(y, 3, axis=-1), axis=1),
               [real(2, 3), real(2, 3)]),
    "complex_parts": (lambda z: np.angle(z, deg=True) + np.real(z) * np.imag(val=z) + np.conj(z), [cplx(4)]),
    "triangle_factors": (lambda a: (lambda w, v: (w, v * v))(*np.linalg.eigh(a, UPLO="U"))
                         + (np.linalg.cholesky(a, upper=True),), [LOWER_PD]),
    "solvers": (lambda a, b: (np.linalg.solve(a=a, b=b), np.linalg.svd(a, full_matrices=False, compute_uv=False),
                              np.linalg.slogdet(a)[1], np.linalg.inv(a) * np.linalg.det(a)), [real(3, 3), real(3)]),
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_numpy_signatures_reach_the_rules(name):
    f, args = SIGNATURES[name]
    tangents = [like(a) for a in args]
    out, forward = E.jvp(f, args, tangents)
    assert_close(out, leaves(f(*args)), 1e-12)
    want = directional(f, args, tangents)
    assert_close(forward, want)
    cotangents = [like(y) for y in leaves(out)]
    backward = E.vjp(f, *args)[1](tuple(cotangents) if type(out) is tuple else cotangents[0])
    assert pairing(backward, tangents) == pytest.approx(pairing(cotangents, want), rel=1e-6, abs=1e-9)


def holomorphic(ns):
    return lambda z: ns.sin(z) * z ** 2 + ns.exp(z) / (z + 2.0)


@pytest.mark.skipif(jax is None, reason="JAX is not installed")
def test_holomorphic_derivatives_match_jax():
    z = cplx(3)
    total = lambda ns: lambda z: ns.sum(holomorphic(ns)(z))  # noqa: E731
    for name in ("jacfwd", "jacrev", "hessian"):
        f = total if name == "hessian" else holomorphic
        assert_close(getattr(E, name)(f(E), holomorphic=True)(z), getattr(jax, name)(f(jnp), holomorphic=True)(z),
                     1e-12)
    value, g = E.value_and_grad(total(E), holomorphic=True)(z)
    value_jax, g_jax = jax.value_and_grad(total(jnp), holomorphic=True)(z)
    assert_close([value, g], [value_jax, g_jax], 1e-12)
    assert_close(E.grad(lambda w: holomorphic(E)(w), holomorphic=True)(0.3 + 0.4j),
                 jax.grad(holomorphic(jnp), holomorphic=True)(0.3 + 0.4j), 1e-12)


@pytest.mark.parametrize("transform, x, message", [
    (E.grad(lambda z: E.sum(z * z), holomorphic=True), real(3),
     "^grad with holomorphic=True needs complex inputs, got float64$"),
    (E.value_and_grad(lambda z: E.sum(E.abs(z)), holomorphic=True), cplx(3),
     "^grad with holomorphic=True needs complex outputs, got float64$"),
    (E.jacrev(E.abs, holomorphic=True), cplx(3), "^jacrev with holomorphic=True needs complex outputs, got float64$"),
    (E.jacfwd(lambda z: z * z), cplx(3), "^jacfwd needs real inputs, got complex128; pass holomorphic=True for a "
                                         "holomorphic function, or use jvp$"),
    (E.jacrev(lambda x: x * 1j), real(3), "^jacrev needs real outputs, got complex128; "),
    (E.grad(lambda z: E.sum(z * z)), cplx(3), "^grad needs a real floating-point output, got complex128; "),
], ids=["grad_real_input", "grad_real_output", "jacrev_real_output", "jacfwd_complex_input",
        "jacrev_complex_output", "grad_complex_output"])
def test_complex_dtypes_each_transform_refuses(transform, x, message):
    with pytest.raises(TypeError, match=message):
        transform(x)


def test_svd_of_a_traced_rectangle_needs_reduced_vectors():
    with pytest.raises(ValueError, match="needs full_matrices=False"):
        E.jvp(lambda x: np.linalg.svd(x)[0], (real(3, 2),), (real(3, 2),))
