"""Forward and reverse walks: the rule protocols, seeds and requests, lanes,
contributions, batched rules, consumption, re-entrancy and faults."""

import re
import weakref

import pytest

from vorlix._native_core import DynamicTape, dynamic_jvp, dynamic_jvp_many, dynamic_vjp, dynamic_vjp_many

RELEASED = "DynamicTape has released its invocation payloads"
INPUT = "vorlix.input"


class Tape:
    """A small recording helper: operations over floats with rules kept by
    name, frozen on demand."""

    def __init__(self):
        self.tape = DynamicTape()
        self.jvp, self.vjp, self.needs = {}, {}, {}

    def input(self, value, active=True, **kw):
        return self.tape.record_input(value, [], "f64", active=active, **kw)

    def op(self, name, parents, value, jvp=None, vjp=None, needs=(False, True, False), **kw):
        node = self.tape.record_operation(name, parents, value, kw.pop("attrs", None), kw.pop("shape", []),
                                          "f64", **kw)
        if jvp is not None:
            self.jvp[name] = jvp
        if vjp is not None:
            self.vjp[name] = vjp
            self.needs[name] = needs
        return node

    def freeze(self):
        names = self.tape.op_names
        self.tape.freeze([self.jvp.get(n) for n in names], [self.vjp.get(n) for n in names],
                         [self.needs.get(n) for n in names])
        return self.tape


def mul_jvp(out, primals, tangents, attrs, src, res):
    a, b = primals
    ta, tb = tangents
    return (ta * b if ta is not None else 0.0) + (a * tb if tb is not None else 0.0)


def mul_vjp(out, primals, ct, attrs, active, res, specs, src):
    a, b = primals
    return [ct * b, ct * a]


def scale_jvp(out, primals, tangents, attrs, src, res):
    return tangents[0] * attrs


def scale_vjp(out, primals, ct, attrs, active, res, specs, src):
    return [ct * attrs]


def marked_product_tape():
    t = Tape()
    x, y = t.input(2.0), t.input(5.0)
    xy = t.op("mul", [x, y], 10.0, mul_jvp, mul_vjp)
    z = t.op("scale", [xy], 30.0, scale_jvp, scale_vjp, attrs=3.0, needs=(False, False, False))
    t.tape.mark_output(z)
    t.tape.mark_output(xy)
    return t.freeze(), (x, y, xy, z)


# --- forward mode -----------------------------------------------------------


def test_jvp_pushes_tangents_and_lanes_are_independent():
    tape, (x, y, xy, z) = marked_product_tape()
    assert dynamic_jvp(tape, [(x, 1.0)], [z, xy]) == [15.0, 5.0]
    assert dynamic_jvp(tape, [(x, 1.0), (y, 1.0)], [z]) == [21.0]
    assert dynamic_jvp_many(tape, [[(x, 1.0)], [(y, 1.0)], []], [z]) == [[15.0], [6.0], [None]]
    assert dynamic_jvp_many(tape, [], [z]) == []


def test_jvp_rule_receives_the_six_arguments():
    seen = []
    t = Tape()
    x = t.input(2.0)
    t.tape.record_residual(x, None)  # inputs are never called
    n = t.op("f", [x], 7.0, lambda *a: seen.append(a) or 1.0, input_positions=[1], literals=("lit",),
             attrs={"k": 1}, source_location="here:1")

    class Residual:
        payload = "saved"

    t.tape.record_residual(n, Residual())
    t.tape.mark_output(n)
    tape = t.freeze()
    assert dynamic_jvp(tape, [(x, 0.5)], [n]) == [1.0]
    assert seen == [(7.0, ("lit", 2.0), (None, 0.5), {"k": 1}, "here:1", "saved")]


def test_none_seed_runs_consumers_and_missing_seed_skips_them():
    calls = []
    t = Tape()
    x, y = t.input(1.0), t.input(2.0)
    n = t.op("f", [x, y], 3.0, lambda o, p, tangents, *r: calls.append(tangents) or "t")
    t.tape.mark_output(n)
    tape = t.freeze()
    assert dynamic_jvp(tape, [(x, None)], [n]) == ["t"]
    assert calls == [(None, None)]
    assert dynamic_jvp(tape, [], [n]) == [None]
    assert len(calls) == 1


