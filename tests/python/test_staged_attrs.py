"""Attribute conversion through GraphBuilder.append_node and GraphNode.attrs."""

import collections
import enum
import gc
import math
import sys

import pytest

import vorlix._native_core as core

UNSUPPORTED = (
    "; expected None, bool, int64, float, str, bytes, list/tuple, or a string-keyed dict"
)


def roundtrip(attrs):
    builder = core.GraphBuilder()
    x = builder.append_input_node([2], "float32")
    node = builder.append_node("demo.op", [x], attrs, [2], "float32")
    builder.append_output(node)
    store = builder.finish()[0]
    return store.get_node(1).attrs


def convert_error(attrs):
    builder = core.GraphBuilder()
    builder.append_input_node([], "float32")
    with pytest.raises(Exception) as info:
        builder.append_node("demo.op", [0], attrs, [], "float32")
    # A failed append leaves nothing behind.
    builder.append_output(0)
    store, node_map, _, _ = builder.finish()
    assert store.node_count == 1 and node_map == [0]
    return info


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (None, None),
        (True, True),
        (False, False),
        (-1, -1),
        (-(2**63), -(2**63)),
        (2**63 - 1, 2**63 - 1),
        (1.5, 1.5),
        (float("inf"), float("inf")),
        ("τ\"x", "τ\"x"),
        (b"\x00\xff", b"\x00\xff"),
        ([1, [2, "x"]], [1, [2, "x"]]),
        ((1, (2.0, None)), (1, (2.0, None))),
        ([], []),
        ((), ()),
        ({}, {}),
        ("", ""),
        (b"", b""),
        ({"z": 1, "a": {"y": [True]}}, {"a": {"y": [True]}, "z": 1}),
    ],
)
def test_values_come_back_with_their_kinds(value, expected):
    got = roundtrip({"v": value})["v"]
    assert got == expected
    assert type(got) is type(expected)
    if isinstance(expected, (list, tuple)) and expected:
        assert type(got[-1]) is type(expected[-1])


def test_bool_is_not_an_integer_and_nan_survives():
    attrs = roundtrip({"flag": True, "one": 1, "nan": float("nan"), "neg": -0.0})
    assert attrs["flag"] is True and type(attrs["one"]) is int
    assert math.isnan(attrs["nan"])
    assert math.copysign(1.0, attrs["neg"]) == -1.0


def test_keys_come_back_in_byte_order_and_every_access_is_fresh():
    builder = core.GraphBuilder()
    builder.append_input_node([], "float32")
    builder.append_node("demo.op", [0], {"b": 1, "a": [2], "\u00e9": 3, "Z": 4}, [], "float32")
    builder.append_output(1)
    node = builder.finish()[0].get_node(1)
    first = node.attrs
    assert list(first) == ["Z", "a", "b", "\u00e9"]
    second = node.attrs
    assert first == second and first is not second and first["a"] is not second["a"]
    first["a"].append(9)
    assert node.attrs["a"] == [2]


class Color(enum.IntEnum):
    RED = 1


class Text(str):
    pass


Point = collections.namedtuple("Point", "x y")


@pytest.mark.parametrize(
    ("value", "qualname"),
    [
        (Color.RED, "Color"),
        (collections.OrderedDict(), "OrderedDict"),
        (Point(1, 2), "Point"),
        (Text("x"), "Text"),
        (bytearray(b"x"), "bytearray"),
        (memoryview(b"x"), "memoryview"),
        (1j, "complex"),
        (object(), "object"),
        ({1, 2}, "set"),
    ],
)
def test_subclasses_and_other_types_are_refused_by_qualified_name(value, qualname):
    info = convert_error({"axes": [0, value]})
    assert info.type is TypeError
    assert str(info.value) == f'unsupported graph attribute value at attrs["axes"][1]: {qualname}{UNSUPPORTED}'


def test_nested_class_reports_its_qualified_name():
    class Outer:
        class Inner:
            pass

    info = convert_error({"k": Outer.Inner()})
    assert str(info.value).startswith(
        'unsupported graph attribute value at attrs["k"]: '
        "test_nested_class_reports_its_qualified_name.<locals>.Outer.Inner;"
    )


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 10**40])
def test_integers_beyond_64_bits_overflow(value):
    info = convert_error({"n": value})
    assert info.type is OverflowError
    assert str(info.value) == 'graph attribute integer at attrs["n"] must fit in a signed 64-bit value'


