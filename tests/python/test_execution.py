"""Linking graph stores into plans and executing them: declarations, donation, release, messages and notes."""

import gc
import struct
import sys
import threading
import weakref

import numpy as np
import pytest

import vorlix._native_core as core

SHAPE = [2]
DTYPE = "float64"


def build(*nodes, outputs):
    """Nodes are "input", "const" or (op, parents[, append_node keywords]); every output (2,) float64 by default."""
    b = core.GraphBuilder(required_array_api_version="2024.12")
    for node in nodes:
        if node == "input":
            b.append_input_node(SHAPE, DTYPE)
        elif node == "const":
            b.append_constant(struct.pack("<2d", 1.0, 2.0), SHAPE, DTYPE, kind="array")
        else:
            op, parents, *rest = node
            kw = dict(rest[0]) if rest else {}
            b.append_node(op, list(parents), kw.pop("attrs", {}), kw.pop("shape", SHAPE), kw.pop("dtype", DTYPE), **kw)
    for o in outputs:
        b.append_output(o)
    return b.finish()[0]


class Recorder:
    """A binder whose evaluators run `impls[op]` (default: a fresh array) and log (op, donated)."""

    def __init__(self, impls=None, **declarations):
        self.impls = impls or {}
        self.declarations = declarations
        self.bound = []
        self.calls = []

    def __call__(self, op, attrs):
        self.bound.append((op, attrs))
        shape = attrs.get("shape", SHAPE)
        impl = self.impls.get(op, lambda operands, context, donated: np.zeros(shape))
        calls = self.calls

        def evaluator(operands, context, donated):
            calls.append((op, donated))
            # Hand the tuple on without keeping it in this frame, which a
            # traceback would keep alive.
            box = [operands]
            del operands
            return impl(box.pop(), context, donated)

        for name, value in self.declarations.get(op.replace(".", "_"), {}).items():
            setattr(evaluator, f"__vorlix_{name}__", value)
        return evaluator


OWNED = {"owned_output": True}


def donating(*positions):
    return {"owned_output": True, "donation_positions": list(positions)}


def run(store, binder, inputs=(), constants=(), context=None):
    plan = core.build_graph_execution_plan(store, binder)
    return core.execute_graph(plan, list(inputs), list(constants), context)


def last_note(exc):
    return getattr(exc, "__notes__", [None])[-1]


# Linking


def test_inputs_and_constants_need_no_binder():
    store = build("input", "const", outputs=[0, 1])
    binder = Recorder()
    plan = core.build_graph_execution_plan(store, binder)
    assert type(plan) is core.GraphExecutionPlan
    assert binder.bound == []
    x = np.ones(2)
    out = core.execute_graph(plan, [x], [np.zeros(2)])
    assert out[0] is x


def test_binder_gets_the_name_and_a_new_attrs_dict_once_per_operation():
    attrs = {"b": [1, (2, "x")], "a": {"k": b"\x00"}}
    store = build("input", ("t.f", [0], {"attrs": attrs}), ("t.g", [1]), outputs=[2])
    binder = Recorder()
    plan = core.build_graph_execution_plan(store, binder)
    assert [op for op, _ in binder.bound] == ["t.f", "t.g"]
    seen = binder.bound[0][1]
    assert seen == attrs and list(seen) == ["a", "b"]
    assert binder.bound[1][1] == {}
    seen["a"]["k"] = 1
    core.build_graph_execution_plan(store, binder)
    assert binder.bound[2][1] == attrs
    assert binder.bound[2][1] is not seen
    assert len(binder.bound) == 4
    core.execute_graph(plan, [np.ones(2)], [])
    assert len(binder.bound) == 4


