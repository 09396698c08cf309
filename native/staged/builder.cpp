// GraphBuilder: argument conversion, the runtime builder's appends, and
// `finish` with its optimisation report.
#include "native/staged/builder.h"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "native/staged/conversion/attr.h"
#include "native/staged/conversion/dtype.h"
#include "native/staged/conversion/type_name.h"
#include "native/staged/store.h"
#include "native/toolkit/args.h"
#include "native/toolkit/borrow.h"
#include "native/toolkit/entry.h"
#include "native/toolkit/errors.h"
#include "native/toolkit/values.h"
#include "runtime/constant.h"
#include "runtime/graph.h"
#include "runtime/inline_vec.h"
#include "runtime/optimize.h"

namespace vorlix::staged {

using py::ErrorKind;
using py::Ref;

namespace {

// The operation an exact str named in the previous `append_node`: its text
// was encoded and found non-empty then, and a str never changes, so the same
// object under the same schema version needs neither again, nor a name
// lookup. The reference keeps the address from passing to another str.
struct LastOperation {
    Ref name;
    std::string_view text;  // the UTF-8 `name` keeps
    uint32_t version = 0;
    OpId op = 0;

    [[nodiscard]] bool is(PyObject* obj, uint64_t schema_version) const {
        return obj == name.get() && schema_version == version;
    }
};

struct GraphBuilderObject {
    PyObject_HEAD py::BorrowState borrow;
    // Absent once `finish` has taken it.
    std::optional<GraphBuilder> builder;
    DTypeCache dtypes;
    // Holds the attributes of the node being appended; no references between calls.
    AttrConverter attrs;
    LastOperation last_op;
};

GraphBuilderObject* as_builder(PyObject* self) { return reinterpret_cast<GraphBuilderObject*>(self); }

inline constexpr py::Signature kGraphBuilder{"GraphBuilder", {"required_array_api_version"}, 0, 0, {"..."}};
inline constexpr py::Signature kAppendInputNode{
    "append_input_node", {"shape", "dtype", "name"}, 2, 2, {nullptr, nullptr, "None"}};
inline constexpr py::Signature kAppendConstant{"append_constant", {"data", "shape", "dtype", "kind"}, 3, 4};
inline constexpr py::Signature kAppendNode{
    "append_node",
    {"op", "inputs", "attrs", "shape", "dtype", "schema_version", "name", "num_outputs", "output_shapes",
     "output_dtypes", "source_location"},
    5,
    5,
    {nullptr, nullptr, nullptr, nullptr, nullptr, "1", "None", "1", "None", "None", "None"}};
inline constexpr py::Signature kAppendOutput{"append_output", {"node_id"}, 1, 1};

constexpr const char* kFinishedMessage = "GraphBuilder has already finished";

// Appending is the call a frontend makes per node, so its keywords are
// matched by identity with interned names.
py::Keywords append_node_keywords{kAppendNode};

// The frame of a builder method: the builder taken exclusively, then the
// arguments bound by `sig`, then `body(builder, argv)`.
template <size_t N, class F>
PyObject* builder_method(PyObject* self, const py::Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, F&& body) {
    GraphBuilderObject* object = as_builder(self);
    return py::frame<py::Access::Exclusive>(object->borrow, sig, args, nargs, kwnames,
                                            [&](py::Arguments<N>& argv) { return body(*object, argv); });
}

template <size_t N, class F>
PyObject* builder_method(PyObject* self, const py::Signature<N>& sig, py::Keywords<N>& keywords, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames, F&& body) {
    GraphBuilderObject* object = as_builder(self);
    return py::frame<py::Access::Exclusive>(object->borrow, sig, keywords, args, nargs, kwnames,
                                            [&](py::Arguments<N>& argv) { return body(*object, argv); });
}

// An optional str argument (None or absent) as optional text; false on failure.
bool optional_text(PyObject* obj, const char* arg, std::optional<std::string>& out) {
    Ref str;
    if (!py::to_optional_str(obj, arg, str)) return false;
    if (!str) return true;
    out = py::utf8_text(str.get());
    return out.has_value();
}

// The UTF-8 text of a str argument, viewed in place: the caller's argument
// holds the str, which never changes, for the whole call.
bool text_view(PyObject* obj, const char* arg, std::string_view& out) {
    if (!py::check_str(obj, arg)) return false;
    std::optional<std::string_view> text = py::utf8_of(obj);
    if (!text) return false;
    out = *text;
    return true;
}

bool required_text(PyObject* obj, const char* arg, std::string& out) {
    Ref str;
    if (!py::to_str(obj, arg, str)) return false;
    std::optional<std::string> text = py::utf8_text(str.get());
    if (!text) return false;
    out = std::move(*text);
    return true;
}

[[gnu::cold]] std::nullptr_t invalid_metadata(std::string_view op, const GraphError& error) {
    std::string message = "Op '";
    message += op;
    message += "' has invalid metadata: ";
    message += error.rendered();
    return py::raise(ErrorKind::Value, message);
}

std::nullptr_t building_error(const GraphError& error) {
    return py::raise_graph_error(error, py::GraphErrorSite::Building);
}

[[gnu::cold]] std::nullptr_t finished() { return py::raise(ErrorKind::Runtime, kFinishedMessage); }

PyObject* new_id(NodeId id) { return PyLong_FromLong(static_cast<long>(id)); }

PyObject* builder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    // The binder takes the vectorcall layout: positional values, then
    // keyword values named by a tuple.
    std::vector<PyObject*> stack(PySequence_Fast_ITEMS(args), PySequence_Fast_ITEMS(args) + PyTuple_GET_SIZE(args));
    Ref kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        if (!kwnames) return nullptr;
        Py_ssize_t pos = 0;
        Py_ssize_t k = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
            stack.push_back(value);
        }
    }
    PyObject* argv[1];
    if (!py::bind_arguments(kGraphBuilder, stack.data(), PyTuple_GET_SIZE(args), kwnames.get(), argv)) return nullptr;
    std::string version = "2024.12";
    if (argv[0] != nullptr && !required_text(argv[0], "required_array_api_version", version)) return nullptr;
    Expected<GraphBuilder> builder = GraphBuilder::new_for_array_api(version);
    if (!builder) return building_error(builder.error());

    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    GraphBuilderObject* object = as_builder(self.get());
    new (&object->borrow) py::BorrowState();
    new (&object->builder) std::optional<GraphBuilder>(std::move(builder).value());
    new (&object->dtypes) DTypeCache();
    new (&object->attrs) AttrConverter();
    new (&object->last_op) LastOperation();
    return self.release();
}

