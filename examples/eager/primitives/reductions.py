"""Reductions by maximum, minimum and product, the cumulative sum, and the
variance and standard deviation in terms of sums."""

import numpy as np

from ..tracing import Primitive, bind, dtype_of, primal, shape_of
from .comparisons import equal
from .complex_parts import conj, is_complex, real
from .elementwise import sqrt, where
from .linear import (OUTPUT_INPUTS, astype, each, expand_dims, linear, mean, moveaxis, ndim_of, normalized_axes,
                     reduced_count, reshape, spread, sum)
from .shapes import flip


def kept(out, attrs, ndim):
    """The reduced `out` with the reduced axes back as ones."""
    axes, keepdims = attrs
    if keepdims or axes is None and not ndim:
        return out
    return expand_dims(out, tuple(range(ndim)) if axes is None else axes)


def chooser_weights(out, x, attrs):
    """Where the maximum (or minimum) came from: ties share it equally."""
    mask = astype(equal(x, kept(out, attrs, ndim_of(x))), dtype_of(out))
    return mask / sum(mask, axis=attrs[0], keepdims=True)


def others_product(out, x, attrs):
    """d prod(x) / dx: the product of the other elements of each slice. With
    no zero in x that is prod / x; otherwise it is taken slice by slice as
    the product over a matrix whose diagonal is replaced by ones, which
    stays exact (also for higher derivatives) where elements are zero."""
    if np.all(primal(x) != 0):
        return kept(out, attrs, ndim_of(x)) / x
    shape = shape_of(x)
    axes = tuple(range(len(shape))) if attrs[0] is None else attrs[0]
    rest = [a for a in range(len(shape)) if a not in axes]
    moved = moveaxis(x, list(axes), list(range(len(rest), len(shape))))
    n = int(np.prod([shape[a] for a in axes]))
    flat = reshape(moved, [shape[a] for a in rest] + [1, n])
    eye = np.eye(n, dtype=bool)
    others = prod(where(eye, 1, flat), axis=-1)
    back = reshape(others, [shape[a] for a in rest] + [shape[a] for a in axes])
    return moveaxis(back, list(range(len(rest), len(shape))), list(axes))


def chooser(name, impl, weights):
    def jvp(out, x, t, attrs, src, res):
        return None if t[0] is None else sum(t[0] * weights(out, x[0], attrs), axis=attrs[0], keepdims=attrs[1])

    def vjp(out, x, ct, attrs, active, res, specs, src):
        return each(active, specs, lambda k: spread(ct, attrs, specs[0][0]) * weights(out, x[0], attrs))

    return Primitive(name, impl, jvp, vjp, OUTPUT_INPUTS)


MAX = chooser("max", lambda x, attrs: np.max(x, axis=attrs[0], keepdims=attrs[1]), chooser_weights)
MIN = chooser("min", lambda x, attrs: np.min(x, axis=attrs[0], keepdims=attrs[1]), chooser_weights)
PROD = chooser("prod", lambda x, attrs: np.prod(x, axis=attrs[0], keepdims=attrs[1]), others_product)


def max(a, axis=None, keepdims=False):
    return bind(MAX, a, attrs=(normalized_axes(axis, ndim_of(a)), keepdims))


def min(a, axis=None, keepdims=False):
    return bind(MIN, a, attrs=(normalized_axes(axis, ndim_of(a)), keepdims))


def prod(a, axis=None, keepdims=False):
    return bind(PROD, a, attrs=(normalized_axes(axis, ndim_of(a)), keepdims))



# The transpose of a running sum is the running sum from the other end.
CUMSUM = linear("cumsum", lambda x, axis: np.cumsum(x, axis=axis),
                lambda ct, axis, shape, dtype: flip(cumsum(flip(ct, axis), axis), axis))


def cumsum(a, axis=None):
    if axis is None:
        a, axis = reshape(a, (-1,)), 0
    return bind(CUMSUM, a, attrs=int(axis) % ndim_of(a))


def var(a, axis=None, ddof=0, keepdims=False, *, correction=None):
    if correction is not None:
        if ddof != 0:
            raise ValueError("var takes ddof or correction, not both")
        ddof = correction
    d = a - mean(a, axis=axis, keepdims=True)
    # |d|**2 without abs, whose derivative at 0 would lose the second one.
    squares = real(d * conj(d)) if is_complex(d) else d * d
    count = reduced_count((normalized_axes(axis, ndim_of(a)), keepdims), shape_of(a))
    return sum(squares, axis=axis, keepdims=keepdims) / (count - ddof)


def std(a, axis=None, ddof=0, keepdims=False, *, correction=None):
    return sqrt(var(a, axis, ddof, keepdims, correction=correction))
