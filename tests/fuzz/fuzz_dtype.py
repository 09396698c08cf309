#!/usr/bin/env python3
"""Fuzzes dtype resolution through the module: strings, built-in and
made-up classes, and instances that pose as array-namespace dtypes (with
attributes of any type, or raising) go into GraphBuilder.append_input_node;
the dtype read back from the node (and from the re-read JSON artifact) must
be what a reference model of the resolution gives, and a refusal must carry
the model's exception type and message. The builder's identity cache is
exercised by resolving some objects twice with their attributes changed.

Run: python fuzz_dtype.py [corpus_dir] [libFuzzer flags]"""

import sys

import atheris
import fuzz_support

import vorlix._native_core as core

# The Unicode White_Space property: what a dtype name is trimmed of.
WHITE_SPACE = set("\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000") | {
    chr(c) for c in range(0x2000, 0x200B)}
PREFIXES = ("array_api_strict.", "cupy.", "numpy.")
NAMESPACES = ("array_api_strict", "cupy", "numpy")
MODULES = ["numpy", "numpy.dtypes", "cupy", "cupy._core", "array_api_strict", "array_api_strict._dtypes",
           "numpyx", "mynumpy", "builtins", "jax.numpy", 'odd "module"\\x']
PIECES = [" ", "\t", "\u3000", "\x1c", "\x00", "numpy.", "cupy.", "array_api_strict.", "float32", "int", ".",
          "float", ">f4", "<i8", "complex", "bool_", "é", "\u2028"]
UNSUPPORTED = ("unsupported dtype object {} from module {}; pass a dtype string, a built-in numeric type, "
               "or a supported array-backend dtype")


class Boom(Exception):
    """Raised by attributes that fail on purpose; must pass through."""


class Text(str):
    pass


class Refused(Exception):
    def __init__(self, kind, message=None):
        super().__init__(message)
        self.kind, self.message = kind, message


def text_of(value):
    if not isinstance(value, str):
        raise Refused(TypeError)
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise Refused(UnicodeEncodeError) from None
    return str(value)


def trim(text):
    start, end = 0, len(text)
    while start < end and text[start] in WHITE_SPACE:
        start += 1
    while end > start and text[end - 1] in WHITE_SPACE:
        end -= 1
    return text[start:end]


def from_name(text):
    name = trim(text)
    for prefix in PREFIXES:
        if name.startswith(prefix):
            rest = name[len(prefix):]
            if rest and "." not in rest:
                # White space behind the prefix goes too, so the name reads
                # back unchanged from an artifact.
                name = trim(rest)
            break
    if not name:
        raise Refused(ValueError, "dtype descriptor must not be empty")
    if "\x00" in name:
        raise Refused(ValueError, "dtype descriptor must not contain NUL characters")
    return name


def is_namespace(module):
    return any(module == n or module.startswith(n + ".") for n in NAMESPACES)


def unsupported(kind, module):
    return Refused(TypeError, UNSUPPORTED.format(kind.__qualname__, fuzz_support.quote(module)))


def lookup(obj, attribute):
    """(found, value): a failed lookup of any ordinary exception is not found."""
    try:
        return True, getattr(obj, attribute)
    except Exception:  # noqa: BLE001 - the resolution discards these
        return False, None


def model(obj):
    """The name the resolution must give `obj`, or Refused."""
    if type(obj) is str:
        return from_name(text_of(obj))
    if isinstance(obj, type):
        try:
            module, name = text_of(obj.__module__), text_of(obj.__name__)
        except Boom:
            raise Refused(Boom) from None
        if module == "builtins" and name in ("bool", "int", "float", "complex"):
            return from_name(name)
        if is_namespace(module):
            return from_name(name)
        raise unsupported(type(obj), module)
    module = text_of(type(obj).__module__)
    if not is_namespace(module):
        raise unsupported(type(obj), module)
    if module == "numpy" or module.startswith("numpy."):
        found, name = lookup(obj, "name")
        if found and isinstance(name, str):
            name = text_of(name)
            found, order = lookup(obj, "byteorder")
            if not found or not isinstance(order, str):
                return from_name(name)
            order = text_of(order)
            if order in ("<", ">"):
                try:
                    native = bool(obj.isnative)
                except Boom:
                    raise Refused(Boom) from None
                except AttributeError:
                    raise Refused(AttributeError) from None
                if native:
                    return from_name(name)
                found, qualified = lookup(obj, "str")
                if not found or not isinstance(qualified, str):
                    return from_name(name)
                return from_name(text_of(qualified))
            return from_name(name)
    found, name = lookup(obj, "name")
    if found and isinstance(name, str):
        return from_name(text_of(name))
    try:
        return from_name(text_of(str(obj)))
    except Boom:
        raise Refused(Boom) from None


