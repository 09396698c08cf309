"""The traced array type and the recording of primitives onto a DynamicTape."""

import numpy as np

from vorlix._native_core import DynamicTape

INPUT_OP = "vorlix.input"

# Python scalars take the dtype of the arrays they meet (NEP 50), so the
# frontend keeps them as Python objects and lets NumPy apply that promotion.
WEAK_TYPES = (bool, int, float, complex)


class Primitive:
    """One differentiable operation: its NumPy implementation and its rules.

    `needs` is the reverse-needs triple (output, inputs, residual): it names
    exactly what `vjp` reads, so a consuming walk can drop everything else.
    `residual`, when given, computes at recording time a payload that both
    rules receive, from the output value and the operand values."""

    registry = {}

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
    """A NumPy value recorded on a trace, with its tape node ID. Weak tracers
    hold Python scalars and stay weak until they meet an array."""

    __slots__ = ("value", "node", "trace", "weak")
    # NumPy defers to the reflected operators, so `array * tracer` records.
    __array_ufunc__ = None

    def __init__(self, value, node, trace, weak=False):
        self.value, self.node, self.trace, self.weak = value, node, trace, weak

    shape = property(lambda self: np.shape(self.value))
    ndim = property(lambda self: np.ndim(self.value))
    size = property(lambda self: np.size(self.value))
    dtype = property(lambda self: np.result_type(self.value))

    def __len__(self):
        return len(self.value)

    def __repr__(self):
        weak = ", weak" if self.weak else ""
        return f"Tracer(%{self.node}{weak}: {self.value!r})"

    def __bool__(self):
        raise TypeError("the truth value of a traced array depends on its data; compare .value instead")

    # Comparisons are not differentiable: they give plain boolean arrays,
    # which later operations (`where`) take as literals.
    def __lt__(self, other):
        return np.less(self.value, primal(other))

    def __le__(self, other):
        return np.less_equal(self.value, primal(other))

    def __gt__(self, other):
        return np.greater(self.value, primal(other))

    def __ge__(self, other):
        return np.greater_equal(self.value, primal(other))


def primal(x):
    """The NumPy value behind `x`, traced or not."""
    return x.value if type(x) is Tracer else x


class Trace:
    """One recording: a fresh DynamicTape and the operations bound to it."""

    def __init__(self):
        self.tape = DynamicTape()

    def input(self, value, name=None):
        """Record a differentiable input; Python scalars become weak inputs."""
        if type(value) in WEAK_TYPES:
            value = complex(value) if type(value) is complex else float(value)
            node = self.tape.record_input(value, (), np.dtype(type(value)), name=name)
            self.tape.mark_weak(node)
            return Tracer(value, node, self, True)
        value = np.asarray(value)
        if value.dtype.kind not in "fc":
            raise TypeError(f"differentiable inputs must be floating point, got {value.dtype}")
        return Tracer(value, self.tape.record_input(value, value.shape, value.dtype, name=name), self)

    def record(self, prim, operands, attrs):
        """Compute `prim` on the operands' values and record it. Traced
        operands become parents; everything else (Python scalars, constant
        arrays, exponents) becomes a literal in its operand slot."""
        parents, positions, literals, values = [], [], [], []
        weak = True
        for slot, x in enumerate(operands):
            if type(x) is Tracer:
                if x.trace is not self:
                    raise ValueError(f"{prim.name}: operand %{x.node} belongs to another trace")
                parents.append(x.node)
                positions.append(slot)
                values.append(x.value)
                weak = weak and x.weak
            else:
                literals.append(x)
                values.append(x)
                weak = weak and type(x) in WEAK_TYPES
        out = prim.impl(*values) if attrs is None else prim.impl(*values, attrs)
        weak = weak and np.ndim(out) == 0  # reshape or broadcast_to can give weak scalars dimensions
        if weak:
            out = out.item() if hasattr(out, "item") else out
            shape, dtype = (), np.dtype(type(out))
        else:
            shape, dtype = out.shape, out.dtype
        node = self.tape.record_operation(prim.name, parents, out, attrs, shape, dtype,
                                          input_positions=positions if literals else None,
                                          literals=literals, weak=weak)
        if prim.residual is not None:
            self.tape.record_residual(node, Residual(prim.residual(out, values)))
        return Tracer(out, node, self, weak)

    def freeze(self):
        """Install the rules of every recorded primitive; recording ends."""
        prims = [None if n == INPUT_OP else Primitive.registry[n] for n in self.tape.op_names]
        self.tape.freeze([p and p.jvp for p in prims], [p and p.vjp for p in prims],
                         [p and p.needs for p in prims])


def bind(prim, *operands, attrs=None):
    """Apply `prim`: recorded when an operand is traced, plain NumPy otherwise."""
    for x in operands:
        if type(x) is Tracer:
            return x.trace.record(prim, operands, attrs)
    return prim.impl(*operands) if attrs is None else prim.impl(*operands, attrs)
