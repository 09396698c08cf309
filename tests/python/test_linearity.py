"""Real-linearity analysis: operation classes, zero tests, the output check
and its messages."""

import re

import numpy as np
import pytest

from vorlix._native_core import DynamicTape


def build(steps, tangents=("x",), inputs=None):
    """Records inputs x (2.0) and c (3.0) and then `steps`: (name, op,
    operands, value); an operand is a node name or ("lit", value). The last
    step is the marked output. Returns the tape, the name -> ID map and the
    tangent input IDs."""
    tape = DynamicTape()
    ids = {}
    for name, value in (inputs or {"x": 2.0, "c": 3.0}).items():
        ids[name] = tape.record_input(value, [], "f64")
    for name, op, operands, value in steps:
        parents, positions, literals = [], [], []
        for slot, operand in enumerate(operands):
            if isinstance(operand, tuple):
                literals.append(operand[1])
            else:
                parents.append(ids[operand])
                positions.append(slot)
        ids[name] = tape.record_operation(op, parents, value, None, [], "f64",
                                          input_positions=positions if literals else None, literals=literals)
    tape.mark_output(ids[steps[-1][0]])
    tape.freeze([None] * len(tape.op_names), [None] * len(tape.op_names), [None] * len(tape.op_names))
    return tape, ids, [ids[t] for t in tangents]


def fails(reason, op, node):
    return re.escape(f"JVP rule for 'prim' is not real-linear: {reason} at '{op}' (tape value %{node}).")


@pytest.mark.parametrize(
    ("steps", "tangents", "dependent"),
    [
        ([("y", "array.multiply", ["x", ("lit", 0.0)], 0.0)], ("x",), ["x"]),  # zero literal annihilates
        ([("y", "array.multiply", ["x", ("lit", 2.0)], 4.0)], ("x",), ["x", "y"]),
        ([("y", "array.add", ["x", ("lit", 0.0)], 2.0)], ("x",), ["x", "y"]),
        ([("y", "array.divide", ["x", "c"], 0.6)], ("x",), ["x", "y"]),
        ([("y", "array.where", [("lit", True), "x", ("lit", 0.0)], 2.0)], ("x",), ["x", "y"]),
        ([("y", "array.zeros_like", ["x"], 0.0)], ("x",), ["x"]),
        ([("y", "array.reshape", ["x"], 2.0)], ("x",), ["x", "y"]),
        ([("y", "mystery", ["c"], 0.0)], ("x",), ["x"]),  # constant whose value is zero
        ([("y", "array.multiply", ["x", "c"], 6.0), ("z", "array.sum", ["y"], 6.0)], ("x", "x"), ["x", "y", "z"]),
    ],
)
def test_linear_and_zero_outputs_pass(steps, tangents, dependent):
    tape, ids, tangent_ids = build(steps, tangents)
    assert tape.analyze_real_linearity(tangent_ids, "prim") == sorted(ids[n] for n in dependent)


