"""The traced array type and the recording of primitives onto a DynamicTape.

Traces nest: a transform applied inside another records on a trace of its
own whose values are the enclosing trace's tracers. Every trace has a level,
higher for later traces; `bind` records on the highest trace among the
operands and computes the value one level down, so a rule that runs during a
walk of an inner tape records onto the enclosing trace and the derivative
can itself be differentiated."""

import itertools

import numpy as np

from vorlix._native_core import DynamicTape

INPUT_OP = "vorlix.input"

# Python scalars take the dtype of the arrays they meet (NEP 50), so the
# frontend keeps them as Python objects and lets NumPy apply that promotion.
WEAK_TYPES = (bool, int, float, complex)


class Primitive:
    """One operation: its NumPy implementation and its rules.

    `needs` is the reverse-needs triple (output, inputs, residual): it names
    exactly what `vjp` reads, so a consuming walk can drop everything else.
    `residual`, when given, computes at recording time a payload that both
    rules receive, from the output value and the operand values. The table
    `Primitive.registry` (name -> primitive) is all a tracer needs to record,
    evaluate and differentiate an operation by name."""

    registry = {}
    # Whether an output computed from weak scalars alone stays weak; a cast
    # says False.
    weak_output = True

    def __init__(self, name, impl, jvp, vjp, needs, residual=None):
        self.name, self.impl, self.jvp, self.vjp = name, impl, jvp, vjp
        self.needs, self.residual = needs, residual
        Primitive.registry[name] = self

    def __repr__(self):
        return f"Primitive({self.name!r})"


class Residual:
    """A value saved by the forward pass for the rules. The tape calls
    `close()` once when no later step needs it; dropping the payload there
    frees the memory even if something still holds the residual object."""

    __slots__ = ("payload",)

    def __init__(self, payload):
        self.payload = payload

    def close(self):
        self.payload = None


class Tracer:
    """A value recorded on a trace, with its tape node ID. The value is a
    NumPy array or Python scalar, or a tracer of an enclosing trace when
    transforms nest. Weak tracers hold Python scalars (or weak tracers) and
    stay weak until they meet an array."""

    __slots__ = ("value", "node", "trace", "weak")
    # The tape hands a weak tracer to the rules as it is instead of asking
    # it for a Python scalar.
    _vorlix_snapshot = True

    def __init__(self, value, node, trace, weak=False):
        self.value, self.node, self.trace, self.weak = value, node, trace, weak

    shape = property(lambda self: shape_of(self.value))
    ndim = property(lambda self: len(shape_of(self.value)))
    size = property(lambda self: size_of(shape_of(self.value)))
    dtype = property(lambda self: dtype_of(self.value))

    def __len__(self):
        shape = self.shape
        if not shape:
            raise TypeError("len() of a rank-zero traced array")
        return shape[0]

    def __iter__(self):
        return (self[i] for i in range(len(self)))

    def __repr__(self):
        weak = ", weak" if self.weak else ""
        return f"Tracer(%{self.node}{weak}: {self.value!r})"

    def __bool__(self):
        raise TypeError("the truth value of a traced array depends on its data; compare .value instead")

    def __array__(self, dtype=None, copy=None):
        # Without this NumPy would build an object array of per-element
        # tracers: a silent slow path that records one node per element.
        raise TypeError("a traced array cannot become a NumPy array; use the frontend's functions, "
                        "or .value for the value without its derivative")


def shape_of(x):
    return x.shape if type(x) is Tracer or type(x) is np.ndarray else np.shape(x)


def size_of(shape):
    n = 1
    for d in shape:
        n *= d
    return n


def dtype_of(x):
    """The dtype of an array, tracer or Python scalar (float64 for float)."""
    if type(x) in WEAK_TYPES:
        return np.dtype(type(x))
    dtype = getattr(x, "dtype", None)
    return np.result_type(x) if dtype is None else dtype


def is_weak(x):
    return type(x) in WEAK_TYPES or (type(x) is Tracer and x.weak)


def primal(x):
    """The value behind `x` at the lowest level: an array or Python scalar."""
    while type(x) is Tracer:
        x = x.value
    return x


_levels = itertools.count(1)


