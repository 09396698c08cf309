#!/usr/bin/env python3
"""Fuzzes attribute conversion both ways through the module: a tree built
from the input goes into GraphBuilder.append_node, and what comes back out
of GraphNode.attrs (directly, and after a JSON round trip of the store) must
equal a reference model of the conversion; a tree the model refuses must be
refused with the model's exception type (and, for plain keys, its message).

Run: python fuzz_attrs.py [corpus_dir] [libFuzzer flags]"""

import collections
import enum
import math
import sys

import atheris
import fuzz_support

import vorlix._native_core as core

UNSUPPORTED = "; expected None, bool, int64, float, str, bytes, list/tuple, or a string-keyed dict"
INT64 = (-(2**63), 2**63 - 1)
ARTIFACT_DEPTH = 55
SPECIAL_FLOATS = [0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, 1.7976931348623157e308]


class Small(enum.IntEnum):
    one = 1


class Text(str):
    pass


Pair = collections.namedtuple("Pair", "a b")


def odd_value(fdp):
    """A value of a type the conversion must refuse by exact type."""
    return [Small.one, Text("x"), Pair(1, 2), collections.OrderedDict(a=1), bytearray(b"x"), memoryview(b"x"),
            1j, {1, 2}, frozenset(), object(), type, range(2)][fdp.ConsumeIntInRange(0, 11)]


