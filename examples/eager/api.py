"""Transformations: gradients, JVPs, VJPs and Jacobians over one recording."""

import weakref

import numpy as np

from vorlix._native_core import dynamic_jvp, dynamic_jvp_many, dynamic_vjp, dynamic_vjp_many

from .tracing import Trace, Tracer

LANES = 16  # the most seed sets one walk of the core takes


class Recording:
    """A function recorded once on a fresh trace: its traced inputs, its
    output and the frozen tape, ready for any number of walks."""

    def __init__(self, f, args, argnums):
        self.trace = trace = Trace()
        args = list(args)
        self.inputs = [trace.input(args[i]) for i in argnums]
        for i, x in zip(argnums, self.inputs):
            args[i] = x
        out = f(*args)
        if type(out) is not Tracer or out.trace is not trace:
            # The output does not depend on the inputs: record it as an
            # input of its own that no seed reaches.
            out = trace.input(out)
        self.output = out
        trace.tape.mark_output(out.node)
        trace.freeze()

    @property
    def tape(self):
        return self.trace.tape

    def input_nodes(self):
        return [x.node for x in self.inputs]

    def as_arrays(self, results, like):
        """Results as arrays: None (nothing reached the node) becomes zeros,
        and read-only broadcast views become arrays of their own."""
        out = []
        for r, x in zip(results, like):
            if r is None:
                r = type(x.value)(0) if x.weak else np.zeros_like(x.value)
            elif type(r) is np.ndarray and not r.flags.writeable:
                r = r.copy()
            out.append(r)
        return out


def argnum_tuple(argnums):
    return (argnums,) if isinstance(argnums, int) else tuple(argnums)


def one_like(value):
    return type(value)(1) if type(value) in (float, complex) else np.ones_like(value)


def value_and_grad(f, argnums=0):
    """f's value and its gradient in the arguments at `argnums`. The reverse
    walk consumes the tape: each value is released after its last use."""
    nums = argnum_tuple(argnums)

    def run(*args):
        rec = Recording(f, args, nums)
        out = rec.output
        if out.shape != ():
            raise TypeError(f"grad needs a scalar output, got shape {out.shape}")
        grads = dynamic_vjp(rec.tape, [(out.node, one_like(out.value))], rec.input_nodes(), consume=True)
        grads = rec.as_arrays(grads, rec.inputs)
        return out.value, grads[0] if isinstance(argnums, int) else tuple(grads)

    return run


def grad(f, argnums=0):
    vg = value_and_grad(f, argnums)
    return lambda *args: vg(*args)[1]


def jvp(f, primals, tangents):
    """(f(*primals), the derivative of f along `tangents`)."""
    rec = Recording(f, primals, range(len(primals)))
    seeds = list(zip(rec.input_nodes(), tangents))
    (t,) = dynamic_jvp(rec.tape, seeds, [rec.output.node], consume=True)
    return rec.output.value, rec.as_arrays([t], [rec.output])[0]


def vjp(f, *primals):
    """(f(*primals), pullback). The pullback maps an output cotangent to one
    cotangent per primal and can be called any number of times."""
    rec = Recording(f, primals, range(len(primals)))

    def pullback(cotangent):
        out = rec.output
        if not out.weak:
            cotangent = np.asarray(cotangent, out.dtype)
            if cotangent.shape != out.shape:
                raise ValueError(f"cotangent shape {cotangent.shape} does not match output shape {out.shape}")
        results = dynamic_vjp(rec.tape, [(out.node, cotangent)], rec.input_nodes())
        return tuple(rec.as_arrays(results, rec.inputs))

    # Dropping a tape does not close its residuals; releasing it does.
    weakref.finalize(pullback, rec.tape.release_payloads)
    return rec.output.value, pullback


def one_hot_chunks(shape, dtype):
    """The one-hot arrays of `shape`, one per element, in chunks of at most
    LANES: one chunk per walk."""
    size = int(np.prod(shape))
    for start in range(0, size, LANES):
        count = min(LANES, size - start)
        chunk = np.zeros((count, size), dtype)
        chunk[np.arange(count), np.arange(start, start + count)] = 1
        yield chunk.reshape((count,) + tuple(shape))


def jacobian(f, argnum, lanes, axis):
    """Jacobian of f in argument `argnum`, shaped out.shape + x.shape, from
    one recording walked once per chunk of lanes; `lanes` yields the flat
    rows (or columns, stacked along `axis`)."""
    def run(*args):
        rec = Recording(f, args, (argnum,))
        x, out = rec.inputs[0], rec.output
        parts = list(lanes(rec, x, out))
        rec.tape.release_payloads()
        return np.stack(parts, axis=axis).reshape(out.shape + x.shape)

    return run


def forward_lanes(rec, x, out):
    """Jacobian columns by forward mode: one lane per input element."""
    for chunk in one_hot_chunks(x.shape, x.dtype):
        for r in dynamic_jvp_many(rec.tape, [[(x.node, s)] for s in chunk], [out.node]):
            yield rec.as_arrays(r, [out])[0].reshape(out.size)


def reverse_lanes(rec, x, out):
    """Jacobian rows by reverse mode: one lane per output element."""
    for chunk in one_hot_chunks(out.shape, out.dtype):
        for r in dynamic_vjp_many(rec.tape, [[(out.node, s)] for s in chunk], [x.node]):
            yield rec.as_arrays(r, [x])[0].reshape(x.size)


def jacfwd(f, argnum=0):
    return jacobian(f, argnum, forward_lanes, axis=-1)


def jacrev(f, argnum=0):
    return jacobian(f, argnum, reverse_lanes, axis=0)
