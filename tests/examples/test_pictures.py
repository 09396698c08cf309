"""Pictures of tapes and staged graphs: the DOT text read back structurally
(nodes, edges, slots, greyed payloads and optimizer casualties), and
rendered with Graphviz where `dot` is installed."""

import pathlib
import re
import shutil
import subprocess
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))

import pictures  # noqa: E402

import vorlix._native_core as core  # noqa: E402

HAS_DOT = shutil.which("dot") is not None
STATEMENT = re.compile(r'^\s*(\w+)(?:\s*->\s*(\w+))?\s*\[(.*)\];$')
PAIR = re.compile(r'(\w+)=("(?:[^"\\]|\\.)*")')


def unquote(text):
    return re.sub(r'\\(.)', lambda m: "\n" if m.group(1) == "n" else m.group(1), text[1:-1])


def parse(dot):
    """Node and edge statements of DOT text as written by the helper:
    {node: attrs} and [(tail, head, attrs)]."""
    nodes, edges = {}, []
    for line in dot.splitlines():
        match = STATEMENT.match(line)
        if not match or match.group(1) in ("graph", "node", "edge"):
            continue
        attrs = {k: unquote(v) for k, v in PAIR.findall(match.group(3))}
        if match.group(2):
            edges.append((match.group(1), match.group(2), attrs))
        else:
            nodes[match.group(1)] = attrs
    return nodes, edges


def check_renders(dot):
    if HAS_DOT:
        subprocess.run(["dot", "-Tsvg", "-o", "/dev/null"], input=dot.encode(), check=True, capture_output=True)


@pytest.mark.parametrize(
    ("parents", "positions", "literals", "expected"),
    [
        ([5, 6], None, (), [5, 6]),
        ([5, 6], [2, 0], ("L",), [6, "L", 5]),
        ([5, 6], [0, 1], ("a", "b"), [5, 6, "a", "b"]),
        ([5, 6], [1, 0], (), [6, 5]),
    ],
)
def test_operand_slots_follow_the_tape_layout(parents, positions, literals, expected):
    slots = pictures.operand_slots(parents, positions, literals)
    assert [s.literal if s.is_literal else s.parent for s in slots] == expected


@pytest.mark.parametrize(
    ("parents", "positions", "literals"),
    [([1], None, (2.0,)), ([1, 2], [0], ()), ([1, 2], [0, 0], ()), ([1, 2], [0, 3], ("x",))],
)
def test_operand_slots_refuse_layouts_the_tape_refuses(parents, positions, literals):
    with pytest.raises(ValueError):
        pictures.operand_slots(parents, positions, literals)


class Residual:
    payload = None

    def close(self):
        pass


def recorded_tape():
    """x (active), c (inactive), y = x * 3.0 with the literal in slot 1,
    z = y + c; z is the output. Rules keep only what a VJP needs."""
    tape = core.DynamicTape()
    x = tape.record_input(2.0, (), "float64", name="x")
    c = tape.record_input(5.0, (), "float64", name="c", active=False)
    y = tape.record_operation("mul", [x], 6.0, None, (), "float64", input_positions=[0], literals=[3.0],
                              source_location='model.py:3 "mul"')
    z = tape.record_operation("add", [y, c], 11.0, None, (), "float64", name="z")
    tape.record_residual(y, Residual())
    tape.mark_output(z)
    def jvp(*args):
        return None

    def vjp(output, primals, *rest):
        return [None] * len(primals)

    tape.freeze([None, jvp, jvp], [None, vjp, vjp], [None, (False, True, False), (False, False, False)])
    layout = {y: pictures.operand_slots([x], [0], [3.0]), z: pictures.operand_slots([y, c])}
    return tape, layout, z


def test_tape_picture_shows_nodes_slots_activity_and_outputs():
    tape, layout, z = recorded_tape()
    dot = pictures.tape_dot(tape, operands=layout, outputs=[z])
    nodes, edges = parse(dot)
    assert sorted(n for n in nodes if n.startswith("n")) == ["n0", "n1", "n2", "n3"]
    assert nodes["n0"]["label"].startswith("%0 vorlix.input  x")
    assert nodes["n0"]["fillcolor"] == pictures.INPUT_FILL
    assert "dashed" in nodes["n1"]["style"] and "dashed" not in nodes["n0"]["style"]
    assert nodes["n2"]["label"] == '%2 mul\n6.0\nmodel.py:3 "mul"'
    assert nodes["n3"]["peripheries"] == "2" and "peripheries" not in nodes["n2"]
    assert [(t, h, a["label"]) for t, h, a in edges if t.startswith("n")] == [
        ("n0", "n2", "slot 0"), ("n2", "n3", "slot 0"), ("n1", "n3", "slot 1")]
    (literal,) = [(t, h, a) for t, h, a in edges if t.startswith("l")]
    assert literal[1:] == ("n2", {"label": "slot 1", "style": "dotted"})
    assert nodes[literal[0]]["label"] == "3.0"
    assert "4 nodes, frozen" in dot and "1 residuals" in dot
    check_renders(dot)