class Trace:
    """One recording: a fresh DynamicTape and the operations bound to it."""

    def __init__(self):
        self.tape = DynamicTape()
        self.level = next(_levels)

    def input(self, value, name=None):
        """Record a differentiable input; Python scalars become weak inputs."""
        kind = type(value)
        if kind in WEAK_TYPES:
            value = complex(value) if kind is complex else float(value)
            node = self.tape.record_input(value, (), np.dtype(type(value)), name=name)
            self.tape.mark_weak(node)
            return Tracer(value, node, self, True)
        if kind is not np.ndarray and kind is not Tracer:
            value = np.asarray(value)
        dtype = value.dtype
        if dtype.kind not in "fc":
            raise TypeError(f"differentiable inputs must be floating point, got {dtype}")
        node = self.tape.record_input(value, value.shape, dtype, name=name)
        weak = kind is Tracer and value.weak
        if weak:
            self.tape.mark_weak(node)
        return Tracer(value, node, self, weak)

    def constant(self, value):
        """Record a value that depends on no input (an output that ignores
        the arguments): an inactive input that no seed or cotangent reaches."""
        if type(value) in WEAK_TYPES:
            node = self.tape.record_input(value, (), dtype_of(value), active=False)
            return Tracer(value, node, self, True)
        if type(value) is not Tracer:
            value = np.asarray(value)
        node = self.tape.record_input(value, value.shape, dtype_of(value), active=False)
        return Tracer(value, node, self)

    def record(self, prim, operands, attrs):
        """Compute `prim` one level down and record it. This trace's tracers
        become parents; everything else (Python scalars, constant arrays,
        exponents, an enclosing trace's tracers) becomes a literal in its
        operand slot."""
        parents, positions, literals, values = [], [], [], []
        weak, nested = True, False
        for slot, x in enumerate(operands):
            if type(x) is Tracer and x.trace is self:
                parents.append(x.node)
                positions.append(slot)
                x, weak = x.value, weak and x.weak
            else:
                literals.append(x)
                weak = weak and is_weak(x)
            values.append(x)
            nested = nested or type(x) is Tracer
        if nested:
            out = bind(prim, *values, attrs=attrs)
        else:
            out = prim.impl(*values) if attrs is None else prim.impl(*values, attrs)
        if type(out) is tuple:
            return self.record_outputs(prim, parents, positions, literals, values, attrs, out)
        if type(out) is Tracer:
            weak = out.weak
            shape, dtype = out.shape, out.dtype
        else:
            # reshape or broadcast_to can give weak scalars dimensions
            weak = weak and prim.weak_output and np.ndim(out) == 0
            if weak:
                out = out.item() if hasattr(out, "item") else out
                shape, dtype = (), dtype_of(out)
            else:
                if not hasattr(out, "shape"):
                    out = np.asarray(out)
                shape, dtype = out.shape, out.dtype
        node = self.tape.record_operation(prim.name, parents, out, attrs, shape, dtype,
                                          input_positions=positions if literals else None,
                                          literals=literals, weak=weak)
        if prim.residual is not None:
            self.tape.record_residual(node, Residual(prim.residual(out, values)))
        return Tracer(out, node, self, weak)

    def record_outputs(self, prim, parents, positions, literals, values, attrs, outs):
        """A primitive with several outputs: one node whose value is the tuple
        of outputs, and one GETOUTPUT node per output for its users. Tangents
        and cotangents of the tuple node are tuples too (the core adds them
        element by element), with None for an output that has none."""
        node = self.tape.record_operation(prim.name, parents, outs, attrs, (), tuple(dtype_of(o) for o in outs),
                                          input_positions=positions if literals else None, literals=literals)
        if prim.residual is not None:
            self.tape.record_residual(node, Residual(prim.residual(outs, values)))
        whole = Tracer(outs, node, self)
        return tuple(self.record(GETOUTPUT, (whole,), (k, len(outs))) for k in range(len(outs)))

    def freeze(self):
        """Install the rules of every recorded primitive; recording ends."""
        prims = [None if n == INPUT_OP else Primitive.registry[n] for n in self.tape.op_names]
        self.tape.freeze([p and p.jvp for p in prims], [p and p.vjp for p in prims],
                         [p and p.needs for p in prims])


def bind(prim, *operands, attrs=None):
    """Apply `prim`: recorded on the innermost trace among the operands, plain
    NumPy when none is traced."""
    top = None
    for x in operands:
        if type(x) is Tracer and (top is None or x.trace.level > top.level):
            top = x.trace
    if top is None:
        return prim.impl(*operands) if attrs is None else prim.impl(*operands, attrs)
    return top.record(prim, operands, attrs)


# --- several outputs ---------------------------------------------------------


def getoutput_jvp(out, x, t, attrs, src, res):
    return None if t[0] is None else t[0][attrs[0]]


def getoutput_vjp(out, x, ct, attrs, active, res, specs, src):
    k, count = attrs
    return [tuple(ct if i == k else None for i in range(count))]


# attrs: (which output, how many), so that the VJP can build the tuple
# cotangent of its parent without the parent's value.
GETOUTPUT = Primitive("getoutput", lambda outs, attrs: outs[attrs[0]], getoutput_jvp, getoutput_vjp,
                      (False, False, False))