def test_rule_returning_none_leaves_no_tangent_and_seeded_outputs_return_their_seed():
    t = Tape()
    x = t.input(1.0)
    a = t.op("none", [x], 1.0, lambda *a: None)
    b = t.op("after", [a], 1.0, lambda *a: pytest.fail("no tangent reaches here"))
    for node in (a, b, x):
        t.tape.mark_output(node)
    tape = t.freeze()
    assert dynamic_jvp(tape, [(x, 4.0)], [a, b, x, x]) == [None, None, 4.0, None]


@pytest.mark.parametrize(
    ("seeds", "requested", "exc", "message"),
    [
        ([(0, 1.0)], [9], ValueError, "dynamic tape node %9 does not exist"),
        ([(0, 1.0)], [0], ValueError, "dynamic JVP requested node %0, which is not a marked output"),
        ([(9, 1.0)], [3], ValueError, "dynamic tape node %9 does not exist"),
        ([(2, 1.0)], [3], ValueError, "dynamic JVP seed node %2 is not a tape input"),
        ([(0, 1.0), (0, 2.0)], [3], ValueError, "dynamic JVP repeats input seed %0"),
        # requested IDs are checked before any seed
        ([(9, 1.0)], [0], ValueError, "dynamic JVP requested node %0, which is not a marked output"),
    ],
)
def test_jvp_seed_and_request_errors(seeds, requested, exc, message):
    tape, _ = marked_product_tape()
    with pytest.raises(exc, match="^" + re.escape(message) + "$"):
        dynamic_jvp(tape, seeds, requested)
    assert dynamic_jvp(tape, [(0, 1.0)], [3]) == [15.0]  # idle again


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda t: dynamic_jvp_many(t, [[]] * 17, [3]), "dynamic JVP supports at most 16 seeds per traversal"),
        (lambda t: dynamic_vjp_many(t, [[]] * 17, [0]), "dynamic VJP supports at most 16 seeds per traversal"),
    ],
)
def test_more_than_sixteen_lanes_fail_before_the_tape_is_touched(call, message):
    tape = DynamicTape()  # not even frozen
    with pytest.raises(ValueError, match=f"^{message}$"):
        call(tape)


@pytest.mark.parametrize(
    ("args", "kwargs", "exc", "argument"),
    [
        ((object(), [], []), {}, TypeError, "tape"),
        ((None, [], []), {}, TypeError, "tape"),
        (("TAPE", "ab", []), {}, TypeError, "tangent_seeds"),
        (("TAPE", [(0,)], []), {}, TypeError, "tangent_seeds"),
        (("TAPE", [[0, 1.0]], []), {}, TypeError, "tangent_seeds"),
        (("TAPE", [(2**32, 1.0)], []), {}, OverflowError, "tangent_seeds"),
        (("TAPE", [], "3"), {}, TypeError, "requested_outputs"),
        (("TAPE", [], [-1]), {}, OverflowError, "requested_outputs"),
        (("TAPE", [], []), {"consume": 1}, TypeError, "consume"),
    ],
)
def test_jvp_argument_conversion(args, kwargs, exc, argument):
    tape, _ = marked_product_tape()
    args = tuple(tape if a == "TAPE" else a for a in args)
    with pytest.raises(exc) as info:
        dynamic_jvp(*args, **kwargs)
    assert argument in str(info.value)


def test_unbound_operation_fails_only_when_a_tangent_reaches_it():
    t = Tape()
    x, y = t.input(1.0), t.input(2.0)
    n = t.op("nobind", [y], 1.0)
    m = t.op("bound", [x], 1.0, jvp=lambda *a: 5.0)
    t.tape.mark_output(n)
    t.tape.mark_output(m)
    tape = t.freeze()
    assert dynamic_jvp(tape, [(x, 1.0)], [n, m]) == [None, 5.0]
    with pytest.raises(RuntimeError, match="^dynamic operation 'nobind' has no JVP binding$"):
        dynamic_jvp(tape, [(y, 1.0)], [n])


