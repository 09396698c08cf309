"""How traced arrays meet Python and NumPy: operators and methods, and the
ufunc and array-function protocols, which send `np.sin(t)`, `np.sum(t)`,
`np.dot(a, t)` or `np.concatenate([t, u])` to the frontend's primitives.
A NumPy function's arguments are bound by NumPy's own signature, so every
way of calling it that NumPy accepts reaches the frontend; a parameter the
frontend does not implement is refused unless it is left at its default.
Anything else NumPy is asked to do with a tracer is refused with a
TypeError rather than silently computed element by element."""

import inspect

import numpy as np

from . import linalg
from . import primitives as P
from .tracing import Tracer, shape_of


def swapped(fn):
    return lambda self, other: fn(other, self)


def reshape_method(self, *shape):
    return P.reshape(self, shape[0] if len(shape) == 1 else shape)


def clip_method(self, min=None, max=None):
    return P.clip(self, min, max)


OPERATORS = {
    "add": P.add, "sub": P.subtract, "mul": P.multiply, "truediv": P.divide, "matmul": P.matmul, "pow": P.power,
    "mod": P.mod,
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
    np.maximum: P.maximum, np.minimum: P.minimum, np.log2: P.log2, np.log10: P.log10, np.exp2: P.exp2,
    np.floor: P.floor, np.ceil: P.ceil, np.remainder: P.mod, np.conjugate: P.conj,
    np.equal: P.equal, np.not_equal: P.not_equal, np.less: P.less, np.less_equal: P.less_equal,
    np.greater: P.greater, np.greater_equal: P.greater_equal,
    np.logical_and: P.logical_and, np.logical_or: P.logical_or, np.logical_not: P.logical_not,
}


def size(a, axis=None):
    shape = shape_of(a)
    return int(np.prod(shape)) if axis is None else shape[axis]


# NumPy function -> frontend function, or (frontend function, {NumPy's
# parameter name: the frontend's}) where the names differ.
FUNCTIONS = {
    np.sum: P.sum, np.mean: P.mean, np.max: P.max, np.amax: P.max, np.min: P.min, np.amin: P.min, np.prod: P.prod,
    np.dot: P.dot, np.concatenate: P.concatenate, np.stack: P.stack, np.hstack: P.hstack, np.vstack: P.vstack,
    np.split: P.split, np.reshape: P.reshape, np.transpose: P.transpose, np.swapaxes: P.swapaxes,
    np.moveaxis: P.moveaxis, np.expand_dims: P.expand_dims, np.squeeze: P.squeeze, np.broadcast_to: P.broadcast_to,
    np.where: P.where, np.clip: (P.clip, {"min": "a_min", "max": "a_max"}),
    np.shape: lambda a: tuple(shape_of(a)), np.ndim: lambda a: len(shape_of(a)), np.size: size,
    np.real: P.real, np.imag: P.imag, np.angle: P.angle, np.var: P.var, np.std: P.std, np.cumsum: P.cumsum,
    np.diff: P.diff, np.tril: P.tril, np.triu: P.triu, np.diag: P.diag, np.diagonal: P.diagonal, np.trace: P.trace,
    np.repeat: P.repeat, np.tile: P.tile, np.roll: P.roll, np.flip: P.flip, np.einsum: P.einsum,
    np.tensordot: P.tensordot, np.outer: P.outer,
    **{getattr(np.linalg, name): getattr(linalg, name) for name in linalg.__all__ if hasattr(np.linalg, name)},
}


def at_default(value, default):
    return value is default or (type(value) in (bool, int, float, str, type(None)) and type(value) is type(default)
                                and value == default)


def positional_names(parameters):
    return [p.name for p in parameters.values() if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]


class NumpyCall:
    """One NumPy function on traced arrays: its arguments bound by NumPy's
    signature, passed on to the frontend function under the frontend's
    names, and refused where the frontend has no such parameter and the
    value is not NumPy's default."""

    def __init__(self, func, fn, renames):
        self.name = f"{func.__module__}.{func.__name__}"
        self.signature = inspect.signature(func)
        self.fn, self.renames = fn, renames
        ours = inspect.signature(fn).parameters
        self.taken = set(ours)
        # The parameters both functions have under one name, and how many
        # leading positional ones they share: a call that uses only those
        # passes straight through, without binding.
        self.same = self.taken.intersection(self.signature.parameters).difference(renames)
        self.direct = 0
        for theirs, mine in zip(positional_names(self.signature.parameters), positional_names(ours)):
            if theirs != mine or theirs in renames:
                break
            self.direct += 1

    def refuse(self, parameter):
        raise TypeError(f"{self.name} with {parameter} is not supported on traced arrays")

    def __call__(self, args, kwargs):
        if len(args) <= self.direct and self.same.issuperset(kwargs):
            return self.fn(*args, **kwargs)
        bound = self.signature.bind(*args, **kwargs)
        positional, keywords = [], {}
        for name, value in bound.arguments.items():
            parameter = self.signature.parameters[name]
            if parameter.kind is parameter.VAR_POSITIONAL:
                positional.extend(value)
                continue
            if parameter.kind is parameter.VAR_KEYWORD:  # present only when it holds a keyword
                self.refuse(next(iter(value)))
            target = self.renames.get(name, name)
            if target not in self.taken:
                if not at_default(value, parameter.default):
                    self.refuse(name)
            elif target in keywords:
                raise TypeError(f"{self.name} takes {name} or {target}, not both")
            else:
                keywords[target] = value
        return self.fn(*positional, **keywords)


def numpy_calls():
    calls = {}
    for func, entry in FUNCTIONS.items():
        fn, renames = entry if type(entry) is tuple else (entry, {})
        calls[func] = NumpyCall(func, fn, renames)
    return calls


CALLS = numpy_calls()


# A ufunc's keywords at their defaults change nothing.
UFUNC_DEFAULTS = {"dtype": None, "where": True, "casting": "same_kind", "order": "K", "subok": True, "signature": None}


def array_ufunc(self, ufunc, method, *inputs, **kwargs):
    fn = UFUNCS.get(ufunc)
    kwargs = [k for k, v in kwargs.items() if k not in UFUNC_DEFAULTS or not at_default(v, UFUNC_DEFAULTS[k])]
    if method != "__call__" or kwargs or fn is None:
        call = ufunc.__name__ if method == "__call__" else f"{ufunc.__name__}.{method}"
        extra = f" with {', '.join(kwargs)}" if kwargs else ""
        raise TypeError(f"numpy.{call}{extra} is not supported on traced arrays")
    return fn(*inputs)


def array_function(self, func, types, args, kwargs):
    call = CALLS.get(func)
    if call is None:
        raise TypeError(f"{func.__module__}.{func.__name__} is not supported on traced arrays")
    return call(args, kwargs)


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
    # No .trace(): that name is the tracer's own trace.
    Tracer.var, Tracer.std, Tracer.cumsum, Tracer.diagonal = P.var, P.std, P.cumsum, P.diagonal
    Tracer.dot, Tracer.clip, Tracer.astype, Tracer.repeat = P.dot, clip_method, P.astype, P.repeat
    Tracer.squeeze = P.squeeze
    Tracer.real, Tracer.imag = property(P.real), property(P.imag)
    Tracer.conj = Tracer.conjugate = P.conj
    Tracer.__array_ufunc__ = array_ufunc
    Tracer.__array_function__ = array_function


install()