@pytest.mark.parametrize(
    ("declarations", "exc_type", "message"),
    [
        ({"alias_positions": [0, 1]}, ValueError, 'staged evaluator for "t.f" declares more than one alias source'),
        ({"owned_output": True, "alias_positions": [1]}, ValueError,
         'staged evaluator for "t.f" cannot declare both owned and aliased output'),
        ({"donation_positions": "01"}, TypeError, None),
        ({"donation_positions": [-1]}, OverflowError, None),
        ({"alias_positions": [0.0]}, TypeError, None),
        ({"owned_output": 1}, TypeError, None),
    ],
)
def test_refused_declarations_keep_their_type_and_gain_the_binding_note(declarations, exc_type, message):
    store = build("input", "input", ("t.f", [0, 1]), outputs=[2])
    with pytest.raises(exc_type) as info:
        core.build_graph_execution_plan(store, Recorder(t_f=declarations))
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == ["while binding staged operation 't.f' at node %2"]


@pytest.mark.parametrize(
    ("declarations", "kind"),
    [({"donation_positions": [0, 2]}, "donation"), ({"alias_positions": [2]}, "alias")],
)
def test_positions_beyond_the_operands_are_plan_errors_without_note(declarations, kind):
    store = build("input", "input", ("t.f", [0, 1]), outputs=[2])
    with pytest.raises(RuntimeError) as info:
        core.build_graph_execution_plan(store, Recorder(t_f=declarations))
    assert str(info.value) == f"linked operation 't.f' at node %2 declares an invalid {kind} position"
    assert not hasattr(info.value, "__notes__")


def test_non_callable_and_raising_binders():
    store = build("input", ('t."q"\n', [0]), outputs=[1])
    with pytest.raises(TypeError) as info:
        core.build_graph_execution_plan(store, lambda op, attrs: None)
    assert str(info.value) == 'staged evaluator binder returned a non-callable for "t.\\"q\\"\\n"'
    assert info.value.__notes__ == ["while binding staged operation 't.\"q\"\n' at node %1"]

    boom = LookupError("no evaluator")

    def refusing(op, attrs):
        raise boom

    with pytest.raises(LookupError) as info:
        core.build_graph_execution_plan(store, refusing)
    assert info.value is boom
    assert last_note(boom) == "while binding staged operation 't.\"q\"\n' at node %1"


def test_failing_declaration_read_propagates_with_the_note():
    class Evaluator:
        def __call__(self, operands, context, donated):
            return operands[0]

        @property
        def __vorlix_owned_output__(self):
            raise KeyError("owned?")

    store = build("input", ("t.f", [0]), outputs=[1])
    with pytest.raises(KeyError) as info:
        core.build_graph_execution_plan(store, lambda op, attrs: Evaluator())
    assert info.value.args == ("owned?",)
    assert last_note(info.value) == "while binding staged operation 't.f' at node %1"


def test_evaluators_already_obtained_are_released_when_linking_fails():
    store = build("input", ("t.a", [0]), ("t.b", [1]), ("t.c", [2]), outputs=[3])
    finalized = []
    obtained = []

    def binder(op, attrs):
        if op == "t.c":
            # Linking fails before this evaluator is stored, by its own declaration.
            ev = Recorder(t_c={"alias_positions": [5]})(op, attrs)
        else:
            ev = Recorder()(op, attrs)
        weakref.finalize(ev, finalized.append, op)
        obtained.append(op)
        return ev

    with pytest.raises(RuntimeError, match="invalid alias position"):
        core.build_graph_execution_plan(store, binder)
    assert obtained == ["t.a", "t.b", "t.c"]
    assert sorted(finalized) == ["t.a", "t.b", "t.c"]


def test_argument_types():
    store = build("input", outputs=[0])
    plan = core.build_graph_execution_plan(store, Recorder())
    with pytest.raises(TypeError, match="store"):
        core.build_graph_execution_plan(plan, Recorder())
    with pytest.raises(TypeError, match="plan"):
        core.execute_graph(store, [1], [])
    with pytest.raises(TypeError, match="inputs"):
        core.execute_graph(plan, "x", [])
    with pytest.raises(TypeError, match="constants"):
        core.execute_graph(plan, [np.ones(2)], "")
    with pytest.raises(TypeError):
        core.GraphExecutionPlan()


