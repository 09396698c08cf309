"""Type stubs of vorlix._native_core: staged graphs, their execution plans, and
dynamic tapes with their forward and reverse walks."""

from collections.abc import Callable, Sequence
from typing import Any, Final, Literal, TypeAlias, TypedDict, final, type_check_only

__all__ = [
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

__version__: Final[str]
__build_profile__: Final[str]

# Attribute values, both ways: what append_node accepts (checked by exact
# type at run time) and what GraphNode.attrs and binders get back, as fresh
# objects of the same nine kinds.
_AttrValue: TypeAlias = (
    None
    | bool
    | int
    | float
    | str
    | bytes
    | list[_AttrValue]
    | tuple[_AttrValue, ...]
    | dict[str, _AttrValue]
)
# A dtype string, a built-in scalar type, or a dtype class or object of a
# supported array namespace; anything else is refused at run time.
_DTypeLike: TypeAlias = str | type | object

_NumericDTypeName: TypeAlias = Literal[
    "bool",
    "int8",
    "int16",
    "int32",
    "int64",
    "uint8",
    "uint16",
    "uint32",
    "uint64",
    "float16",
    "float32",
    "float64",
    "complex64",
    "complex128",
]
_ConstantKind: TypeAlias = Literal["scalar", "array"]

@type_check_only
class _PassReport(TypedDict):
    name: Literal["dce", "simplify", "cse"]
    nodes_before: int
    nodes_after: int
    removed_nodes: int
    rewritten_nodes: int

@type_check_only
class _OptimizationReport(TypedDict):
    nodes_before: int
    nodes_after: int
    rewritten_nodes: int
    passes: list[_PassReport]

# (node ID, operation name, parent IDs, node name) of one validated node.
_SnapshotEntry: TypeAlias = tuple[int, str, list[int], str | None]

@final
class GraphNode:
    """Immutable Python-facing snapshot of one canonical graph node."""

    @property
    def id(self) -> int: ...
    @property
    def op(self) -> str: ...
    @property
    def schema_version(self) -> int: ...
    @property
    def inputs(self) -> list[int]: ...
    @property
    def name(self) -> str | None: ...
    @property
    def source_location(self) -> str | None: ...
    @property
    def attrs(self) -> dict[str, _AttrValue]: ...
    @property
    def shape(self) -> list[int]: ...
    @property
    def dtype(self) -> str: ...
    @property
    def num_outputs(self) -> int: ...
    @property
    def output_shapes(self) -> list[list[int]] | None: ...
    @property
    def output_dtypes(self) -> list[str] | None: ...

@final
class GraphStore:
    """Python handle for one runtime-owned immutable graph."""

    def get_node(self, node_id: int) -> GraphNode: ...
    def node_ids(self) -> list[int]: ...
    @property
    def inputs(self) -> list[int]: ...
    @property
    def outputs(self) -> list[int]: ...
    def constant_ids(self) -> list[int]: ...
    @property
    def node_count(self) -> int: ...
    @property
    def required_array_api_version(self) -> str: ...
    def _constant_parts(self, node_id: int) -> tuple[_ConstantKind, _NumericDTypeName, list[int], bytes, str]: ...
    def _to_json(self) -> str: ...

@final
class GraphBuilder:
    """Python construction handle around one runtime-owned builder."""

    def __new__(cls, *, required_array_api_version: str = ...) -> GraphBuilder: ...
    def append_input_node(self, shape: Sequence[int], dtype: _DTypeLike, *, name: str | None = None) -> int: ...
    def append_constant(self, data: bytes, shape: Sequence[int], dtype: _DTypeLike, *, kind: _ConstantKind) -> tuple[int, str]: ...
    def append_node(
        self,
        op: str,
        inputs: Sequence[int],
        attrs: dict[str, _AttrValue],
        shape: Sequence[int],
        dtype: _DTypeLike,
        *,
        schema_version: int = 1,
        name: str | None = None,
        num_outputs: int = 1,
        output_shapes: Sequence[Sequence[int]] | None = None,
        output_dtypes: list[_DTypeLike] | tuple[_DTypeLike, ...] | None = None,
        source_location: str | None = None,
    ) -> int: ...
    def append_output(self, node_id: int) -> None: ...
    def finish(self) -> tuple[GraphStore, list[int | None], _OptimizationReport, list[_SnapshotEntry]]: ...

@final
class GraphExecutionPlan:
    """Linked, immutable execution plan of one graph store."""

# An evaluator receives (operands, context, donated position or None) and
# returns the node's value, or a tuple of values for a multi-output node.
_Evaluator: TypeAlias = Callable[[tuple[Any, ...], Any, int | None], Any]
_Binder: TypeAlias = Callable[[str, dict[str, _AttrValue]], _Evaluator]

@type_check_only
class _StructuralUsage(TypedDict):
    len: int
    capacity: int
    bytes: int

_StructuralComponents = TypedDict(
    "_StructuralComponents",
    {
        "nodes": _StructuralUsage,
        "edges": _StructuralUsage,
        "operation_schemas": _StructuralUsage,
        "operation_index": _StructuralUsage,
        "node_records": _StructuralUsage,
        "operand_positions": _StructuralUsage,
        "literals": _StructuralUsage,
        "jvp_bindings": _StructuralUsage,
        "vjp_bindings": _StructuralUsage,
        "reverse_needs": _StructuralUsage,
        "inputs": _StructuralUsage,
        "outputs": _StructuralUsage,
    },
)

@type_check_only
class _TapeStats(TypedDict):
    node_count: int
    edge_count: int
    operation_count: int
    operand_position_count: int
    literal_count: int
    retained_value_count: int
    retained_attr_count: int
    residual_count: int
    reverse_value_use_count: int
    reverse_pruned: bool
    node_core_bytes: int
    input_ref_bytes: int
    native_structural: _StructuralComponents
    native_structural_bytes: int
    frozen: bool
    consumed: bool

# (needs_output, needs_inputs, needs_residual) of one operation's VJP rule.
_ReverseNeeds: TypeAlias = tuple[bool, bool, bool]
# A JVP rule: (output_value, primals, tangents, attrs, source_location,
# residual_payload) -> the node's tangent, or None for none.
_JvpRule: TypeAlias = Callable[[Any, tuple[Any, ...], tuple[Any, ...], Any, str | None, Any], Any]
# A VJP rule: (output_value, primals, cotangent, attrs, active_positions,
# residual_payload, operand_specs, source_location) -> one contribution or
# None per operand.
_VjpRule: TypeAlias = Callable[
    [Any, tuple[Any, ...], Any, Any, tuple[int, ...], Any, tuple[tuple[tuple[int, ...], Any] | None, ...], str | None],
    Sequence[Any],
]
# One seed set: (node ID, tangent or cotangent) pairs.
_SeedSet: TypeAlias = Sequence[tuple[int, Any]]

@final
class DynamicTape:
    """Native owner for one concrete define-by-run invocation."""

    def __new__(cls) -> DynamicTape: ...
    def record_input(self, value: Any, shape: Sequence[int], dtype: Any, *, name: str | None = None, active: bool = True) -> int: ...
    def record_operation(
        self,
        op: str,
        inputs: Sequence[int],
        value: Any,
        attrs: Any,
        shape: Sequence[int],
        dtype: Any,
        *,
        input_positions: Sequence[int] | None = None,
        literals: Sequence[Any] = (),
        weak: bool = False,
        schema_version: int = 1,
        name: str | None = None,
        source_location: str | None = None,
    ) -> int: ...
    def record_residual(self, node_id: int, residual: Any) -> None: ...
    def mark_output(self, node_id: int) -> None: ...
    def mark_weak(self, node_id: int) -> None: ...
    def bind_trace_frame(self, trace_level: int, trace_frame_id: int) -> None: ...
    def is_weak(self, node_id: int) -> bool: ...
    def weak_mask(self, node_ids: Sequence[int]) -> list[bool]: ...
    def value(self, node_id: int) -> Any: ...
    def values(self, node_ids: Sequence[int]) -> list[Any]: ...
    def get_node_name(self, node_id: int) -> str | None: ...
    def node_is_active(self, node_id: int) -> bool: ...
    def runtime_trace_identity(self) -> tuple[int | None, int | None]: ...
    def freeze(
        self,
        jvp_bindings: Sequence[_JvpRule | None],
        vjp_bindings: Sequence[_VjpRule | None],
        reverse_needs: Sequence[_ReverseNeeds | None],
    ) -> None: ...
    def set_active_nodes(self, node_ids: Sequence[int]) -> None: ...
    def release_payloads(self) -> None: ...
    def prune_reverse_payloads(self) -> None: ...
    def analyze_real_linearity(self, tangent_input_ids: Sequence[int], primitive_name: str) -> list[int]: ...
    def stats(self) -> _TapeStats: ...
    def _diagnostic_snapshot(self) -> list[tuple[str, Any, str | None]]: ...
    @property
    def node_count(self) -> int: ...
    @property
    def inputs(self) -> list[int]: ...
    @property
    def op_names(self) -> list[str]: ...
    @property
    def is_consumed(self) -> bool: ...

def deserialize_graph_json(encoded: str) -> GraphStore: ...
def dynamic_jvp(
    tape: DynamicTape, tangent_seeds: _SeedSet, requested_outputs: Sequence[int], *, consume: bool = False
) -> list[Any]: ...
def dynamic_jvp_many(
    tape: DynamicTape, tangent_seed_sets: Sequence[_SeedSet], requested_outputs: Sequence[int]
) -> list[list[Any]]: ...
def dynamic_vjp(
    tape: DynamicTape, output_cotangents: _SeedSet, requested_inputs: Sequence[int], *, consume: bool = False
) -> list[Any]: ...
def dynamic_vjp_many(
    tape: DynamicTape, output_cotangent_sets: Sequence[_SeedSet], requested_inputs: Sequence[int]
) -> list[list[Any]]: ...
def build_graph_execution_plan(store: GraphStore, binder: _Binder) -> GraphExecutionPlan: ...
def execute_graph(
    plan: GraphExecutionPlan, inputs: Sequence[Any], constants: Sequence[Any], context: Any = None
) -> list[Any]: ...