def test_tape_picture_greys_released_values_and_keeps_names_given():
    tape, layout, z = recorded_tape()
    ops = [op for op, _, _ in tape._diagnostic_snapshot()]
    tape.prune_reverse_payloads()
    nodes, _ = parse(pictures.tape_dot(tape, operands=layout, outputs=[z], ops=ops))
    # Only the mul node's parent x is still read by a VJP; every other value is gone.
    held = {n for n, a in nodes.items() if n.startswith("n") and a["fillcolor"] != pictures.GONE_FILL}
    assert held == {"n0"}
    assert nodes["n2"]["label"] == "%2 mul\nvalue released"
    assert nodes["n2"]["fontcolor"] == pictures.GONE_TEXT
    core.dynamic_vjp(tape, [(z, 1.0)], [0], consume=True)
    dot = pictures.tape_dot(tape, ops=ops)
    nodes, edges = parse(dot)
    assert all(a["label"].endswith("value released") for n, a in nodes.items() if n.startswith("n"))
    # Names went with the node records; the operations come from `ops`.
    assert nodes["n3"]["label"] == "%3 add\nvalue released" and edges == []
    assert "consumed" in dot and "held: 0 values" in dot
    check_renders(dot)


@pytest.mark.parametrize("text", ['a "quoted" name', "back\\slash", "two\nlines", "tab\there", "{brace} <angle>"])
def test_labels_survive_any_text(text):
    tape = core.DynamicTape()
    tape.record_input(text, (), "str", name=text)
    dot = pictures.tape_dot(tape, title=text)
    nodes, _ = parse(dot)
    label = nodes["n0"]["label"]
    if "\t" in text:
        assert "\\u{9}" in label
    else:
        assert label.startswith(f"%0 vorlix.input  {text}\n")
    check_renders(dot)


def staged_graph():
    """x; a = x*x; b = x*x (merged into a); dead = x+x (removed); out = a+b."""
    builder = core.GraphBuilder()
    x = builder.append_input_node([2], "float64", name="x")
    a = builder.append_node("array.multiply", [x, x], {"k": 1}, [2], "float64")
    b = builder.append_node("array.multiply", [x, x], {"k": 1}, [2], "float64")
    builder.append_node("array.add", [x, x], {}, [2], "float64", name="dead")
    out = builder.append_node("array.add", [a, b], {}, [2], "float64")
    builder.append_output(out)
    return builder.finish()


def test_graph_picture_greys_what_the_optimizer_removed_or_merged():
    store, node_map, report, snapshot = staged_graph()
    dot = pictures.graph_dot(store, node_map=node_map, snapshot=snapshot, report=report)
    nodes, edges = parse(dot)
    before = {n: a for n, a in nodes.items() if n.startswith("b")}
    after = {n: a for n, a in nodes.items() if n.startswith("a")}
    assert len(before) == 5 and len(after) == store.node_count
    gone = {n for n, a in before.items() if a.get("fillcolor") == pictures.GONE_FILL}
    assert gone == {"b2", "b3"}
    assert before["b3"]["label"].endswith("removed")
    assert before["b2"]["label"].endswith("merged into %1")
    moves = {(t, h) for t, h, a in edges if a.get("style") == "dashed"}
    assert moves == {(f"b{old}", f"a{new}") for old, new in enumerate(node_map) if new is not None}
    (output,) = store.outputs
    assert after[f"a{output}"]["peripheries"] == "2"
    assert f"{report['nodes_before']} -> {report['nodes_after']} nodes" in dot
    check_renders(dot)


def test_graph_picture_of_a_store_alone_has_no_before_cluster():
    store = staged_graph()[0]
    nodes, edges = parse(pictures.graph_dot(store))
    assert all(n.startswith("a") for n in nodes)
    assert {(t, h) for t, h, _ in edges} == {(f"a{p}", f"a{i}") for i in store.node_ids()
                                           for p in store.get_node(i).inputs}


def test_write_pictures_writes_dot_and_renders_where_dot_exists(tmp_path):
    tape, layout, z = recorded_tape()
    dot = pictures.tape_dot(tape, operands=layout, outputs=[z])
    written = pictures.write_pictures(dot, tmp_path / "sub" / "tape")
    assert (tmp_path / "sub" / "tape.dot").read_text() == dot
    if not HAS_DOT:
        assert written == [tmp_path / "sub" / "tape.dot"]
        pytest.skip("Graphviz is not installed")
    assert [p.suffix for p in written] == [".dot", ".svg", ".png"]
    assert b"<svg" in written[1].read_bytes()
    assert written[2].read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


@pytest.mark.no_leak_check  # records through the reference frontend, whose tests are left out of the leak run too
def test_demo_tape_pictures_show_the_network_and_its_release(tmp_path):
    import picture_demo

    written = picture_demo.tape_pictures(tmp_path)
    assert {p.name for p in written if p.suffix == ".dot"} == {"tape_recorded.dot", "tape_consumed.dot"}
    recorded, _ = parse((tmp_path / "tape_recorded.dot").read_text())
    consumed, edges = parse((tmp_path / "tape_consumed.dot").read_text())
    ops = [a["label"].split("\n")[0].split(" ")[1] for n, a in recorded.items() if n.startswith("n")]
    assert ops.count("vorlix.input") == 4 and ops[-1] == "mean"
    assert all(a["fillcolor"] == pictures.GONE_FILL for a in consumed.values())
    assert sum(1 for t, _, _ in edges if t.startswith("l")) == 3  # x, targets and the exponent


def test_demo_graph_picture_shows_the_merged_residual_and_the_dropped_norm(tmp_path):
    import picture_demo

    picture_demo.graph_picture(tmp_path)
    nodes, _ = parse((tmp_path / "graph.dot").read_text())
    gone = sorted(a["label"].split("\n")[-1] for n, a in nodes.items() if a.get("fillcolor") == pictures.GONE_FILL)
    assert len(gone) == 2 and gone[1] == "removed" and gone[0].startswith("merged into %")
