"""Rearrangements written with other primitives, so that their rules come
from those: repetitions, rolls and diagonals are gathers, triangles are
selections by a constant mask, stacks are concatenations, splits are
slices and differences are slices subtracted.

A gather here takes its index from NumPy itself: the NumPy function run on
the array of `a`'s flat positions says where each element of the result
comes from, which gives NumPy's own semantics for every argument form. Its
transpose, a scatter-add, gives a repeated element all of its cotangents."""

import math

import numpy as np

from ..tracing import bind, dtype_of, shape_of
from .elementwise import subtract, where
from .linear import SCATTER, axis_list, broadcast_to, concatenate, getitem, ndim_of, reshape, sum


def gathered(a, arrange, *args):
    shape = shape_of(a)
    positions = np.arange(math.prod(shape)).reshape(shape)
    return getitem(reshape(a, (-1,)), arrange(positions, *args))


def repeat(a, repeats, axis=None):
    return gathered(a, np.repeat, repeats, axis)


def tile(A, reps):
    return gathered(A, np.tile, reps)


def roll(a, shift, axis=None):
    return gathered(a, np.roll, shift, axis)


def diagonal(a, offset=0, axis1=0, axis2=1):
    return gathered(a, np.diagonal, offset, axis1, axis2)


def flip(m, axis=None):
    ndim = ndim_of(m)
    axes = range(ndim) if axis is None else [int(n) % ndim for n in axis_list(axis)]
    return getitem(m, tuple(slice(None, None, -1) if n in axes else slice(None) for n in range(ndim)))


def trace(a, offset=0, axis1=0, axis2=1):
    return sum(diagonal(a, offset, axis1, axis2), axis=-1)


def diag(v, k=0):
    """The k-th diagonal of a matrix, or a matrix with `v` on its k-th
    diagonal: a scatter into zeros, whose transpose reads the diagonal."""
    shape = shape_of(v)
    if len(shape) == 2:
        return diagonal(v, k)
    if len(shape) != 1:
        raise ValueError("diag takes a 1-D or 2-D array")
    n = shape[0] + abs(k)
    rows = np.arange(shape[0]) + max(-k, 0)
    return bind(SCATTER, v, attrs=((rows, rows + k), (n, n), dtype_of(v)))


def triangle_mask(m, k, lower):
    shape = shape_of(m)
    rows, cols = shape[-2:] if len(shape) > 1 else shape * 2
    return np.tri(rows, cols, k, dtype=bool) if lower else ~np.tri(rows, cols, k - 1, dtype=bool)


def tril(m, k=0):
    return where(triangle_mask(m, k, lower=True), m, 0)


def triu(m, k=0):
    return where(triangle_mask(m, k, lower=False), m, 0)


def at_least(a, ndim):
    """`a` with leading axes of one up to `ndim` axes, as NumPy's atleast_1d
    and atleast_2d make them."""
    shape = tuple(shape_of(a))
    return a if len(shape) >= ndim else reshape(a, (1,) * (ndim - len(shape)) + shape)


def hstack(tup):
    arrays = [at_least(a, 1) for a in tup]
    return concatenate(arrays, axis=0 if arrays and ndim_of(arrays[0]) == 1 else 1)


def vstack(tup):
    return concatenate([at_least(a, 2) for a in tup], axis=0)


def split(ary, indices_or_sections, axis=0):
    ndim = ndim_of(ary)
    axis = int(axis) % ndim
    extent = shape_of(ary)[axis]
    if isinstance(indices_or_sections, (int, np.integer)):
        if indices_or_sections <= 0 or extent % indices_or_sections:
            raise ValueError("array split does not result in an equal division")
        bounds = [k * (extent // indices_or_sections) for k in range(indices_or_sections + 1)]
    else:
        bounds = [0, *(int(n) for n in indices_or_sections), extent]
    lead = (slice(None),) * axis
    return [getitem(ary, lead + (slice(start, stop),)) for start, stop in zip(bounds[:-1], bounds[1:])]


def diff(a, n=1, axis=-1, prepend=None, append=None):
    axis = int(axis) % ndim_of(a)
    parts = [edge_of(prepend, a, axis), a, edge_of(append, a, axis)]
    parts = [p for p in parts if p is not None]
    if len(parts) > 1:
        a = concatenate(parts, axis)
    lead = (slice(None),) * axis
    for _ in range(n):
        a = subtract(getitem(a, lead + (slice(1, None),)), getitem(a, lead + (slice(None, -1),)))
    return a


def edge_of(values, a, axis):
    """What diff puts before or after `a`: a scalar fills one slice."""
    if values is None or ndim_of(values) != 0:
        return values
    shape = list(shape_of(a))
    shape[axis] = 1
    return broadcast_to(values, shape)
