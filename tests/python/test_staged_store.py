"""GraphStore, GraphNode and the graph artifact from Python."""

import hashlib
import inspect
import json
import struct
import threading

import numpy as np
import pytest

import vorlix._native_core as core


def sample_store():
    """Inputs, constants, a two-output node, attributes and labels; nothing the optimizer removes."""
    b = core.GraphBuilder(required_array_api_version="2023.12")
    x = b.append_input_node([2, 3], np.dtype("float32"), name="x")
    y = b.append_input_node([3], "numpy.float32")
    c, digest = b.append_constant(struct.pack("<d", 2.5), [], "float64", kind="scalar")
    a, _ = b.append_constant(bytes([1, 0, 1]), [3], np.bool_, kind="array")
    s = b.append_node(
        "array.split",
        [x],
        {"axis": 0, "sections": [1, 1], "meta": {"b": b"\x00", "a": (None, 1.0)}},
        [1, 3],
        "float32",
        num_outputs=2,
        output_shapes=[[1, 3], (1, 3)],
        output_dtypes=("float32", np.dtype("float32")),
        name="split",
        source_location="model.py:7",
    )
    m = b.append_node("array.add", (s, y, c, a), {}, [1, 3], "float", schema_version=3)
    b.append_output(m)
    b.append_output(s)
    b.append_output(m)
    return b.finish()[0], digest


def test_store_members():
    store, digest = sample_store()
    assert store.node_count == 6
    assert store.node_ids() == [0, 1, 2, 3, 4, 5]
    assert store.inputs == [0, 1]
    assert store.outputs == [5, 4, 5]
    assert store.constant_ids() == [2, 3]
    assert store.required_array_api_version == "2023.12"
    assert repr(store) == 'GraphStore(nodes=6, inputs=[0, 1], outputs=[5, 4, 5], array_api="2023.12")'
    assert store._constant_parts(2) == ("scalar", "float64", [], struct.pack("<d", 2.5), digest)
    kind, dtype, shape, data, _ = store._constant_parts(3)
    assert (kind, dtype, shape, data) == ("array", "bool", [3], b"\x01\x00\x01")
    assert len(digest) == 64 and int(digest, 16) >= 0 and digest == digest.lower()


def test_node_views():
    store, _ = sample_store()
    x = store.get_node(0)
    assert (x.id, x.op, x.schema_version, x.inputs, x.name, x.source_location) == (
        0, "vorlix.input", 1, [], "x", None)
    assert (x.shape, x.dtype, x.num_outputs, x.output_shapes, x.output_dtypes) == ([2, 3], "float32", 1, None, None)
    assert x.attrs == {}
    assert store.get_node(1).dtype == "float32"  # the descriptor's name, not "numpy.float32"
    s = store.get_node(4)
    assert (s.op, s.inputs, s.name, s.source_location, s.num_outputs) == ("array.split", [0], "split", "model.py:7", 2)
    assert s.output_shapes == [[1, 3], [1, 3]] and s.output_dtypes == ["float32", "float32"]
    assert s.shape == s.output_shapes[0] and s.dtype == s.output_dtypes[0]
    assert s.attrs == {"axis": 0, "meta": {"a": (None, 1.0), "b": b"\x00"}, "sections": [1, 1]}
    m = store.get_node(5)
    assert (m.schema_version, m.inputs, m.dtype) == (3, [4, 1, 2, 3], "float")
    assert s.shape is not s.shape and s.inputs is not s.inputs


def test_nodes_outlive_their_store():
    store, _ = sample_store()
    node = store.get_node(4)
    del store
    assert node.attrs["sections"] == [1, 1]


@pytest.mark.parametrize(
    ("node_id", "exception", "message"),
    [
        (6, KeyError, "node does not exist at node %6"),
        (2**32 - 1, KeyError, "node does not exist at node %4294967295"),
        (-1, OverflowError, None),
        (2**32, OverflowError, None),
        ("0", TypeError, None),
        (1.0, TypeError, None),
    ],
)
def test_get_node_refusals(node_id, exception, message):
    store, _ = sample_store()
    with pytest.raises(exception) as info:
        store.get_node(node_id)
    if message is not None:
        assert info.value.args == (message,)
    else:
        assert "node_id" in str(info.value)


@pytest.mark.parametrize("node_id", [0, 4, 6, 99])
def test_constant_parts_of_nodes_without_payload(node_id):
    store, _ = sample_store()
    with pytest.raises(KeyError) as info:
        store._constant_parts(node_id)
    assert info.value.args == (f"constant node %{node_id} has no payload",)


def test_classes_are_not_instantiable_and_store_is_immutable():
    store, _ = sample_store()
    for cls in (core.GraphStore, core.GraphNode):
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            type(store).__new__(cls)
    with pytest.raises(AttributeError):
        store.node_count = 3
    with pytest.raises(AttributeError):
        store.get_node(0).op = "x"


def test_docs_and_signatures():
    assert core.GraphStore.__doc__ == "Python handle for one runtime-owned immutable graph."
    assert core.GraphNode.__doc__ == "Immutable Python-facing snapshot of one canonical graph node."
    assert core.GraphStore._to_json.__doc__ == "Canonical portable graph JSON owned by `vorlix-runtime`."
    assert core.deserialize_graph_json.__doc__ == "Parse and transactionally validate canonical graph JSON."
    for name, text in [
        ("get_node", "(self, /, node_id)"),
        ("node_ids", "(self, /)"),
        ("constant_ids", "(self, /)"),
        ("_constant_parts", "(self, /, node_id)"),
        ("_to_json", "(self, /)"),
    ]:
        assert str(inspect.signature(getattr(core.GraphStore, name))) == text


