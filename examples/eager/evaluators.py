"""NumPy evaluators for staged graphs: the attribute codec between the
primitives' own attributes and graph attributes, the evaluator of each
operation with the contract it declares to the core, and the binder that
links a graph's operations to them.

An evaluator is called as (operands, context, donated) and declares,
honestly, what its result may share: a fresh result is an owned output, a
view names the operand it may view (alias position), and an elementwise
operation that can write into a dying operand with `out=` lists the
positions it accepts as donations. A primitive without an entry here is
still executed, with no declaration: the core then assumes its result may
share storage with any operand and never donates into it."""

import numpy as np

from .primitives.linear import is_basic_index
from .tracing import Primitive

# Graph operation names: the package's own names where it has one, the
# array namespace's otherwise. Both kinds are pure to the optimizer.
OP_PREFIX = "array."
OWN_NAMES = {"getitem": "vorlix.getitem", "scatter_add": "vorlix.scatter_add"}
PRIMITIVE_NAMES = {op: name for name, op in OWN_NAMES.items()}
GET_OUTPUT = "vorlix.getoutput"


def op_name(prim_name):
    return OWN_NAMES.get(prim_name) or OP_PREFIX + prim_name


def primitive_name(op):
    if op in PRIMITIVE_NAMES:
        return PRIMITIVE_NAMES[op]
    return op[len(OP_PREFIX):] if op.startswith(OP_PREFIX) else None

# --- attributes --------------------------------------------------------------
# Graph attributes hold None, bool, int, float, str, bytes, lists, tuples and
# string-keyed dicts. The primitives' attributes may also hold slices,
# Ellipsis, dtypes, NumPy scalars and index arrays: those are written as
# one-key dicts that no other value produces, so decoding is exact.


def encode_value(v):
    t = type(v)
    if v is None or t in (bool, int, float, str, bytes):
        return v
    if t is tuple:
        return tuple(encode_value(x) for x in v)
    if t is list:
        return [encode_value(x) for x in v]
    if t is slice:
        return {"slice": (encode_value(v.start), encode_value(v.stop), encode_value(v.step))}
    if v is Ellipsis:
        return {"ellipsis": None}
    if isinstance(v, np.dtype):
        return {"dtype": v.str}
    if isinstance(v, np.ndarray):
        a = np.ascontiguousarray(v)
        return {"array": (a.dtype.str, tuple(int(n) for n in a.shape), a.tobytes())}
    if isinstance(v, np.generic):
        return encode_value(v.item())
    raise TypeError(f"cannot stage attribute value of type {t.__qualname__}")


def decode_value(v):
    t = type(v)
    if t is tuple:
        return tuple(decode_value(x) for x in v)
    if t is list:
        return [decode_value(x) for x in v]
    if t is dict:
        ((tag, body),) = v.items()
        if tag == "slice":
            return slice(*(decode_value(x) for x in body))
        if tag == "ellipsis":
            return Ellipsis
        if tag == "dtype":
            return np.dtype(body)
        if tag == "array":
            dtype, shape, data = body
            return np.frombuffer(data, dtype).reshape(shape)
        raise ValueError(f"unknown staged attribute tag {tag!r}")
    return v


# The attribute key of each primitive with attributes. "axes" on transpose
# is what the optimizer reads to cancel transpose pairs; reductions split
# their (axes, keepdims) pair so that both are readable in the artifact.
ATTR_KEYS = {"transpose": "axes", "reshape": "shape", "broadcast_to": "shape", "getitem": "index",
            "astype": "dtype"}
REDUCTIONS = ("sum", "mean", "max", "min", "prod")
WEAK = "weak"


def encode_attrs(prim_name, attrs, weak=False):
    """Graph attributes for one recorded operation. `weak` marks a node
    whose value is a Python scalar, as the eager trace keeps it."""
    out = {}
    if attrs is not None:
        if prim_name in REDUCTIONS:
            out = {"axes": encode_value(attrs[0]), "keepdims": bool(attrs[1])}
        else:
            out = {ATTR_KEYS.get(prim_name, "attrs"): encode_value(attrs)}
    if weak:
        out[WEAK] = True
    return out


def decode_attrs(prim_name, attrs):
    """(the primitive's own attributes or None, weak flag)."""
    weak = attrs.pop(WEAK, False)
    if not attrs:
        return None, weak
    if prim_name in REDUCTIONS:
        return (decode_value(attrs["axes"]), attrs["keepdims"]), weak
    return decode_value(attrs[ATTR_KEYS.get(prim_name, "attrs")]), weak


