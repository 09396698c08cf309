"""Linear structural primitives (reductions by sum and mean, reshapes,
permutations, broadcasts, indexing, concatenation, casts) and the helpers
every rule uses to fit a contribution to its operand.

Rules are written with the frontend's own functions, never with NumPy's
directly: on plain arrays those run NumPy, and on an enclosing trace's
tracers (a walk inside a transform) they record, which is what makes
derivatives differentiable."""

import math

import numpy as np

from ..tracing import Primitive, Tracer, bind, dtype_of, shape_of

# Reverse-needs triples: (output, inputs, residual).
NOTHING = (False, False, False)
OUTPUT = (True, False, False)
INPUTS = (False, True, False)
RESIDUAL = (False, False, True)
OUTPUT_INPUTS = (True, True, False)


def is_float(dtype):
    return dtype.kind in "fc"


def unbroadcast(g, shape, dtype, lanes=0):
    """Sum `g` down to an operand's shape and cast it to the operand's dtype.
    The first `lanes` axes of `g` are kept: batched rules carry one lane
    per seed there."""
    gshape = shape_of(g)
    if gshape[lanes:] != shape:
        lead = len(gshape) - lanes - len(shape)
        axes = tuple(range(lanes, lanes + lead)) + tuple(
            lanes + lead + i for i, n in enumerate(shape) if n == 1 and gshape[lanes + lead + i] != 1)
        g = reshape(sum(g, axis=axes), gshape[:lanes] + tuple(shape))
    if dtype_of(g) != dtype:
        g = astype(g, dtype)
    return g


def each(active, specs, grad):
    """One contribution per operand: grad(k) for the active positions of a
    differentiable dtype, summed down to the operand's shape; None
    elsewhere (integer and boolean operands carry no cotangent)."""
    out = [None] * len(specs)
    for k in active:
        shape, dtype = specs[k]
        if is_float(dtype):
            g = grad(k)
            if g is not None:
                out[k] = unbroadcast(g, shape, dtype)
    return out


def total(out, *terms):
    """The sum of the present tangent terms, at the output's shape (a term
    from an operand that broadcast is smaller)."""
    acc = None
    for t in terms:
        if t is not None:
            acc = t if acc is None else acc + t
    if acc is not None and shape_of(acc) != shape_of(out):
        acc = broadcast_to(acc, shape_of(out))
    return acc


def plus(a, b):
    """a + b, where either may be None: no term."""
    return b if a is None else a if b is None else a + b


def lane_lists(grads, count):
    """Turn per-operand stacks (lane axis first, or None) into one
    contribution list per lane, as batched rules return them."""
    return list(zip(*(g if g is not None else [None] * count for g in grads)))


def zeros(shape, dtype):
    return np.zeros(shape, dtype)


def linear(name, impl, transpose):
    """A primitive linear in its one operand: its JVP applies it to the
    tangent, and its VJP, `transpose(ct, attrs, shape, dtype)`, needs only
    the attributes and the operand's shape, so the reverse pass keeps no
    values."""
    prim = Primitive(name, impl, None, None, NOTHING)

    def jvp(out, x, t, attrs, src, res):
        return None if t[0] is None else bind(prim, t[0], attrs=attrs)

    def vjp(out, x, ct, attrs, active, res, specs, src):
        return [transpose(ct, attrs, *specs[0])]

    prim.jvp, prim.vjp = jvp, vjp
    return prim


# --- reductions by sum and mean ---------------------------------------------


def spread(ct, attrs, shape, lanes=0):
    """Put back the axes that a reduction with attrs (axes, keepdims)
    removed, and broadcast over them."""
    axes, keepdims = attrs
    # A full reduction's rank-zero cotangent broadcasts as it is.
    if not keepdims and (lanes or axes is not None):
        axes = range(len(shape)) if axes is None else axes
        ct = expand_dims(ct, tuple(lanes + a for a in axes))
    return broadcast_to(ct, shape_of(ct)[:lanes] + tuple(shape))


def reduced_count(attrs, shape):
    axes = attrs[0]
    return math.prod(shape if axes is None else [shape[a] for a in axes])


def sum_vjp_many(out, x, cts, attrs, active, res, specs, src):
    return [[g] for g in spread(stack(cts), attrs, specs[0][0], lanes=1)]


