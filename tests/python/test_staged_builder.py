"""GraphBuilder: binding, check order, finished state, exclusive use and finish's report."""

import gc
import inspect
import sys
import threading
import weakref

import numpy as np
import pytest

import vorlix._native_core as core

FINISHED = "GraphBuilder has already finished"


def zero_pass(name):
    return {"name": name, "nodes_before": 0, "nodes_after": 0, "removed_nodes": 0, "rewritten_nodes": 0}


def test_constructor_versions():
    assert core.GraphBuilder().finish()[0].required_array_api_version == "2024.12"
    for version in ("2022.12", "2023.12", "2024.12"):
        store = core.GraphBuilder(required_array_api_version=version).finish()[0]
        assert store.required_array_api_version == version
    with pytest.raises(TypeError):
        core.GraphBuilder("2024.12")
    with pytest.raises(TypeError):
        core.GraphBuilder(version="2024.12")
    with pytest.raises(TypeError):
        core.GraphBuilder(required_array_api_version=b"2024.12")
    for bad, shown in [("2025.12", '"2025.12"'), ("2024.12 ", '"2024.12 "'), ('x"\n', r'"x\"\n"')]:
        with pytest.raises(ValueError) as info:
            core.GraphBuilder(required_array_api_version=bad)
        assert info.value.args == (f"Unsupported required Array API version {shown}",)


@pytest.mark.no_leak_check  # each inspect.signature() of a builtin keeps a few blocks in 3.13
def test_text_signatures_and_doc():
    assert core.GraphBuilder.__doc__ == "Python construction handle around one runtime-owned builder."
    assert core.GraphBuilder.__text_signature__ == "(*, required_array_api_version=...)"
    assert list(inspect.signature(core.GraphBuilder).parameters) == ["required_array_api_version"]
    expected = {
        "append_input_node": "(self, /, shape, dtype, *, name=None)",
        "append_constant": "(self, /, data, shape, dtype, *, kind)",
        "append_node": "(self, /, op, inputs, attrs, shape, dtype, *, schema_version=1, name=None, "
        "num_outputs=1, output_shapes=None, output_dtypes=None, source_location=None)",
        "append_output": "(self, /, node_id)",
        "finish": "(self, /)",
    }
    for name, text in expected.items():
        assert str(inspect.signature(getattr(core.GraphBuilder, name))) == text


def test_empty_graph_report():
    store, node_map, report, snapshot = core.GraphBuilder().finish()
    assert store.node_count == 0 and node_map == [] and snapshot == []
    assert report == {
        "nodes_before": 0,
        "nodes_after": 0,
        "rewritten_nodes": 0,
        "passes": [zero_pass("dce"), zero_pass("simplify"), zero_pass("cse")],
    }
    assert list(report) == ["nodes_before", "nodes_after", "rewritten_nodes", "passes"]
    assert list(report["passes"][0]) == ["name", "nodes_before", "nodes_after", "removed_nodes", "rewritten_nodes"]


def test_dead_code_is_removed_and_the_map_renumbers():
    b = core.GraphBuilder()
    x = b.append_input_node([2], "float32", name="x")
    y = b.append_node("array.neg", [x], {}, [2], "float32")
    b.append_node("array.exp", [x], {}, [2], "float32", name="dead")
    z = b.append_node("array.add", [x, y], {}, [2], "float32")
    b.append_output(z)
    store, node_map, report, snapshot = b.finish()
    assert node_map == [0, 1, None, 2]
    assert store.node_count == 3 and store.outputs == [2] and store.get_node(2).inputs == [0, 1]
    assert snapshot == [
        (0, "vorlix.input", [], "x"),
        (1, "array.neg", [0], None),
        (2, "array.exp", [0], "dead"),
        (3, "array.add", [0, 1], None),
    ]
    assert (report["nodes_before"], report["nodes_after"]) == (4, 3)
    assert report["passes"][0] == {"name": "dce", "nodes_before": 4, "nodes_after": 3, "removed_nodes": 1,
                                   "rewritten_nodes": report["passes"][0]["rewritten_nodes"]}
    assert report["rewritten_nodes"] == sum(p["rewritten_nodes"] for p in report["passes"])


def test_common_subexpressions_merge():
    b = core.GraphBuilder()
    x = b.append_input_node([2], "float32")
    u = b.append_node("array.neg", [x], {"k": [1]}, [2], "float32")
    v = b.append_node("array.neg", [x], {"k": [1]}, [2], "float32")
    b.append_output(b.append_node("array.add", [u, v], {}, [2], "float32"))
    store, node_map, report, _ = b.finish()
    assert node_map[1] == node_map[2] and store.node_count == 3
    assert report["passes"][2]["name"] == "cse" and report["passes"][2]["removed_nodes"] == 1