PyObject* append_input_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return builder_method(self, kAppendInputNode, args, nargs, kwnames,
                          [&](GraphBuilderObject& b, auto& argv) -> PyObject* {
                              InlineVec<uint64_t, 8> shape;
                              std::optional<std::string> name;
                              if (!py::to_uint_list(argv[0], "shape", shape)) return nullptr;
                              if (!optional_text(argv[2], "name", name)) return nullptr;

                              std::optional<DTypeDescriptor> dtype = b.dtypes.resolve(argv[1]);
                              if (!dtype) return nullptr;
                              const NodeParts parts{nullptr, shape, &*dtype, name};
                              if (Status<> valid = node_metadata::check(parts); !valid)
                                  return invalid_metadata(graph::kInputOp, valid.error());
                              if (!b.builder) return finished();
                              Expected<NodeId> id = b.builder->append_input(parts);
                              if (!id) return building_error(id.error());
                              return new_id(*id);
                          });
}

PyObject* append_constant(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return builder_method(
        self, kAppendConstant, args, nargs, kwnames, [&](GraphBuilderObject& b, auto& argv) -> PyObject* {
            if (!PyBytes_Check(argv[0])) {
                return py::raise_argument_error("data", "expected bytes, got " + py::type_name_of(argv[0]));
            }
            Shape shape;
            std::string kind_text;
            if (!py::to_uint_list(argv[1], "shape", shape)) return nullptr;
            if (!required_text(argv[3], "kind", kind_text)) return nullptr;

            Expected<ConstantKind, std::string> kind = constant::kind_from_str(kind_text);
            if (!kind) return py::raise(ErrorKind::Value, kind.error());
            std::optional<DTypeDescriptor> dtype = b.dtypes.resolve(argv[2]);
            if (!dtype) return nullptr;
            Expected<NumericDType, std::string> numeric = NumericDType::from_str(dtype->name());
            if (!numeric) return py::raise(ErrorKind::Value, numeric.error());
            const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(argv[0]));
            Expected<PortableConstant, std::string> payload =
                PortableConstant::create(*kind, *numeric, shape, Bytes(data, data + PyBytes_GET_SIZE(argv[0])));
            if (!payload) return py::raise(ErrorKind::Value, payload.error());
            Ref digest = py::str_from_utf8(payload->digest());
            if (!digest) return nullptr;
            const NodeParts parts{nullptr, shape, &*dtype};
            if (Status<> valid = node_metadata::check(parts); !valid)
                return invalid_metadata(graph::kConstOp, valid.error());
            if (!b.builder) return finished();
            Expected<NodeId> id = b.builder->append_constant(parts, std::move(payload).value());
            if (!id) return building_error(id.error());
            Ref node = Ref::steal(new_id(*id));
            if (!node) return nullptr;
            return PyTuple_Pack(2, node.get(), digest.get());
        });
}

