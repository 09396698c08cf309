"""NumPy's linalg.norm in terms of other primitives: vector norms by sums
and extrema of magnitudes, matrix norms also by singular values."""

import numpy as np

from ..tracing import dtype_of
from .comparisons import not_equal
from .complex_parts import abs, conj, is_complex, real
from .elementwise import sqrt
from .factorizations import svdvals
from .linear import astype, axis_list, expand_dims, moveaxis, ndim_of, sum
from .reductions import max, min


def squared_magnitude(x):
    # |x|**2 without abs, whose derivative at 0 would lose the second one.
    return real(x * conj(x)) if is_complex(x) else x * x


def vector_norm(x, ord, axis, keepdims):
    if ord is None or ord == 2:
        return sqrt(sum(squared_magnitude(x), axis=axis, keepdims=keepdims))
    if isinstance(ord, str):
        raise ValueError(f"invalid norm order {ord!r} for vectors")
    if ord == np.inf:
        return max(abs(x), axis=axis, keepdims=keepdims)
    if ord == -np.inf:
        return min(abs(x), axis=axis, keepdims=keepdims)
    if ord == 0:
        count = astype(not_equal(x, 0), np.finfo(dtype_of(x)).dtype)
        return sum(count, axis=axis, keepdims=keepdims)
    if ord == 1:
        return sum(abs(x), axis=axis, keepdims=keepdims)
    return sum(abs(x) ** ord, axis=axis, keepdims=keepdims) ** (1.0 / ord)


def matrix_norm(x, ord, axes, keepdims):
    rows, cols = axes
    if rows == cols:
        raise ValueError("matrix norms need two different axes")
    if ord is None or ord == "fro":
        result = sqrt(sum(squared_magnitude(x), axis=axes))
    elif ord in ("nuc", 2, -2):
        s = svdvals(moveaxis(x, axes, (-2, -1)))
        result = sum(s, axis=-1) if ord == "nuc" else max(s, axis=-1) if ord == 2 else min(s, axis=-1)
    elif ord in (1, -1, np.inf, -np.inf):
        # 1: the largest column sum of magnitudes; inf: the largest row sum.
        summed, over = (rows, cols) if ord in (1, -1) else (cols, rows)
        sums = sum(abs(x), axis=summed)
        over = over - 1 if over > summed else over
        result = max(sums, axis=over) if ord > 0 else min(sums, axis=over)
    else:
        raise ValueError(f"invalid norm order {ord!r} for matrices")
    return expand_dims(result, axes) if keepdims else result


def norm(x, ord=None, axis=None, keepdims=False):
    ndim = ndim_of(x)
    if axis is None:
        if ord is None:
            # The 2-norm of all elements, whatever the rank.
            return sqrt(sum(squared_magnitude(x), keepdims=keepdims))
        if ndim not in (1, 2):
            raise ValueError("norm with an order needs a 1-D or 2-D array, or axis")
    axes = tuple(range(ndim)) if axis is None else tuple(int(n) % ndim for n in axis_list(axis))
    if len(axes) == 1:
        return vector_norm(x, ord, axes[0], keepdims)
    if len(axes) == 2:
        return matrix_norm(x, ord, axes, keepdims)
    raise ValueError("norm takes one axis for vector norms or two for matrix norms")
