"""Transformations: gradients, JVPs, VJPs, Jacobians, Hessians and
Hessian-vector products over one recording each. Arguments and results may
be tuples, lists and dicts of arrays; transforms nest, because every rule
records onto an enclosing trace when one is running."""

import weakref

import numpy as np

from vorlix._native_core import dynamic_jvp, dynamic_jvp_many, dynamic_vjp, dynamic_vjp_many

from . import primitives as P
from .tracing import Trace, Tracer, dtype_of, shape_of
from .tree import describe, flatten, leaf_count, unflatten

LANES = 16  # the most seed sets one walk of the core takes


def argnum_tuple(argnums, count):
    nums = (argnums,) if isinstance(argnums, int) else tuple(argnums)
    if not nums:
        raise ValueError("argnums must name at least one argument")
    for n in nums:
        if not isinstance(n, int) or not -count <= n < count:
            raise ValueError(f"argnums {argnums!r} is out of range for {count} positional arguments")
    return tuple(n % count for n in nums)


class Recording:
    """A function recorded once on a fresh trace: its traced inputs (the
    leaves of the arguments at `argnums`), its outputs (the leaves of its
    result) and the frozen tape, ready for any number of walks."""

    def __init__(self, f, args, argnums, has_aux=False):
        self.trace = trace = Trace()
        args = list(args)
        self.inputs, self.input_structures = [], []
        for i in argnums:
            leaves, structure = flatten(args[i])
            tracers = [trace.input(x) for x in leaves]
            args[i] = unflatten(structure, tracers)
            self.inputs += tracers
            self.input_structures.append(structure)
        out = f(*args)
        if has_aux:
            if type(out) is not tuple or len(out) != 2:
                raise TypeError("a function with has_aux=True must return a pair (output, aux), "
                                f"got {type(out).__name__}")
            out, aux = out
            leaves, structure = flatten(aux)
            self.aux = unflatten(structure, [self.lowered(x) for x in leaves])
        leaves, self.output_structure = flatten(out)
        self.outputs = []
        marked = set()
        for x in leaves:
            if type(x) is not Tracer or x.trace is not trace:
                # The output does not depend on the inputs: record it as a
                # value of its own that no seed reaches.
                x = trace.constant(x)
            elif x.node in marked:
                x = P.reshape(x, x.shape)  # a second node, as one node is marked once
            trace.tape.mark_output(x.node)
            marked.add(x.node)
            self.outputs.append(x)
        trace.freeze()

    def lowered(self, x):
        """`x` without this trace: a tracer of it becomes its value, which is
        what the caller (or an enclosing trace) can use."""
        return x.value if type(x) is Tracer and x.trace is self.trace else x

    @property
    def output(self):
        """The output of a function with one output leaf."""
        (out,) = self.outputs
        return out

    @property
    def tape(self):
        return self.trace.tape

    def input_nodes(self):
        return [x.node for x in self.inputs]

    def output_nodes(self):
        return [x.node for x in self.outputs]

    def output_values(self):
        return unflatten(self.output_structure, [x.value for x in self.outputs])

    def per_argument(self, leaves, argnums):
        """Input-leaf results regrouped as one tree per argument: the tree
        itself for an int `argnums`, a tuple of them for a tuple."""
        trees, start = [], 0
        for structure in self.input_structures:
            count = leaf_count(structure)
            trees.append(unflatten(structure, leaves[start:start + count]))
            start += count
        return trees[0] if isinstance(argnums, int) else tuple(trees)

    @staticmethod
    def as_arrays(results, like):
        """Results as values: None (nothing reached the node) becomes zeros,
        read-only broadcast views become arrays of their own, and results
        for Python scalars are Python scalars."""
        out = []
        for r, x in zip(results, like):
            weak_python = type(x.value) in (float, complex)
            if r is None:
                r = type(x.value)(0) if weak_python else np.zeros(x.shape, x.dtype)
            elif type(r) is np.ndarray:
                if weak_python and r.ndim == 0:
                    r = r.item()
                elif not r.flags.writeable:
                    r = r.copy()
            elif weak_python and isinstance(r, np.generic):
                r = r.item()
            out.append(r)
        return out


def one_like(x):
    """A unit seed for the output tracer `x`."""
    if x.weak and type(x.value) in (float, complex):
        return type(x.value)(1)
    return np.ones(x.shape, x.dtype)


def require_complex(transform, what, values):
    """With holomorphic=True every input and output is complex: the
    derivative of a holomorphic function is a complex number."""
    for x in values:
        if x.dtype.kind != "c":
            raise TypeError(f"{transform} with holomorphic=True needs complex {what}, got {x.dtype}")


