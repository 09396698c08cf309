"""Pictures of the demo's two-layer network: its tape as recorded by the
reference eager frontend (and again after a consuming reverse walk), and the
same network staged as a graph, before and after optimization.

    python examples/picture_demo.py [output folder]

writes tape_recorded, tape_consumed and graph as .dot files, and as .svg
and .png where Graphviz is installed."""

from __future__ import annotations

import contextlib
import pathlib
import sys
from collections.abc import Iterator
from typing import Any

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import eager as E  # noqa: E402
import pictures  # noqa: E402
from eager import tracing  # noqa: E402

from vorlix._native_core import GraphBuilder, dynamic_vjp  # noqa: E402


@contextlib.contextmanager
def operand_slots() -> Iterator[dict[int, list[pictures.Slot]]]:
    """While open, notes the operand slots of every primitive the frontend
    records: traced operands are parents, everything else a literal in its
    slot, as the frontend lays them out on the tape."""
    slots: dict[int, list[pictures.Slot]] = {}
    original = tracing.Trace.record

    def record(self: tracing.Trace, prim: Any, operands: Any, attrs: Any) -> Any:
        out = original(self, prim, operands, attrs)
        slots[out.node] = [pictures.Slot(parent=x.node) if type(x) is tracing.Tracer else pictures.Slot(literal=x)
                           for x in operands]
        return out

    tracing.Trace.record = record  # type: ignore[method-assign]
    try:
        yield slots
    finally:
        tracing.Trace.record = original  # type: ignore[method-assign]


def network_inputs() -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any], dict[str, np.ndarray[Any, Any]]]:
    rng = np.random.default_rng(0)
    x = rng.normal(size=(8, 4))
    targets = rng.normal(size=(8, 3))
    params = {"w1": rng.normal(size=(4, 16)) * 0.5, "b1": np.zeros(16),
              "w2": rng.normal(size=(16, 3)) * 0.5, "b2": np.zeros(3)}
    return x, targets, params


def tape_pictures(folder: pathlib.Path) -> list[pathlib.Path]:
    x, targets, params = network_inputs()

    def loss(w1: Any, b1: Any, w2: Any, b2: Any) -> Any:
        hidden = E.tanh(x @ w1 + b1)
        return E.mean((hidden @ w2 + b2 - targets) ** 2)

    with operand_slots() as slots:
        rec = E.Recording(loss, params.values(), range(4))
    tape, out = rec.tape, rec.output.node
    ops = [op for op, _, _ in tape._diagnostic_snapshot()]
    written = pictures.write_pictures(
        pictures.tape_dot(tape, operands=slots, outputs=[out], title="two-layer network: recorded tape"),
        folder / "tape_recorded")
    dynamic_vjp(tape, [(out, 1.0)], rec.input_nodes(), consume=True)
    written += pictures.write_pictures(
        pictures.tape_dot(tape, operands=slots, outputs=[out], ops=ops,
                          title="after the consuming reverse walk"),
        folder / "tape_consumed")
    return written


def graph_picture(folder: pathlib.Path) -> list[pathlib.Path]:
    """The network staged the way a naive tracer writes it: the residual
    computed twice and an unused norm, which the optimizer merges and drops."""
    b = GraphBuilder()
    x = b.append_input_node([8, 4], "float64", name="x")
    w1 = b.append_input_node([4, 16], "float64", name="w1")
    b1 = b.append_input_node([16], "float64", name="b1")
    w2 = b.append_input_node([16, 3], "float64", name="w2")
    b2 = b.append_input_node([3], "float64", name="b2")
    targets = b.append_input_node([8, 3], "float64", name="targets")
    hidden = b.append_node("array.tanh", [b.append_node("array.add", [b.append_node("array.matmul", [x, w1], {}, [8, 16], "float64"),
                                                          b1], {}, [8, 16], "float64")], {}, [8, 16], "float64",
                           name="hidden")
    b.append_node("array.sum", [hidden], {"axes": [0, 1]}, [], "float64", name="unused_norm")
    pred = b.append_node("array.add", [b.append_node("array.matmul", [hidden, w2], {}, [8, 3], "float64"), b2], {}, [8, 3],
                         "float64", name="pred")
    residual = b.append_node("array.subtract", [pred, targets], {}, [8, 3], "float64")
    again = b.append_node("array.subtract", [pred, targets], {}, [8, 3], "float64")
    square = b.append_node("array.multiply", [residual, again], {}, [8, 3], "float64")
    loss = b.append_node("array.mean", [square], {"axes": [0, 1]}, [], "float64", name="loss")
    b.append_output(loss)
    store, node_map, report, snapshot = b.finish()
    return pictures.write_pictures(
        pictures.graph_dot(store, node_map=node_map, snapshot=snapshot, report=report,
                           title="two-layer network: staged graph"),
        folder / "graph")


def write(folder: str | pathlib.Path) -> list[pathlib.Path]:
    """Write every picture into `folder`; returns the files written."""
    folder = pathlib.Path(folder)
    return tape_pictures(folder) + graph_picture(folder)


if __name__ == "__main__":
    for path in write(sys.argv[1] if len(sys.argv) > 1 else "pictures"):
        print(path)