// `output_shapes`: None, or a sequence of shapes.
bool output_shapes_arg(PyObject* obj, std::optional<std::vector<Shape>>& out) {
    if (obj == nullptr || obj == Py_None) return true;
    py::SequenceArg seq;
    if (!seq.open(obj, "output_shapes")) return false;
    std::vector<Shape> shapes(static_cast<size_t>(seq.size()));
    for (Py_ssize_t i = 0; i < seq.size(); ++i) {
        if (!py::to_uint_list(seq[i], "output_shapes", shapes[static_cast<size_t>(i)])) return false;
    }
    out = std::move(shapes);
    return true;
}

// `output_dtypes`: absent for None, else exactly a list or a tuple whose
// items resolve through the builder's cache.
bool output_dtypes_arg(PyObject* obj, DTypeCache& cache, std::optional<std::vector<DTypeDescriptor>>& out) {
    if (obj == nullptr || obj == Py_None) return true;
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) {
        std::optional<std::string> qualname = qualified_type_name(obj);
        if (!qualname) return false;
        return py::fail(ErrorKind::Type,
                        "output_dtypes must be a list or tuple of dtype descriptors; got " + *qualname);
    }
    // Resolution may run Python code that changes a list, so the items are
    // resolved from a snapshot. See Note [Snapshots of caller sequences].
    Ref seq = py::sequence_snapshot(obj);
    if (!seq) return false;
    std::vector<DTypeDescriptor> dtypes;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.get()); ++i) {
        std::optional<DTypeDescriptor> dtype = cache.resolve(PyTuple_GET_ITEM(seq.get(), i));
        if (!dtype) return false;
        dtypes.push_back(std::move(*dtype));
    }
    out = std::move(dtypes);
    return true;
}

PyObject* append_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const auto& sig = kAppendNode;
    return builder_method(
        self, sig, append_node_keywords, args, nargs, kwnames, [&](GraphBuilderObject& b, auto& argv) -> PyObject* {
            PyObject* const op_name = argv[sig["op"]];
            std::string_view op;
            InlineVec<NodeId, 4> parents;
            InlineVec<uint64_t, 8> shape;
            uint32_t schema_version = 1;
            std::optional<std::string> name;
            uint64_t num_outputs = 1;
            std::optional<std::vector<Shape>> output_shapes;
            std::optional<std::string> source_location;
            // The schema version is read ahead of its turn only to recognise the
            // previous operation: it runs no Python code, and its own errors
            // are raised in order below.
            uint64_t version_ahead = 1;
            const bool same_op = (argv[sig["schema_version"]] == nullptr ||
                                  py::read_small_uint(argv[sig["schema_version"]], version_ahead)) &&
                                 b.last_op.is(op_name, version_ahead);
            if (same_op) {
                op = b.last_op.text;
            } else if (!text_view(op_name, "op", op)) {
                return nullptr;
            }
            if (!py::to_uint_list(argv[sig["inputs"]], "inputs", parents)) return nullptr;
            if (!PyDict_Check(argv[sig["attrs"]])) {
                return py::raise_argument_error("attrs", "expected dict, got " + py::type_name_of(argv[sig["attrs"]]));
            }
            if (!py::to_uint_list(argv[sig["shape"]], "shape", shape)) return nullptr;
            if (argv[sig["schema_version"]] != nullptr &&
                !py::to_u32(argv[sig["schema_version"]], "schema_version", schema_version))
                return nullptr;
            if (!optional_text(argv[sig["name"]], "name", name)) return nullptr;
            if (argv[sig["num_outputs"]] != nullptr &&
                !py::to_u64(argv[sig["num_outputs"]], "num_outputs", num_outputs))
                return nullptr;
            if (!output_shapes_arg(argv[sig["output_shapes"]], output_shapes)) return nullptr;
            if (!optional_text(argv[sig["source_location"]], "source_location", source_location)) return nullptr;

            if (op.empty()) return py::raise(ErrorKind::Value, "node op must not be empty");
            ActiveContainers active;
            if (!b.attrs.map_from_python(argv[sig["attrs"]], "attrs", active)) return nullptr;
            // A dtype object met before is read from the cache in place; the
            // cache keeps its entries where they are (see DTypeCache).
            std::optional<DTypeDescriptor> resolved;
            const DTypeDescriptor* dtype = b.dtypes.cached(argv[sig["dtype"]]);
            if (dtype == nullptr) {
                resolved = b.dtypes.resolve(argv[sig["dtype"]]);
                if (!resolved) return nullptr;
                dtype = &*resolved;
            }
            std::optional<std::vector<DTypeDescriptor>> output_dtypes;
            if (!output_dtypes_arg(argv[sig["output_dtypes"]], b.dtypes, output_dtypes)) return nullptr;
            NodeParts parts{&b.attrs.draft(), shape, dtype, name, static_cast<size_t>(num_outputs)};
            parts.source_location = source_location;
            if (output_shapes) parts.output_shapes = &*output_shapes;
            if (output_dtypes) parts.output_dtypes = &*output_dtypes;
            if (Status<> valid = node_metadata::check(parts); !valid) return invalid_metadata(op, valid.error());
            if (!b.builder) return finished();
            Expected<NodeId> id = same_op ? b.builder->append_interned_operation(b.last_op.op, parents, parts)
                                          : b.builder->append_operation(op, schema_version, parents, parts);
            if (!id) return building_error(id.error());
            if (!same_op && PyUnicode_CheckExact(op_name)) {
                b.last_op =
                    LastOperation{Ref::new_ref(op_name), op, schema_version, b.builder->data().arena.node(*id)->op};
            }
            return new_id(*id);
        });
}