def raising(_self):
    raise Boom("attribute failed on purpose")


class Maker:
    def __init__(self, fdp):
        self.fdp = fdp

    def text(self):
        fdp = self.fdp
        if fdp.ConsumeBool():
            return "".join(fdp.PickValueInList(PIECES) for _ in range(fdp.ConsumeIntInRange(0, 4)))
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 10))

    def attribute(self):
        """A class-body entry for one attribute: text, a non-text, or a raising property."""
        fdp = self.fdp
        choice = fdp.ConsumeIntInRange(0, 5)
        if choice <= 2:
            return self.text()
        if choice == 3:
            return Text(self.text())
        if choice == 4:
            return fdp.ConsumeIntInRange(-2, 2)
        return property(raising)

    def dtype(self):
        fdp = self.fdp
        choice = fdp.ConsumeIntInRange(0, 6)
        if choice == 0:
            return self.text()
        if choice == 1:
            return Text(self.text())
        if choice == 2:
            return fdp.PickValueInList([bool, int, float, complex, str, bytes, object, type, None, 1.5])
        module = self.text() if fdp.ConsumeIntInRange(0, 5) == 0 else fdp.PickValueInList(MODULES)
        if choice == 3:
            body = {"__module__": module if fdp.ConsumeIntInRange(0, 7) else fdp.ConsumeIntInRange(0, 3)}
            try:
                return type(self.text().replace("\x00", "") or "t", (), body)
            except (ValueError, UnicodeEncodeError):
                return float
        body = {"__module__": module}
        for attribute in ("name", "byteorder", "str"):
            if fdp.ConsumeBool():
                body[attribute] = self.attribute()
        if fdp.ConsumeBool():
            isnative = fdp.ConsumeIntInRange(0, 3)
            body["isnative"] = property(raising) if isnative == 3 else bool(isnative)
        shown = self.text()
        body["__str__"] = raising if fdp.ConsumeIntInRange(0, 5) == 0 else (lambda _self: shown)
        return type("FuzzDType", (), body)()


def resolve(builder, obj, want, expected):
    """Resolve `obj` through append_input_node and compare with `want`."""
    try:
        node = builder.append_input_node([], obj)
    except Exception as error:  # noqa: BLE001 - compared with the model below
        if not isinstance(want, Refused) or type(error) is not want.kind:
            raise AssertionError(f"{obj!r}: model {want!r}, module raised {error!r}") from error
        pinned = want.message is not None and want.message.isascii() and want.message.isprintable()
        if pinned and str(error) != want.message:
            raise AssertionError(f"message {str(error)!r} != {want.message!r}") from error
        return False
    if isinstance(want, Refused):
        raise AssertionError(f"{obj!r}: accepted, the model refuses it with {want.kind.__name__}")
    expected[node] = want
    return True


def expect(obj):
    try:
        return model(obj)
    except Refused as refusal:
        return refusal


def resolve_each(fdp):
    maker = Maker(fdp)
    builder = core.GraphBuilder()
    expected = {}
    for _ in range(fdp.ConsumeIntInRange(1, 6)):
        obj = maker.dtype()
        want = expect(obj)
        resolved = resolve(builder, obj, want, expected)
        if not fdp.ConsumeBool():
            continue
        if resolved and not isinstance(obj, (str, type)):
            # Cached by identity: a changed object still resolves as before.
            type(obj).name = maker.text()
            resolve(builder, obj, want, expected)
        else:
            # Strings are never cached and failures are retried: same outcome.
            resolve(builder, obj, expect(obj), expected)
    for node in expected:
        builder.append_output(node)
    store, node_map, _, _ = builder.finish()
    reread = core.deserialize_graph_json(store._to_json())
    for node, name in expected.items():
        # The reader builds each descriptor from the written name again; that
        # must give the same name (test_fuzz_findings.py pins a past finding).
        for source, want in ((store, name), (reread, name)):
            got = source.get_node(node_map[node]).dtype
            if got != want:
                raise AssertionError(f"node {node}: dtype {got!r}, expected {want!r}")


def one_input(data):
    resolve_each(atheris.FuzzedDataProvider(data))


if __name__ == "__main__":
    fuzz_support.run(globals())
