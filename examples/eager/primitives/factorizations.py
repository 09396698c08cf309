"""Matrix factorizations: cholesky, eigh, svd and svdvals, for stacks of
real or complex matrices.

eigh and svd have several outputs: their node's value is the tuple of
outputs, its tangents and cotangents are tuples with None for an output
without one (see `Trace.record_outputs`). The rules read the outputs they
need as the node's output value; svdvals, which hands out only the singular
values, keeps the singular vectors its rules need as a residual.

These functions are not holomorphic (they conjugate), so the rules are the
transposes, under the convention of `complex_parts`, of the JVPs written
with conjugate transposes."""

import numpy as np

from ..tracing import Primitive, Tracer, bind, dtype_of, shape_of
from .complex_parts import conj, imag, is_complex, real
from .elementwise import where
from .linalg import solve
from .linear import OUTPUT, RESIDUAL, each, expand_dims, matrix_transpose, plus
from .shapes import diagonal, tril, triu


def adjoint(x):
    """The conjugate transpose of a stack of matrices."""
    return conj(matrix_transpose(x)) if is_complex(x) else matrix_transpose(x)


def conj_if_complex(x):
    return conj(x) if is_complex(x) else x


def real_if_complex(x):
    return real(x) if is_complex(x) else x


def diagonal_of(x):
    return diagonal(x, axis1=-2, axis2=-1)


def identity_like(v):
    """The identity matrix as large as `v`'s last axis, in `v`'s dtype (a
    float64 constant would promote float32 results)."""
    return np.eye(shape_of(v)[-1], dtype=dtype_of(v))


def diag_embed(v):
    """A stack of diagonal matrices with `v` on their diagonals."""
    return expand_dims(v, -1) * identity_like(v)


def hermitian(a, lower):
    """The Hermitian matrix that LAPACK sees when it reads only the lower
    (or upper) triangle of `a`: that triangle mirrored with conjugation,
    on a real diagonal. The factorizations below take this matrix, so
    their derivatives are those of what NumPy computes, and their own
    rules only ever see Hermitian tangents."""
    strict = tril(a, -1) if lower else triu(a, 1)
    n = shape_of(a)[-1]
    return strict + adjoint(strict) + where(np.eye(n, dtype=bool), real_if_complex(a), 0)


def eigenvalue_gaps(w):
    """1 / (w_j - w_i) off the diagonal, 0 on it."""
    eye = identity_like(w)
    return 1 / (expand_dims(w, -2) - expand_dims(w, -1) + eye) - eye


# --- cholesky ----------------------------------------------------------------


def halved_lower(factor):
    """The weights of the lower triangle with its diagonal halved: the part
    of a Hermitian perturbation that moves a Cholesky factor."""
    eye = np.eye(shape_of(factor)[-1], dtype=np.finfo(dtype_of(factor)).dtype)
    return np.tril(np.ones_like(eye)) - 0.5 * eye


def cholesky_jvp(out, x, t, attrs, src, res):
    # L^-1 dA L^-H = X  =>  dL = L (X on the lower triangle, half diagonal)
    spread = adjoint(solve(out, adjoint(solve(out, t[0]))))
    return out @ (spread * halved_lower(out))


def cholesky_vjp(out, x, ct, attrs, active, res, specs, src):
    # dA's cotangent: L^-T (L^T c on the lower triangle, half diagonal) conj(L)^-1,
    # the last factor applied as the transpose of L^H \ inner^T.
    inner = solve(matrix_transpose(out), (matrix_transpose(out) @ ct) * halved_lower(out))
    return each(active, specs, lambda k: matrix_transpose(solve(adjoint(out), matrix_transpose(inner))))


CHOLESKY = Primitive("cholesky", np.linalg.cholesky, cholesky_jvp, cholesky_vjp, OUTPUT)


def cholesky(a, upper=False):
    factor = bind(CHOLESKY, hermitian(a, lower=not upper))
    return adjoint(factor) if upper else factor


# --- eigh --------------------------------------------------------------------


def eigh_jvp(out, x, t, attrs, src, res):
    # With M = V^H dA V: dw = Re diag M, dV = V (gaps * M).
    w, v = out
    m = adjoint(v) @ t[0] @ v
    return real_if_complex(diagonal_of(m)), v @ (eigenvalue_gaps(w) * m)


def eigh_vjp(out, x, ct, attrs, active, res, specs, src):
    (w, v), (w_ct, v_ct) = out, ct
    g = plus(None if w_ct is None else diag_embed(w_ct),
             None if v_ct is None else eigenvalue_gaps(w) * (matrix_transpose(v) @ v_ct))
    return each(active, specs, lambda k: conj_if_complex(v) @ g @ matrix_transpose(v))


EIGH = Primitive("eigh", lambda h: tuple(np.linalg.eigh(h)), eigh_jvp, eigh_vjp, OUTPUT)