PyObject* append_output(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return builder_method(self, kAppendOutput, args, nargs, kwnames,
                          [&](GraphBuilderObject& b, auto& argv) -> PyObject* {
                              uint32_t id = 0;
                              if (!py::to_u32(argv[0], "node_id", id)) return nullptr;
                              if (!b.builder) return finished();
                              if (Status<> appended = b.builder->append_output(id); !appended)
                                  return building_error(appended.error());
                              Py_RETURN_NONE;
                          });
}

// The int of node `id` in a snapshot `nodes` filled up to `filled`, shared
// rather than made again (ints never change); a new int past that.
PyObject* snapshot_id(PyObject* nodes, size_t filled, uint64_t id) {
    if (id < filled) return Py_NewRef(PyTuple_GET_ITEM(PyList_GET_ITEM(nodes, static_cast<Py_ssize_t>(id)), 0));
    return PyLong_FromUnsignedLongLong(id);
}

// (ID, operation name, parents, name or None) of every node, in ID order.
// Parents precede their users, so each parent's int is shared with its own
// entry: a large graph's snapshot makes one int per node, not three.
Ref snapshot(const GraphStore& store) {
    const size_t n = store.node_count();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    // One str per operation, shared by its nodes' tuples.
    const std::span<const OpSchema> schemas = store.data().arena.ops().schemas();
    std::vector<Ref> op_names(schemas.size());
    for (size_t id = 0; id < n; ++id) {
        Expected<NodeRef> node = store.node(static_cast<NodeId>(id));
        if (!node) return building_error(node.error());
        const size_t op = static_cast<size_t>(&node->schema - schemas.data());
        if (!op_names[op]) {
            op_names[op] = py::str_from_utf8(node->schema.name);
            if (!op_names[op]) return nullptr;
        }
        const Parents& parents = node->parents;
        Ref item = Ref::steal(PyTuple_New(4));
        Ref node_id = Ref::steal(PyLong_FromSize_t(id));
        Ref parent_list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(parents.size())));
        Ref name = node->metadata.name() ? py::str_from_utf8(*node->metadata.name()) : Ref::none();
        if (!item || !node_id || !parent_list || !name) return nullptr;
        for (size_t k = 0; k < parents.size(); ++k) {
            PyObject* parent = snapshot_id(list.get(), id, parents[k]);
            if (parent == nullptr) return nullptr;
            PyList_SET_ITEM(parent_list.get(), static_cast<Py_ssize_t>(k), parent);
        }
        PyTuple_SET_ITEM(item.get(), 0, node_id.release());
        PyTuple_SET_ITEM(item.get(), 1, op_names[op].clone().release());
        PyTuple_SET_ITEM(item.get(), 2, parent_list.release());
        PyTuple_SET_ITEM(item.get(), 3, name.release());
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(id), item.release());
    }
    return list;
}

Ref count(uint64_t n) { return Ref::steal(PyLong_FromUnsignedLongLong(n)); }

// Sets the counts under `keys` in order on a new dict.
Ref counts_dict(std::initializer_list<std::pair<const char*, Ref>> entries) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, value] : entries) {
        if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
    }
    return dict;
}