def test_plan_keeps_the_graph_alive_and_is_collected_with_its_evaluators():
    store = build("input", ("t.f", [0]), outputs=[1])
    holder = []
    finalized = []

    def binder(op, attrs):
        def evaluator(operands, context, donated):
            return np.zeros(2)

        evaluator.holder = holder  # plan -> evaluator -> holder -> plan
        weakref.finalize(evaluator, finalized.append, op)
        return evaluator

    plan = core.build_graph_execution_plan(store, binder)
    holder.append(plan)
    del store
    gc.collect()
    assert core.execute_graph(plan, [np.ones(2)], [])[0].shape == (2,)
    del plan, holder, binder
    assert finalized == []
    gc.collect()
    assert finalized == ["t.f"]


def test_a_long_chain_of_plans_held_by_evaluators_is_freed_without_deep_recursion():
    store = build("input", ("t.f", [0]), outputs=[1])
    plan = None
    for _ in range(200_000):
        def evaluator(operands, context, donated, previous=plan):
            return operands[0]

        plan = core.build_graph_execution_plan(store, lambda op, attrs, ev=evaluator: ev)
    del plan, evaluator


# Execution


def test_outputs_inputs_and_context():
    store = build("input", "const", "input", ("t.f", [2, 1, 0]), outputs=[3, 0, 3, 2])
    seen = []

    def f(operands, context, donated):
        seen.append((operands, context, donated))
        return np.full(2, 7.0)

    x, y, c = np.ones(2), np.zeros(2), np.full(2, 3.0)
    out = run(store, Recorder({"t.f": f}), [x, y], [c], context="ctx")
    assert type(out) is list and len(out) == 4
    assert out[1] is x and out[3] is y and out[0] is out[2]
    operands, context, donated = seen[0]
    assert type(operands) is tuple and operands[0] is y and operands[1] is c and operands[2] is x
    assert (context, donated) == ("ctx", None)
    out = run(store, Recorder({"t.f": f}), [x, y], [c])
    assert seen[1][1] is None


def test_constants_pair_with_constant_nodes_in_ascending_id_order():
    store = build("const", "input", "const", ("t.f", [2, 0, 1]), outputs=[3])
    assert store.constant_ids() == [0, 2]
    seen = []
    c0, c2, x = np.zeros(2), np.ones(2), np.full(2, 5.0)
    run(store, Recorder({"t.f": lambda o, c, d: seen.append(o) or np.zeros(2)}), [x], [c0, c2])
    assert seen[0][0] is c2 and seen[0][1] is c0 and seen[0][2] is x


def test_count_mismatches():
    store = build("input", "const", ("t.f", [0, 1]), outputs=[2])
    binder = Recorder()
    plan = core.build_graph_execution_plan(store, binder)
    with pytest.raises(ValueError) as info:
        core.execute_graph(plan, [np.ones(2)], [np.ones(2), np.ones(2)])
    assert str(info.value) == "staged graph expects 1 constants but received 2"
    assert not hasattr(info.value, "__notes__")
    with pytest.raises(ValueError, match="^staged graph expects 1 constants but received 2$"):
        core.execute_graph(plan, [], [np.ones(2), np.ones(2)])
    with pytest.raises(RuntimeError) as info:
        core.execute_graph(plan, [], [np.ones(2)])
    assert str(info.value) == "staged graph expects 1 inputs but received 0"
    assert not hasattr(info.value, "__notes__")
    assert binder.calls == []


def test_evaluator_exception_is_the_same_object_with_the_executing_note():
    store = build("input", ("t.a", [0]), ("t.b", [1]), ("t.c", [2]), ("t.d", [3]), ("x", [4]), outputs=[5])
    boom = ZeroDivisionError("boom")

    def fail(operands, context, donated):
        raise boom

    with pytest.raises(ZeroDivisionError) as info:
        run(store, Recorder({"x": fail}), [np.ones(2)])
    assert info.value is boom
    assert boom.__notes__ == ["while executing staged operation 'x' at node %5"]