def eigh(a, UPLO="L"):  # noqa: N803 - NumPy's name
    if UPLO not in ("L", "U"):
        raise ValueError("UPLO must be 'L' or 'U'")
    return bind(EIGH, hermitian(a, lower=UPLO == "L"))


# --- svd ---------------------------------------------------------------------
# A = U S V^H with k = min(m, n) singular values. With P = U^H dA V:
# ds = Re diag P, U^H dU = F (P S + S P^H) (+ i Im diag P / s on the
# diagonal, the phase that fixes complex singular vectors), V^H dV =
# F (S P + P^H S), F = 1 / (s_j^2 - s_i^2) off the diagonal, and where the
# matrix is not square the part of dA outside the span of U (or V) moves
# the vectors by dA V / s (or dA^H U / s).


def squared_gaps(s):
    eye = identity_like(s)
    return 1 / (expand_dims(s * s, -2) - expand_dims(s * s, -1) + eye) - eye


def svd_jvp(out, x, t, attrs, src, res):
    (u, s, vh), da = out, t[0]
    v = adjoint(vh)
    p = adjoint(u) @ da @ v
    ph = adjoint(p)
    rows, cols = expand_dims(s, -2), expand_dims(s, -1)  # s_j across, s_i down
    gaps = squared_gaps(s)
    du = u @ (gaps * (p * rows + cols * ph))
    if is_complex(p):
        du = du + u @ diag_embed(1j * imag(diagonal_of(p)) / s)
    dv = v @ (gaps * (cols * p + ph * rows))
    m, n = shape_of(da)[-2:]
    if m > n:
        du = du + (da @ v - u @ p) / rows
    if n > m:
        dv = dv + (adjoint(da) @ u - v @ ph) / rows
    return du, real_if_complex(diagonal_of(p)), adjoint(dv)


def svd_vjp(out, x, ct, attrs, active, res, specs, src):
    (u, s, vh), (u_ct, s_ct, vh_ct) = out, ct
    v = adjoint(vh)
    rows, cols = expand_dims(s, -2), expand_dims(s, -1)
    gaps = squared_gaps(s)
    m, n = specs[0][0][-2:]
    p_ct = None if s_ct is None else diag_embed(s_ct)  # the cotangent of P = U^H dA V
    outside = None  # the cotangent of dA from outside the spans of U and V
    if u_ct is not None:
        pulled = matrix_transpose(u) @ u_ct
        turned = gaps * pulled
        p_ct = plus(p_ct, (turned + adjoint(turned)) * rows)
        if is_complex(pulled):
            p_ct = p_ct + diag_embed(1j * imag(diagonal_of(pulled)) / s)
        if m > n:
            scaled = u_ct / rows
            outside = (scaled - conj_if_complex(u) @ (matrix_transpose(u) @ scaled)) @ matrix_transpose(v)
    if vh_ct is not None:
        v_ct = adjoint(vh_ct)
        turned = gaps * (matrix_transpose(v) @ v_ct)
        p_ct = plus(p_ct, cols * (turned + adjoint(turned)))
        if n > m:
            scaled = v_ct / rows
            off_span = scaled - conj_if_complex(v) @ (matrix_transpose(v) @ scaled)
            outside = plus(outside, conj_if_complex(u) @ adjoint(off_span))
    inside = None if p_ct is None else conj_if_complex(u) @ p_ct @ matrix_transpose(v)
    return each(active, specs, lambda k: plus(inside, outside))


SVD = Primitive("svd", lambda a: tuple(np.linalg.svd(a, full_matrices=False)), svd_jvp, svd_vjp, OUTPUT)


def singular_vectors(out, values):
    u, _, vh = svd(values[0], full_matrices=False)
    return u, vh


def svdvals_jvp(out, x, t, attrs, src, res):
    u, vh = res
    return real_if_complex(diagonal_of(adjoint(u) @ t[0] @ adjoint(vh)))


def svdvals_vjp(out, x, ct, attrs, active, res, specs, src):
    u, vh = res
    return each(active, specs, lambda k: (conj_if_complex(u) * expand_dims(ct, -2)) @ conj_if_complex(vh))


SVDVALS = Primitive("svdvals", lambda a: np.linalg.svd(a, compute_uv=False), svdvals_jvp, svdvals_vjp, RESIDUAL,
                    residual=singular_vectors)


def svd(a, full_matrices=True, compute_uv=True):
    if not compute_uv:
        return svdvals(a)
    m, n = shape_of(a)[-2:]
    if full_matrices and m != n:
        if type(a) is not Tracer:
            return tuple(np.linalg.svd(a))
        raise ValueError("svd of a traced matrix that is not square needs full_matrices=False: the singular "
                         "vectors that complete the basis do not follow from the matrix")
    return bind(SVD, a)


def svdvals(x):
    return bind(SVDVALS, x)