# --- reverse mode -----------------------------------------------------------


def test_vjp_pulls_cotangents_and_accumulates_repeated_parents():
    tape, (x, y, xy, z) = marked_product_tape()
    assert dynamic_vjp(tape, [(z, 1.0)], [x, y]) == [15.0, 6.0]
    assert dynamic_vjp(tape, [(z, 1.0), (xy, 1.0)], [x]) == [20.0]
    assert dynamic_vjp_many(tape, [[(z, 1.0)], [(xy, 2.0)], [(z, None)]], [y]) == [[6.0], [4.0], [None]]

    t = Tape()
    x = t.input(3.0)
    sq = t.op("mul", [x, x], 9.0, mul_jvp, mul_vjp)
    t.tape.mark_output(sq)
    assert dynamic_vjp(t.freeze(), [(sq, 1.0)], [x]) == [6.0]


def test_vjp_rule_receives_the_eight_arguments():
    seen = []
    t = Tape()
    x, c = t.input(2.0), t.input(4.0, active=False)

    class Residual:
        payload = "saved"

    n = t.op("f", [x, c], 7.0, vjp=lambda *a: seen.append(a) or [1.0, 2.0, 3.0], needs=(True, True, True),
             input_positions=[2, 0], literals=("lit",), attrs="attrs", source_location="loc", shape=[])
    t.tape.record_residual(n, Residual())
    t.tape.mark_output(n)
    tape = t.freeze()
    assert dynamic_vjp(tape, [(n, "ct")], [x, c]) == [3.0, None]
    assert seen == [(7.0, (4.0, "lit", 2.0), "ct", "attrs", (2,), "saved", (((), "f64"), None, ((), "f64")), "loc")]


def test_vjp_without_needs_passes_nones():
    seen = []
    t = Tape()
    x = t.input(2.0)
    n = t.op("f", [x], 7.0, vjp=lambda *a: seen.append(a) or [None, None], needs=(False, False, False),
             input_positions=[1], literals=("lit",))
    t.tape.mark_output(n)
    assert dynamic_vjp(t.freeze(), [(n, 1.0)], [x]) == [None]
    assert seen[0][0] is None and seen[0][1] == (None, None) and seen[0][5] is None


@pytest.mark.parametrize(
    ("result", "exc", "message"),
    [
        ("ab", ValueError, "VJP for 'f' at dynamic node %1 must return a sequence: "),
        (3, ValueError, "VJP for 'f' at dynamic node %1 must return a sequence: "),
        ([1.0, 2.0], ValueError, "VJP for 'f' at dynamic node %1 returned 2 contributions for 1 operands"),
        ([], ValueError, "VJP for 'f' at dynamic node %1 returned 0 contributions for 1 operands"),
    ],
)
def test_vjp_result_checks(result, exc, message):
    t = Tape()
    x = t.input(2.0)
    n = t.op("f", [x], 7.0, vjp=lambda *a: result)
    t.tape.mark_output(n)
    tape = t.freeze()
    with pytest.raises(exc) as info:
        dynamic_vjp(tape, [(n, 1.0)], [x])
    assert str(info.value).startswith(message)
    assert dynamic_vjp(tape, [], [x]) == [None]  # idle again


def test_contributions_for_literals_and_inactive_parents_are_ignored():
    t = Tape()
    x, c = t.input(2.0), t.input(3.0, active=False)
    n = t.op("f", [x, c], 1.0, vjp=lambda *a: [1.0, "literal junk", "inactive junk"],
             input_positions=[0, 2], literals=("lit",))
    t.tape.mark_output(n)
    assert dynamic_vjp(t.freeze(), [(n, 1.0)], [x, c]) == [1.0, None]