VALID = [
    ([], "float32", 1.5),
    ([], "float64", 1.5),
    ([], "int64", 3),
    ([], "uint8", 3),
    ([], "bool", True),
    ([], "complex64", 1j),
    ([], "float64", np.float64(1.5)),
    ([2, 3], "float32", np.zeros((2, 3), np.float32)),
    ([3], "int8", np.zeros(3, np.int8)),
]


@pytest.mark.parametrize(("shape", "dtype", "value"), VALID)
def test_values_that_pass(shape, dtype, value):
    store = build("input", ("t.f", [0], {"shape": shape, "dtype": dtype}), outputs=[1])
    assert run(store, Recorder({"t.f": lambda o, c, d: value}), [np.ones(2)])[0] is value


class Shaped:
    def __init__(self, shape, dtype):
        self.shape = shape
        self.dtype = dtype


class Boom(Exception):
    pass


class RaisingShape:
    dtype = "float64"

    @property
    def shape(self):
        raise Boom("shape")


class InterruptingShape:
    dtype = "float64"

    @property
    def shape(self):
        raise KeyboardInterrupt


class NotADtype:
    pass


REFUSED = [
    ([], "int64", 1.5, ValueError, "Staged operation declared shape=(), dtype=int64; produced Python float"),
    ([], "float32", True, ValueError, "Staged operation declared shape=(), dtype=float32; produced Python bool"),
    ([], "int64", True, ValueError, "Staged operation declared shape=(), dtype=int64; produced Python bool"),
    ([2], "float64", 1.5, ValueError, "Staged operation declared shape=(2,), dtype=float64; produced Python float"),
    ([], "float64", 1j, ValueError, "Staged operation declared shape=(), dtype=float64; produced Python complex"),
    ([], "float32", np.float64(1.5), ValueError,
     "Staged operation declared shape=(), dtype=float32; produced shape=(), dtype=float64"),
    ([2, 3], "float", np.zeros((2, 3)), ValueError,
     "Staged operation declared shape=(2, 3), dtype=float; produced shape=(2, 3), dtype=float64"),
    ([3], "float64", np.zeros((2, 3)), ValueError,
     "Staged operation declared shape=(3,), dtype=float64; produced shape=(2, 3), dtype=float64"),
    ([3], "float64", Shaped([3], "float32"), ValueError,
     "Staged operation declared shape=(3,), dtype=float64; produced shape=(3,), dtype=float32"),
    ([3], "float64", object(), RuntimeError, "staged operation returned object, not an array value"),
    ([3], "float64", RaisingShape(), RuntimeError, "staged operation returned RaisingShape, not an array value"),
    ([3], "float64", Shaped((3, -1), "float64"), RuntimeError, "staged operation returned an invalid array shape"),
    ([3], "float64", Shaped(3, "float64"), RuntimeError, "staged operation returned an invalid array shape"),
    ([3], "float64", Shaped([np.int64(2)], "float64"), ValueError,
     "Staged operation declared shape=(3,), dtype=float64; produced shape=(2,), dtype=float64"),
    ([3], "float64", Shaped((3,), NotADtype()), RuntimeError, "staged operation returned an invalid array dtype"),
    ([2], "float64", Shaped((3,), NotADtype()), RuntimeError, "staged operation returned an invalid array dtype"),
    ([3], "float64", InterruptingShape(), KeyboardInterrupt, None),
]


@pytest.mark.parametrize(("shape", "dtype", "value", "exc_type", "message"), REFUSED)
def test_values_refused_with_the_executing_note(shape, dtype, value, exc_type, message):
    store = build("input", ("t.f", [0], {"shape": shape, "dtype": dtype}), outputs=[1])
    with pytest.raises(exc_type) as info:
        run(store, Recorder({"t.f": lambda o, c, d: value}), [np.ones(2)])
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == ["while executing staged operation 't.f' at node %1"]


