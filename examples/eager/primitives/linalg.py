"""Matrix products and square-matrix algebra: the matmul primitive, with a
batched VJP for Jacobians by lanes, and dot in terms of it; solve, inv,
det and slogdet. Stacks of matrices broadcast as in NumPy. Rules use
transposes, not conjugate transposes: these functions are holomorphic, so
complex operands follow the same formulas (see `complex_parts`)."""

import numpy as np

from ..tracing import Primitive, Tracer, bind, shape_of
from .complex_parts import imag, is_complex, real
from .elementwise import multiply
from .linear import (INPUTS, OUTPUT, OUTPUT_INPUTS, each, expand_dims, lane_lists, matrix_transpose, ndim_of,
                     plus, reshape, squeeze, stack, total, transpose, unbroadcast)
from .shapes import trace


def matmul_jvp(out, x, t, attrs, src, res):
    a, b = x
    ta, tb = t
    return total(out, None if ta is None else matmul(ta, b), None if tb is None else matmul(a, tb))


def matmul_grads(a, b, ct, active, specs, lanes=0):
    """Contributions of `a @ b`, with 1-D operands promoted to matrices as
    matmul does; with `lanes` = 1 the cotangent and the results carry a
    leading lane axis."""
    a1, b1 = len(shape_of(a)) == 1, len(shape_of(b)) == 1
    if b1:
        ct = expand_dims(ct, -1)
    if a1:
        ct = expand_dims(ct, -2)
    ga = gb = None
    if 0 in active:
        ga = matmul(ct, reshape(b, (1, -1)) if b1 else matrix_transpose(b))
        ga = unbroadcast(squeeze(ga, -2) if a1 else ga, *specs[0], lanes)
    if 1 in active:
        gb = matmul(reshape(a, (-1, 1)) if a1 else matrix_transpose(a), ct)
        gb = unbroadcast(squeeze(gb, -1) if b1 else gb, *specs[1], lanes)
    return ga, gb


def matmul_vjp(out, x, ct, attrs, active, res, specs, src):
    return matmul_grads(*x, ct, active, specs)


# Jacobians by lanes hand all cotangents of a node over at once: one stacked
# matmul per operand instead of one per lane.
def matmul_vjp_many(out, x, cts, attrs, active, res, specs, src):
    return lane_lists(matmul_grads(*x, stack(cts), active, specs, lanes=1), len(cts))


matmul_vjp.__vorlix_vjp_many__ = matmul_vjp_many
MATMUL = Primitive("matmul", np.matmul, matmul_jvp, matmul_vjp, INPUTS)


def matmul(a, b):
    if type(a) is not Tracer and type(a) is not np.ndarray:
        a = np.asarray(a)
    if type(b) is not Tracer and type(b) is not np.ndarray:
        b = np.asarray(b)
    return bind(MATMUL, a, b)


def dot(a, b):
    """NumPy's dot: a product for scalars, matmul up to a matrix `b`, and a
    contraction of a's last axis with b's second to last beyond that."""
    sa, sb = shape_of(a), shape_of(b)
    if not sa or not sb:
        return multiply(a, b)
    if len(sb) <= 2:
        return matmul(a, b)
    rest = sb[:-2] + sb[-1:]
    axes = (len(sb) - 2,) + tuple(range(len(sb) - 2)) + (len(sb) - 1,)
    b2 = reshape(transpose(b, axes), (sb[-2], -1))
    return reshape(matmul(a, b2), sa[:-1] + rest)


# --- solve, inv, det, slogdet ------------------------------------------------


def columns(v, vector):
    """A right-hand side as a stack of matrices: NumPy's solve reads a 1-D
    `b` as one vector, anything else as matrices."""
    return expand_dims(v, -1) if vector else v


def solve_jvp(out, x, t, attrs, src, res):
    # a x = b  =>  a dx = db - da x
    a, b = x
    ta, tb = t
    vector = ndim_of(b) == 1
    rhs = plus(None if tb is None else columns(tb, vector), None if ta is None else -(ta @ columns(out, vector)))
    dx = solve(a, rhs)
    return squeeze(dx, -1) if vector else dx


def solve_vjp(out, x, ct, attrs, active, res, specs, src):
    a, b = x
    vector = ndim_of(b) == 1
    gb = solve(matrix_transpose(a), columns(ct, vector))
    grads = {0: lambda: -(gb @ matrix_transpose(columns(out, vector))),
             1: lambda: squeeze(gb, -1) if vector else gb}
    return each(active, specs, lambda k: grads[k]())


SOLVE = Primitive("solve", np.linalg.solve, solve_jvp, solve_vjp, OUTPUT_INPUTS)


def inv_jvp(out, x, t, attrs, src, res):
    return -(out @ t[0] @ out)


def inv_vjp(out, x, ct, attrs, active, res, specs, src):
    transposed = matrix_transpose(out)
    return each(active, specs, lambda k: -(transposed @ ct @ transposed))


INV = Primitive("inv", np.linalg.inv, inv_jvp, inv_vjp, OUTPUT)


def log_det_tangent(a, ta):
    """d log det(a) = trace(a^-1 da)."""
    return trace(solve(a, ta), axis1=-2, axis2=-1)


def through_inverse(g, a):
    """The cotangent of `a` for a cotangent `g` of log det(a): g a^-T."""
    return expand_dims(g, (-2, -1)) * matrix_transpose(inv(a))


def det_jvp(out, x, t, attrs, src, res):
    return out * log_det_tangent(x[0], t[0])


def det_vjp(out, x, ct, attrs, active, res, specs, src):
    return each(active, specs, lambda k: through_inverse(ct * out, x[0]))


DET = Primitive("det", np.linalg.det, det_jvp, det_vjp, OUTPUT_INPUTS)


def slogdet_jvp(out, x, t, attrs, src, res):
    # With d = d log det(a): log|det| moves by Re d and a complex sign turns
    # by i Im d; a real sign is piecewise constant.
    d = log_det_tangent(x[0], t[0])
    if not is_complex(d):
        return None, d
    return out[0] * 1j * imag(d), real(d)


def slogdet_vjp(out, x, ct, attrs, active, res, specs, src):
    sign_ct, log_ct = ct
    turn = 1j * imag(sign_ct * out[0]) if sign_ct is not None and is_complex(out[0]) else None
    g = plus(log_ct, turn)
    return each(active, specs, lambda k: None if g is None else through_inverse(g, x[0]))


SLOGDET = Primitive("slogdet", lambda a: tuple(np.linalg.slogdet(a)), slogdet_jvp, slogdet_vjp, OUTPUT_INPUTS)


def solve(a, b):
    return bind(SOLVE, a, b)


def inv(a):
    return bind(INV, a)


def det(a):
    return bind(DET, a)


def slogdet(a):
    return bind(SLOGDET, a)
