"""Recording onto a DynamicTape: layouts, activity, marks, residuals, reads,
argument conversion, and the rule that a refused call changes nothing."""

import re
import sys

import pytest

from vorlix._native_core import DynamicTape, dynamic_jvp, dynamic_vjp

U32_MAX = 2**32 - 1


def fingerprint(tape):
    """Everything a refused call must leave as it was."""
    s = tape.stats()
    del s["native_structural"], s["native_structural_bytes"]
    return s, tape.inputs, tape.op_names


def make_tape():
    tape = DynamicTape()
    x = tape.record_input("x", [2], "f64", name="x")
    y = tape.record_input("y", [2], "f64", active=False)
    s = tape.record_input("s", [], "f64")
    return tape, x, y, s


def op(tape, parents, **kw):
    return tape.record_operation("f", parents, "v", None, [2], "f64", **kw)


# --- operand layouts -------------------------------------------------------


@pytest.mark.parametrize(
    ("parents", "positions", "literals", "stored_positions", "literal_count"),
    [
        ([0, 1], None, (), 0, 0),  # default layout
        ([0, 1], [0, 1], (), 0, 0),  # identity layout stores nothing
        ([0, 1], [1, 0], (), 2, 0),  # swapped parents need a layout
        ([0, 1], [2, 0], ("a",), 2, 1),  # literal takes slot 1
        ([0, 1], [0, 1], ("a", "b"), 2, 2),  # literals fill slots 2 and 3
        ([], [], ("a", "b"), 0, 2),  # literals only
        ([0], [1], ("a", "b"), 1, 2),
    ],
)
def test_layouts_store_positions_and_literals(parents, positions, literals, stored_positions, literal_count):
    tape, *_ = make_tape()
    node = op(tape, parents, input_positions=positions, literals=literals)
    assert node == 3
    stats = tape.stats()
    assert stats["operand_position_count"] == stored_positions
    assert stats["literal_count"] == literal_count


@pytest.mark.parametrize(
    ("kw", "exc", "message"),
    [
        (dict(op=""), ValueError, "dynamic tape operation name must not be empty"),
        (dict(weak=True, shape=[1], literals=("a",)), ValueError,
         "only rank-zero dynamic tape values can be weak scalars"),
        (dict(literals=("a",)), ValueError, "dynamic operand layout has 1 literals but no parent positions"),
        (dict(input_positions=[0]), ValueError, "dynamic operand layout has 2 parents but 1 parent positions"),
        (dict(input_positions=[0, 0]), ValueError, "operand layout repeats parent position 0"),
        (dict(input_positions=[0, 3], literals=("a",)), ValueError, "parent position 3 is outside operand arity 3"),
        (dict(input_positions=[5, 5]), ValueError, "parent position 5 is outside operand arity 2"),
        (dict(inputs=[0, 7]), ValueError, "dynamic tape node %7 does not exist"),
        (dict(op="vorlix.input", schema_version=3), ValueError,
         "arena operation 'vorlix.input' is already schema version 1, not 3"),
    ],
)
@pytest.mark.parametrize("repeated", [False, True], ids=["first", "repeated"])
def test_record_operation_refusals_leave_tape_unchanged(kw, exc, message, repeated):
    # A repeated operation is recorded by a shorter path, which must refuse alike.
    tape, *_ = make_tape()
    if repeated:
        op(tape, [0, 1])
    before = fingerprint(tape)
    args = dict(op="f", inputs=[0, 1], value="v", attrs=None, shape=[], dtype="f64")
    args.update(kw)
    with pytest.raises(exc, match="^" + re.escape(message) + "$"):
        tape.record_operation(
            args.pop("op"), args.pop("inputs"), args.pop("value"), args.pop("attrs"), args.pop("shape"),
            args.pop("dtype"), **args,
        )
    assert fingerprint(tape) == before
    assert tape.record_input(0, [], "f64") == 3 + repeated


def test_weak_check_precedes_layout_check():
    tape, x, y, _ = make_tape()
    with pytest.raises(ValueError, match="only rank-zero"):
        tape.record_operation("f", [x], 1, None, [1], "f64", literals=("a",), weak=True)
    assert tape.record_operation("f", [x], 1, None, [], "f64", weak=True) == 3
    assert tape.is_weak(3)


def test_schema_version_conflict_through_record_input():
    tape = DynamicTape()
    tape.record_operation("vorlix.input", [], 1, None, [], "f64", schema_version=2)
    before = fingerprint(tape)
    with pytest.raises(ValueError, match="^arena operation 'vorlix.input' is already schema version 2, not 1$"):
        tape.record_input(1, [], "f64")
    assert fingerprint(tape) == before


# --- activity, marks, residuals, trace binding -----------------------------