@pytest.mark.parametrize(
    ("steps", "tangents", "reason"),
    [
        ([("y", "array.multiply", ["x", "x"], 4.0)], ("x",), "multiplies tangent-dependent operands"),
        ([("y", "array.add", ["x", ("lit", 1.0)], 3.0)], ("x",), "adds a tangent-independent offset"),
        ([("y", "array.add", ["x", "c"], 5.0)], ("x",), "adds a tangent-independent offset"),
        ([("y", "array.divide", ["c", "x"], 1.5)], ("x",), "uses a tangent-dependent denominator"),
        ([("y", "array.take", ["c", "x"], 3.0)], ("x",), "uses tangent-dependent gather indices"),
        ([("y", "array_ext.linalg.solve", ["x", "c"], 1.5)], ("x",), "uses a tangent-dependent solve matrix"),
        ([("y", "array.where", ["x", "c", "c"], 3.0)], ("x",), "uses a tangent-dependent selection mask"),
        ([("y", "array.divide", ["x"], 1.0)], ("x",), "division has unexpected arity"),
        ([("y", "array.exp", ["x"], 7.4)], ("x",), "uses unsupported tangent-dependent operation 'array.exp'"),
        # reshape with a shape literal has two operands: the default rule
        ([("y", "array.reshape", ["x", ("lit", (1,))], 2.0)], ("x",),
         "uses unsupported tangent-dependent operation 'array.reshape'"),
        # a nonlinear node feeding an addition reports the addition's reason
        ([("y", "array.multiply", ["x", "x"], 4.0), ("z", "array.add", ["y", "x"], 6.0)], ("x",),
         "contains a nonlinear operand"),
        # but a single-operand operation keeps the first reason
        ([("y", "array.multiply", ["x", "x"], 4.0), ("z", "array.negative", ["y"], -4.0)], ("x",),
         "multiplies tangent-dependent operands"),
        ([("y", "array.negative", ["c"], -3.0)], (), "returns a tangent-independent nonzero offset"),
        ([("y", "array.negative", ["x"], -2.0)], (), "returns a tangent-independent nonzero offset"),
    ],
)
def test_nonlinear_outputs_fail_with_their_reason(steps, tangents, reason):
    tape, ids, tangent_ids = build(steps, tangents)
    last, op = steps[-1][0], steps[-1][1]
    with pytest.raises(ValueError, match="^" + fails(reason, op, ids[last]) + "$"):
        tape.analyze_real_linearity(tangent_ids, "prim")


class Comparable:
    """A literal whose equality with zero is decided by its own rules."""

    def __init__(self, result):
        self.result = result

    def __eq__(self, other):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


@pytest.mark.no_leak_check  # NumPy's comparisons fill caches over their first calls
@pytest.mark.parametrize(
    ("literal", "zero"),
    [
        (np.zeros(3), True),
        (np.array([0.0, 1.0]), False),  # zero only when every element is
        (Comparable(TypeError("no")), False),
        (Comparable(ValueError("no")), False),
        (Comparable(True), True),
    ],
)
def test_zero_test_of_literals(literal, zero):
    tape, ids, tangent_ids = build([("y", "array.multiply", ["x", ("lit", literal)], 0.0)])
    assert tape.analyze_real_linearity(tangent_ids, "prim") == ([ids["x"]] if zero else [ids["x"], ids["y"]])


def test_other_exceptions_of_the_zero_test_propagate():
    tape, ids, tangent_ids = build([("y", "array.multiply", ["x", ("lit", Comparable(KeyError("boom")))], 0.0)])
    with pytest.raises(KeyError):
        tape.analyze_real_linearity(tangent_ids, "prim")


def test_inputs_are_never_zero_tested_but_constants_are():
    tape, ids, _ = build([("y", "array.negative", ["c"], 0.0)], inputs={"x": 2.0, "c": 0.0})
    # c is zero-valued but, as an input, Constant; y's recorded value is zero.
    assert tape.analyze_real_linearity([], "prim") == []
    tape = DynamicTape()
    k = tape.record_operation("vorlix.const", [], 0.0, None, [], "f64")
    tape.mark_output(k)
    tape.freeze([None], [None], [None])
    assert tape.analyze_real_linearity([], "prim") == []


@pytest.mark.parametrize(
    ("ids", "exc", "message"),
    [
        ([9], ValueError, "dynamic tape node %9 does not exist"),
        ([2], ValueError, "real-linearity tangent node %2 is not an input"),
    ],
)
def test_tangent_input_checks(ids, exc, message):
    tape, *_ = build([("y", "array.negative", ["x"], -2.0)])
    with pytest.raises(exc, match="^" + re.escape(message) + "$"):
        tape.analyze_real_linearity(ids, "prim")


def test_state_and_argument_checks():
    tape = DynamicTape()
    with pytest.raises(RuntimeError, match="^DynamicTape must be frozen before differentiation$"):
        tape.analyze_real_linearity([], "p")
    tape.release_payloads()
    with pytest.raises(RuntimeError, match="^DynamicTape has released its invocation payloads$"):
        tape.analyze_real_linearity([], "p")
    with pytest.raises(TypeError, match="tangent_input_ids"):
        DynamicTape().analyze_real_linearity("01", "p")
    with pytest.raises(TypeError, match="primitive_name"):
        DynamicTape().analyze_real_linearity([], 3)
