"""The primitives: NumPy implementations, JVP and VJP rules, reverse needs,
and the array functions and operators that bind them.

JVP rules are called as (out, primals, tangents, attrs, source, residual) and
VJP rules as (out, primals, cotangent, attrs, active, residual, specs,
source); a VJP rule reads only what its reverse-needs triple asks for, so
the other arguments are None there."""

import math

import numpy as np

from .tracing import Primitive, Tracer, bind, primal

NOTHING = (False, False, False)
OUTPUT = (True, False, False)
INPUTS = (False, True, False)
RESIDUAL = (False, False, True)


def unbroadcast(g, shape, dtype, lanes=0):
    """Sum `g` down to an operand's shape and cast it to the operand's dtype.
    The first `lanes` axes of `g` are kept: batched rules carry one lane
    per seed there."""
    gshape = g.shape if type(g) is np.ndarray else np.shape(g)
    if gshape[lanes:] != shape:
        lead = len(gshape) - lanes - len(shape)
        axes = tuple(range(lanes, lanes + lead)) + tuple(
            lanes + lead + i for i, n in enumerate(shape) if n == 1 and gshape[lanes + lead + i] != 1)
        g = np.sum(g, axis=axes).reshape(gshape[:lanes] + shape)
    if getattr(g, "dtype", dtype) != dtype:
        g = g.astype(dtype)
    return g


def each(active, specs, grad):
    """One contribution per operand: grad(k) for the active positions,
    summed down to the operand's shape; None elsewhere."""
    out = [None] * len(specs)
    for k in active:
        g = grad(k)
        if g is not None:
            out[k] = unbroadcast(g, *specs[k])
    return out


def total(out, *terms):
    """The sum of the present tangent terms, at the output's shape (a term
    from an operand that broadcast is smaller)."""
    acc = None
    for t in terms:
        if t is not None:
            acc = t if acc is None else acc + t
    if acc is not None and np.shape(acc) != np.shape(out):
        acc = np.broadcast_to(acc, np.shape(out))
    return acc


def lane_lists(grads, count):
    """Turn per-operand stacks (lane axis first, or None) into one
    contribution list per lane, as batched rules return them."""
    return list(zip(*(g if g is not None else [None] * count for g in grads)))


# --- elementwise ------------------------------------------------------------


def elementwise(name, impl, partials, needs):
    """A primitive whose derivative in operand k is `partials(k, out, x)`
    times the tangent or cotangent, elementwise."""
    def jvp(out, x, t, attrs, src, res):
        return total(out, *(None if tk is None else tk * partials(k, out, x) for k, tk in enumerate(t)))

    def vjp(out, x, ct, attrs, active, res, specs, src):
        return each(active, specs, lambda k: ct * partials(k, out, x))

    return Primitive(name, impl, jvp, vjp, needs)


def max_weight(a, b, out):
    """How much of d(max(a, b)) goes to `a`: all where it wins, half at ties."""
    return ((a > b) + 0.5 * (a == b)).astype(np.result_type(out), copy=False)


def signed(name, impl, signs):
    """A primitive whose derivative in operand k is the sign `signs[k]`;
    its VJP reads nothing but the cotangent and the operand shapes."""
    def jvp(out, x, t, attrs, src, res):
        return total(out, *(None if tk is None else tk if s > 0 else -tk for tk, s in zip(t, signs)))

    def vjp(out, x, ct, attrs, active, res, specs, src):
        return each(active, specs, lambda k: ct if signs[k] > 0 else -ct)

    return Primitive(name, impl, jvp, vjp, NOTHING)


ADD = signed("add", np.add, (1, 1))
SUBTRACT = signed("subtract", np.subtract, (1, -1))
NEGATIVE = signed("negative", np.negative, (-1,))
MULTIPLY = elementwise("multiply", np.multiply, lambda k, out, x: x[1 - k], INPUTS)
DIVIDE = elementwise("divide", np.divide,
                     lambda k, out, x: 1 / x[1] if k == 0 else -x[0] / (x[1] * x[1]), INPUTS)
# The exponent is a literal: it never receives a contribution.
POWER = elementwise("power", np.power, lambda k, out, x: x[1] * x[0] ** (x[1] - 1), INPUTS)
EXP = elementwise("exp", np.exp, lambda k, out, x: out, OUTPUT)
LOG = elementwise("log", np.log, lambda k, out, x: 1 / x[0], INPUTS)
SIN = elementwise("sin", np.sin, lambda k, out, x: np.cos(x[0]), INPUTS)
COS = elementwise("cos", np.cos, lambda k, out, x: -np.sin(x[0]), INPUTS)
MAXIMUM = elementwise("maximum", np.maximum,
                      lambda k, out, x: max_weight(x[0], x[1], out) if k == 0 else 1 - max_weight(x[0], x[1], out),
                      INPUTS)