TWO = {"num_outputs": 2, "output_shapes": [[2], []], "output_dtypes": ["float64", "int64"]}


@pytest.mark.parametrize(
    ("value", "exc_type", "message"),
    [
        ((np.zeros(2), 3, 4), ValueError, "staged operation declared 2 outputs but returned 3"),
        ([np.zeros(2), 3], TypeError, "staged operation declared 2 outputs but returned list"),
        ((np.zeros(2), 3.0), ValueError, "Staged operation declared shape=(), dtype=int64; produced Python float"),
        ((np.zeros(3), 3), ValueError,
         "Staged operation declared shape=(2,), dtype=float64; produced shape=(3,), dtype=float64"),
    ],
)
def test_multi_output_values(value, exc_type, message):
    store = build("input", ("t.f", [0], TWO), outputs=[1])
    with pytest.raises(exc_type) as info:
        run(store, Recorder({"t.f": lambda o, c, d: value}), [np.ones(2)])
    assert str(info.value) == message
    assert info.value.__notes__ == ["while executing staged operation 't.f' at node %1"]
    good = (np.zeros(2), 3)
    assert run(store, Recorder({"t.f": lambda o, c, d: good}), [np.ones(2)])[0] is good


def test_inputs_and_constants_are_validated_with_their_own_note():
    store = build("input", "const", ("t.f", [0, 1]), outputs=[2])
    with pytest.raises(ValueError) as info:
        run(store, Recorder(), [np.ones(3)], [np.ones(2)])
    assert str(info.value) == "Staged operation declared shape=(2,), dtype=float64; produced shape=(3,), dtype=float64"
    assert info.value.__notes__ == ["while executing staged operation 'vorlix.input' at node %0"]
    with pytest.raises(ValueError) as info:
        run(store, Recorder(), [np.ones(2)], [np.ones(2, np.float32)])
    assert info.value.__notes__ == ["while executing staged operation 'vorlix.const' at node %1"]


# Release and donation


class Val:
    """An array-like value whose lifetime the tests watch."""

    def __init__(self, name, log):
        self.name = name
        self.shape = (2,)
        self.dtype = "float64"
        weakref.finalize(self, log.append, f"drop {name}")


def tracing(log, *names):
    """Evaluators named op -> producing Val(op), logging each call with its operand names and donation."""
    impls = {}
    for op in names:
        def impl(operands, context, donated, op=op):
            log.append(f"call {op}({', '.join(o.name for o in operands)}) donated={donated}")
            return Val(op, log)
        impls[op] = impl
    return impls


def test_values_are_dropped_at_their_last_use():
    log = []
    store = build("input", ("a", [0]), ("b", [1]), ("dead", [1]), ("c", [2]), outputs=[4])
    out = run(store, Recorder(tracing(log, "a", "b", "dead", "c"), a=OWNED, b=OWNED, c=OWNED), [Val("x", log)])
    # The caller's list keeps the input until the call returns.
    assert log == ["call a(x) donated=None", "call b(a) donated=None", "call dead(a) donated=None",
                   "drop a", "drop dead", "call c(b) donated=None", "drop b", "drop x"]
    assert out[0].name == "c"


def test_a_dying_owned_operand_is_donated_with_no_core_reference():
    counts = []

    def f(operands, context, donated):
        counts.append((donated, sys.getrefcount(operands[0])))
        return np.zeros(2)

    store = build("input", ("t.a", [0]), ("t.f", [1]), ("t.g", [2]), outputs=[3])
    run(store, Recorder({"t.f": f, "t.g": f}, t_a=OWNED, t_f=donating(0), t_g=donating(0)), [np.ones(2)])
    # Only the operand tuple and getrefcount's own argument refer to it.
    assert counts == [(0, 2), (0, 2)]