def test_activity_propagates_from_parents():
    tape, x, y, _ = make_tape()
    inactive = op(tape, [y])
    mixed = op(tape, [x, y])
    assert [tape.node_is_active(i) for i in (x, y, inactive, mixed)] == [True, False, False, True]


def test_mark_output_and_weak():
    tape, x, _, s = make_tape()
    tape.mark_output(x)
    with pytest.raises(ValueError, match=r"^dynamic tape output %0 is already marked$"):
        tape.mark_output(x)
    tape.mark_weak(s)
    tape.mark_weak(s)
    assert tape.weak_mask([x, s]) == [False, True]
    with pytest.raises(ValueError, match="^only rank-zero dynamic tape values can be weak scalars$"):
        tape.mark_weak(x)
    with pytest.raises(ValueError, match=r"^dynamic tape node %9 does not exist$"):
        tape.mark_weak(9)


def test_residual_is_kept_once():
    tape, x, *_ = make_tape()
    first, second = object(), object()
    tape.record_residual(x, first)
    with pytest.raises(RuntimeError, match=r"^DynamicTape node %0 already owns a primitive residual$"):
        tape.record_residual(x, second)
    assert tape.stats()["residual_count"] == 1
    with pytest.raises(ValueError, match=r"^dynamic tape node %3 does not exist$"):
        tape.record_residual(3, second)


def test_trace_frame_binds_once():
    tape = DynamicTape()
    assert tape.runtime_trace_identity() == (None, None)
    tape.bind_trace_frame(2, 2**64 - 1)
    assert tape.runtime_trace_identity() == (2, 2**64 - 1)
    with pytest.raises(RuntimeError, match="^DynamicTape is already bound to a trace frame$"):
        tape.bind_trace_frame(3, 4)


# --- reads -----------------------------------------------------------------


def test_reads_return_payloads_and_names():
    tape, x, y, s = make_tape()
    n = tape.record_operation("g", [x], None, None, [2], "f64", source_location="f.py:3")
    assert tape.values([x, y, n]) == ["x", "y", None]
    assert tape.value(s) == "s"
    assert tape.get_node_name(x) == "x"
    assert tape.get_node_name(y) is None
    assert tape.op_names == ["vorlix.input", "g"]
    assert tape.inputs == [0, 1, 2]
    assert tape.stats()["retained_value_count"] == 4  # a None value is a payload too
    for read in (tape.value, tape.is_weak, tape.get_node_name, tape.node_is_active):
        with pytest.raises(ValueError, match=r"^dynamic tape node %4 does not exist$"):
            read(4)
    with pytest.raises(ValueError, match=r"^dynamic tape node %4 does not exist$"):
        tape.values([x, 4])


def test_inputs_only_count_as_one_operation():
    tape, *_ = make_tape()
    op(tape, [0])
    op(tape, [1])
    assert tape.stats()["operation_count"] == 2
    op(tape, [0, 1, 2])
    assert tape.stats()["edge_count"] == 3


# --- argument conversion ---------------------------------------------------

BAD_ARGUMENTS = [
    # (method, args, kwargs, exception, argument named in the message)
    ("record_input", (1, "ab", "f"), {}, TypeError, "shape"),
    ("record_input", (1, [1.5], "f"), {}, TypeError, "shape"),
    ("record_input", (1, [-1], "f"), {}, OverflowError, "shape"),
    ("record_input", (1, None, "f"), {}, TypeError, "shape"),
    ("record_input", (1, [], "f"), {"active": 1}, TypeError, "active"),
    ("record_input", (1, [], "f"), {"name": 3}, TypeError, "name"),
    ("record_input", (1, [], "f"), {"bogus": 3}, TypeError, "bogus"),
    ("record_input", (1, []), {}, TypeError, "dtype"),
    ("record_operation", (None, [0], 1, None, [], "f"), {}, TypeError, "op"),
    ("record_operation", ("f", "01", 1, None, [], "f"), {}, TypeError, "inputs"),
    ("record_operation", ("f", [2**32], 1, None, [], "f"), {}, OverflowError, "inputs"),
    ("record_operation", ("f", [-1], 1, None, [], "f"), {}, OverflowError, "inputs"),
    ("record_operation", ("f", [0.0], 1, None, [], "f"), {}, TypeError, "inputs"),
    ("record_operation", ("f", 5, 1, None, [], "f"), {}, TypeError, "inputs"),
    ("record_operation", ("f", [0], 1, None, [2**64], "f"), {}, OverflowError, "shape"),
    ("record_operation", ("f", [0], 1, None, [], "f"), {"input_positions": "0"}, TypeError, "input_positions"),
    ("record_operation", ("f", [0], 1, None, [], "f"), {"input_positions": [-1]}, OverflowError,
     "input_positions"),
    ("record_operation", ("f", [0], 1, None, [], "f"), {"literals": "ab"}, TypeError, "literals"),
    ("record_operation", ("f", [0], 1, None, [], "f"), {"literals": 3}, TypeError, "literals"),
    ("record_operation", ("f", [0], 1, None, [], "f"), {"weak": 0}, TypeError, "weak"),
    ("record_operation", ("f", [0], 1, None, [], "f"), {"schema_version": 2**32}, OverflowError,
     "schema_version"),
    ("record_operation", ("f", [0], 1, None, [], "f"), {"schema_version": None}, TypeError, "schema_version"),
    ("record_operation", ("f", [0], 1, None, [], "f"), {"source_location": b"x"}, TypeError, "source_location"),
    ("record_residual", (2**32, None), {}, OverflowError, "node_id"),
    ("record_residual", ("0", None), {}, TypeError, "node_id"),
    ("mark_output", (-1,), {}, OverflowError, "node_id"),
    ("mark_output", (1.0,), {}, TypeError, "node_id"),
    ("mark_weak", (None,), {}, TypeError, "node_id"),
    ("bind_trace_frame", (1, 2**64), {}, OverflowError, "trace_frame_id"),
    ("bind_trace_frame", (-1, 0), {}, OverflowError, "trace_level"),
    ("is_weak", (2**40,), {}, OverflowError, "node_id"),
    ("weak_mask", ("0",), {}, TypeError, "node_ids"),
    ("values", ([None],), {}, TypeError, "node_ids"),
    ("value", (), {}, TypeError, "node_id"),
]