def tanh_jvp(out, x, t, attrs, src, res):
    return None if t[0] is None else t[0] * res


def tanh_vjp(out, x, ct, attrs, active, res, specs, src):
    return [ct * res]


# The saved derivative 1 - y**2 is a residual: the reverse pass keeps it and
# neither the input nor the output.
TANH = Primitive("tanh", np.tanh, tanh_jvp, tanh_vjp, RESIDUAL, residual=lambda out, x: 1 - out * out)


def where_jvp(out, x, t, attrs, src, res):
    c, _, _ = x
    _, ta, tb = t
    return total(out, None if ta is None else np.where(c, ta, 0), None if tb is None else np.where(c, 0, tb))


def where_vjp(out, x, ct, attrs, active, res, specs, src):
    c = x[0]
    return each(active, specs, lambda k: None if k == 0 else np.where(c, ct, 0) if k == 1 else np.where(c, 0, ct))


WHERE = Primitive("where", np.where, where_jvp, where_vjp, INPUTS)


# --- matmul -----------------------------------------------------------------


def matmul_jvp(out, x, t, attrs, src, res):
    a, b = x
    ta, tb = t
    return total(out, None if ta is None else ta @ b, None if tb is None else a @ tb)


def matmul_grads(a, b, ct, active, specs, lanes=0):
    """Contributions of `a @ b`, with 1-D operands promoted to matrices as
    matmul does; with `lanes` = 1 the cotangent and the results carry a
    leading lane axis."""
    a1, b1 = a.ndim == 1, b.ndim == 1
    if b1:
        ct = ct[..., None]
    if a1:
        ct = ct[..., None, :]
    ga = gb = None
    if 0 in active:
        ga = ct @ (b[None, :] if b1 else b.mT)
        ga = unbroadcast(ga[..., 0, :] if a1 else ga, *specs[0], lanes)
    if 1 in active:
        gb = (a[:, None] if a1 else a.mT) @ ct
        gb = unbroadcast(gb[..., 0] if b1 else gb, *specs[1], lanes)
    return ga, gb


def matmul_vjp(out, x, ct, attrs, active, res, specs, src):
    return matmul_grads(*x, ct, active, specs)


# Jacobians by lanes hand all cotangents of a node over at once: one stacked
# matmul per operand instead of one per lane.
def matmul_vjp_many(out, x, cts, attrs, active, res, specs, src):
    return lane_lists(matmul_grads(*x, np.stack(cts), active, specs, lanes=1), len(cts))


matmul_vjp.__vorlix_vjp_many__ = matmul_vjp_many
MATMUL = Primitive("matmul", np.matmul, matmul_jvp, matmul_vjp, INPUTS)


# --- linear structural operations -------------------------------------------
# Their JVP applies the operation to the tangent; their VJP needs only the
# attributes and the operand's shape, so the reverse pass keeps no values.


def structural(name, impl, transpose):
    def jvp(out, x, t, attrs, src, res):
        return None if t[0] is None else impl(t[0], attrs)

    def vjp(out, x, ct, attrs, active, res, specs, src):
        return [transpose(ct, attrs, *specs[0])]

    return Primitive(name, impl, jvp, vjp, NOTHING)


def spread(ct, attrs, shape, lanes=0):
    """Put back the axes that a reduction with attrs (axes, keepdims)
    removed, and broadcast over them."""
    axes, keepdims = attrs
    # A full reduction's rank-zero cotangent broadcasts as it is.
    if not keepdims and (lanes or axes is not None):
        axes = range(len(shape)) if axes is None else axes
        ct = np.expand_dims(ct, tuple(lanes + a for a in axes))
    return np.broadcast_to(ct, np.shape(ct)[:lanes] + shape)


def reduced_count(attrs, shape):
    axes = attrs[0]
    return math.prod(shape if axes is None else [shape[a] for a in axes])


def sum_vjp_many(out, x, cts, attrs, active, res, specs, src):
    return [[g] for g in spread(np.stack(cts), attrs, specs[0][0], lanes=1)]