def test_x_times_x_is_not_donated_and_inputs_never_are():
    store = build("input", ("t.a", [0]), ("t.sq", [1, 1]), ("t.b", [0]), outputs=[2, 3])
    binder = Recorder(t_a=OWNED, t_sq=donating(0, 1), t_b=donating(0))
    run(store, binder, [np.ones(2)])
    assert binder.calls == [("t.a", None), ("t.sq", None), ("t.b", None)]


@pytest.mark.parametrize(
    ("nodes", "outputs", "declarations", "donated"),
    [
        # An Unspecified view of x still live blocks donation of x.
        ([("x", [0]), ("z", [1]), ("f", [1]), ("g", [2, 3])], [4], {"x": OWNED, "f": donating(0)}, None),
        # So does an Alias view.
        ([("x", [0]), ("z", [1]), ("f", [1]), ("g", [2, 3])], [4],
         {"x": OWNED, "z": {"alias_positions": [0]}, "f": donating(0)}, None),
        # A view nobody reads is dropped at once and blocks nothing.
        ([("x", [0]), ("z", [1]), ("f", [1])], [3], {"x": OWNED, "f": donating(0)}, 0),
        # An output read later is not handed over.
        ([("x", [0]), ("f", [1])], [1, 2], {"x": OWNED, "f": donating(0)}, None),
        # Neither is an operation that does not own its output.
        ([("x", [0]), ("f", [1])], [2], {"f": donating(0)}, None),
        # A different output specification blocks it too.
        ([("x", [0]), ("f", [1], {"shape": [1, 2], "attrs": {"shape": [1, 2]}})], [2],
         {"x": OWNED, "f": donating(0)}, None),
        # The first qualifying declared position wins.
        ([("x", [0]), ("y", [0]), ("f", [1, 2, 0])], [3], {"x": OWNED, "y": OWNED, "f": donating(2, 1, 0)}, 1),
    ],
)
def test_donation_only_when_nothing_else_can_see_the_value(nodes, outputs, declarations, donated):
    store = build("input", *nodes, outputs=outputs)
    binder = Recorder(**declarations)
    run(store, binder, [np.ones(2)])
    assert dict(binder.calls)["f"] == donated


def test_a_value_someone_else_holds_is_never_donated():
    # x declares an owned output but hands back the caller's input itself,
    # which f would then write into.
    given = np.ones(2)
    impls = {"x": lambda operands, context, donated: operands[0],
             "f": lambda operands, context, donated: operands[0].__iadd__(1) if donated == 0 else operands[0] + 1}
    binder = Recorder(impls, x=OWNED, f=donating(0))
    out = run(build("input", ("x", [0]), ("f", [1]), outputs=[2]), binder, [given])
    assert dict(binder.calls)["f"] is None
    assert given.tolist() == [1.0, 1.0] and out[0].tolist() == [2.0, 2.0]


def test_peak_live_intermediates_on_a_chain():
    live = set()
    peak = [0]

    def step(operands, context, donated):
        value = Shaped((2,), "float64")
        live.add(id(value))
        weakref.finalize(value, live.discard, id(value))
        peak[0] = max(peak[0], len(live))
        return value

    n = 200
    store = build("input", *[(f"t.{k}", [k]) for k in range(n)], outputs=[n])
    out = run(store, Recorder({f"t.{k}": step for k in range(n)}), [np.ones(2)])
    assert peak[0] == 2
    assert len(live) == 1 and id(out[0]) in live


def make_failing(kind, log):
    def fail(operands, context, donated):
        del operands  # the traceback must not keep the operand tuple alive
        if kind == "raise":
            raise Boom(kind)
        value = Val("refused", log)
        value.shape = (5,)
        return value
    return fail