def array(x):
    return x if type(x) is np.ndarray else np.asarray(x)


# The array methods: NumPy's functions of the same name add a dispatch layer
# that shows in the rules' per-call cost.
SUM = linear("sum", lambda x, attrs: array(x).sum(axis=attrs[0], keepdims=attrs[1]),
             lambda ct, attrs, shape, dtype: spread(ct, attrs, shape))
SUM.vjp.__vorlix_vjp_many__ = sum_vjp_many
MEAN = linear("mean", lambda x, attrs: array(x).mean(axis=attrs[0], keepdims=attrs[1]),
              lambda ct, attrs, shape, dtype: spread(ct / reduced_count(attrs, shape), attrs, shape))


# --- shapes and permutations ------------------------------------------------

RESHAPE = linear("reshape", lambda x, shape: array(x).reshape(shape),
                 lambda ct, attrs, shape, dtype: reshape(ct, shape))
TRANSPOSE = linear("transpose", lambda x, axes: array(x).transpose(axes),
                   lambda ct, attrs, shape, dtype: transpose(ct, tuple(np.argsort(attrs).tolist())))
BROADCAST_TO = linear("broadcast_to", np.broadcast_to,
                      lambda ct, attrs, shape, dtype: unbroadcast(ct, shape, dtype))


# --- indexing ---------------------------------------------------------------


def is_basic_index(index):
    """Basic indices select each element at most once."""
    parts = index if type(index) is tuple else (index,)
    return all(p is None or p is Ellipsis or type(p) in (int, slice) for p in parts)


def scatter_impl(ct, attrs):
    index, shape, dtype = attrs
    g = np.zeros(shape, dtype)
    if is_basic_index(index):
        g[index] = ct
    else:
        np.add.at(g, index, ct)  # an advanced index may repeat elements
    return g


# The index is an attribute rather than an operand, so the reverse pass
# needs no value of the indexed array. Indexing and scattering are each
# other's transpose.
GETITEM = linear("getitem", lambda x, index: x[index],
                 lambda ct, index, shape, dtype: bind(SCATTER, ct, attrs=(index, tuple(shape), dtype)))
SCATTER = linear("scatter_add", scatter_impl, lambda ct, attrs, shape, dtype: getitem(ct, attrs[0]))


# --- concatenation ----------------------------------------------------------


def concatenate_jvp(out, x, t, attrs, src, res):
    if all(tk is None for tk in t):
        return None
    dtype = dtype_of(out)
    return concatenate([zeros(shape_of(xk), dtype) if tk is None else tk for xk, tk in zip(x, t)], attrs[0])


def concatenate_vjp(out, x, ct, attrs, active, res, specs, src):
    axis, sizes = attrs
    starts = np.cumsum((0,) + sizes).tolist()
    lead = (slice(None),) * axis
    return each(active, specs, lambda k: getitem(ct, lead + (slice(starts[k], starts[k + 1]),)))


# attrs: (axis, the operands' extents along it), so that the VJP can cut
# the cotangent apart without the operands' values.
CONCATENATE = Primitive("concatenate", lambda *xs: np.concatenate(xs[:-1], axis=xs[-1][0]),
                        concatenate_jvp, concatenate_vjp, NOTHING)


# --- casts ------------------------------------------------------------------


def astype_impl(x, dtype):
    x = np.asarray(x)
    if x.dtype.kind == "c" and dtype.kind != "c":
        x = x.real  # a cast to a real type keeps the real part
    return x.astype(dtype)


def astype_jvp(out, x, t, attrs, src, res):
    return None if t[0] is None or not is_float(attrs) else astype(t[0], attrs)


def astype_vjp(out, x, ct, attrs, active, res, specs, src):
    return each(active, specs, lambda k: ct if is_float(attrs) else None)


# An explicit cast makes even a Python scalar strongly typed.
ASTYPE = Primitive("astype", astype_impl, astype_jvp, astype_vjp, NOTHING)
ASTYPE.weak_output = False


# --- array functions --------------------------------------------------------


def ndim_of(x):
    return len(shape_of(x))


def normalized_axes(axis, ndim):
    if axis is None:
        return None
    axes = (axis,) if isinstance(axis, (int, np.integer)) else axis
    return tuple(sorted(int(a) % ndim for a in axes)) if ndim else ()


