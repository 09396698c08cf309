"""Dtype resolution through GraphBuilder, against real NumPy and array_api_strict and against fakes."""

import gc
import sys
import weakref

import numpy as np
import pytest

try:
    import array_api_strict as xp
except ModuleNotFoundError:  # not packaged for every interpreter the suite runs on
    xp = None

import vorlix._native_core as core

SUFFIX = "; pass a dtype string, a built-in numeric type, or a supported array-backend dtype"


def resolved(dtype, builder=None):
    """The descriptor name stored for `dtype`, as GraphNode.dtype reads it back."""
    builder = builder or core.GraphBuilder()
    node = builder.append_input_node([], dtype)
    return node, builder


def names_of(*dtypes):
    builder = core.GraphBuilder()
    for dtype in dtypes:
        builder.append_input_node([], dtype)
    store = builder.finish()[0]
    return [store.get_node(i).dtype for i in store.node_ids()]


def fake_dtype(module, **attrs):
    cls = type("FakeDType", (), {"__module__": module, **attrs})
    return cls()


@pytest.mark.parametrize(
    ("dtype", "name"),
    [
        ("float32", "float32"),
        (" numpy.float32 ", "float32"),
        ("float", "float"),
        (float, "float"),
        (bool, "bool"),
        (int, "int"),
        (complex, "complex"),
        (np.float64, "float64"),
        (np.dtype("float64"), "float64"),
        (np.dtype("int16"), "int16"),
        (np.dtype(">f4"), ">f4"),
        (np.dtype("<f4"), "float32"),
        (np.dtype("bool"), "bool"),
        (np.float32(1.0), "1.0"),
        *[pytest.param(getattr(xp, name, None), name, id=f"array_api_strict.{name}",
                       marks=pytest.mark.skipif(xp is None, reason="array_api_strict is not installed"))
          for name in ("float32", "int64", "bool")],
        (np.dtypes.Float32DType, "Float32DType"),
    ],
)
def test_real_namespaces_and_builtin_types_resolve(dtype, name):
    assert names_of(dtype) == [name]


def test_numpy_dtype_object_and_scalar_type_give_the_same_name():
    assert names_of(np.dtype("float64"), np.float64, "float64") == ["float64"] * 3


@pytest.mark.parametrize(
    ("dtype", "qualname", "module"),
    [
        (str, "type", "builtins"),
        (None, "NoneType", "builtins"),
        (object, "type", "builtins"),
        (3, "int", "builtins"),
        (type("Local", (), {"__module__": "mynumpy"}), "type", "mynumpy"),
        (fake_dtype("numpyx", name="float32"), "FakeDType", "numpyx"),
        (fake_dtype('we"ird\n'), "FakeDType", r"we\"ird\n"),
    ],
)
def test_unsupported_dtypes_name_type_and_module(dtype, qualname, module):
    with pytest.raises(TypeError) as info:
        resolved(dtype)
    assert str(info.value) == f'unsupported dtype object {qualname} from module "{module}"{SUFFIX}'


def test_str_subclass_is_not_a_dtype_string():
    class Name(str):
        pass

    with pytest.raises(TypeError) as info:
        resolved(Name("float32"))
    assert str(info.value) == (
        "unsupported dtype object test_str_subclass_is_not_a_dtype_string.<locals>.Name "
        f'from module "{__name__}"{SUFFIX}'
    )


@pytest.mark.parametrize("text", ["", "   ", "a\x00b"])
def test_refused_texts_raise_value_error(text):
    with pytest.raises(ValueError):
        resolved(text)
    with pytest.raises(ValueError):
        resolved(fake_dtype("array_api_strict._dtypes", name=text))


@pytest.mark.parametrize(
    ("attrs", "name"),
    [
        ({"name": "float32", "byteorder": "="}, "float32"),
        ({"name": "float32", "byteorder": "|"}, "float32"),
        ({"name": "float32", "byteorder": "<<"}, "float32"),
        ({"name": "float32", "byteorder": "<", "isnative": True}, "float32"),
        ({"name": "float32", "byteorder": ">", "isnative": False, "str": ">f4"}, ">f4"),
        ({"name": "float32", "byteorder": ">", "isnative": 0, "str": 7}, "float32"),
        ({"name": "float32", "byteorder": ">", "isnative": False}, "float32"),
        ({"name": "float32", "byteorder": 5}, "float32"),
        ({"name": "float32"}, "float32"),
        ({"name": 3, "__str__": lambda self: "int8"}, "int8"),
        ({"__str__": lambda self: "uint8"}, "uint8"),
    ],
)
def test_numpy_route_reads_name_byteorder_isnative_and_str(attrs, name):
    assert names_of(fake_dtype("numpy.fake", **attrs)) == [name]