@pytest.mark.parametrize("kind", ["raise", "invalid"])
@pytest.mark.parametrize("failing", range(2, 7))
def test_every_failure_releases_every_value_before_it_propagates(kind, failing):
    log = []
    # a owns its output; b takes a over; v is a view of b; c reads v and b
    # (b is an output, so it is not handed over); d reads c.
    store = build("input", "const", ("a", [0, 1]), ("b", [2]), ("v", [3, 1]), ("c", [4, 3]), ("d", [5]),
                  outputs=[6, 3])
    ops = ["a", "b", "v", "c", "d"]
    impls = tracing(log, *ops)
    op = ops[failing - 2]
    impls[op] = make_failing(kind, log)
    binder = Recorder(impls, a=OWNED, b=donating(0), v={"alias_positions": [0]}, c=donating(1), d=OWNED)
    plan = core.build_graph_execution_plan(store, binder)
    x, c = Val("x", log), Val("const", log)
    try:
        core.execute_graph(plan, [x], [c])
    except (Boom, ValueError) as e:
        note = e.__notes__[-1]
        # Checked while the exception is still propagating.
        dropped = {entry[len("drop "):] for entry in log if entry.startswith("drop ")}
    else:
        pytest.fail("execution did not fail")
    assert note == f"while executing staged operation '{op}' at node %{failing}"
    assert set(ops[: failing - 2]) <= dropped
    assert kind == "raise" or "refused" in dropped
    assert "x" not in dropped and "const" not in dropped
    del x, c
    assert {"drop x", "drop const"} <= set(log)


def test_a_donated_value_is_released_when_its_evaluator_fails():
    log = []
    store = build("input", ("a", [0]), ("f", [1]), outputs=[2])
    impls = tracing(log, "a")
    impls["f"] = make_failing("raise", log)
    binder = Recorder(impls, a=OWNED, f=donating(0))
    with pytest.raises(Boom):
        try:
            run(store, binder, [Val("x", log)])
        except Boom:
            assert "drop a" in log
            raise
    assert binder.calls == [("a", None), ("f", 0)]


def test_input_validation_failure_releases_the_other_inputs_and_constants():
    log = []
    store = build("input", "input", "const", ("t.f", [0, 1, 2]), outputs=[3])
    a, c = Val("a", log), Val("c", log)
    bad = np.ones(3)
    with pytest.raises(ValueError):
        core.execute_graph(core.build_graph_execution_plan(store, Recorder()), [a, bad], [c])
    del a, c
    assert sorted(log) == ["drop a", "drop c"]


def test_reentrant_execution_of_one_plan_from_an_evaluator():
    store = build("input", ("t.f", [0]), ("t.g", [1]), outputs=[2])
    plan = None

    def f(operands, context, donated):
        if context > 0:
            inner = core.execute_graph(plan, [operands[0] + 1], [], context - 1)[0]
            return inner * 2
        return operands[0] + 1

    def g(operands, context, donated):
        return operands[0] + 10

    plan = core.build_graph_execution_plan(store, Recorder({"t.f": f, "t.g": g}, t_f=OWNED, t_g=donating(0)))
    out = core.execute_graph(plan, [np.zeros(2)], [], 3)

    def f_by_hand(x, depth):
        return x + 1 if depth == 0 else (f_by_hand(x + 1, depth - 1) + 10) * 2

    assert f_by_hand(0, 3) + 10 == 182
    assert np.array_equal(out[0], np.full(2, 182.0))


# Each run starts threads, whose interpreter state the allocator keeps for a while.
@pytest.mark.serial
@pytest.mark.no_leak_check
def test_two_threads_execute_one_plan():
    store = build("input", *[(f"t.{k}", [k]) for k in range(50)], outputs=[50])

    def inc(operands, context, donated):
        return operands[0] + 1

    plan = core.build_graph_execution_plan(store, Recorder({f"t.{k}": inc for k in range(50)}))
    results = []
    errors = []

    def worker(start):
        try:
            for _ in range(100):
                results.append(core.execute_graph(plan, [np.full(2, start)], [])[0][0] - start)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(s,)) for s in (0.0, 1000.0)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert errors == []
    assert results == [50.0] * 200