@pytest.mark.parametrize(
    ("seeds", "requested", "message"),
    [
        ([(3, 1.0)], [2], "dynamic VJP requested node %2, which is not a tape input"),
        ([(0, 1.0)], [0], "dynamic VJP seed node %0 is not a marked output"),
        ([(3, 1.0), (3, None)], [0], "dynamic VJP repeats output seed %3"),
        ([(7, 1.0)], [0], "dynamic tape node %7 does not exist"),
    ],
)
def test_vjp_seed_and_request_errors(seeds, requested, message):
    tape, _ = marked_product_tape()
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        dynamic_vjp(tape, seeds, requested)


def test_missing_reverse_binding_only_fails_when_reached():
    t = Tape()
    x = t.input(2.0)
    n = t.op("nobind", [x], 1.0)
    t.tape.mark_output(n)
    tape = t.freeze()
    assert dynamic_vjp(tape, [(n, None)], [x]) == [None]
    with pytest.raises(RuntimeError, match="^dynamic operation 'nobind' has no VJP binding$"):
        dynamic_vjp(tape, [(n, 1.0)], [x])


# --- cotangent addition and batched rules ------------------------------------


class Snap(float):
    _vorlix_snapshot = True

    def __add__(self, other):
        return ("snap-first", float(self), other)

    def __radd__(self, other):
        return ("snap-second", other, float(self))


@pytest.mark.parametrize(
    ("first", "second", "expected"),
    [
        (None, 2.0, 2.0),
        (1.0, None, 1.0),
        ((None, 1.0), (2.0, 3.0), (2.0, 4.0)),
        (((1.0,), 2.0), ((3.0,), None), ((4.0,), 2.0)),
        (1.0, Snap(2.0), ("snap-first", 2.0, 1.0)),
    ],
)
def test_cotangent_addition(first, second, expected):
    t = Tape()
    x = t.input(1.0)
    # dynamic_vjp calls the plain rule, dynamic_vjp_many the batched one: both add up alike.
    n = t.op("twice", [x, x], 1.0, vjp=batched(lambda *a: [first, second], lambda *a: [[first, second]]))
    t.tape.mark_output(n)
    tape = t.freeze()
    assert dynamic_vjp(tape, [(n, 1.0)], [x]) == [expected]
    assert dynamic_vjp_many(tape, [[(n, 1.0)]], [x]) == [[expected]]


def test_active_positions_after_a_node_with_many_parents():
    t = Tape()
    a, c = t.input(1.0), t.input(2.0, active=False)
    seen, made = [], []

    def record(out, primals, ct, attrs, active, *rest):
        seen.append(list(active))
        made.append((object(),))  # takes the memory of a tuple freed just before
        return [None] * len(primals)

    # Walked in reverse: the second pair, the wide node between, the first pair.
    nodes = [t.op("pair", [c, a], 1.0, vjp=record), t.op("wide", [c] + [a] * 65, 1.0, vjp=record),
             t.op("pair", [c, a], 1.0)]
    out = t.op("sum", nodes, 1.0, vjp=lambda *args: [1.0] * 3)
    t.tape.mark_output(out)
    dynamic_vjp(t.freeze(), [(out, 1.0)], [a])
    assert seen == [[1], list(range(1, 66)), [1]]


class Clearing:
    """Adding it empties the contribution list it came in."""

    def __init__(self, entries):
        self.entries = entries

    def __radd__(self, other):
        self.entries.clear()
        return ("sum", other)


def test_contributions_survive_an_addition_that_changes_their_list():
    t = Tape()
    x, y = t.input(1.0), t.input(2.0)
    entries = [1.0, None, 3.0]
    entries[1] = Clearing(entries)
    # x gets the float, then the addition that empties the list; y's entry was read before.
    n = t.op("three", [x, x, y], 1.0, vjp=lambda *a: entries)
    t.tape.mark_output(n)
    assert dynamic_vjp(t.freeze(), [(n, 1.0)], [x, y]) == [("sum", 1.0), 3.0]


