"""Pictures of dynamic tapes and staged graphs as Graphviz DOT text, and as
SVG or PNG where Graphviz's `dot` program is installed.

Everything is read through the module's public introspection; nothing here
changes a tape or a store. The tape does not expose its edges or operand
layout, so a caller that wants them drawn passes the operand slots it
recorded (see `operand_slots`)."""

from __future__ import annotations

import shutil
import subprocess
from collections.abc import Iterable, Mapping, Sequence
from pathlib import Path
from typing import Any

__all__ = ["Slot", "graph_dot", "operand_slots", "render", "tape_dot", "write_pictures"]

# Greys for what the optimizer or the payload lifecycle has let go.
GONE_FILL = "#e6e6e6"
GONE_TEXT = "#8c8c8c"
INPUT_FILL = "#dbe9f6"
CONSTANT_FILL = "#fdf1d6"
OUTPUT_BORDER = "#1f5fa8"
ACTIVE_BORDER = "#2e7d32"
LITERAL_FILL = "#f7f7f7"
LABEL_LIMIT = 48


class Slot:
    """One operand slot of a recorded operation: a parent node or a literal."""

    __slots__ = ("parent", "literal")

    def __init__(self, *, parent: int | None = None, literal: Any = None) -> None:
        self.parent = parent
        self.literal = literal

    @property
    def is_literal(self) -> bool:
        return self.parent is None

    def __repr__(self) -> str:
        return f"Slot(parent={self.parent})" if self.parent is not None else f"Slot(literal={self.literal!r})"


def operand_slots(parents: Sequence[int], input_positions: Sequence[int] | None = None,
                  literals: Sequence[Any] = ()) -> list[Slot]:
    """The operand slots of an operation recorded with these arguments of
    `DynamicTape.record_operation`: parent k sits at `input_positions[k]`
    (in order when there are none) and the literals fill the remaining slots
    in ascending order, as the tape lays them out."""
    if input_positions is None:
        if literals:
            raise ValueError(f"{len(literals)} literals need parent positions")
        return [Slot(parent=p) for p in parents]
    if len(input_positions) != len(parents):
        raise ValueError(f"{len(parents)} parents but {len(input_positions)} parent positions")
    arity = len(parents) + len(literals)
    slots: list[Slot | None] = [None] * arity
    for parent, position in zip(parents, input_positions):
        if not 0 <= position < arity or slots[position] is not None:
            raise ValueError(f"parent position {position} is outside operand arity {arity} or repeated")
        slots[position] = Slot(parent=parent)
    remaining = iter(literals)
    return [slot if slot is not None else Slot(literal=next(remaining)) for slot in slots]