Ref report(const OptimizedGraph& optimized) {
    Ref passes = Ref::steal(PyList_New(static_cast<Py_ssize_t>(optimized.passes.size())));
    if (!passes) return nullptr;
    for (size_t i = 0; i < optimized.passes.size(); ++i) {
        const PassReport& pass = optimized.passes[i];
        Ref entry = counts_dict({{"name", py::str_from_utf8(pass.name)},
                                 {"nodes_before", count(pass.nodes_before)},
                                 {"nodes_after", count(pass.nodes_after)},
                                 {"removed_nodes", count(pass.removed())},
                                 {"rewritten_nodes", count(pass.rewrites)}});
        if (!entry) return nullptr;
        PyList_SET_ITEM(passes.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return counts_dict({{"nodes_before", count(optimized.nodes_before)},
                        {"nodes_after", count(optimized.nodes_after)},
                        {"rewritten_nodes", count(optimized.total_rewrites)},
                        {"passes", std::move(passes)}});
}

// Store IDs as ints shared with the snapshot `nodes` where it has them.
Ref node_map_list(const NodeMap& map, PyObject* nodes) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(map.size())));
    if (!list) return nullptr;
    const auto filled = static_cast<size_t>(PyList_GET_SIZE(nodes));
    for (size_t i = 0; i < map.size(); ++i) {
        PyObject* item = map[i] ? snapshot_id(nodes, filled, *map[i]) : Py_NewRef(Py_None);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyObject* finish(PyObject* self, PyObject*) {
    GraphBuilderObject& b = *as_builder(self);
    py::ExclusiveHold hold(b.borrow);
    if (!hold.ok()) return nullptr;
    // Finished from here on, whatever happens next.
    std::optional<GraphBuilder> taken = std::exchange(b.builder, std::nullopt);
    if (!taken) return finished();
    Expected<GraphStore> validated = GraphStore::create(std::move(*taken).into_data());
    if (!validated) return building_error(validated.error());
    Ref nodes = snapshot(*validated);
    if (!nodes) return nullptr;
    Expected<OptimizedGraph> optimized = optimize(std::move(validated).value());
    if (!optimized) return building_error(optimized.error());

    Ref map = node_map_list(optimized->node_map, nodes.get());
    Ref summary = report(*optimized);
    if (!map || !summary) return nullptr;
    Ref store = new_graph_store(PyType_GetModule(Py_TYPE(self)),
                                std::make_shared<const GraphStore>(std::move(optimized->store)));
    if (!store) return nullptr;
    return PyTuple_Pack(4, store.get(), map.get(), summary.get(), nodes.get());
}

int builder_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_builder(self)->last_op.name.get());
    return as_builder(self)->dtypes.traverse(visit, arg);
}

int builder_clear(PyObject* self) {
    // Forgotten before the name is dropped, so nothing can match it after.
    LastOperation last = std::exchange(as_builder(self)->last_op, LastOperation{});
    as_builder(self)->dtypes.clear();
    return 0;
}

void builder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    GraphBuilderObject* object = as_builder(self);
    object->last_op.~LastOperation();
    object->attrs.~AttrConverter();
    object->dtypes.~DTypeCache();
    object->builder.~optional();
    object->borrow.~BorrowState();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef builder_methods[] = {
    py::method<append_input_node, kAppendInputNode>("Declare one graph input; returns its node ID."),
    py::method<append_constant, kAppendConstant>("Embed one constant payload; returns (node ID, digest)."),
    py::method<append_node, kAppendNode>("Append one operation; returns its node ID."),
    py::method<append_output, kAppendOutput>("Mark a node as a graph output."),
    py::method_noargs<finish>("finish", "Validate and optimize the graph: (store, node map, report, snapshot)."),
    py::kEndOfMethods,
};

PyType_Slot builder_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(py::type_doc<kGraphBuilder>("Python construction handle around one runtime-owned builder."))},
    {Py_tp_new, reinterpret_cast<void*>(py::guarded<builder_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(builder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(builder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(builder_clear)},
    {Py_tp_methods, builder_methods},
    {0, nullptr},
};

PyType_Spec builder_spec = {
    "vorlix._native_core.GraphBuilder",
    sizeof(GraphBuilderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_MANAGED_WEAKREF,
    builder_slots,
};

}  // namespace

PyObject* create_graph_builder_type(PyObject* module) {
    return PyType_FromModuleAndSpec(module, &builder_spec, nullptr);
}

}  // namespace vorlix::staged