def test_constants():
    b = core.GraphBuilder()
    node, digest = b.append_constant(b"\x01", [], "bool", kind="scalar")
    assert node == 0 and len(digest) == 64 and all(c in "0123456789abcdef" for c in digest)
    node2, digest2 = b.append_constant(b"\x01", [], np.bool_, kind="scalar")
    assert digest2 == digest
    with pytest.raises(ValueError) as info:
        b.append_constant(b"\x01", [], "bool", kind="Scalar")
    assert info.value.args == ('unknown staged constant kind "Scalar"',)
    for dtype, shown in [("float", "float"), ("double", "double"), ("bfloat16", "bfloat16")]:
        with pytest.raises(ValueError) as info:
            b.append_constant(b"\x00" * 8, [], dtype, kind="scalar")
        assert info.value.args == (f'unsupported staged constant dtype "{shown}"',)
    with pytest.raises(ValueError) as info:
        b.append_constant(b"\x02", [], "bool", kind="scalar")
    assert info.value.args == ("staged bool constant bytes must be exactly 0 or 1",)
    with pytest.raises(ValueError) as info:
        b.append_constant(b"\x00" * 8, [1], "float64", kind="scalar")
    assert info.value.args == ("a staged scalar constant must have rank zero",)
    with pytest.raises(TypeError):
        b.append_constant(bytearray(b"\x01"), [], "bool", kind="scalar")
    with pytest.raises(TypeError):
        b.append_constant(b"\x01", [], "bool")

    class Payload(bytes):
        pass

    node3, _ = b.append_constant(Payload(b"\x00" * 4), [], np.dtype("float32"), kind="scalar")
    for n in (node, node2, node3):
        b.append_output(n)
    store = b.finish()[0]
    assert store.constant_ids() == [0, 1, 2]
    assert store._constant_parts(2)[:4] == ("scalar", "float32", [], b"\x00" * 4)


def test_append_node_argument_types():
    b = core.GraphBuilder()
    x = b.append_input_node([], "float32")
    good = dict(op="demo.op", inputs=[x], attrs={}, shape=[], dtype="float32")
    cases = [
        (dict(op=1), TypeError),
        (dict(op=b"x"), TypeError),
        (dict(inputs="0"), TypeError),
        (dict(inputs=[-1]), OverflowError),
        (dict(inputs=[2**32]), OverflowError),
        (dict(inputs=[1.0]), TypeError),
        (dict(inputs=5), TypeError),
        (dict(attrs=[("a", 1)]), TypeError),
        (dict(shape="12"), TypeError),
        (dict(shape=[-1]), OverflowError),
        (dict(shape=[2**64]), OverflowError),
        (dict(schema_version=2**32), OverflowError),
        (dict(schema_version=True + 0.5), TypeError),
        (dict(name=3), TypeError),
        (dict(num_outputs=-1), OverflowError),
        (dict(output_shapes="ab"), TypeError),
        (dict(output_shapes=["ab"]), TypeError),
        (dict(output_shapes=[[-2]]), OverflowError),
        (dict(source_location=b"f.py"), TypeError),
    ]
    for change, exception in cases:
        with pytest.raises(exception):
            b.append_node(**{**good, **change})
    with pytest.raises(TypeError):
        b.append_node("demo.op", [x], {}, [], "float32", 1)
    with pytest.raises(TypeError):
        b.append_node("demo.op", [x], {}, [])
    with pytest.raises(TypeError):
        b.append_node("demo.op", [x], {}, [], "float32", unknown=1)
    b.append_output(x)
    assert b.finish()[0].node_count == 1


def test_sequences_other_than_list_and_tuple_are_accepted_for_ids_and_shapes():
    b = core.GraphBuilder()
    x = b.append_input_node(range(2, 4), "float32")
    y = b.append_node("demo.op", range(x, x + 1), {}, np.array([2, 3]).tolist(), "float32",
                      num_outputs=2, output_shapes=((2, 3), range(0)), output_dtypes=["float32", "int8"])
    b.append_output(y)
    node = b.finish()[0].get_node(1)
    assert node.output_shapes == [[2, 3], []] and node.output_dtypes == ["float32", "int8"]