@pytest.mark.parametrize(("method", "args", "kwargs", "exc", "argument"), BAD_ARGUMENTS)
def test_bad_arguments_are_refused_and_change_nothing(method, args, kwargs, exc, argument):
    tape, *_ = make_tape()
    before = fingerprint(tape)
    with pytest.raises(exc) as info:
        getattr(tape, method)(*args, **kwargs)
    assert argument in str(info.value)
    assert fingerprint(tape) == before


def test_ids_accept_the_full_u32_range():
    tape, *_ = make_tape()
    with pytest.raises(ValueError, match=f"^dynamic tape node %{U32_MAX} does not exist$"):
        tape.is_weak(U32_MAX)


class Int(int):
    pass


class Ints:
    """A sequence of ints that is neither a list nor a tuple."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class IntList(list):
    pass


def observe(inputs, shape, positions, literals=("lit",)):
    """What rules see of a node recorded over inputs x and y: its operands in
    slot order (from a forward walk) and its shape (from a reverse walk
    through a node that uses it)."""
    tape = DynamicTape()
    x = tape.record_input("x", [], "f64")
    y = tape.record_input("y", [], "f64")
    n = tape.record_operation("f", inputs, "n", None, shape, "f64", input_positions=positions, literals=literals)
    m = tape.record_operation("g", [n], "m", None, [], "f64")
    tape.mark_output(n)
    tape.mark_output(m)
    seen = {}

    def jvp(out, primals, tangents, attrs, src, res):
        seen.setdefault("operands", primals)
        return 0.0

    def vjp(out, primals, ct, attrs, active, res, specs, src):
        seen.setdefault("shape", specs[0][0])
        return [None] * len(specs)

    count = len(tape.op_names)
    tape.freeze([jvp] * count, [vjp] * count, [(False, False, False)] * count)
    dynamic_jvp(tape, [(x, 1.0), (y, 1.0)], [n])
    dynamic_vjp(tape, [(m, 1.0)], [x])
    return seen


CONTAINERS = [list, tuple, Ints, IntList]


@pytest.mark.parametrize("container", CONTAINERS)
@pytest.mark.parametrize("item", [int, Int, lambda v: bool(v) if v in (0, 1) else v])
def test_int_lists_read_the_same_however_they_are_passed(container, item):
    def ints(*values):
        return container([item(v) for v in values])

    assert observe(ints(1, 0), ints(3, 1, 2**40), ints(0, 2)) == {"operands": ("y", "lit", "x"), "shape": (3, 1, 2**40)}
    assert observe(ints(0), ints(), None, ()) == {"operands": ("x",), "shape": ()}


@pytest.mark.parametrize("container", CONTAINERS)
@pytest.mark.parametrize(
    ("inputs", "shape", "positions", "exc", "message"),
    [
        ([0, -1], [], None, OverflowError, "argument 'inputs': item 1: int is outside the range of u32"),
        ([0, 2**32], [], None, OverflowError, "argument 'inputs': item 1: int is outside the range of u32"),
        ([0, 2**31], [], None, ValueError, "dynamic tape node %2147483648 does not exist"),
        ([0], [3, 2**64], None, OverflowError, "argument 'shape': item 1: int is outside the range of u64"),
        ([0], [3, -2**40], None, OverflowError, "argument 'shape': item 1: int is outside the range of u64"),
        ([0], [3, 1.0], None, TypeError, "argument 'shape': item 1: expected int, got float"),
        ([0, 1], [], [0, "1"], TypeError, "argument 'input_positions': item 1: expected int, got str"),
        ([0, 1], [], [0, 2**40], ValueError, "parent position 1099511627776 is outside operand arity 3"),
    ],
)
def test_int_list_refusals_name_the_first_bad_item(container, inputs, shape, positions, exc, message):
    tape, *_ = make_tape()
    op(tape, [0])  # the refused call repeats the operation
    before = fingerprint(tape)
    with pytest.raises(exc, match="^" + re.escape(message) + "$"):
        tape.record_operation("f", container(inputs), 1, None, container(shape), "f64",
                              input_positions=None if positions is None else container(positions),
                              literals=() if positions is None else ("a",))
    assert fingerprint(tape) == before


# --- keyword binding -------------------------------------------------------


class Key(str):
    pass


KEYS = {
    "literal": lambda name: name,
    "built at run time": lambda name: "".join(list(name)),
    "str subclass": Key,
}


@pytest.mark.parametrize("make_key", KEYS.values(), ids=KEYS.keys())
def test_keywords_bind_however_their_names_are_made(make_key):
    # Only the literal keyword is the interned name itself.
    assert (make_key("source_location") is sys.intern("source_location")) == (make_key is KEYS["literal"])
    tape, x, y, _ = make_tape()
    every = {"op": "f", "inputs": [x, y], "value": "v", "attrs": "a", "shape": [], "dtype": "f64",
             "input_positions": [2, 0], "literals": ("lit",), "weak": True, "schema_version": 1, "name": "n",
             "source_location": "f.py:1"}
    # The same call site with its keywords in two orders, and then with
    # the parameters that may come by position passed by keyword.
    for order in (list(every), list(reversed(every))):
        node = tape.record_operation("f", [x, y], "v", "a", [], "f64",
                                     **{make_key(k): every[k] for k in order if k not in list(every)[:6]})
        assert (tape.get_node_name(node), tape.is_weak(node), tape.value(node)) == ("n", True, "v")
    node = tape.record_operation(**{make_key(k): v for k, v in reversed(every.items())})
    assert (tape.get_node_name(node), tape.is_weak(node)) == ("n", True)
    assert tape.stats()["operand_position_count"] == 6


@pytest.mark.parametrize("make_key", KEYS.values(), ids=KEYS.keys())
@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        (("f", [0], 1, None, [], "f64"), {"bogus": 1}, "record_operation() got an unexpected keyword argument 'bogus'"),
        (("f", [0], 1, None, [], "f64"), {"name": "n", "Name": 1},
         "record_operation() got an unexpected keyword argument 'Name'"),
        (("f", [0], 1, None, [], "f64"), {"op": "g"}, "record_operation() got multiple values for argument 'op'"),
        (("f", [0], 1, None), {"shape": [], "dtype": "f64", "attrs": None},
         "record_operation() got multiple values for argument 'attrs'"),
        (("f", [0], 1), {"shape": [], "attrs": None}, "record_operation() missing required argument 'dtype'"),
        ((), {"literals": ()}, "record_operation() missing required argument 'op'"),
        (("f", [0], 1, None, [], "f64", [0]), {}, "record_operation() takes at most 6 positional arguments (7 given)"),
    ],
)
def test_keyword_refusals_keep_their_messages(make_key, args, kwargs, message):
    tape, *_ = make_tape()
    before = fingerprint(tape)
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        tape.record_operation(*args, **{make_key(k): v for k, v in kwargs.items()})
    assert fingerprint(tape) == before
    assert tape.record_operation("f", [0], 1, None, [], "f64", name="ok") == 3


# --- borrow rule -----------------------------------------------------------


class Reentrant:
    """A sequence whose iteration calls back into a tape."""

    def __init__(self, callback, items):
        self.callback, self.items = callback, items
        self.seen = None

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == 0 and self.seen is None:
            try:
                self.callback()
                self.seen = "ok"
            except RuntimeError as e:
                self.seen = str(e)
        return self.items[i]


@pytest.mark.parametrize(
    ("callback", "expected"),
    [
        (lambda t: t.record_input(1, [], "f"), "Already borrowed"),
        (lambda t: t.value(0), "Already mutably borrowed"),
        (lambda t: t.stats(), "Already mutably borrowed"),
    ],
)
def test_sequence_argument_calling_back_meets_the_borrow(callback, expected):
    tape, *_ = make_tape()
    seq = Reentrant(lambda: callback(tape), [0])
    tape.record_operation("f", seq, 1, None, [], "f")
    assert seq.seen == expected


def test_shared_reads_may_nest():
    tape, *_ = make_tape()
    seq = Reentrant(lambda: tape.value(0), [0, 1])
    assert tape.values(seq) == ["x", "y"]
    assert seq.seen == "ok"