# --- evaluators --------------------------------------------------------------

# Primitives whose NumPy function is a ufunc are elementwise and accept a
# donated buffer; these others always make a fresh result, or view their
# first operand.
OWNED = frozenset({"where", "matmul", "sum", "mean", "max", "min", "prod", "concatenate", "astype", "scatter_add",
                   "sigmoid", "cumsum", "solve", "inv", "det", "cholesky", "svdvals"})
# einsum is in neither: a contraction that only permutes or takes a
# diagonal gives a view.
VIEWS = frozenset({"reshape", "transpose", "broadcast_to", "real", "imag"})


def declare(ev, owned=False, alias=None, donation=()):
    if owned:
        ev.__vorlix_owned_output__ = True
    if alias is not None:
        ev.__vorlix_alias_positions__ = (alias,)
    if donation:
        ev.__vorlix_donation_positions__ = tuple(donation)
    return ev


def ufunc_evaluator(name, ufunc, arity):
    """A fresh result, or the donated operand's buffer reused as `out`. The
    core donates only a value whose spec equals the result's and that no
    other live value can see, and only owned values, which here are fresh
    arrays NumPy made, so writeable; a rank-zero result NumPy gave back as a
    scalar is computed fresh."""
    # One body per arity: unpacking and a call with fixed arguments cost
    # less than a call with star-arguments, and this runs once per node.
    def unary(operands, context, donated):
        (x,) = operands
        if donated is not None and type(x) is np.ndarray:
            result = ufunc(x, x)  # out by position: the cheaper call
        else:
            result = ufunc(x)
        if context is not None:
            context.observe(name, operands, donated, result)
        return result

    def binary(operands, context, donated):
        a, b = operands
        if donated is not None and type(operands[donated]) is np.ndarray:
            result = ufunc(a, b, operands[donated])
        else:
            result = ufunc(a, b)
        if context is not None:
            context.observe(name, operands, donated, result)
        return result

    def general(operands, context, donated):
        if donated is not None and type(operands[donated]) is np.ndarray:
            result = ufunc(*operands, operands[donated])
        else:
            result = ufunc(*operands)
        if context is not None:
            context.observe(name, operands, donated, result)
        return result

    return declare({1: unary, 2: binary}.get(arity, general), owned=True, donation=range(arity))


def call_evaluator(name, impl, attrs):
    def evaluate(operands, context, donated):
        result = impl(*operands, attrs)
        if context is not None:
            context.observe(name, operands, donated, result)
        return result
    return evaluate


def plain_evaluator(name, impl):
    def evaluate(operands, context, donated):
        result = impl(*operands)
        if context is not None:
            context.observe(name, operands, donated, result)
        return result
    return evaluate


def weak_result(evaluate):
    """Weak nodes hold Python scalars, as in eager tracing: NumPy would
    otherwise hand back a strong NumPy scalar that changes later promotion."""
    def weak(operands, context, donated):
        result = evaluate(operands, context, donated)
        return result.item() if hasattr(result, "item") else result
    return weak


def output_getter(index):
    def evaluate(operands, context, donated):
        return operands[0][index]
    return declare(evaluate, alias=0)


def numpy_binder(op, attrs):
    """The binder handed to build_graph_execution_plan: the evaluator of one
    graph operation, from its name and attributes."""
    if op == GET_OUTPUT:
        return output_getter(attrs["index"])
    name = primitive_name(op)
    prim = Primitive.registry.get(name)
    if prim is None:
        raise KeyError(f"no NumPy evaluator for staged operation {op!r}")
    prim_attrs, weak = decode_attrs(name, attrs)
    if isinstance(prim.impl, np.ufunc) and prim.impl.nout == 1 and prim_attrs is None and not weak:
        ev = ufunc_evaluator(name, prim.impl, prim.impl.nin)
    else:
        ev = plain_evaluator(name, prim.impl) if prim_attrs is None else call_evaluator(name, prim.impl, prim_attrs)
        if weak:
            ev = weak_result(ev)
        elif name in OWNED or isinstance(prim.impl, np.ufunc):
            declare(ev, owned=True)
        elif name in VIEWS:
            declare(ev, alias=0)
        elif name == "getitem":
            # A basic index gives a view; an advanced one gathers a copy.
            declare(ev, alias=0) if is_basic_index(prim_attrs) else declare(ev, owned=True)
    return ev
