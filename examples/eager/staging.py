"""Staging: a function traced once, through the same primitives as eager
tracing, into a GraphBuilder; finished (optimized) into a graph store that
is saved and loaded as its JSON artifact, linked once to the NumPy
evaluators and executed any number of times."""

import pathlib
import weakref

import numpy as np

from vorlix._native_core import GraphBuilder, build_graph_execution_plan, deserialize_graph_json, execute_graph

from .evaluators import GET_OUTPUT, encode_attrs, numpy_binder, op_name
from .tracing import WEAK_TYPES, Tracer, _levels, dtype_of
from .tree import describe, flatten, unflatten

NUMERIC_KINDS = "biufc"


def portable(value):
    """(kind, little-endian contiguous array) of a captured value: Python
    scalars are "scalar" constants and stay weak; everything else is an
    "array" constant."""
    if type(value) in WEAK_TYPES:
        return "scalar", np.asarray(value, np.dtype(type(value)))
    array = np.asarray(value)
    if array.dtype.kind not in NUMERIC_KINDS:
        raise TypeError(f"cannot stage a constant of dtype {array.dtype}")
    # astype, not ascontiguousarray: that would give a rank-zero value a dimension.
    return "array", array.astype(array.dtype.newbyteorder("<"), order="C", copy=False)


def constant_value(kind, dtype, shape, data):
    """The value a constant node holds at execution: a Python scalar for a
    scalar constant, a read-only array over the payload otherwise."""
    array = np.frombuffer(data, np.dtype(dtype).newbyteorder("<")).reshape(shape)
    return array.item() if kind == "scalar" else array


class StagingTrace:
    """One staging: a GraphBuilder and the constants captured so far.

    Operations also run on the example values, as eager tracing does: that
    gives every node its output specification, and weak Python scalars the
    same promotion as in eager code. A transform applied inside staging
    records on a trace of a higher level whose values are this trace's
    tracers, so its rules, run during its walk, are staged here."""

    def __init__(self):
        self.builder = GraphBuilder()
        self.level = next(_levels)  # the same order as the eager traces'
        self.constant_nodes = {}  # (kind, dtype, shape, payload) -> node, so equal captures share a node
        self.constant_values = {}  # node -> the value handed to execution

    def input(self, value, name=None):
        if type(value) is Tracer:
            raise TypeError("stage takes concrete example arguments, not traced values")
        if type(value) in WEAK_TYPES:
            node = self.builder.append_input_node((), np.dtype(type(value)), name=name)
            return Tracer(value, node, self, True)
        value = np.asarray(value)
        return Tracer(value, self.builder.append_input_node(value.shape, value.dtype, name=name), self)

    def constant(self, value):
        """The node of a captured value (a literal operand or a closed-over
        array), appended with its digest the first time it is seen."""
        kind, array = portable(value)
        data = array.tobytes()
        key = (kind, array.dtype.str, array.shape, data)
        node = self.constant_nodes.get(key)
        if node is None:
            node, _ = self.builder.append_constant(data, array.shape, array.dtype.name, kind=kind)
            self.constant_nodes[key] = node
            self.constant_values[node] = constant_value(kind, array.dtype, array.shape, data)
        return node

    def operand(self, x, prim):
        if type(x) is Tracer:
            if x.trace is not self:
                raise ValueError(f"{prim.name}: operand %{x.node} belongs to another trace")
            return x.node, x.value, x.weak
        return self.constant(x), x, type(x) in WEAK_TYPES

    def record(self, prim, operands, attrs):
        """Append `prim` on the operands: traced operands are their nodes,
        anything else becomes a constant operand in its position."""
        parents, values = [], []
        weak = True
        for x in operands:
            node, value, is_weak = self.operand(x, prim)
            parents.append(node)
            values.append(value)
            weak = weak and is_weak
        # The operands' values are concrete: staging is the lowest level.
        out = prim.impl(*values) if attrs is None else prim.impl(*values, attrs)
        op = op_name(prim.name)
        if type(out) is tuple:
            return self.record_many(op, parents, encode_attrs(prim.name, attrs), out)
        weak = weak and prim.weak_output and np.ndim(out) == 0
        if weak:
            out = out.item() if hasattr(out, "item") else out
            shape, dtype = (), dtype_of(out)
        else:
            shape, dtype = np.shape(out), dtype_of(out)
        node = self.builder.append_node(op, parents, encode_attrs(prim.name, attrs, weak), shape, dtype)
        return Tracer(out, node, self, weak)

    def record_many(self, op, parents, attrs, outs):
        """A multi-output operation: one node with every output's spec, and
        one getoutput node per output for its users."""
        shapes = [list(np.shape(o)) for o in outs]
        dtypes = [dtype_of(o) for o in outs]
        node = self.builder.append_node(op, parents, attrs, shapes[0], dtypes[0], num_outputs=len(outs),
                                        output_shapes=shapes, output_dtypes=dtypes)
        return tuple(Tracer(o, self.builder.append_node(GET_OUTPUT, [node], {"index": k}, s, d), self)
                     for k, (o, s, d) in enumerate(zip(outs, shapes, dtypes)))

    def output(self, value):
        if type(value) is Tracer:
            if value.trace is not self:
                raise ValueError(f"output %{value.node} belongs to another trace")
            node = value.node
        else:
            node = self.constant(value)
        self.builder.append_output(node)