@pytest.mark.parametrize(
    ("first", "second", "message"),
    [
        ((1.0,), 1.0, "cannot add tuple and non-tuple cotangents"),
        ((1.0, 2.0), (1.0, 2.0, 3.0), "cannot add cotangent tuples with lengths 2 and 3"),
    ],
)
def test_cotangent_addition_errors(first, second, message):
    t = Tape()
    x = t.input(1.0)
    n = t.op("twice", [x, x], 1.0, vjp=lambda *a: [first, second])
    t.tape.mark_output(n)
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        dynamic_vjp(t.freeze(), [(n, 1.0)], [x])


def batched(plain, many):
    def rule(*args):
        return plain(*args)

    rule.__vorlix_vjp_many__ = many
    return rule


def test_batched_rule_sees_only_seeded_lanes_in_order():
    calls = []

    def many(out, primals, cts, *rest):
        calls.append(cts)
        return [[ct * 10] for ct in cts]

    t = Tape()
    x = t.input(2.0)
    n = t.op("f", [x], 1.0, vjp=batched(lambda *a: pytest.fail("plain rule used"), many))
    t.tape.mark_output(n)
    tape = t.freeze()
    assert dynamic_vjp_many(tape, [[(n, 1.0)], [], [(n, 3.0)]], [x]) == [[10.0], [None], [30.0]]
    assert calls == [(1.0, 3.0)]
    # dynamic_vjp never uses the batched form
    with pytest.raises(pytest.fail.Exception):
        dynamic_vjp(tape, [(n, 1.0)], [x])


@pytest.mark.parametrize(
    ("result", "message"),
    [
        ("ab", "Batched VJP for 'f' at dynamic node %1 must return a sequence of sequences: "),
        (["ab"], "Batched VJP for 'f' at dynamic node %1 must return a sequence of sequences: "),
        ([None], "Batched VJP for 'f' at dynamic node %1 must return a sequence of sequences: "),
        ([[1.0]], "Batched VJP for 'f' at dynamic node %1 returned 1 contribution sets for 2 seeds"),
        ([[1.0], [1.0, 2.0]], "Batched VJP for 'f' at dynamic node %1 returned 2 contributions for 1 operands"),
    ],
)
def test_batched_rule_result_checks_precede_any_commit(result, message):
    t = Tape()
    x = t.input(2.0)
    n = t.op("f", [x], 1.0, vjp=batched(lambda *a: [1.0], lambda *a: result))
    t.tape.mark_output(n)
    with pytest.raises(ValueError) as info:
        dynamic_vjp_many(t.freeze(), [[(n, 1.0)], [(n, 2.0)]], [x])
    assert str(info.value).startswith(message)


# --- faults, notes and re-entrancy ------------------------------------------


class Boom(Exception):
    pass


def raising(*args):
    raise Boom("rule failed")


@pytest.mark.parametrize(
    ("walk", "note"),
    [
        (lambda t, n, x: dynamic_jvp(t, [(x, 1.0)], [n]), "while executing JVP for 'f' at dynamic node %1"),
        (lambda t, n, x: dynamic_vjp(t, [(n, 1.0)], [x]), "while executing VJP for 'f' at dynamic node %1"),
        (lambda t, n, x: dynamic_vjp_many(t, [[(n, 1.0)]], [x]),
         "while executing batched VJP for 'f' at dynamic node %1"),
    ],
)
def test_rule_exceptions_keep_their_type_and_gain_a_note(walk, note):
    t = Tape()
    x = t.input(2.0)
    n = t.op("f", [x], 1.0, jvp=raising, vjp=batched(raising, raising))
    t.tape.mark_output(n)
    tape = t.freeze()
    with pytest.raises(Boom) as info:
        walk(tape, n, x)
    assert info.value.__notes__[-1] == note
    assert dynamic_jvp(tape, [], [n]) == [None]  # the tape is idle again


@pytest.mark.parametrize("walk", [dynamic_jvp, dynamic_vjp])
def test_consuming_walk_that_fails_still_consumes(walk):
    t = Tape()
    x = t.input(2.0)
    n = t.op("f", [x], 1.0, jvp=raising, vjp=raising)
    t.tape.mark_output(n)
    tape = t.freeze()
    seeds = [(x, 1.0)] if walk is dynamic_jvp else [(n, 1.0)]
    with pytest.raises(Boom):
        walk(tape, seeds, [], consume=True)
    assert tape.is_consumed
    with pytest.raises(RuntimeError, match=f"^{RELEASED}$"):
        dynamic_jvp(tape, [], [])


