"""Matrix products: the matmul primitive, with a batched VJP for Jacobians
by lanes, and dot in terms of it."""

import numpy as np

from ..tracing import Primitive, Tracer, bind, shape_of
from .elementwise import multiply
from .linear import (INPUTS, expand_dims, lane_lists, matrix_transpose, reshape, squeeze, stack, total, transpose,
                     unbroadcast)


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