def test_non_string_keys_are_refused_with_the_mapping_path():
    info = convert_error({"opts": {1: "x"}})
    assert info.type is TypeError
    assert str(info.value) == 'graph attribute mapping at attrs["opts"] requires string keys; got int'
    info = convert_error({Text("k"): 1})
    assert str(info.value) == "graph attribute mapping at attrs requires string keys; got Text"


@pytest.mark.parametrize(
    ("key", "rendered"),
    [
        ('say "hi"', r'"say \"hi\""'),
        ("back\\slash", r'"back\\slash"'),
        ("tab\tnl\ncr\rnul\x00", r'"tab\tnl\ncr\rnul\0"'),
        ("bell\x07", r'"bell\u{7}"'),
        ("\u0301accent", r'"\u{301}accent"'),
        ("a\u0301", '"a\u0301"'),
    ],
)
def test_keys_are_escaped_inside_paths(key, rendered):
    info = convert_error({key: [None, {1.5}]})
    assert str(info.value) == f"unsupported graph attribute value at attrs[{rendered}][1]: set{UNSUPPORTED}"


def test_containers_that_contain_themselves_are_refused_where_met_again():
    loop = [0]
    loop[0] = loop
    info = convert_error({"loop": loop})
    assert info.type is TypeError
    assert str(info.value) == 'recursive graph attribute container at attrs["loop"][0] is not supported'

    d = {}
    d["self"] = d
    info = convert_error(d)
    assert str(info.value) == 'recursive graph attribute container at attrs["self"]["self"] is not supported'

    inner = {"t": None}
    outer = (1, [inner])
    inner["t"] = outer
    info = convert_error({"x": outer})
    assert str(info.value) == 'recursive graph attribute container at attrs["x"][1][0]["t"] is not supported'


def test_shared_containers_are_converted_each_time():
    shared = [1, (2, 3)]
    attrs = roundtrip({"a": shared, "b": shared, "c": [shared, shared]})
    assert attrs == {"a": shared, "b": shared, "c": [shared, shared]}
    assert attrs["a"] is not attrs["b"]


def test_lone_surrogates_raise_the_interpreters_error():
    with pytest.raises(UnicodeEncodeError):
        roundtrip({"s": "\ud800"})
    with pytest.raises(UnicodeEncodeError):
        roundtrip({"\udc00": 1})


@pytest.mark.parametrize("kind", [list, tuple, dict])
def test_deep_trees_convert_both_ways_without_recursion(kind):
    depth = 100_000
    value = 7
    for _ in range(depth):
        value = {"k": value} if kind is dict else kind([value])
    back = roundtrip({"deep": value})["deep"]
    for _ in range(depth):
        assert type(back) is kind
        back = back["k"] if kind is dict else back[0]
    assert back == 7


def test_a_deep_failure_reports_the_full_path():
    value = [None, b"\x01", {1.5}]
    for _ in range(2000):
        value = [value]
    info = convert_error({"deep": value})
    assert str(info.value) == f'unsupported graph attribute value at attrs["deep"]{"[0]" * 2000}[2]: set{UNSUPPORTED}'


def test_failed_conversion_leaks_no_reference():
    payload = [1.5, "x"]
    bad = {"ok": payload, "bad": [payload, {2.5}]}
    before = sys.getrefcount(payload)
    for _ in range(50):
        convert_error(bad)
    gc.collect()
    assert sys.getrefcount(payload) == before


class HostileKey:
    """A key whose hash and equality mutate the dict that holds it."""

    target = None

    def __hash__(self):
        if HostileKey.target is not None:
            HostileKey.target.clear()
        return 1

    def __eq__(self, other):
        if HostileKey.target is not None:
            HostileKey.target.clear()
        raise RuntimeError("eq")


def test_dicts_with_hostile_keys_fail_cleanly():
    d = {"a": [1, 2, 3]}
    d[HostileKey()] = 1
    HostileKey.target = d
    try:
        info = convert_error(d)
    finally:
        HostileKey.target = None
    assert info.type is TypeError
    assert str(info.value) == "graph attribute mapping at attrs requires string keys; got HostileKey"


def test_dict_subclass_is_accepted_at_the_top_but_not_inside():
    attrs = roundtrip(collections.OrderedDict([("b", 1), ("a", 2)]))
    assert attrs == {"a": 2, "b": 1} and type(attrs) is dict