def test_rules_may_read_the_tape_and_walk_other_tapes_but_not_the_same_one():
    other, (ox, _, _, oz) = marked_product_tape()
    log = []
    t = Tape()
    x = t.input(2.0, name="x")

    def reentrant(*args):
        log.append(t.tape.value(x))
        log.append(t.tape.get_node_name(x))
        log.append(dynamic_jvp(other, [(ox, 1.0)], [oz]))
        with pytest.raises(RuntimeError) as info:
            dynamic_vjp(t.tape, [], [])
        log.append(str(info.value))
        with pytest.raises(RuntimeError) as info:
            t.tape.release_payloads()
        log.append(str(info.value))
        return 1.0

    n = t.op("f", [x], 1.0, jvp=reentrant)
    t.tape.mark_output(n)
    assert dynamic_jvp(t.freeze(), [(x, 1.0)], [n]) == [1.0]
    assert log == [
        2.0, "x", [15.0],
        "DynamicTape is already executing forward traversal; recursive use of the same tape is unsupported",
        "cannot release DynamicTape payloads during traversal",
    ]


def test_walk_requires_a_frozen_live_tape():
    t = Tape()
    x = t.input(1.0)
    with pytest.raises(RuntimeError, match="^DynamicTape must be frozen before differentiation$"):
        dynamic_jvp(t.tape, [], [])
    t.tape.release_payloads()
    with pytest.raises(RuntimeError, match=f"^{RELEASED}$"):
        dynamic_vjp(t.tape, [], [])


@pytest.mark.parametrize(
    ("rule", "message", "notes"),
    [
        # the walk succeeded: the closing error itself is raised
        (lambda *a: 1.0, "close failed", []),
        # the walk failed: its error is raised, noting the closing error
        (raising, "rule failed", ["DynamicTape payload release also failed: close failed"]),
    ],
)
def test_closing_failure_of_a_consuming_walk(rule, message, notes):
    t = Tape()
    x = t.input(2.0)
    n = t.op("f", [x], 1.0, jvp=rule)
    t.tape.mark_output(n)

    class Residual:
        payload = None

        def close(self):
            raise Boom("close failed")

    t.tape.record_residual(n, Residual())
    tape = t.freeze()
    with pytest.raises(Boom, match=message) as info:
        dynamic_jvp(tape, [(x, 1.0)], [n], consume=True)
    assert getattr(info.value, "__notes__", [])[-1:] == notes[-1:]
    assert tape.is_consumed


# --- consuming reverse walks release payloads at their last use --------------


class Value(float):
    """A float whose release is observable."""


def test_consuming_reverse_walk_releases_each_value_after_its_last_use():
    t = Tape()
    x = t.input(Value(1.0))
    values = [x]
    alive_at_call = []
    refs = []

    def vjp(out, primals, ct, *rest):
        alive_at_call.append(sum(r() is not None for r in refs))
        return [ct]

    for k in range(6):
        v = Value(k)
        node = t.op("step", [values[-1]], v, vjp=vjp, needs=(False, True, False))
        refs.append(weakref.ref(v))
        values.append(node)
        del v
    t.tape.mark_output(values[-1])
    tape = t.freeze()
    assert dynamic_vjp(tape, [(values[-1], 1.0)], [x], consume=True) == [1.0]
    # the last output's value is pruned before the walk (no rule reads it),
    # and each step's input goes right after the step that reads it
    assert alive_at_call == [5, 4, 3, 2, 1, 0]
    assert all(r() is None for r in refs)
    assert tape.is_consumed


