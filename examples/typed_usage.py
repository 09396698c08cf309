"""The module used with full type annotations (checked with `mypy --strict`):
f(x, y) = x * y + sin(x) differentiated on a DynamicTape both ways, and
g(x) = x * x + x staged, optimized and executed."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from vorlix._native_core import (
    DynamicTape,
    GraphBuilder,
    GraphStore,
    build_graph_execution_plan,
    deserialize_graph_json,
    dynamic_jvp,
    dynamic_vjp,
    execute_graph,
)

if TYPE_CHECKING:
    from vorlix._native_core import _AttrValue, _Evaluator, _TapeStats

Array = npt.NDArray[np.float64]


def mul_jvp(out: Any, primals: tuple[Any, ...], tangents: tuple[Any, ...], attrs: Any,
            location: str | None, residual: Any) -> Any:
    x, y = primals
    dx, dy = tangents
    terms = [t for t in ((dx * y) if dx is not None else None, (x * dy) if dy is not None else None) if t is not None]
    return sum(terms) if terms else None


def sin_jvp(out: Any, primals: tuple[Any, ...], tangents: tuple[Any, ...], attrs: Any,
            location: str | None, residual: Any) -> Any:
    return None if tangents[0] is None else math.cos(primals[0]) * tangents[0]


def add_jvp(out: Any, primals: tuple[Any, ...], tangents: tuple[Any, ...], attrs: Any,
            location: str | None, residual: Any) -> Any:
    present = [t for t in tangents if t is not None]
    return sum(present) if present else None


def mul_vjp(out: Any, primals: tuple[Any, ...], cotangent: Any, attrs: Any, active: tuple[int, ...],
            residual: Any, specs: tuple[tuple[tuple[int, ...], Any] | None, ...],
            location: str | None) -> Sequence[Any]:
    x, y = primals
    return [cotangent * y, cotangent * x]


def sin_vjp(out: Any, primals: tuple[Any, ...], cotangent: Any, attrs: Any, active: tuple[int, ...],
            residual: Any, specs: tuple[tuple[tuple[int, ...], Any] | None, ...],
            location: str | None) -> Sequence[Any]:
    return [cotangent * math.cos(primals[0])]


def add_vjp(out: Any, primals: tuple[Any, ...], cotangent: Any, attrs: Any, active: tuple[int, ...],
            residual: Any, specs: tuple[tuple[tuple[int, ...], Any] | None, ...],
            location: str | None) -> Sequence[Any]:
    return [cotangent, cotangent]


def differentiate(x: float, y: float) -> tuple[list[Any], list[Any], _TapeStats]:
    """Forward and reverse derivatives of f at (x, y), and the tape's stats."""
    tape = DynamicTape()
    nx = tape.record_input(x, (), "float64", name="x")
    ny = tape.record_input(y, (), "float64", name="y")
    prod = tape.record_operation("mul", [nx, ny], x * y, None, (), "float64")
    sine = tape.record_operation("sin", [nx], math.sin(x), None, (), "float64", source_location="typed_usage.py")
    total = tape.record_operation("add", [prod, sine], x * y + math.sin(x), None, (), "float64")
    tape.mark_output(total)
    rules = {"mul": (mul_jvp, mul_vjp), "sin": (sin_jvp, sin_vjp), "add": (add_jvp, add_vjp)}
    names = tape.op_names
    tape.freeze([rules[n][0] if n in rules else None for n in names],
                [rules[n][1] if n in rules else None for n in names],
                [(False, True, False) if n in rules else None for n in names])
    stats = tape.stats()
    forward = dynamic_jvp(tape, [(nx, 1.0)], [total])
    reverse = dynamic_vjp(tape, [(total, 1.0)], [nx, ny], consume=True)
    return forward, reverse, stats


def evaluate(op: str, attrs: dict[str, _AttrValue]) -> _Evaluator:
    def run(operands: tuple[Any, ...], context: Any, donated: int | None) -> Array:
        a, b = operands
        result: Array = np.multiply(a, b) if op == "array.multiply" else np.add(a, b)
        return result

    return run


def stage() -> tuple[GraphStore, list[int | None], list[Array]]:
    """Stage g, optimize it, round-trip its JSON and run it once."""
    builder = GraphBuilder(required_array_api_version="2024.12")
    x = builder.append_input_node([3], "float64", name="x")
    square = builder.append_node("array.multiply", [x, x], {"note": "square", "axes": [0]}, [3], "float64")
    again = builder.append_node("array.multiply", [x, x], {"note": "square", "axes": [0]}, [3], "float64")
    builder.append_node("array.add", [x, x], {}, [3], "float64")  # unused: removed
    total = builder.append_node("array.add", [square, again], {}, [3], "float64")
    builder.append_output(total)
    store, node_map, report, snapshot = builder.finish()
    assert report["nodes_before"] == len(snapshot)
    assert all(isinstance(p["removed_nodes"], int) for p in report["passes"])
    reread = deserialize_graph_json(store._to_json())
    plan = build_graph_execution_plan(reread, evaluate)
    outputs = execute_graph(plan, [np.arange(3.0)], [])
    return store, node_map, outputs


def main() -> None:
    forward, reverse, stats = differentiate(0.5, 2.0)
    print(f"df/dx forward {forward[0]:.6f}, reverse {reverse[0]:.6f}; df/dy {reverse[1]:.6f}")
    print(f"tape: {stats['node_count']} nodes, {stats['native_structural_bytes']} native bytes")
    store, node_map, outputs = stage()
    print(f"{store!r}; node map {node_map}; g([0, 1, 2]) = {outputs[0]}")


if __name__ == "__main__":
    main()