def refuse_complex(transform, what, values, other):
    """Without holomorphic=True, the values a Jacobian seeds (jacfwd's
    inputs, jacrev's outputs) are real: a complex seed asks for a complex
    derivative, which only a holomorphic function has."""
    for x in values:
        if x.dtype.kind == "c":
            raise TypeError(f"{transform} needs real {what}, got {x.dtype}; pass holomorphic=True for a "
                            f"holomorphic function, or use {other}")


def value_and_grad(f, argnums=0, has_aux=False, holomorphic=False):
    """f's value and its gradient in the arguments at `argnums` (an int, or a
    tuple for a tuple of gradients). With `has_aux`, f returns (output, aux)
    and the result is ((value, aux), gradient). The reverse walk consumes
    the tape: each value is released after its last use. With
    `holomorphic`, f takes complex inputs to a complex output and the
    result is its complex derivative."""
    def run(*args):
        rec = Recording(f, args, argnum_tuple(argnums, len(args)), has_aux)
        if len(rec.outputs) != 1:
            raise TypeError(f"grad needs one scalar output, got {len(rec.outputs)} outputs "
                            f"{describe(rec.output_structure)}")
        out = rec.outputs[0]
        if out.shape != ():
            raise TypeError(f"grad needs a scalar output, got shape {out.shape}")
        if holomorphic:
            require_complex("grad", "inputs", rec.inputs)
            require_complex("grad", "outputs", rec.outputs)
        elif out.dtype.kind != "f":
            raise TypeError(f"grad needs a real floating-point output, got {out.dtype}; take the real part, "
                            "pass holomorphic=True for a holomorphic function, or use vjp for other outputs")
        grads = dynamic_vjp(rec.tape, [(out.node, one_like(out))], rec.input_nodes(), consume=True)
        grads = rec.per_argument(rec.as_arrays(grads, rec.inputs), argnums)
        return ((out.value, rec.aux), grads) if has_aux else (out.value, grads)

    return run


def grad(f, argnums=0, has_aux=False, holomorphic=False):
    """The gradient of scalar-valued f in the arguments at `argnums`; with
    `has_aux`, (gradient, aux)."""
    vg = value_and_grad(f, argnums, has_aux, holomorphic)

    def run(*args):
        value, g = vg(*args)
        return (g, value[1]) if has_aux else g

    return run


def check_tangents(primals, tangents):
    """Refuse tangents that do not match their primals in structure, shape
    or dtype: pairing them loosely would give a derivative along some other
    direction without a word."""
    for name, value in (("primals", primals), ("tangents", tangents)):
        if type(value) not in (tuple, list):
            raise TypeError(f"jvp {name} must be a tuple or list, got {type(value).__name__}")
    p_leaves, p_structure = flatten(tuple(primals))
    t_leaves, t_structure = flatten(tuple(tangents))
    if p_structure != t_structure:
        raise TypeError(f"jvp primals and tangents must have the same structure, got primals "
                        f"{describe(p_structure)} and tangents {describe(t_structure)}")
    for i, (p, t) in enumerate(zip(p_leaves, t_leaves)):
        if t is None:
            raise TypeError(f"jvp tangent {i} is None; pass zeros for a fixed argument")
        if shape_of(t) != shape_of(p):
            raise ValueError(f"jvp tangent {i} has shape {shape_of(t)}, but its primal has shape {shape_of(p)}")
        # A Python int or bool primal is recorded as a float.
        p_dtype = np.dtype(float) if type(p) in (int, bool) else dtype_of(p)
        if dtype_of(t) != p_dtype:
            raise TypeError(f"jvp tangent {i} has dtype {dtype_of(t)}, but its primal has dtype {p_dtype}")
    return t_leaves


def jvp(f, primals, tangents):
    """(f(*primals), the derivative of f along `tangents`): one tangent per
    primal, of the primal's structure, shape and dtype."""
    seeds = check_tangents(primals, tangents)
    rec = Recording(f, primals, range(len(primals)))
    results = dynamic_jvp(rec.tape, list(zip(rec.input_nodes(), seeds)), rec.output_nodes(), consume=True)
    return rec.output_values(), unflatten(rec.output_structure, rec.as_arrays(results, rec.outputs))


def vjp(f, *primals):
    """(f(*primals), pullback). The pullback maps an output cotangent (of the
    output's structure) to one cotangent per primal and can be called any
    number of times."""
    rec = Recording(f, primals, range(len(primals)))

    def pullback(cotangent):
        leaves, structure = flatten(cotangent)
        if structure != rec.output_structure:
            raise TypeError(f"cotangent structure {describe(structure)} does not match output structure "
                            f"{describe(rec.output_structure)}")
        seeds = []
        for out, ct in zip(rec.outputs, leaves):
            if not out.weak and type(ct) is not Tracer:
                ct = np.asarray(ct, out.dtype)
            if shape_of(ct) != out.shape:
                raise ValueError(f"cotangent shape {shape_of(ct)} does not match output shape {out.shape}")
            seeds.append((out.node, ct))
        results = dynamic_vjp(rec.tape, seeds, rec.input_nodes())
        return tuple(rec.per_argument(rec.as_arrays(results, rec.inputs), tuple(range(len(primals)))))

    # Dropping a tape does not close its residuals; releasing it does.
    weakref.finalize(pullback, rec.tape.release_payloads)
    return rec.output_values(), pullback