class StagedFunction:
    """A finished graph with the values of its constants, callable on
    arguments structured and shaped like the example arguments. The plan
    that links each operation to its NumPy evaluator is built on the first
    call and reused.

    `structures` is (arguments' structure, result's structure) of the
    staged function; a function loaded from an artifact has none, takes the
    input leaves and returns its one output, or a tuple of several."""

    def __init__(self, store, constants, structures=None, report=None, node_map=None):
        self.store, self.constants, self.structures = store, constants, structures
        self.report, self.node_map = report, node_map
        self._plan = None

    @property
    def plan(self):
        if self._plan is None:
            self._plan = build_graph_execution_plan(self.store, numpy_binder)
        return self._plan

    def __call__(self, *args, context=None):
        """Run the graph once. `context` is handed to every evaluator; one
        with an `observe(op, operands, donated, result)` method sees each
        evaluation."""
        if self.structures is None:
            outs = execute_graph(self.plan, args, self.constants, context)
            return outs[0] if len(outs) == 1 else tuple(outs)
        leaves, structure = flatten(args)
        if structure != self.structures[0]:
            raise TypeError(f"staged function takes arguments structured as {describe(self.structures[0])}, "
                            f"got {describe(structure)}")
        return unflatten(self.structures[1], execute_graph(self.plan, leaves, self.constants, context))

    # --- the artifact --------------------------------------------------------

    def to_json(self):
        return self.store._to_json()

    def save(self, path):
        pathlib.Path(path).write_text(self.to_json(), encoding="utf-8")

    @classmethod
    def from_json(cls, text):
        """Rebuild from an artifact: the store as written (the optimizer does
        not run again) and the constants from their payloads. A loaded
        function returns a tuple exactly when the graph has several outputs."""
        store = deserialize_graph_json(text)
        constants = [constant_value(*store._constant_parts(node)[:4]) for node in store.constant_ids()]
        return cls(store, constants)

    def digests(self):
        """Constant node ID -> SHA-256 digest of its payload."""
        return {node: self.store._constant_parts(node)[4] for node in self.store.constant_ids()}

    # --- the optimizer's report ----------------------------------------------

    def summary(self):
        if self.report is None:
            return f"{self.store.node_count} nodes (loaded from an artifact, not optimized here)"
        r = self.report
        lines = [f"{r['nodes_before']} nodes before optimization, {r['nodes_after']} after, "
                 f"{r['rewritten_nodes']} rewritten"]
        for p in r["passes"]:
            lines.append(f"  {p['name']:<9}{p['nodes_before']:>5} -> {p['nodes_after']:<5}"
                         f"removed {p['removed_nodes']}, rewrote {p['rewritten_nodes']}")
        return "\n".join(lines)

    def __repr__(self):
        return f"StagedFunction({self.store!r})"


class LiveValues:
    """An execution context that counts the intermediate values alive at
    once through weak references: the core's release timing, observed from
    outside. NumPy scalars and Python numbers cannot be watched and are not
    counted."""

    def __init__(self):
        self.live = self.peak = self.evaluations = 0

    def observe(self, op, operands, donated, result):
        self.evaluations += 1
        if donated is not None and result is operands[donated]:
            return  # the donated buffer is counted already
        try:
            weakref.finalize(result, self.dropped)
        except TypeError:
            return
        self.live += 1
        self.peak = max(self.peak, self.live)

    def dropped(self):
        self.live -= 1


def stage(f, *example_args):
    """Trace f on the example arguments into a graph, finish (optimize) it
    and return the staged function. Arguments and results may be tuples,
    lists and dicts of arrays; every leaf of the arguments is a graph input
    with the example's shape and dtype, Python scalars being weak scalar
    inputs."""
    trace = StagingTrace()
    leaves, in_structure = flatten(example_args)
    out = f(*unflatten(in_structure, [trace.input(x) for x in leaves]))
    out_leaves, out_structure = flatten(out)
    for x in out_leaves:
        trace.output(x)
    store, node_map, report, _ = trace.builder.finish()
    by_new_id = {node_map[old]: v for old, v in trace.constant_values.items() if node_map[old] is not None}
    constants = [by_new_id[node] for node in store.constant_ids()]
    return StagedFunction(store, constants, (in_structure, out_structure), report, node_map)


def load(path):
    """A staged function from an artifact file written by `save`."""
    return StagedFunction.from_json(pathlib.Path(path).read_text(encoding="utf-8"))
