"""How traced arrays meet Python and NumPy: operators and methods, and the
ufunc and array-function protocols, which send `np.sin(t)`, `np.sum(t)`,
`np.dot(a, t)` or `np.concatenate([t, u])` to the frontend's primitives.
Anything else NumPy is asked to do with a tracer is refused with a
TypeError rather than silently computed element by element."""

import numpy as np

from . import primitives as P
from .tracing import Tracer, shape_of


def swapped(fn):
    return lambda self, other: fn(other, self)


def reshape_method(self, *shape):
    return P.reshape(self, shape[0] if len(shape) == 1 else shape)


OPERATORS = {
    "add": P.add, "sub": P.subtract, "mul": P.multiply, "truediv": P.divide, "matmul": P.matmul, "pow": P.power,
}
COMPARISONS = {
    "__eq__": P.equal, "__ne__": P.not_equal, "__lt__": P.less, "__le__": P.less_equal, "__gt__": P.greater,
    "__ge__": P.greater_equal,
}

UFUNCS = {
    np.add: P.add, np.subtract: P.subtract, np.multiply: P.multiply, np.true_divide: P.divide,
    np.negative: P.negative, np.positive: lambda x: x, np.power: P.power, np.matmul: P.matmul,
    np.exp: P.exp, np.expm1: P.expm1, np.log: P.log, np.log1p: P.log1p, np.sqrt: P.sqrt, np.square: P.square,
    np.sin: P.sin, np.cos: P.cos, np.tan: P.tan, np.arcsin: P.arcsin, np.arccos: P.arccos, np.arctan: P.arctan,
    np.sinh: P.sinh, np.cosh: P.cosh, np.tanh: P.tanh, np.absolute: P.abs, np.sign: P.sign,
    np.maximum: P.maximum, np.minimum: P.minimum,
    np.equal: P.equal, np.not_equal: P.not_equal, np.less: P.less, np.less_equal: P.less_equal,
    np.greater: P.greater, np.greater_equal: P.greater_equal,
    np.logical_and: P.logical_and, np.logical_or: P.logical_or, np.logical_not: P.logical_not,
}


def shape_query(fn):
    return lambda a: fn(shape_of(a))


FUNCTIONS = {
    np.sum: P.sum, np.mean: P.mean, np.max: P.max, np.amax: P.max, np.min: P.min, np.amin: P.min, np.prod: P.prod,
    np.dot: P.dot, np.matmul: P.matmul, np.concatenate: P.concatenate, np.stack: P.stack,
    np.reshape: P.reshape, np.transpose: P.transpose, np.swapaxes: P.swapaxes, np.moveaxis: P.moveaxis,
    np.expand_dims: P.expand_dims, np.broadcast_to: P.broadcast_to, np.where: P.where, np.clip: P.clip,
    np.shape: shape_query(tuple), np.ndim: shape_query(len), np.size: shape_query(lambda s: int(np.prod(s))),
}


def array_ufunc(self, ufunc, method, *inputs, **kwargs):
    fn = UFUNCS.get(ufunc)
    if method != "__call__" or kwargs or fn is None:
        call = ufunc.__name__ if method == "__call__" else f"{ufunc.__name__}.{method}"
        extra = f" with {', '.join(kwargs)}" if kwargs else ""
        raise TypeError(f"numpy.{call}{extra} is not supported on traced arrays")
    return fn(*inputs)


def array_function(self, func, types, args, kwargs):
    fn = FUNCTIONS.get(func)
    if fn is None:
        raise TypeError(f"numpy.{func.__name__} is not supported on traced arrays")
    return fn(*args, **kwargs)


def install():
    """Give traced arrays NumPy's operators, methods and protocols."""
    for name, fn in OPERATORS.items():
        setattr(Tracer, f"__{name}__", fn)
        setattr(Tracer, f"__r{name}__", swapped(fn))
    for name, fn in COMPARISONS.items():
        setattr(Tracer, name, fn)
    # Tracers compare elementwise, so they cannot be dictionary keys.
    Tracer.__hash__ = None
    Tracer.__neg__ = P.negative
    Tracer.__pos__ = lambda self: self
    Tracer.__abs__ = P.abs
    Tracer.__getitem__ = P.getitem
    Tracer.T = property(P.transpose)
    Tracer.mT = property(P.matrix_transpose)
    Tracer.reshape = reshape_method
    Tracer.ravel = Tracer.flatten = lambda self: P.reshape(self, -1)
    Tracer.transpose = lambda self, *axes: P.transpose(self, axes[0] if len(axes) == 1 else axes or None)
    Tracer.sum, Tracer.mean, Tracer.max, Tracer.min, Tracer.prod = P.sum, P.mean, P.max, P.min, P.prod
    Tracer.dot, Tracer.clip, Tracer.astype = P.dot, P.clip, P.astype
    Tracer.__array_ufunc__ = array_ufunc
    Tracer.__array_function__ = array_function


install()