def test_active_positions_follow_a_change_of_activity():
    seen = []
    t = Tape()
    x, y = t.input(2.0), t.input(3.0)
    n = t.op("f", [x, y], 1.0, vjp=lambda *a: seen.append(a[4]) or [1.0, None, 1.0],
             input_positions=[0, 2], literals=("lit",))
    t.tape.mark_output(n)
    tape = t.freeze()
    assert dynamic_vjp(tape, [(n, 1.0)], [x, y]) == [1.0, 1.0]
    tape.set_active_nodes([x, n])
    assert dynamic_vjp(tape, [(n, 1.0)], [x, y]) == [1.0, None]
    assert seen == [(0, 2), (0,)]


def test_consecutive_layouts_of_equal_counts_place_their_own_operands():
    seen, t = [], Tape()
    x, y = t.input(2.0), t.input(3.0)
    nodes = [t.op("f", [x, y], 1.0, lambda o, p, *a: seen.append(p) or 1.0, input_positions=pos, literals=(lit,))
             for pos, lit in [([0, 1], "a"), ([1, 2], "b"), ([0, 1], "c")]]
    for n in nodes:
        t.tape.mark_output(n)
    dynamic_jvp(t.freeze(), [(x, 1.0)], nodes)
    assert seen == [(2.0, 3.0, "a"), ("b", 2.0, 3.0), (2.0, 3.0, "c")]


def test_repeated_walks_hand_every_kind_of_node_the_same_arguments():
    """The first reverse walk caches the operand specs; later walks, and
    every forward walk, prepare common nodes straight from the records. Each
    kind of node must see the same arguments however it was prepared."""
    seen = []

    def jvp(*args):
        seen.append(("jvp",) + args)
        return 1.0

    def vjp(out, primals, ct, attrs, active, res, specs, src):
        seen.append(("vjp", out, primals, ct, attrs, active, res, specs, src))
        return [1.0] * len(primals)

    class Residual:
        payload = "saved"

    t = Tape()
    x, y = t.input(2.0), t.input(3.0)
    c = t.input(4.0, active=False)
    w = t.tape.record_input(0.5, [], "f64")
    t.tape.mark_weak(w)
    nodes = [
        t.op("chain", [x], 1.0, jvp, vjp, attrs={"a": 1}, source_location="f.py:1"),
        t.op("literals", [x, y], 2.0, jvp, vjp, input_positions=[2, 0], literals=("l0", "l1")),
        t.op("inactive", [c, x], 3.0, jvp, vjp, needs=(True, True, False)),
        t.op("unordered", [y, c], 4.0, jvp, vjp, input_positions=[1, 0]),
        t.op("no_inputs", [x, y], 5.0, jvp, vjp, needs=(True, False, False)),
        t.op("weak", [w, x], 6.0, jvp, vjp),
        t.op("residual", [x], 7.0, jvp, vjp, needs=(False, True, True)),
        t.op("wide", [x] * 20, 8.0, jvp, vjp),
    ]
    t.tape.record_residual(nodes[6], Residual())
    sink = t.op("sink", nodes, 9.0, jvp, vjp)
    t.tape.mark_output(sink)
    tape = t.freeze()

    walks = []
    for _ in range(3):
        seen.clear()
        jvp_out = dynamic_jvp(tape, [(x, 1.0), (y, 1.0)], [sink])
        vjp_out = dynamic_vjp(tape, [(sink, 1.0)], [x, y])
        many = dynamic_vjp_many(tape, [[(sink, 1.0)], [(sink, 2.0)]], [x])
        walks.append((list(seen), jvp_out, vjp_out, many))
    assert walks[1] == walks[0] and walks[2] == walks[0]
    calls = {entry[0]: [] for entry in walks[0][0]}
    for entry in walks[0][0]:
        calls[entry[0]].append(entry)
    assert len(calls["jvp"]) == len(nodes) + 1
    assert len(calls["vjp"]) == 3 * (len(nodes) + 1)
    # Reverse order: literals interleave by position, an inactive parent drops
    # out of the active positions, a weak parent reaches the rule as a scalar.
    assert calls["vjp"][7][:6] == ("vjp", None, (3.0, "l0", 2.0, "l1"), 1.0, None, (2, 0))
    assert calls["vjp"][5][5] == (1,)
    assert calls["vjp"][3][2] == (0.5, 2.0)