def hvp(f, primals, tangents):
    """The Hessian of scalar f at `primals` times `tangents`: forward mode
    over the reverse-mode gradient. One primal gives one array; several
    give a tuple."""
    nums = tuple(range(len(primals)))
    _, out = jvp(grad(f, argnums=nums), primals, tangents)
    return out[0] if len(primals) == 1 else out


# --- Jacobians --------------------------------------------------------------


def one_hot_chunks(shape, dtype):
    """The one-hot arrays of `shape`, one per element, in chunks of at most
    LANES: one chunk per walk."""
    size = int(np.prod(shape))
    for start in range(0, size, LANES):
        count = min(LANES, size - start)
        chunk = np.zeros((count, size), dtype)
        chunk[np.arange(count), np.arange(start, start + count)] = 1
        yield chunk.reshape((count,) + tuple(shape))


def assemble(parts, axis, shape):
    """Stack flat Jacobian rows or columns and shape the block; a block
    with no rows or columns is zeros."""
    if not parts:
        return np.zeros(shape)
    return P.reshape(P.stack(parts, axis=axis), shape)


def forward_blocks(rec):
    """blocks[i][j]: d output i / d input j, by forward mode, one lane per
    input element."""
    blocks = [[None] * len(rec.inputs) for _ in rec.outputs]
    for j, x in enumerate(rec.inputs):
        columns = [[] for _ in rec.outputs]
        for chunk in one_hot_chunks(x.shape, x.dtype):
            for lane in dynamic_jvp_many(rec.tape, [[(x.node, s)] for s in chunk], rec.output_nodes()):
                for i, t in enumerate(rec.as_arrays(lane, rec.outputs)):
                    columns[i].append(P.reshape(t, (rec.outputs[i].size,)))
        for i, out in enumerate(rec.outputs):
            blocks[i][j] = assemble(columns[i], -1, out.shape + x.shape)
    return blocks


def reverse_blocks(rec):
    """blocks[i][j]: d output i / d input j, by reverse mode, one lane per
    output element."""
    blocks = [[None] * len(rec.inputs) for _ in rec.outputs]
    for i, out in enumerate(rec.outputs):
        rows = [[] for _ in rec.inputs]
        for chunk in one_hot_chunks(out.shape, out.dtype):
            for lane in dynamic_vjp_many(rec.tape, [[(out.node, s)] for s in chunk], rec.input_nodes()):
                for j, g in enumerate(rec.as_arrays(lane, rec.inputs)):
                    rows[j].append(P.reshape(g, (rec.inputs[j].size,)))
        for j, x in enumerate(rec.inputs):
            blocks[i][j] = assemble(rows[j], 0, out.shape + x.shape)
    return blocks


def jacobian(f, argnums, blocks, check):
    """The Jacobian of f in the arguments at `argnums`: for each output leaf,
    its blocks against each argument, arranged like the arguments (a tuple
    of them for a tuple `argnums`), the whole arranged like the output."""
    def run(*args):
        rec = Recording(f, args, argnum_tuple(argnums, len(args)))
        try:
            check(rec)
            table = blocks(rec)
        finally:
            rec.tape.release_payloads()
        per_output = [rec.per_argument(row, argnums) for row in table]
        return unflatten(rec.output_structure, per_output)

    return run


def jacobian_check(transform, holomorphic, seeded, seeded_what, other):
    """The dtypes a Jacobian takes: complex throughout when holomorphic,
    else real where its seeds go in (the inputs forwards, the outputs
    backwards)."""
    def check(rec):
        if holomorphic:
            require_complex(transform, "inputs", rec.inputs)
            require_complex(transform, "outputs", rec.outputs)
        else:
            refuse_complex(transform, seeded_what, seeded(rec), other)
    return check


def jacfwd(f, argnums=0, holomorphic=False):
    return jacobian(f, argnums, forward_blocks,
                    jacobian_check("jacfwd", holomorphic, lambda rec: rec.inputs, "inputs", "jvp"))


def jacrev(f, argnums=0, holomorphic=False):
    return jacobian(f, argnums, reverse_blocks,
                    jacobian_check("jacrev", holomorphic, lambda rec: rec.outputs, "outputs", "vjp"))


def hessian(f, argnums=0, holomorphic=False):
    """The Hessian of scalar f: forward mode over reverse mode."""
    return jacfwd(jacrev(f, argnums, holomorphic), argnums, holomorphic)
