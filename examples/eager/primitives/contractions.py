"""Tensor contractions: the einsum primitive, and tensordot and outer in
terms of it and of broadcasting.

einsum's subscripts are recorded in one canonical form (explicit output,
letters only, no ellipsis), so that a rule can read which axes meet: the
JVP puts each tangent in its operand's place, and the VJP of an operand is
itself an einsum of the cotangent with the other operands."""

import collections
import string

import numpy as np

from ..tracing import Primitive, bind, dtype_of, shape_of
from .elementwise import multiply
from .linear import INPUTS, axis_list, each, ndim_of, reshape, total

LETTERS = string.ascii_letters


def canonical_subscripts(subscripts, shapes):
    """`subscripts` for operands of `shapes`, with the output spelled out
    and every ellipsis replaced by letters of its own (right-aligned, as
    NumPy broadcasts them)."""
    if type(subscripts) is not str:
        raise TypeError("einsum takes its subscripts as a string, not interleaved with the operands")
    subscripts = subscripts.replace(" ", "")
    inputs, arrow, output = subscripts.partition("->")
    terms = inputs.split(",")
    if len(terms) != len(shapes):
        raise ValueError(f"einsum subscripts name {len(terms)} operands, but {len(shapes)} were given")
    spare = [c for c in LETTERS if c not in subscripts]
    widths = [len(shape) - len(term.replace("...", "")) if "..." in term else 0 for term, shape in zip(terms, shapes)]
    broadcast = "".join(spare[:max(widths, default=0)])
    terms = [term.replace("...", broadcast[len(broadcast) - width:]) for term, width in zip(terms, widths)]
    if arrow:
        output = output.replace("...", broadcast)
    else:
        # Implicit output: the broadcast axes, then each label used once,
        # in alphabetical order.
        counts = collections.Counter(inputs.replace(".", "").replace(",", ""))
        output = broadcast + "".join(sorted(c for c, n in counts.items() if n == 1))
    return ",".join(terms) + "->" + output


def split_subscripts(spec):
    inputs, _, output = spec.partition("->")
    return inputs.split(","), output


def einsum_jvp(out, x, t, attrs, src, res):
    return total(out, *(None if tk is None else einsum(attrs, *x[:k], tk, *x[k + 1:]) for k, tk in enumerate(t)))


def operand_gradient(spec, x, ct, k, shape):
    """The cotangent of operand k: the output's cotangent contracted with
    the other operands onto operand k's labels. A label that only operand k
    carries is summed in the forward pass, so its cotangent is constant
    along it (a factor of ones); a label repeated within operand k reads a
    diagonal, so its cotangent lies on that diagonal (a factor of the
    identity, under a fresh label)."""
    terms, output = split_subscripts(spec)
    mine = terms[k]
    others = [(term, x[i]) for i, term in enumerate(terms) if i != k]
    elsewhere = set(output).union(*(term for term, _ in others))
    fresh = iter(c for c in LETTERS if c not in spec)
    dtype = dtype_of(ct)
    target, factors, seen = [], [], set()
    for label, extent in zip(mine, shape):
        if label in seen:
            twin = next(fresh)
            target.append(twin)
            factors.append((label + twin, np.eye(extent, dtype=dtype)))
            continue
        seen.add(label)
        target.append(label)
        if label not in elsewhere:
            factors.append((label, np.ones(extent, dtype)))
    parts = [output] + [term for term, _ in others] + [term for term, _ in factors]
    return einsum(",".join(parts) + "->" + "".join(target), ct, *(v for _, v in others), *(v for _, v in factors))


def einsum_vjp(out, x, ct, attrs, active, res, specs, src):
    return each(active, specs, lambda k: operand_gradient(attrs, x, ct, k, specs[k][0]))


EINSUM = Primitive("einsum", lambda *operands: np.einsum(operands[-1], *operands[:-1]), einsum_jvp, einsum_vjp,
                   INPUTS)


def einsum(subscripts, *operands, optimize=False):
    """NumPy's einsum with a subscripts string. `optimize` only chooses the
    order in which NumPy contracts, so it is accepted and left to NumPy's
    default."""
    spec = canonical_subscripts(subscripts, [shape_of(x) for x in operands])
    return bind(EINSUM, *operands, attrs=spec)


def tensordot(a, b, axes=2):
    na, nb = ndim_of(a), ndim_of(b)
    if isinstance(axes, (int, np.integer)):
        axes_a, axes_b = range(na - axes, na), range(axes)
    else:
        axes_a, axes_b = (axis_list(n) for n in axes)
    axes_a = [int(n) % na for n in axes_a]
    axes_b = [int(n) % nb for n in axes_b]
    if len(axes_a) != len(axes_b):
        raise ValueError("tensordot needs as many axes of b as of a")
    labels_a = list(LETTERS[:na])
    labels_b = list(LETTERS[na:na + nb])
    for i, j in zip(axes_a, axes_b):
        labels_b[j] = labels_a[i]
    output = [c for n, c in enumerate(labels_a) if n not in axes_a] + \
        [c for n, c in enumerate(labels_b) if n not in axes_b]
    return einsum("".join(labels_a) + "," + "".join(labels_b) + "->" + "".join(output), a, b)


def outer(a, b):
    return multiply(reshape(a, (-1, 1)), reshape(b, (-1,)))
