"""The module's registration: names, order, attributes and class identity."""

import inspect

import pytest

import vorlix._native_core as core

EXPECTED_NAMES = [
    "__version__",
    "__build_profile__",
    "GraphNode",
    "GraphBuilder",
    "GraphStore",
    "GraphExecutionPlan",
    "DynamicTape",
    "deserialize_graph_json",
    "dynamic_jvp",
    "dynamic_jvp_many",
    "dynamic_vjp",
    "dynamic_vjp_many",
    "build_graph_execution_plan",
    "execute_graph",
]


def test_all_lists_the_fourteen_names_in_registration_order():
    assert core.__all__ == EXPECTED_NAMES
    for name in EXPECTED_NAMES:
        assert hasattr(core, name)


def test_version_profile_and_doc():
    assert core.__version__ == "0.3.1"
    assert core.__build_profile__ == "release"
    assert core.__doc__ == ""


@pytest.mark.parametrize(
    "name", ["GraphNode", "GraphBuilder", "GraphStore", "GraphExecutionPlan", "DynamicTape"]
)
def test_classes_live_in_the_package_module(name):
    cls = getattr(core, name)
    assert cls.__module__ == "vorlix._native_core"
    with pytest.raises(TypeError):
        cls.some_attribute = 1  # immutable types


@pytest.mark.parametrize(
    ("name", "parameters"),
    [
        ("dynamic_jvp", "(tape, tangent_seeds, requested_outputs, *, consume=False)"),
        ("dynamic_jvp_many", "(tape, tangent_seed_sets, requested_outputs)"),
        ("dynamic_vjp", "(tape, output_cotangents, requested_inputs, *, consume=False)"),
        ("dynamic_vjp_many", "(tape, output_cotangent_sets, requested_inputs)"),
        ("deserialize_graph_json", "(encoded)"),
        ("build_graph_execution_plan", "(store, binder)"),
        ("execute_graph", "(plan, inputs, constants, context=None)"),
    ],
)
@pytest.mark.no_leak_check  # each inspect.signature() of a builtin keeps a few blocks in 3.13
def test_function_text_signatures(name, parameters):
    assert str(inspect.signature(getattr(core, name))) == parameters


@pytest.mark.parametrize("name", ["GraphNode", "GraphStore", "GraphExecutionPlan"])
def test_handle_classes_cannot_be_instantiated(name):
    with pytest.raises(TypeError):
        getattr(core, name)()


@pytest.mark.no_leak_check  # inspect.signature(), as above
def test_tape_method_docs():
    assert core.DynamicTape.__doc__ == "Native owner for one concrete define-by-run invocation."
    assert core.DynamicTape.record_operation.__doc__.splitlines() == [
        "Record one operation. Parents fill operand positions in order unless",
        "`input_positions` places them among `literals`, which fill the rest.",
        "`weak` marks a rank-zero result as a weak scalar (NEP 50); the frontend",
        "that computed it decides the category.",
    ]
    signature = inspect.signature(core.DynamicTape.record_input)
    assert str(signature) == "(self, /, value, shape, dtype, *, name=None, active=True)"


def bound_entry_points():
    """Every entry point that binds arguments, as (qualified name, callable)."""
    store = core.deserialize_graph_json(core.GraphBuilder().finish()[0]._to_json())
    receivers = {"DynamicTape": core.DynamicTape(), "GraphBuilder": core.GraphBuilder(), "GraphStore": store}
    entries = [(name, getattr(core, name)) for name in EXPECTED_NAMES[7:]] + [("GraphBuilder", core.GraphBuilder)]
    for cls, receiver in receivers.items():
        for name, member in vars(getattr(core, cls)).items():
            bound = getattr(receiver, name)
            if not name.startswith("__") and callable(member) and inspect.signature(bound).parameters:
                entries.append((f"{cls}.{name}", bound))
    return entries


@pytest.mark.no_leak_check  # inspect.signature(), as above
def test_binding_follows_each_text_signature():
    # The binder and the text signature come from one declaration: too many
    # positional arguments and no arguments at all are refused exactly as
    # the signature Python shows says.
    entries = bound_entry_points()
    assert len(entries) == 29
    for qualified, entry in entries:
        parameters = list(inspect.signature(entry).parameters.values())
        function = qualified.rsplit(".", 1)[-1]
        positional = [p for p in parameters if p.kind is p.POSITIONAL_OR_KEYWORD]
        plural = "" if len(positional) == 1 else "s"
        with pytest.raises(TypeError, match=rf"^{function}\(\) takes at most {len(positional)} positional argument{plural}"):
            entry(*range(len(positional) + 1))
        required = [p.name for p in parameters if p.default is p.empty]
        if required:
            with pytest.raises(TypeError, match=rf"^{function}\(\) missing required argument '{required[0]}'"):
                entry()
        with pytest.raises(TypeError, match=rf"^{function}\(\) got an unexpected keyword argument 'unknown'"):
            entry(unknown=0)