def test_checks_run_in_order():
    b = core.GraphBuilder()
    x = b.append_input_node([], "float32")
    # An empty op is refused before attributes are converted.
    with pytest.raises(ValueError) as info:
        b.append_node("", [x], {"bad": object()}, [], None)
    assert info.value.args == ("node op must not be empty",)
    # Attributes before dtype.
    with pytest.raises(TypeError) as info:
        b.append_node("demo.op", [x], {"bad": object()}, [], None)
    assert str(info.value).startswith('unsupported graph attribute value at attrs["bad"]: object;')
    # Dtype before output_dtypes.
    with pytest.raises(TypeError) as info:
        b.append_node("demo.op", [x], {}, [], None, output_dtypes={"float32"})
    assert "NoneType" in str(info.value)
    # Metadata before the parents are looked at.
    with pytest.raises(ValueError) as info:
        b.append_node("demo.op", [99], {}, [], "float32", num_outputs=0)
    assert info.value.args == ("Op 'demo.op' has invalid metadata: node num_outputs must be at least 1",)
    with pytest.raises(ValueError) as info:
        b.append_node("demo.op", [99], {}, [], "float32")
    assert "%" in info.value.args[0]
    with pytest.raises(ValueError):
        b.append_node("vorlix.input", [], {}, [], "float32")
    b.append_output(x)
    assert b.finish()[0].node_count == 1


@pytest.mark.parametrize(
    ("output_dtypes", "qualname"),
    [
        ((d for d in ["float32"]), "generator"),
        ({"float32"}, "set"),
        (type("Dtypes", (list,), {})(["float32", "float32"]), "Dtypes"),
        ("float32", "str"),
        (np.array(["float32"]), "ndarray"),
    ],
)
def test_output_dtypes_must_be_a_list_or_tuple(output_dtypes, qualname):
    b = core.GraphBuilder()
    x = b.append_input_node([], "float32")
    with pytest.raises(TypeError) as info:
        b.append_node("demo.op", [x], {}, [], "float32", num_outputs=2, output_shapes=[[], []],
                      output_dtypes=output_dtypes)
    assert info.value.args[0].endswith(f"got {qualname}")
    assert info.value.args[0].startswith("output_dtypes must be a list or tuple of dtype descriptors; got ")


def test_finished_state_and_order_of_checks():
    b = core.GraphBuilder()
    x = b.append_input_node([], "float32")
    b.append_output(x)
    b.finish()
    for call in [
        lambda: b.append_input_node([], "float32"),
        lambda: b.append_constant(b"\x01", [], "bool", kind="scalar"),
        lambda: b.append_node("demo.op", [x], {}, [], "float32"),
        lambda: b.append_output(x),
        lambda: b.append_output(12345),
        b.finish,
    ]:
        with pytest.raises(RuntimeError) as info:
            call()
        assert info.value.args == (FINISHED,)
    # Argument errors come first, except for append_output.
    with pytest.raises(TypeError):
        b.append_input_node([], None)
    with pytest.raises(ValueError):
        b.append_node("", [], {}, [], "float32")
    with pytest.raises(ValueError):
        b.append_constant(b"\x01", [], "bool", kind="nope")
    with pytest.raises(TypeError):
        b.append_output("0")


def test_append_output_checks_the_node_and_keeps_repeats():
    b = core.GraphBuilder()
    with pytest.raises(ValueError) as info:
        b.append_output(0)
    assert info.value.args == ("node does not exist at node %0",)
    x = b.append_input_node([], "float32")
    assert b.append_output(x) is None
    b.append_output(x)
    store = b.finish()[0]
    assert store.node_ids() == [0] and store.inputs == [0] and store.outputs == [0, 0]
    assert repr(store) == 'GraphStore(nodes=1, inputs=[0], outputs=[0, 0], array_api="2024.12")'


def test_no_reference_is_leaked_by_appends_and_failures():
    b = core.GraphBuilder()
    attrs = {"k": [1, 2.5, "s"]}
    shape = [2, 3]
    name = "some name"
    refs = [sys.getrefcount(o) for o in (attrs, attrs["k"], shape, name)]
    for _ in range(50):
        x = b.append_input_node(shape, "float32", name=name)
        b.append_node("demo.op", [x], attrs, shape, "float32", name=name)
        with pytest.raises(TypeError):
            b.append_node("demo.op", [x], {**attrs, "bad": {1}}, shape, "float32")
        with pytest.raises(ValueError):
            b.append_node("demo.op", [x, 10**6], attrs, shape, "float32")
    gc.collect()
    assert [sys.getrefcount(o) for o in (attrs, attrs["k"], shape, name)] == refs
    b.finish()
    gone = weakref.ref(b)
    del b
    gc.collect()
    assert gone() is None