def test_generic_namespace_route_uses_name_then_str():
    assert names_of(
        fake_dtype("array_api_strict._dtypes", name="float16"),
        fake_dtype("cupy", __str__=lambda self: "complex64"),
        fake_dtype("cupy._core", name=b"x", __str__=lambda self: "int32"),
    ) == ["float16", "complex64", "int32"]


def raising_property(exc):
    def get(self):
        # The parametrized instance is raised on every run; a fresh traceback
        # each time keeps it from growing, run after run.
        raise exc.with_traceback(None)

    return property(get)


@pytest.mark.parametrize(
    ("attrs", "expected"),
    [
        ({"name": "f", "byteorder": ">", "isnative": raising_property(LookupError("isnative"))}, LookupError),
        ({"name": "f", "byteorder": ">", "isnative": type("B", (), {"__bool__": lambda s: 1 / 0})()},
         ZeroDivisionError),
        ({"__str__": lambda self: 1 / 0}, ZeroDivisionError),
        ({"name": raising_property(KeyboardInterrupt())}, KeyboardInterrupt),
        ({"name": "f", "byteorder": raising_property(MemoryError())}, MemoryError),
    ],
)
def test_attribute_failures_that_pass_through(attrs, expected):
    builder = core.GraphBuilder()
    with pytest.raises(expected):
        builder.append_input_node([], fake_dtype("numpy", **attrs))
    assert builder.finish()[0].node_count == 0


def test_failing_lookups_of_name_and_byteorder_are_discarded():
    assert names_of(
        fake_dtype("numpy", name=raising_property(AttributeError()), __str__=lambda self: "int8"),
        fake_dtype("numpy", name="int16", byteorder=raising_property(ValueError())),
        fake_dtype("numpy", name="int32", byteorder=">", isnative=False, str=raising_property(KeyError())),
    ) == ["int8", "int16", "int32"]


def test_class_and_type_module_must_be_strings():
    meta = type("Meta", (type,), {"__module__": "numpy"})
    cls = meta("C", (), {})
    cls.__module__ = 5
    with pytest.raises(TypeError):
        resolved(cls)

    class Unnamed(type):
        @property
        def __name__(cls):
            raise LookupError("no name")

    with pytest.raises(LookupError):
        resolved(Unnamed("C", (), {"__module__": "numpy"}))


def test_cache_resolves_an_object_once_and_holds_it():
    dtype = fake_dtype("numpy", name="float32")
    builder = core.GraphBuilder()
    builder.append_input_node([], dtype)
    type(dtype).name = "int8"
    builder.append_input_node([], dtype)
    refs = sys.getrefcount(dtype)
    builder.append_input_node([], dtype)
    assert sys.getrefcount(dtype) == refs
    store = builder.finish()[0]
    assert [store.get_node(i).dtype for i in range(3)] == ["float32"] * 3
    # The cache outlives finish and still holds the object until the builder goes.
    alive = weakref.ref(dtype)
    del dtype
    gc.collect()
    assert alive() is not None
    del builder
    gc.collect()
    assert alive() is None


def test_strings_are_never_cached_and_failures_are_retried():
    calls = []

    class Flaky:
        __module__ = "cupy"

        @property
        def name(self):
            calls.append(1)
            if len(calls) == 1:
                return ""
            return "float64"

    flaky = Flaky()
    builder = core.GraphBuilder()
    text = "float32"
    refs = sys.getrefcount(text)
    builder.append_input_node([], text)
    assert sys.getrefcount(text) == refs
    with pytest.raises(ValueError):
        builder.append_input_node([], flaky)
    builder.append_input_node([], flaky)
    builder.append_input_node([], flaky)
    assert len(calls) == 2
    store = builder.finish()[0]
    assert [store.get_node(i).dtype for i in store.node_ids()] == ["float32", "float64", "float64"]


def test_a_cycle_through_the_cache_is_collected():
    builder = core.GraphBuilder()
    dtype = fake_dtype("numpy", name="float32")
    type(dtype).owner = builder
    builder.append_input_node([], dtype)
    gone = weakref.ref(builder)
    del builder, dtype
    gc.collect()
    assert gone() is None


def test_reentrant_use_from_dtype_resolution_is_refused():
    builder = core.GraphBuilder()
    seen = []

    class Sneaky:
        __module__ = "numpy"

        @property
        def name(self):
            try:
                builder.append_input_node([], "float32")
            except RuntimeError as exc:
                seen.append(str(exc))
            return "float32"

    builder.append_input_node([], Sneaky())
    assert seen == ["Already borrowed"]
    assert builder.finish()[0].node_count == 1