def quote(text: str) -> str:
    """`text` as a DOT double-quoted string; line breaks become centred breaks."""
    out = []
    for ch in text:
        if ch == "\\":
            out.append("\\\\")
        elif ch == '"':
            out.append('\\"')
        elif ch == "\n":
            out.append("\\n")
        elif not ch.isprintable():
            out.append(f"\\\\u{{{ord(ch):x}}}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def shorten(text: str) -> str:
    return text if len(text) <= LABEL_LIMIT else text[:LABEL_LIMIT - 3] + "..."


def describe_value(value: Any) -> str:
    """Shape and dtype of array-likes, the short repr of anything else."""
    shape = getattr(value, "shape", None)
    dtype = getattr(value, "dtype", None)
    if isinstance(shape, tuple) and dtype is not None:
        return f"{dtype}{list(shape)}"
    return shorten(repr(value))


def attributes(**pairs: str | None) -> str:
    return ", ".join(f"{key}={quote(value)}" for key, value in pairs.items() if value is not None)


def tape_dot(tape: Any, *, operands: Mapping[int, Sequence[Slot]] | None = None,
             outputs: Iterable[int] = (), ops: Sequence[str] | None = None, title: str | None = None) -> str:
    """The tape as a DOT digraph: one box per node with its operation, name,
    value and weak flag; active nodes framed green, inactive ones dashed;
    nodes whose value the tape no longer holds greyed; inputs shaded and
    outputs framed twice.

    `operands` gives the operand slots per operation node: parent slots
    become edges labelled with the slot, literal slots small notes of their
    own (greyed once the tape holds no literal). `outputs` names the nodes
    the caller marked as outputs. The tape names each node's operation only
    while it holds every value; `ops`
    (the names of an earlier `_diagnostic_snapshot()`) fills them in after
    a walk or a prune has let values go."""
    stats = tape.stats()
    count = tape.node_count
    inputs = set(tape.inputs)
    marked = set(outputs)
    snapshot = _snapshot(tape)
    state = "consumed" if stats["consumed"] else "frozen" if stats["frozen"] else "recording"
    if stats["reverse_pruned"]:
        state += ", reverse pruned"
    heading = [title or "DynamicTape", f"{count} nodes, {state}",
               f"held: {stats['retained_value_count']} values, {stats['retained_attr_count']} attrs, "
               f"{stats['literal_count']} literals, {stats['residual_count']} residuals"]
    lines = ["digraph tape {", "  rankdir=TB;",
             f"  graph [{attributes(label=chr(10).join(heading), labelloc='t', fontname='Helvetica')}];",
             '  node [shape=box, style="rounded,filled", fillcolor=white, fontname="Helvetica", fontsize=10];',
             '  edge [fontname="Helvetica", fontsize=9];']
    for i in range(count):
        if snapshot is not None:
            op, value, location = snapshot[i]
        else:
            op = ops[i] if ops is not None and i < len(ops) else "?"
            value, location = _held_value(tape, i), None
        held = value is not _RELEASED
        name = tape.get_node_name(i)
        active = tape.node_is_active(i)
        text = [f"%{i} {op}" + (f"  {name}" if name else "")]
        text.append(describe_value(value) if held else "value released")
        if held and tape.is_weak(i):
            text.append("weak scalar")
        if location:
            text.append(shorten(location))
        output = i in marked
        lines.append("  n{} [{}];".format(i, attributes(
            label="\n".join(text),
            fillcolor=GONE_FILL if not held else INPUT_FILL if i in inputs else "white",
            fontcolor=None if held else GONE_TEXT,
            style="rounded,filled" if active else "rounded,filled,dashed",
            color=OUTPUT_BORDER if output else ACTIVE_BORDER if active else "black",
            penwidth="2" if output else None,
            peripheries="2" if output else None)))
    # Which literal a node still holds is not visible, only how many the
    # tape holds: with none left every literal is drawn as released.
    literals_gone = stats["literal_count"] == 0
    for node, slots in sorted((operands or {}).items()):
        for k, slot in enumerate(slots):
            if slot.is_literal:
                literal = f"l{node}_{k}"
                lines.append(f"  {literal} [{attributes(label=describe_value(slot.literal), shape='note', fontsize='9', fillcolor=GONE_FILL if literals_gone else LITERAL_FILL, fontcolor=GONE_TEXT if literals_gone else None)}];")
                lines.append(f"  {literal} -> n{node} [{attributes(label=f'slot {k}', style='dotted')}];")
            else:
                lines.append(f"  n{slot.parent} -> n{node} [{attributes(label=f'slot {k}')}];")
    lines.append("}")
    return "\n".join(lines) + "\n"


# Stands for a value the tape no longer holds (None is an ordinary value).
_RELEASED = object()


def _snapshot(tape: Any) -> list[tuple[str, Any, str | None]] | None:
    # The snapshot refuses a tape that has let any value go.
    try:
        return list(tape._diagnostic_snapshot())
    except RuntimeError:
        return None


def _held_value(tape: Any, node: int) -> Any:
    try:
        return tape.value(node)
    except RuntimeError:
        return _RELEASED


def _graph_nodes(store: Any) -> list[Any]:
    return [store.get_node(i) for i in store.node_ids()]


def _graph_node_label(node: Any) -> str:
    text = [f"%{node.id} {node.op}" + (f"  {node.name}" if node.name else "")]
    if node.num_outputs > 1:
        text.append(", ".join(f"{d}{s}" for s, d in zip(node.output_shapes, node.output_dtypes)))
    else:
        text.append(f"{node.dtype}{node.shape}")
    attrs = node.attrs
    if attrs:
        text.append(shorten(", ".join(f"{k}={v!r}" for k, v in attrs.items())))
    return "\n".join(text)


def graph_dot(store: Any, *, node_map: Sequence[int | None] | None = None,
              snapshot: Sequence[tuple[int, str, Sequence[int], str | None]] | None = None,
              report: Mapping[str, Any] | None = None, title: str | None = None) -> str:
    """The store as a DOT digraph. Given the node map and the snapshot that
    `GraphBuilder.finish` returns, the graph before optimization is drawn
    beside it: nodes the optimizer removed or merged into another node are
    greyed, and dashed edges show where every surviving node went."""
    heading = title or "GraphStore"
    if report is not None:
        passes = ", ".join(f"{p['name']} -{p['removed_nodes']}" for p in report.get("passes", []))
        heading += f"\n{report['nodes_before']} -> {report['nodes_after']} nodes ({passes})"
    lines = ["digraph graph_store {", "  rankdir=TB;", "  compound=true;",
             f"  graph [{attributes(label=heading, labelloc='t', fontname='Helvetica')}];",
             '  node [shape=box, style="rounded,filled", fillcolor=white, fontname="Helvetica", fontsize=10];',
             '  edge [fontname="Helvetica", fontsize=9];']
    if snapshot is not None:
        lines += _before_cluster(snapshot, node_map)
    lines += _after_cluster(store, "after" if snapshot is not None else None)
    if snapshot is not None and node_map is not None:
        for old, new in enumerate(node_map):
            if new is not None:
                lines.append(f"  b{old} -> a{new} [{attributes(style='dashed', color='#9e9e9e', constraint='false', arrowhead='open')}];")
    lines.append("}")
    return "\n".join(lines) + "\n"


def _before_cluster(snapshot: Sequence[tuple[int, str, Sequence[int], str | None]],
                    node_map: Sequence[int | None] | None) -> list[str]:
    lines = ["  subgraph cluster_before {", f"    graph [{attributes(label='before optimization', style='dashed')}];"]
    # New ID -> the first old node that maps to it, which the rest merged into.
    first: dict[int, int] = {}
    for node_id, op, parents, name in snapshot:
        target = None if node_map is None else node_map[node_id]
        removed = node_map is not None and target is None
        merged = target is not None and target in first
        if target is not None:
            first.setdefault(target, node_id)
        text = f"%{node_id} {op}" + (f"  {name}" if name else "")
        if removed:
            text += "\nremoved"
        elif target is not None and merged:
            text += f"\nmerged into %{first[target]}"
        gone = removed or merged
        lines.append(f"    b{node_id} [{attributes(label=text, fillcolor=GONE_FILL if gone else _op_fill(op), fontcolor=GONE_TEXT if gone else None, color=GONE_TEXT if gone else None)}];")
        for parent in parents:
            lines.append(f"    b{parent} -> b{node_id} [{attributes(color=GONE_TEXT if gone else None)}];")
    lines.append("  }")
    return lines


def _after_cluster(store: Any, label: str | None) -> list[str]:
    indent = "    " if label else "  "
    lines = [f"  subgraph cluster_after {{", f"    graph [{attributes(label=f'{label} optimization', style='solid')}];"] if label else []
    outputs = set(store.outputs)
    for node in _graph_nodes(store):
        border = {"color": OUTPUT_BORDER, "penwidth": "2", "peripheries": "2"} if node.id in outputs else {}
        lines.append(f"{indent}a{node.id} [{attributes(label=_graph_node_label(node), fillcolor=_op_fill(node.op), **border)}];")
        for k, parent in enumerate(node.inputs):
            lines.append(f"{indent}a{parent} -> a{node.id} [{attributes(label=str(k) if len(node.inputs) > 1 else None)}];")
    if label:
        lines.append("  }")
    return lines


def _op_fill(op: str) -> str:
    return INPUT_FILL if op == "vorlix.input" else CONSTANT_FILL if op == "vorlix.const" else "white"


def render(dot_text: str, path: str | Path, fmt: str | None = None) -> Path | None:
    """Render DOT text to `path` with Graphviz (format from the suffix unless
    given). Returns the path, or None when `dot` is not installed."""
    executable = shutil.which("dot")
    if executable is None:
        return None
    target = Path(path)
    fmt = fmt or target.suffix.lstrip(".")
    subprocess.run([executable, f"-T{fmt}", "-o", str(target)], input=dot_text.encode(), check=True,
                   capture_output=True, timeout=60)
    return target


def write_pictures(dot_text: str, stem: str | Path, formats: Sequence[str] = ("svg", "png")) -> list[Path]:
    """Write `stem`.dot and, where `dot` exists, `stem`.svg and `stem`.png.
    Returns the files written."""
    stem = Path(stem)
    stem.parent.mkdir(parents=True, exist_ok=True)
    written = [stem.with_suffix(".dot")]
    written[0].write_text(dot_text, encoding="utf-8")
    for fmt in formats:
        picture = render(dot_text, stem.with_suffix(f".{fmt}"), fmt)
        if picture is not None:
            written.append(picture)
    return written