def assert_same_graph(a, b):
    assert a.node_ids() == b.node_ids()
    assert (a.inputs, a.outputs, a.constant_ids()) == (b.inputs, b.outputs, b.constant_ids())
    assert a.required_array_api_version == b.required_array_api_version
    fields = ["id", "op", "schema_version", "inputs", "name", "source_location", "attrs", "shape", "dtype",
              "num_outputs", "output_shapes", "output_dtypes"]
    for i in a.node_ids():
        na, nb = a.get_node(i), b.get_node(i)
        assert [getattr(na, f) for f in fields] == [getattr(nb, f) for f in fields]
    for i in a.constant_ids():
        assert a._constant_parts(i) == b._constant_parts(i)


def test_json_round_trip_node_by_node_and_byte_for_byte():
    store, _ = sample_store()
    text = store._to_json()
    assert isinstance(text, str)
    back = core.deserialize_graph_json(text)
    assert type(back) is core.GraphStore
    assert_same_graph(store, back)
    assert back._to_json() == text
    assert core.deserialize_graph_json(encoded=text)._to_json() == text


def test_round_trip_keeps_non_ascii_and_exact_floats():
    b = core.GraphBuilder()
    b.append_input_node([], "float32", name="\u00e9t\u00e9")
    b.append_node("demo.op", [0], {"\u03c4": "\u2603", "f": 0.1, "nan": float("nan"), "neg": -0.0}, [], "float32")
    b.append_output(1)
    store = b.finish()[0]
    text = store._to_json()
    back = core.deserialize_graph_json(text)
    assert back._to_json() == text
    attrs = back.get_node(1).attrs
    assert attrs["\u03c4"] == "\u2603" and attrs["f"] == 0.1 and attrs["nan"] != attrs["nan"]
    assert struct.pack("<d", attrs["neg"]) == struct.pack("<d", -0.0)


def test_a_graph_whose_only_text_is_empty_round_trips():
    # Its text table holds no bytes at all, so the empty text has no storage.
    b = core.GraphBuilder()
    b.append_input_node([], "float32")
    b.append_node("demo.op", [0], {"": ""}, [], "float32")
    b.append_output(1)
    text = b.finish()[0]._to_json()
    back = core.deserialize_graph_json(text)
    assert back._to_json() == text and back.get_node(1).attrs == {"": ""}


@pytest.mark.parametrize("encoded", [b"{}", None, 3, bytearray(b"{}")])
def test_deserialize_requires_str(encoded):
    with pytest.raises(TypeError) as info:
        core.deserialize_graph_json(encoded)
    assert "encoded" in str(info.value)


def test_truncated_artifacts_fail_with_value_error_at_every_offset():
    store, _ = sample_store()
    text = store._to_json()
    for end in range(len(text)):
        with pytest.raises(ValueError):
            core.deserialize_graph_json(text[:end])


def test_tampered_digest_is_refused():
    store, digest = sample_store()
    text = store._to_json()
    assert digest in text
    forged = hashlib.sha256(b"other").hexdigest()
    with pytest.raises(ValueError):
        core.deserialize_graph_json(text.replace(digest, forged))


def test_lone_surrogate_text_raises_the_interpreters_error():
    with pytest.raises(UnicodeEncodeError):
        core.deserialize_graph_json('{"\ud800": 1}')


@pytest.mark.serial
def test_two_threads_read_one_store():
    store, _ = sample_store()
    text = store._to_json()
    failures = []

    def work():
        try:
            for _ in range(200):
                assert store.get_node(4).attrs["axis"] == 0
                assert store._to_json() == text
                assert core.deserialize_graph_json(text).node_count == 6
        except BaseException as exc:  # pragma: no cover - reported below
            failures.append(exc)

    threads = [threading.Thread(target=work) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_writer_refusal_is_a_value_error():
    deep = 0
    for _ in range(5000):
        deep = [deep]
    b = core.GraphBuilder()
    b.append_input_node([], "float32")
    b.append_node("demo.op", [0], {"deep": deep}, [], "float32")
    b.append_output(1)
    store = b.finish()[0]
    assert store.get_node(1).attrs["deep"][0][0][0] is not None
    with pytest.raises(ValueError) as info:
        store._to_json()
    assert info.value.args == ("graph serialization failed: recursion limit exceeded",)


@pytest.mark.parametrize("fill", ["x", "\u00e9", "\u2603\U0001f600"])
def test_texts_far_longer_than_expected_are_written_whole(fill):
    # Long attribute texts outgrow the writer's first guess at the length,
    # so the text is carried over into larger buffers while being written.
    b = core.GraphBuilder()
    b.append_input_node([], "float32")
    long_texts = {f"k{i}": fill * (20_000 + i) for i in range(5)}
    b.append_node("demo.op", [0], long_texts, [], "float32")
    # Short pieces after the growth (keys, heads) are copied from where they were first written.
    b.append_node("demo.op", [1], {k: fill for k in long_texts}, [], "float32")
    b.append_output(2)
    store = b.finish()[0]
    text = store._to_json()
    assert text.isascii() == fill.isascii()
    nodes = json.loads(text)["nodes"]
    assert nodes[1]["attrs"]["k4"] == {"kind": "string", "value": fill * 20_004}
    assert nodes[2]["attrs"] == {k: {"kind": "string", "value": fill} for k in long_texts}
    assert core.deserialize_graph_json(text)._to_json() == text
