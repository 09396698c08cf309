"""Freezing, reverse-use counts, pruning, release, activity replacement, and
when each payload the tape owns is let go."""

import gc
import re
import sys
import weakref

import pytest

from vorlix._native_core import DynamicTape

RELEASED = "DynamicTape has released its invocation payloads"


class Payload:
    """A payload whose release is observable through a weak reference."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"Payload({self.name})"


class Residual:
    def __init__(self, log, name, on_close=None):
        self.log, self.name, self.on_close = log, name, on_close
        self.payload = ("payload", name)

    def close(self):
        self.log.append(self.name)
        if self.on_close is not None:
            self.on_close()


def rule(*args):
    return None


def chain(needs=(True, True, False)):
    """x (input) -> a = f(x) -> b = g(a, lit); returns the tape, the ids and
    weak references to every payload."""
    tape = DynamicTape()
    payloads = {k: Payload(k) for k in ("x", "a", "b", "attrs_a", "attrs_b", "lit")}
    x = tape.record_input(payloads["x"], [2], "f64")
    a = tape.record_operation("f", [x], payloads["a"], payloads["attrs_a"], [2], "f64")
    b = tape.record_operation("g", [a], payloads["b"], payloads["attrs_b"], [2], "f64",
                              input_positions=[0], literals=(payloads["lit"],))
    tape.mark_output(b)
    refs = {k: weakref.ref(v) for k, v in payloads.items()}
    tape.freeze([None, rule, rule], [None, rule, rule], [None, needs, needs])
    return tape, (x, a, b), refs


def alive(refs):
    return sorted(k for k, r in refs.items() if r() is not None)


# --- freeze ----------------------------------------------------------------


def test_freeze_empty_and_inputs_only():
    empty = DynamicTape()
    empty.freeze([], [], [])
    assert empty.stats()["frozen"]
    inputs_only = DynamicTape()
    inputs_only.record_input(1, [], "f")
    inputs_only.freeze([None], [None], [None])
    with pytest.raises(RuntimeError, match="^DynamicTape is frozen$"):
        inputs_only.freeze([None], [None], [None])
    with pytest.raises(RuntimeError, match="^DynamicTape is frozen$"):
        inputs_only.record_input(1, [], "f")


@pytest.mark.parametrize(
    ("jvp", "vjp", "needs", "exc", "message", "installed"),
    [
        ([None], [None, None], [None, None], ValueError,
         "DynamicTape JVP binding count 1 does not match operation count 2", (0, 0)),
        ([None, 3], [None, None], [None, None], ValueError,
         "DynamicTape JVP binding 1 must be callable or None", (0, 0)),
        ([None, rule], [None, "x"], [None, None], ValueError,
         "DynamicTape VJP binding 1 must be callable or None", (2, 0)),
        ([None, rule], [None, rule], [None], ValueError,
         "DynamicTape reverse-needs count 1 does not match operation count 2", (2, 2)),
        ([None, rule], [None, rule], [None, None], ValueError,
         "DynamicTape VJP binding 1 is missing reverse-needs metadata", (2, 2)),
        ([None, rule], [None, None], [(True, True, True), None], ValueError,
         "DynamicTape reverse-needs metadata 0 has no VJP binding", (2, 2)),
        ([None, rule], [None, rule], [None, (True, True)], ValueError,
         "expected tuple of length 3, but got tuple of length 2", (0, 0)),
        ([None, rule], [None, rule], [None, [True, True, True]], TypeError, "reverse_needs", (0, 0)),
        ([None, rule], [None, rule], [None, (True, 1, True)], TypeError, "reverse_needs", (0, 0)),
        ("ab", [None, rule], [None, None], TypeError, "jvp_bindings", (0, 0)),
    ],
)
def test_freeze_refusals_keep_installed_tables_and_stay_open(jvp, vjp, needs, exc, message, installed):
    tape = DynamicTape()
    x = tape.record_input(1, [], "f")
    tape.record_operation("f", [x], 2, None, [], "f")
    with pytest.raises(exc) as info:
        tape.freeze(jvp, vjp, needs)
    if exc is ValueError:
        assert str(info.value) == message
    else:
        assert message in str(info.value)
    s = tape.stats()
    assert (s["native_structural"]["jvp_bindings"]["len"], s["native_structural"]["vjp_bindings"]["len"]) == installed
    assert not s["frozen"]
    tape.freeze([None, rule], [None, rule], [None, (False, False, False)])
    assert tape.stats()["frozen"]


@pytest.mark.parametrize(
    ("needs", "uses"),
    [
        ((True, False, False), [0, 1, 1]),
        ((False, True, False), [1, 1, 0]),
        ((True, True, False), [1, 2, 1]),
        ((False, False, True), [0, 0, 0]),
    ],
)
def test_reverse_use_counts(needs, uses):
    tape, ids, _ = chain(needs)
    assert tape.stats()["reverse_value_use_count"] == sum(uses)
    # Each value with a use survives pruning; the rest go.
    tape.prune_reverse_payloads()
    kept = [i for i, n in enumerate(uses) if n > 0]
    assert tape.stats()["retained_value_count"] == len(kept)
    for i in kept:
        tape.value(ids[i])
    for i in set(range(3)) - set(kept):
        with pytest.raises(RuntimeError, match=f"^dynamic tape is missing value payload for node %{ids[i]}$"):
            tape.value(ids[i])


def test_repeated_parent_counts_twice():
    tape = DynamicTape()
    x = tape.record_input(1, [], "f")
    tape.record_operation("mul", [x, x], 1, None, [], "f")
    tape.freeze([None, rule], [None, rule], [None, (False, True, False)])
    assert tape.stats()["reverse_value_use_count"] == 2


# --- pruning ---------------------------------------------------------------


@pytest.mark.parametrize(
    ("needs", "survivors"),
    [
        ((True, False, False), ["a", "attrs_a", "attrs_b", "b"]),
        ((False, True, False), ["a", "attrs_a", "attrs_b", "lit", "x"]),
        ((False, False, True), ["attrs_a", "attrs_b"]),
    ],
)
def test_prune_keeps_what_reverse_rules_read(needs, survivors):
    tape, _, refs = chain(needs)
    tape.prune_reverse_payloads()
    assert alive(refs) == survivors
    assert tape.stats()["reverse_pruned"]
    tape.prune_reverse_payloads()  # a second prune retires nothing
    assert alive(refs) == survivors


def test_prune_closes_unneeded_residuals_and_keeps_needed_ones():
    log = []
    tape, (x, a, b), _ = chain((False, False, True))
    tape.record_residual(a, Residual(log, "ra"))
    tape.record_residual(x, Residual(log, "rx"))  # inputs have no triple: retired
    tape.prune_reverse_payloads()
    assert log == ["rx"]
    assert tape.stats()["residual_count"] == 1


def test_prune_needs_a_frozen_tape():
    tape = DynamicTape()
    with pytest.raises(RuntimeError, match="^DynamicTape must be frozen before differentiation$"):
        tape.prune_reverse_payloads()
    tape.release_payloads()
    with pytest.raises(RuntimeError, match=f"^{RELEASED}$"):
        tape.prune_reverse_payloads()


# --- activity --------------------------------------------------------------


def test_set_active_nodes_replaces_activity_without_propagation():
    tape, (x, a, b), refs = chain()
    tape.set_active_nodes([a])
    assert [tape.node_is_active(i) for i in (x, a, b)] == [False, True, False]
    tape.set_active_nodes([])
    assert tape.stats()["reverse_value_use_count"] == 0
    tape.prune_reverse_payloads()
    assert tape.stats()["retained_value_count"] == 0
    with pytest.raises(RuntimeError, match="^cannot replace DynamicTape activity after reverse payload pruning$"):
        tape.set_active_nodes([x])


@pytest.mark.parametrize(
    ("prepare", "ids", "exc", "message"),
    [
        (lambda t: None, [0], RuntimeError, "DynamicTape must be frozen before differentiation"),
        (lambda t: t.release_payloads(), [0], RuntimeError, RELEASED),
        (lambda t: t.freeze([None], [None], [None]), [0, 5], ValueError, "dynamic tape node %5 does not exist"),
    ],
)
def test_set_active_nodes_refusals(prepare, ids, exc, message):
    tape = DynamicTape()
    tape.record_input(1, [], "f", active=True)
    prepare(tape)
    with pytest.raises(exc, match="^" + re.escape(message) + "$"):
        tape.set_active_nodes(ids)
    assert tape.node_is_active(0)


# --- release ---------------------------------------------------------------


def test_release_drops_every_payload_and_native_table():
    tape, (x, a, b), refs = chain()
    tape.release_payloads()
    assert alive(refs) == []
    s = tape.stats()
    for name in ("node_records", "literals", "jvp_bindings", "vjp_bindings", "reverse_needs"):
        assert s["native_structural"][name] == {"len": 0, "capacity": 0, "bytes": 0}
    assert s["consumed"] and tape.is_consumed and s["node_count"] == 3
    tape.release_payloads()  # a second release does nothing
    with pytest.raises(RuntimeError, match=f"^{RELEASED}$"):
        tape._diagnostic_snapshot()
    with pytest.raises(RuntimeError, match=f"^{RELEASED}$"):
        tape.record_input(1, [], "f")
    with pytest.raises(RuntimeError, match=f"^{RELEASED}$"):
        tape.record_residual(a, object())
    assert tape.node_is_active(a)
    assert tape.get_node_name(a) is None
    tape.bind_trace_frame(1, 2)


def test_release_of_an_open_tape():
    tape = DynamicTape()
    value = Payload("v")
    tape.record_input(value, [], "f")
    before = sys.getrefcount(value)
    tape.release_payloads()
    assert sys.getrefcount(value) == before - 1


def test_residual_close_runs_once_after_the_hold_and_may_read_the_tape():
    log = []
    tape, (x, a, b), refs = chain()
    seen = []
    tape.record_residual(a, Residual(log, "ra", on_close=lambda: seen.append(tape.stats()["consumed"])))
    tape.record_residual(b, Residual(log, "rb"))
    tape.release_payloads()
    assert log == ["ra", "rb"]
    assert seen == [True]


def test_first_close_error_is_raised_after_everything_is_dropped():
    log = []
    tape, (x, a, b), refs = chain()

    class Boom(Exception):
        pass

    first, second = Boom("first"), Boom("second")

    def raise_(e):
        raise e

    tape.record_residual(a, Residual(log, "ra", on_close=lambda: raise_(first)))
    tape.record_residual(b, Residual(log, "rb", on_close=lambda: raise_(second)))
    with pytest.raises(Boom) as info:
        tape.release_payloads()
    assert info.value is first
    assert log == ["ra", "rb"]
    assert tape.is_consumed
    assert alive(refs) == []


def test_finalizers_may_call_back_into_the_tape_during_release():
    tape = DynamicTape()
    value = Payload("v")
    observed = []
    weakref.finalize(value, lambda: observed.append(tape.stats()["retained_value_count"]))
    tape.record_input(value, [], "f")
    del value
    tape.release_payloads()
    assert observed == [0]


def test_dropping_the_tape_releases_everything_once():
    tape, _, refs = chain()
    del tape
    assert alive(refs) == []


def test_reference_cycle_through_a_payload_is_collected():
    tape = DynamicTape()
    holder = Payload("holder")
    holder.tape = tape
    tape.record_input(holder, [], "f")
    ref = weakref.ref(tape)
    del tape, holder
    gc.collect()
    assert ref() is None


def test_stats_follow_operations_and_snapshot():
    tape = DynamicTape()
    x = tape.record_input(1, [], "f")
    tape.record_operation("f", [x], 2, None, [], "f", source_location="here")
    tape.record_operation("f", [x, x, x], 3, None, [], "f")
    assert tape._diagnostic_snapshot() == [("vorlix.input", 1, None), ("f", 2, "here"), ("f", 3, None)]
    s = tape.stats()
    assert (s["operation_count"], s["edge_count"], s["node_count"]) == (2, 3, 3)
    components = s["native_structural"]
    assert list(components) == [
        "nodes", "edges", "operation_schemas", "operation_index", "node_records", "operand_positions",
        "literals", "jvp_bindings", "vjp_bindings", "reverse_needs", "inputs", "outputs",
    ]
    assert s["native_structural_bytes"] == sum(c["bytes"] for c in components.values())
    assert components["node_records"]["bytes"] == components["node_records"]["capacity"] * 128