@pytest.mark.serial
def test_two_threads_never_interleave_on_one_builder():
    b = core.GraphBuilder()
    x = b.append_input_node([], "float32")
    entered = threading.Event()
    release = threading.Event()
    errors = []

    class Slow:
        __module__ = "numpy"

        @property
        def name(self):
            entered.set()
            release.wait(10)
            return "float32"

    def first():
        b.append_node("demo.op", [x], {}, [], Slow())

    def second():
        entered.wait(10)
        try:
            b.append_output(x)
        except RuntimeError as exc:
            errors.append(str(exc))
        finally:
            release.set()

    threads = [threading.Thread(target=first), threading.Thread(target=second)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == ["Already borrowed"]
    b.append_output(1)
    assert b.finish()[0].node_count == 2


def test_real_graph_round_trips_through_json():
    b = core.GraphBuilder()
    x = b.append_input_node([4, 3], np.dtype("float32"), name="x")
    w, _ = b.append_constant(np.arange(12, dtype="<f4").tobytes(), [3, 4], np.float32, kind="array")
    t = b.append_node("array.transpose", [x], {"axes": (1, 0)}, [3, 4], np.float32)
    t2 = b.append_node("array.transpose", [t], {"axes": [1, 0]}, [4, 3], np.float32)
    m = b.append_node("array.matmul", [t2, w], {"precision": None}, [4, 4], "float32")
    b.append_output(m)
    store, node_map, report, snapshot = b.finish()
    assert len(node_map) == 5 and len(snapshot) == 5
    text = store._to_json()
    back = core.deserialize_graph_json(text)
    assert back._to_json() == text
    for i in store.node_ids():
        a, c = store.get_node(i), back.get_node(i)
        assert (a.op, a.inputs, a.attrs, a.shape, a.dtype, a.name) == (c.op, c.inputs, c.attrs, c.shape, c.dtype,
                                                                      c.name)
    assert back._constant_parts(node_map[w]) == store._constant_parts(node_map[w])


class Boom(Exception):
    pass


class HostileSequence:
    """A sequence whose protocol methods raise."""

    def __init__(self, fail):
        self.fail = fail

    def __len__(self):
        if self.fail == "len":
            raise Boom("len")
        return 1

    def __getitem__(self, i):
        if self.fail == "getitem":
            raise Boom("getitem")
        if i >= 1:
            raise IndexError(i)
        return 0



class HostileIterable(HostileSequence):
    def __iter__(self):
        raise Boom("iter")


class HostileInt(int):
    def __index__(self):
        raise Boom("index")

    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = None


@pytest.mark.parametrize("fail", ["len", "getitem", "iter"])
@pytest.mark.parametrize("argument", ["inputs", "shape", "output_shapes"])
def test_hostile_sequences_raise_their_own_error(fail, argument):
    b = core.GraphBuilder()
    x = b.append_input_node([], "float32")
    kwargs = dict(op="demo.op", inputs=[x], attrs={}, shape=[], dtype="float32")
    hostile = HostileIterable(fail) if fail == "iter" else HostileSequence(fail)
    if argument == "output_shapes":
        kwargs.update(num_outputs=2, output_shapes=[hostile, []], output_dtypes=["float32"] * 2)
    else:
        kwargs[argument] = hostile
    with pytest.raises(Boom):
        b.append_node(**kwargs)
    b.append_output(x)
    assert b.finish()[0].node_count == 1


def test_int_subclasses_with_hostile_methods_are_read_by_value():
    b = core.GraphBuilder()
    x = b.append_input_node([HostileInt(2)], "float32")
    y = b.append_node("demo.op", [HostileInt(x)], {}, [HostileInt(2)], "float32", schema_version=HostileInt(2))
    b.append_output(HostileInt(y))
    node = b.finish()[0].get_node(1)
    assert (node.inputs, node.shape, node.schema_version) == ([0], [2], 2)
    with pytest.raises(TypeError):
        core.GraphBuilder().append_node("demo.op", [], {"n": HostileInt(1)}, [], "float32")


def test_an_operation_named_again_keeps_its_schema_version_check_and_attributes():
    b = core.GraphBuilder()
    x = b.append_input_node([], "float32")
    op = "demo.op"
    attrs = [{"k": 1}, {"k": 2**40}, {"k": "\u2603"}, {"k": [1]}, {}]
    ids = [b.append_node(op, [x], a, [], "float32") for a in attrs]
    with pytest.raises(ValueError, match="already schema version 1, not 2"):
        b.append_node(op, [x], {}, [], "float32", schema_version=2)
    ids.append(b.append_node(op, [x], {"k": 0}, [], "float32", schema_version=HostileInt(1)))
    ids.append(b.append_node("".join(["demo", ".op"]), [x], {"k": 1.5}, [], "float32"))
    for i in ids:
        b.append_output(i)
    store = b.finish()[0]
    nodes = [store.get_node(i) for i in range(1, 8)]
    assert {(n.op, n.schema_version) for n in nodes} == {(op, 1)}
    assert [n.attrs for n in nodes] == attrs + [{"k": 0}, {"k": 1.5}]