def sum(a, axis=None, keepdims=False):
    return bind(SUM, a, attrs=(normalized_axes(axis, ndim_of(a)), keepdims))


def mean(a, axis=None, keepdims=False):
    return bind(MEAN, a, attrs=(normalized_axes(axis, ndim_of(a)), keepdims))


def reshape(a, shape):
    shape = tuple(shape) if isinstance(shape, (tuple, list, np.ndarray)) else (shape,)
    if -1 in shape:
        known = math.prod(n for n in shape if n != -1)
        size = math.prod(shape_of(a))
        shape = tuple(size // known if n == -1 else n for n in shape)
    return bind(RESHAPE, a, attrs=shape)


def transpose(a, axes=None):
    ndim = ndim_of(a)
    axes = tuple(reversed(range(ndim))) if axes is None else tuple(int(n) % ndim for n in axes)
    if sorted(axes) != list(range(ndim)):
        raise ValueError(f"transpose axes {axes} are not a permutation of {ndim} axes")
    if axes == tuple(range(ndim)):
        return a
    return bind(TRANSPOSE, a, attrs=axes)


def swapaxes(a, axis1, axis2):
    axes = list(range(ndim_of(a)))
    axes[axis1], axes[axis2] = axes[axis2], axes[axis1]
    return transpose(a, axes)


def matrix_transpose(x):
    ndim = ndim_of(x)
    return bind(TRANSPOSE, x, attrs=tuple(range(ndim - 2)) + (ndim - 1, ndim - 2))


def axis_list(axis):
    """An int axis or a sequence of them, as a list."""
    return [axis] if isinstance(axis, (int, np.integer)) else list(axis)


def moveaxis(a, source, destination):
    ndim = ndim_of(a)
    source = [int(n) % ndim for n in axis_list(source)]
    destination = [int(n) % ndim for n in axis_list(destination)]
    if len(source) != len(destination):
        raise ValueError("moveaxis needs as many destination axes as source axes")
    order = [n for n in range(ndim) if n not in source]
    for dest, src in sorted(zip(destination, source)):
        order.insert(dest, src)
    return transpose(a, order)


def expand_dims(a, axis):
    shape = list(shape_of(a))
    axes = axis_list(axis)
    ndim = len(shape) + len(axes)
    for n in sorted(int(n) % ndim for n in axes):
        shape.insert(n, 1)
    return reshape(a, shape)


def squeeze(a, axis=None):
    shape = shape_of(a)
    axes = [n for n, extent in enumerate(shape) if extent == 1] if axis is None else \
        [int(n) % len(shape) for n in axis_list(axis)]
    if any(shape[n] != 1 for n in axes):
        raise ValueError("squeeze takes only axes of extent one")
    return reshape(a, [extent for n, extent in enumerate(shape) if n not in axes])


def broadcast_to(array, shape):
    shape = tuple(shape) if isinstance(shape, (tuple, list, np.ndarray)) else (shape,)
    return bind(BROADCAST_TO, array, attrs=shape)


def getitem(x, index):
    if type(index) is Tracer or (type(index) is tuple and any(type(p) is Tracer for p in index)):
        raise TypeError("getitem takes a literal index, not a traced one")
    # attrs of None would mean no attrs at all: x[None] is x[(None,)].
    return bind(GETITEM, x, attrs=(None,) if index is None else index)


def concatenate(arrays, axis=0):
    arrays = tuple(arrays)
    if not arrays:
        raise ValueError("concatenate needs at least one array")
    if axis is None:
        arrays, axis = tuple(reshape(a, (-1,)) for a in arrays), 0
    ndim = ndim_of(arrays[0])
    if ndim == 0:
        raise ValueError("zero-dimensional arrays cannot be concatenated")
    axis = int(axis) % ndim
    sizes = tuple(shape_of(a)[axis] if ndim_of(a) == ndim else -1 for a in arrays)
    return bind(CONCATENATE, *arrays, attrs=(axis, sizes))


def stack(arrays, axis=0):
    arrays = tuple(arrays)
    if not arrays:
        raise ValueError("stack needs at least one array")
    axis = int(axis) % (ndim_of(arrays[0]) + 1)
    return concatenate([expand_dims(a, axis) for a in arrays], axis)


def astype(x, dtype):
    return bind(ASTYPE, x, attrs=np.dtype(dtype))