SUM = structural("sum", lambda x, attrs: np.sum(x, axis=attrs[0], keepdims=attrs[1]),
                          lambda ct, attrs, shape, dtype: spread(ct, attrs, shape))
SUM.vjp.__vorlix_vjp_many__ = sum_vjp_many
MEAN = structural("mean", lambda x, attrs: np.mean(x, axis=attrs[0], keepdims=attrs[1]),
                     lambda ct, attrs, shape, dtype: spread(ct / reduced_count(attrs, shape), attrs, shape))
RESHAPE = structural("reshape", np.reshape, lambda ct, attrs, shape, dtype: np.reshape(ct, shape))
TRANSPOSE = structural("transpose", np.transpose,
                          lambda ct, attrs, shape, dtype: np.transpose(ct, np.argsort(attrs)))
BROADCAST_TO = structural("broadcast_to", np.broadcast_to,
                          lambda ct, attrs, shape, dtype: unbroadcast(ct, shape, dtype))


def is_basic_index(index):
    """Basic indices select each element at most once."""
    parts = index if type(index) is tuple else (index,)
    return all(p is None or p is Ellipsis or type(p) in (int, slice) for p in parts)


def scatter(ct, index, shape, dtype):
    g = np.zeros(shape, dtype)
    if is_basic_index(index):
        g[index] = ct
    else:
        np.add.at(g, index, ct)  # an advanced index may repeat elements
    return g


# The index is an attribute rather than an operand, so the reverse pass
# needs no value of the indexed array.
GETITEM = structural("getitem", lambda x, index: x[index], scatter)


# --- array functions --------------------------------------------------------


def add(a, b):
    return bind(ADD, a, b)


def subtract(a, b):
    return bind(SUBTRACT, a, b)


def multiply(a, b):
    return bind(MULTIPLY, a, b)


def divide(a, b):
    return bind(DIVIDE, a, b)


def negative(x):
    return bind(NEGATIVE, x)


def power(x, exponent):
    if type(exponent) is Tracer:
        raise TypeError("power takes a literal exponent, not a traced one")
    return bind(POWER, x, exponent)


def exp(x):
    return bind(EXP, x)


def log(x):
    return bind(LOG, x)


def sin(x):
    return bind(SIN, x)


def cos(x):
    return bind(COS, x)


def tanh(x):
    return bind(TANH, x)


def maximum(a, b):
    return bind(MAXIMUM, a, b)


def where(condition, a, b):
    return bind(WHERE, condition, a, b)


def matmul(a, b):
    return bind(MATMUL, *(x if type(x) is Tracer else np.asarray(x) for x in (a, b)))


def normalized_axes(axis, ndim):
    if axis is None:
        return None
    axes = (axis,) if isinstance(axis, int) else axis
    return tuple(sorted(a % ndim for a in axes))


def sum(x, axis=None, keepdims=False):
    return bind(SUM, x, attrs=(normalized_axes(axis, np.ndim(primal(x))), keepdims))


def mean(x, axis=None, keepdims=False):
    return bind(MEAN, x, attrs=(normalized_axes(axis, np.ndim(primal(x))), keepdims))


def reshape(x, shape):
    return bind(RESHAPE, x, attrs=tuple(shape) if np.ndim(shape) else (shape,))


def transpose(x, axes=None):
    axes = tuple(reversed(range(np.ndim(primal(x))))) if axes is None else tuple(axes)
    return bind(TRANSPOSE, x, attrs=axes)


def broadcast_to(x, shape):
    return bind(BROADCAST_TO, x, attrs=tuple(shape))


def getitem(x, index):
    if type(index) is Tracer or (type(index) is tuple and any(type(p) is Tracer for p in index)):
        raise TypeError("getitem takes a literal index, not a traced one")
    return bind(GETITEM, x, attrs=index)


def install_operators():
    """Give traced arrays NumPy's operators and methods."""
    def swapped(fn):
        return lambda self, other: fn(other, self)

    for name, fn in {"add": add, "sub": subtract, "mul": multiply, "truediv": divide, "matmul": matmul}.items():
        setattr(Tracer, f"__{name}__", fn)
        setattr(Tracer, f"__r{name}__", swapped(fn))
    Tracer.__pow__ = power
    Tracer.__neg__ = negative
    Tracer.__getitem__ = getitem
    Tracer.T = property(transpose)
    Tracer.sum, Tracer.mean, Tracer.transpose = sum, mean, transpose
    Tracer.reshape = lambda self, *shape: reshape(self, shape[0] if len(shape) == 1 else shape)


install_operators()