class Builder:
    """Builds an attribute tree from the input, keeping earlier containers so
    that a later one can share or contain them."""

    def __init__(self, fdp):
        self.fdp = fdp
        self.containers = []
        self.budget = 200

    def key(self):
        fdp = self.fdp
        choice = fdp.ConsumeIntInRange(0, 39)
        if choice == 0:
            return fdp.ConsumeIntInRange(-3, 3)  # not a str
        if choice == 1:
            return fdp.ConsumeUnicodeNoSurrogates(4) + "\"\\\n\t\x00\u0301"[fdp.ConsumeIntInRange(0, 5)]
        if choice == 2:
            return fdp.ConsumeUnicode(3)  # may hold lone surrogates
        if choice == 3:
            return Text("k")
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 6))

    def value(self, depth=0):
        fdp = self.fdp
        self.budget -= 1
        leaf_only = depth > 12 or self.budget <= 0 or fdp.remaining_bytes() == 0
        choice = fdp.ConsumeIntInRange(0, 8 if leaf_only else 17)
        if choice == 0:
            return None
        if choice == 1:
            return fdp.ConsumeBool()
        if choice == 2:
            return fdp.ConsumeIntInRange(-1000, 1000)
        if choice == 3:
            return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 10))  # up to 80 bits: over- and underflow
        if choice == 4:
            return fdp.ConsumeRegularFloat() if fdp.ConsumeBool() else fdp.PickValueInList(SPECIAL_FLOATS)
        if choice == 5:
            return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12))
        if choice == 6:
            return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 12))
        if choice == 7:
            return odd_value(fdp) if fdp.ConsumeIntInRange(0, 7) == 0 else fdp.ConsumeUnicodeNoSurrogates(4)
        if choice == 8:
            return int(fdp.ConsumeBool()) if leaf_only else (None,)
        if choice in (9, 10):
            items = [self.value(depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
            container = items if choice == 9 else tuple(items)
        elif choice == 11:
            container = {}
            for _ in range(fdp.ConsumeIntInRange(0, 4)):
                container[self.key()] = self.value(depth + 1)
        elif choice == 12 and self.containers:
            return fdp.PickValueInList(self.containers)  # shared, not cyclic
        elif choice == 13 and self.containers and fdp.ConsumeIntInRange(0, 3) == 0:
            # A cycle: an open list or dict made to contain itself.
            target = fdp.PickValueInList(self.containers)
            if type(target) is list:
                target.append(target)
            elif type(target) is dict:
                target["loop"] = target
            return target
        elif choice == 14 and fdp.ConsumeIntInRange(0, 7) == 0:
            # A deep chain of single-element containers.
            container = None
            for _ in range(fdp.ConsumeIntInRange(1, 20000)):
                container = [container] if fdp.ConsumeProbability() < 0.7 else {"d": container}
            return container
        elif choice == 15 and fdp.ConsumeIntInRange(0, 3) == 0:
            return odd_value(fdp)
        else:
            return fdp.ConsumeIntInRange(-(2**63), 2**63 - 1)
        self.containers.append(container)
        return container


class Refused(Exception):
    def __init__(self, kind, message):
        super().__init__(message)
        self.kind = kind
        self.message = message  # None where the model does not pin it


class Frame:
    __slots__ = ("obj", "where", "sink", "items", "keys", "entered", "out")

    def __init__(self, obj, where, sink, items, keys, entered):
        self.obj, self.where, self.sink, self.items, self.keys, self.entered = obj, where, sink, items, keys, entered
        self.out = []


def utf8(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise Refused(UnicodeEncodeError, None) from None


def model(value, path, top=False):
    """What the conversion must produce from `value`: the same tree with
    dicts in key-byte order, or Refused. Walks in the conversion's order
    (depth first, index and insertion order) so the first refusal matches;
    iterative, since trees may be deeper than Python's recursion limit."""
    active, stack, root = set(), [], []

    def start(obj, where, sink, is_top=False):
        kind = type(obj)
        if obj is None or kind in (bool, float, bytes):
            sink.append(obj)
        elif kind is str:
            utf8(obj)
            sink.append(obj)
        elif kind is int:
            if not INT64[0] <= obj <= INT64[1]:
                raise Refused(OverflowError, f"graph attribute integer at {where} must fit in a signed 64-bit value")
            sink.append(obj)
        elif kind in (list, tuple, dict):
            entered = not (is_top and kind is dict)
            if entered:
                if id(obj) in active:
                    raise Refused(TypeError, f"recursive graph attribute container at {where} is not supported")
                active.add(id(obj))
            items = iter(list(obj.items())) if kind is dict else iter(enumerate(obj))
            stack.append(Frame(obj, where, sink, items, [] if kind is dict else None, entered))
        else:
            raise Refused(TypeError, f"unsupported graph attribute value at {where}: {kind.__qualname__}{UNSUPPORTED}")

    start(value, path, root, is_top=top)
    while stack:
        frame = stack[-1]
        step = next(frame.items, None)
        if step is None:
            stack.pop()
            if frame.entered:
                active.discard(id(frame.obj))
            if frame.keys is None:
                frame.sink.append(frame.out if type(frame.obj) is list else tuple(frame.out))
            else:
                pairs = dict(zip(frame.keys, frame.out))
                frame.sink.append({k: pairs[k] for k in sorted(pairs, key=lambda k: k.encode("utf-8"))})
        elif frame.keys is None:
            index, child = step
            start(child, f"{frame.where}[{index}]", frame.out)
        else:
            key, child = step
            if type(key) is not str:
                raise Refused(TypeError, f"graph attribute mapping at {frame.where} requires string keys; got "
                                         f"{type(key).__qualname__}")
            utf8(key)
            frame.keys.append(key)
            start(child, f"{frame.where}[{fuzz_support.quote(key)}]", frame.out)
    return root[0]


def depth(tree):
    deepest, pending = 0, [(tree, 1)]
    while pending:
        value, level = pending.pop()
        deepest = max(deepest, level)
        if type(value) in (list, tuple):
            pending.extend((v, level + 1) for v in value)
        elif type(value) is dict:
            pending.extend((v, level + 1) for v in value.values())
    return deepest


def same(a, b):
    """Equality that tells bool from int, list from tuple, -0.0 from 0.0 and
    matches NaN with NaN, without recursion."""
    pending = [(a, b)]
    while pending:
        x, y = pending.pop()
        if type(x) is not type(y):
            return False
        if type(x) is float:
            if not (x == y and math.copysign(1, x) == math.copysign(1, y) or math.isnan(x) and math.isnan(y)):
                return False
        elif type(x) in (list, tuple):
            if len(x) != len(y):
                return False
            pending.extend(zip(x, y))
        elif type(x) is dict:
            if list(x) != list(y):
                return False
            pending.extend((x[k], y[k]) for k in x)
        elif x != y:
            return False
    return True


def plain_keys(tree_path):
    return all(ch.isascii() and ch.isprintable() for ch in tree_path)


def check(attrs):
    builder = core.GraphBuilder()
    x = builder.append_input_node([1], "float64")
    try:
        expected = model(attrs, "attrs", top=True)
    except Refused as refusal:
        expected = refusal
    try:
        node = builder.append_node("fuzz.op", [x], attrs, [1], "float64")
    except Exception as error:  # noqa: BLE001 - compared with the model below
        if not isinstance(expected, Refused):
            raise AssertionError(f"conversion refused a valid tree: {error!r}") from error
        if type(error) is not expected.kind:
            raise AssertionError(f"expected {expected.kind.__name__}, got {error!r}") from error
        if expected.message is not None and plain_keys(expected.message) and str(error) != expected.message:
            raise AssertionError(f"message {str(error)!r} != {expected.message!r}") from error
        return
    if isinstance(expected, Refused):
        raise AssertionError(f"conversion accepted a tree the model refuses ({expected.kind.__name__}: "
                             f"{expected.message})")
    builder.append_output(node)
    store, node_map, _, _ = builder.finish()
    got = store.get_node(node_map[node]).attrs
    if not same(got, expected):
        raise AssertionError("attrs came back changed")
    try:
        reread = core.deserialize_graph_json(store._to_json())
    except ValueError as error:
        # The artifact nests at most 127 JSON levels; each attribute level
        # takes two of them.
        if depth(expected) > ARTIFACT_DEPTH and "recursion limit exceeded" in str(error):
            return
        raise
    if not same(reread.get_node(node_map[node]).attrs, expected):
        raise AssertionError("attrs changed through the JSON artifact")


def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    tree = {}
    builder = Builder(fdp)
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        tree[builder.key()] = builder.value()
    if fdp.ConsumeIntInRange(0, 15) == 0:
        tree["self"] = tree
    check(tree)


if __name__ == "__main__":
    sys.setrecursionlimit(10000)
    fuzz_support.run(globals())
