// Freezing a DynamicTape, its reverse-use counts, and every way its payloads
// are let go: pruning, retirement one by one, and wholesale release.
#include "native/dynamic_tape/lifecycle.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <string>

#include "native/dynamic_tape/entry.h"
#include "native/dynamic_tape/methods.h"
#include "native/toolkit/args.h"
#include "native/toolkit/names.h"

namespace vorlix::tape {

using py::ErrorKind;
using py::raise;

namespace {

// Calls residual.close(); keeps the first exception in `first`.
void close_residual(PyObject* residual, Ref& first) {
    Ref result = Ref::steal(PyObject_CallMethodNoArgs(residual, py::names::close()));
    if (result) return;
    Ref exc = py::fetch_exception();
    if (!first) first = std::move(exc);
}

template <class Container>
Container take_vector(Container& v) {
    return std::exchange(v, Container{});
}

}  // namespace

Ref RetiredPayloads::close_and_drop() {
    Ref first;
    for (const DynamicNode& node : node_records) {
        if (node.extras == DynamicNode::kNoExtras) continue;
        Ref residual = std::move(node_extras[node.extras - 1].residual);
        if (residual) close_residual(residual.get(), first);
    }
    take_vector(node_records);
    take_vector(value_specs);
    take_vector(node_extras);
    take_vector(literals);
    take_vector(jvp_bindings);
    take_vector(vjp_bindings);
    take_vector(reverse_needs);
    take_vector(reverse_cache);
    return first;
}

Ref RetiredReversePayloads::close_and_drop() {
    Ref first;
    for (Ref& residual : residuals) {
        Ref taken = std::move(residual);
        close_residual(taken.get(), first);
    }
    take_vector(residuals);
    take_vector(values);
    take_vector(attrs);
    take_vector(literals);
    return first;
}

bool raise_if_set(Ref error) {
    if (!error) return true;
    py::restore_exception(std::move(error));
    return false;
}

RetiredPayloads retire_invocation_payloads(TapeState& tape) {
    tape.consumed = true;
    return RetiredPayloads{take_vector(tape.node_records),  take_vector(tape.value_specs),
                           take_vector(tape.node_extras),   take_vector(tape.literals),
                           take_vector(tape.jvp_bindings),  take_vector(tape.vjp_bindings),
                           take_vector(tape.reverse_needs), take_vector(tape.reverse_cache)};
}

bool begin_traversal(TapeState& tape, Traversal kind) {
    if (!tape.check(Requirement::Frozen)) return false;
    if (tape.traversal != Traversal::Idle) {
        const char* running = tape.traversal == Traversal::Forward ? "forward traversal" : "reverse traversal";
        return py::fail(ErrorKind::Runtime, std::string("DynamicTape is already executing ") + running +
                                                "; recursive use of the same tape is unsupported");
    }
    tape.traversal = kind;
    return true;
}

const ReverseNeeds* active_node_needs(const TapeState& tape, const ArenaNode& node) {
    if (!node.is_active() || node.is_input()) return nullptr;
    if (node.op >= tape.reverse_needs.size() || !tape.reverse_needs[node.op]) return nullptr;
    return &*tape.reverse_needs[node.op];
}

namespace {

bool count_use(TapeState& tape, uint64_t id) {
    if (id >= tape.node_records.size()) return py::fail(ErrorKind::Runtime, "dynamic reverse-use slot is unavailable");
    uint32_t& uses = tape.node_records[id].reverse_value_uses;
    if (uses == std::numeric_limits<uint32_t>::max()) {
        return py::fail(ErrorKind::Runtime, "dynamic reverse-use count overflowed");
    }
    ++uses;
    return true;
}

bool rebuild_reverse_uses(TapeState& tape) {
    for (DynamicNode& node : tape.node_records) node.reverse_value_uses = 0;
    const size_t count = tape.arena.node_count();
    for (size_t i = 0; i < count; ++i) {
        const ArenaNode& record = *tape.arena.node(i);
        const ReverseNeeds* needs = active_node_needs(tape, record);
        if (needs == nullptr) continue;
        if (needs->needs_output && !count_use(tape, i)) return false;
        if (!needs->needs_inputs) continue;
        const auto parents = tape.arena.parents(record);
        if (!parents) return py::fail(ErrorKind::Runtime, kEdgeRangeMessage);
        for (size_t k = 0; k < parents->size(); ++k) {
            if (!count_use(tape, (*parents)[k])) return false;
        }
    }
    return true;
}

// A binding list normalised for installation: None entries become empty.
bool normalise_bindings(const std::vector<Ref>& given, const char* kind, size_t op_count, std::vector<Ref>& out) {
    if (given.size() != op_count) {
        return py::fail(ErrorKind::Value, std::string("DynamicTape ") + kind + " binding count " +
                                              std::to_string(given.size()) + " does not match operation count " +
                                              std::to_string(op_count));
    }
    std::vector<Ref> normalised;
    normalised.reserve(given.size());
    for (size_t i = 0; i < given.size(); ++i) {
        PyObject* entry = given[i].get();
        if (entry == Py_None) {
            normalised.emplace_back();
        } else if (PyCallable_Check(entry)) {
            normalised.push_back(given[i].clone());
        } else {
            return py::fail(ErrorKind::Value, std::string("DynamicTape ") + kind + " binding " + std::to_string(i) +
                                                  " must be callable or None");
        }
    }
    out = std::move(normalised);
    return true;
}

bool to_reverse_needs(PyObject* obj, std::vector<std::optional<ReverseNeeds>>& out) {
    constexpr const char* kArg = "reverse_needs";
    // Checking the triples runs no Python code.
    py::SequenceArg seq;
    if (!seq.open(obj, kArg, py::ItemReads::RunNoPython)) return false;
    out.clear();
    out.reserve(static_cast<size_t>(seq.size()));
    py::NoPythonScope no_python("reverse-needs triples read in place");
    for (Py_ssize_t i = 0; i < seq.size(); ++i) {
        PyObject* item = seq[i];
        if (item == Py_None) {
            out.emplace_back();
            continue;
        }
        if (!PyTuple_Check(item)) {
            py::raise_argument_error(kArg, "item " + std::to_string(i) +
                                               ": expected None or a tuple of three bools, got " +
                                               py::type_name_of(item));
            return false;
        }
        const Py_ssize_t n = PyTuple_GET_SIZE(item);
        if (n != 3) {
            return py::fail(ErrorKind::Value,
                            "expected tuple of length 3, but got tuple of length " + std::to_string(n));
        }
        bool flags[3];
        for (Py_ssize_t k = 0; k < 3; ++k) {
            PyObject* flag = PyTuple_GET_ITEM(item, k);
            if (!PyBool_Check(flag)) {
                py::raise_argument_error(
                    kArg, "item " + std::to_string(i) + ": expected bool, got " + py::type_name_of(flag));
                return false;
            }
            flags[k] = flag == Py_True;
        }
        out.push_back(ReverseNeeds{flags[0], flags[1], flags[2]});
    }
    return true;
}

}  // namespace

bool take_literals(TapeState& tape, const DynamicNode& node, std::vector<Ref>& out) {
    const NodeExtras* extras = tape.extras_of(node);
    if (extras == nullptr || !extras->layout) return true;
    const uint64_t start = extras->layout->literal_start;
    const uint64_t end = start + extras->layout->literal_len;
    if (end > tape.literals.size()) return py::fail(ErrorKind::Runtime, "literal range is invalid");
    for (uint64_t i = start; i < end; ++i) {
        if (tape.literals[i]) out.push_back(std::move(tape.literals[i]));
    }
    return true;
}

void take_residual(TapeState& tape, const DynamicNode& node, std::vector<Ref>& out) {
    NodeExtras* extras = tape.extras_of(node);
    if (extras != nullptr && extras->residual) out.push_back(std::move(extras->residual));
}

bool prune_zero_reverse_payloads(TapeState& tape, RetiredReversePayloads& bundle) {
    if (tape.reverse_pruned) return true;
    if (!tape.check(Requirement::Frozen)) return false;
    const size_t count = std::min(tape.node_records.size(), tape.arena.node_count());
    for (size_t i = 0; i < count; ++i) {
        DynamicNode& node = tape.node_records[i];
        const ReverseNeeds* needs = active_node_needs(tape, *tape.arena.node(i));
        if (node.reverse_value_uses == 0 && node.value) bundle.values.push_back(std::move(node.value));
        const bool keep_attrs = needs != nullptr;
        const bool keep_literals = needs != nullptr && needs->needs_inputs;
        const bool keep_residual = needs != nullptr && needs->needs_residual;
        if (!keep_attrs && node.attrs) bundle.attrs.push_back(std::move(node.attrs));
        if (!keep_literals && !take_literals(tape, node, bundle.literals)) return false;
        if (!keep_residual) take_residual(tape, node, bundle.residuals);
    }
    tape.reverse_pruned = true;
    return true;
}

bool decrement_reverse_use(TapeState& tape, uint64_t id, RetiredReversePayloads& bundle) {
    if (id >= tape.node_records.size()) return py::fail(ErrorKind::Runtime, "dynamic reverse-use slot is unavailable");
    DynamicNode& node = tape.node_records[id];
    if (node.reverse_value_uses == 0) return py::fail(ErrorKind::Runtime, "dynamic reverse-use count underflowed");
    if (--node.reverse_value_uses != 0) return true;
    if (!node.value) return py::fail(ErrorKind::Runtime, "dynamic reverse value was released before its last use");
    bundle.values.push_back(std::move(node.value));
    return true;
}

bool retire_reverse_payloads(TapeObject* tape, uint32_t id) {
    RetiredReversePayloads bundle;
    {
        py::ExclusiveHold hold(tape->borrow);
        if (!hold.ok()) return false;
        TapeState& state = tape->state;
        const ArenaNode* record = state.arena.node(id);
        if (record == nullptr) return py::internal_failure("dynamic reverse node is unavailable");
        if (record->op >= state.reverse_needs.size() || !state.reverse_needs[record->op]) return true;
        const ReverseNeeds needs = *state.reverse_needs[record->op];
        if (needs.needs_output && !decrement_reverse_use(state, id, bundle)) return false;
        if (needs.needs_inputs) {
            const auto parents = state.arena.parents(*record);
            if (!parents) return py::internal_failure(kEdgeRangeMessage);
            for (size_t k = 0; k < parents->size(); ++k) {
                if (!decrement_reverse_use(state, (*parents)[k], bundle)) return false;
            }
        }
        DynamicNode* node = state.node(id);
        if (node == nullptr) return false;
        if (needs.needs_inputs && !take_literals(state, *node, bundle.literals)) return false;
        if (node->attrs) bundle.attrs.push_back(std::move(node->attrs));
        if (needs.needs_residual) {
            if (state.residual_of(*node) == nullptr) {
                return py::internal_failure("dynamic reverse residual payload is unavailable");
            }
            take_residual(state, *node, bundle.residuals);
        }
    }
    return raise_if_set(bundle.close_and_drop());  // See Note [Payload release order].
}

PyObject* freeze(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::vector<Ref> jvp;
    std::vector<Ref> vjp;
    std::vector<std::optional<ReverseNeeds>> needs;
    // Tables replaced by this call are dropped after the hold is given up.
    std::vector<Ref> replaced_jvp;
    std::vector<Ref> replaced_vjp;
    TapeObject* tape = as_tape(self);
    auto convert = [&](py::Arguments<kFreeze.size>& argv) {
        return py::to_object_list(argv[0], "jvp_bindings", jvp) && py::to_object_list(argv[1], "vjp_bindings", vjp) &&
               to_reverse_needs(argv[2], needs);
    };
    return py::frame_converting_first<Access::Exclusive>(
        tape->borrow, kFreeze, args, nargs, kwnames, convert, [&]() -> PyObject* {
            TapeState& state = tape->state;
            if (!state.check(Requirement::Recording)) return nullptr;

            const size_t op_count = state.arena.ops().size();
            std::vector<Ref> normalised;
            if (!normalise_bindings(jvp, "JVP", op_count, normalised)) return nullptr;
            replaced_jvp = std::exchange(state.jvp_bindings, std::move(normalised));
            if (!normalise_bindings(vjp, "VJP", op_count, normalised)) return nullptr;
            replaced_vjp = std::exchange(state.vjp_bindings, std::move(normalised));

            if (needs.size() != op_count) {
                return raise(ErrorKind::Value, "DynamicTape reverse-needs count " + std::to_string(needs.size()) +
                                                   " does not match operation count " + std::to_string(op_count));
            }
            for (size_t k = 0; k < op_count; ++k) {
                const bool has_binding = static_cast<bool>(state.vjp_bindings[k]);
                if (has_binding && !needs[k]) {
                    return raise(ErrorKind::Value,
                                 "DynamicTape VJP binding " + std::to_string(k) + " is missing reverse-needs metadata");
                }
                if (!has_binding && needs[k]) {
                    return raise(ErrorKind::Value,
                                 "DynamicTape reverse-needs metadata " + std::to_string(k) + " has no VJP binding");
                }
            }
            state.reverse_needs = std::move(needs);
            if (!rebuild_reverse_uses(state)) return nullptr;
            state.frozen = true;
            Py_RETURN_NONE;
        });
}

PyObject* release_payloads(PyObject* self, PyObject*) {
    TapeObject* tape = as_tape(self);
    py::ExclusiveHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    TapeState& state = tape->state;
    if (state.consumed) Py_RETURN_NONE;
    if (!state.check_idle("release DynamicTape payloads")) return nullptr;
    RetiredPayloads bundle = retire_invocation_payloads(state);
    hold.release();  // See Note [Payload release order].
    if (!raise_if_set(bundle.close_and_drop())) return nullptr;
    Py_RETURN_NONE;
}

bool prune_and_close(TapeObject* tape, py::ExclusiveHold& hold) {
    RetiredReversePayloads bundle;
    const bool pruned = prune_zero_reverse_payloads(tape->state, bundle);
    Ref error = pruned ? Ref() : py::fetch_exception();
    hold.release();  // See Note [Payload release order].
    if (!pruned) {
        // What was retired before the failure goes without close().
        bundle = RetiredReversePayloads{};
        py::restore_exception(std::move(error));
        return false;
    }
    return raise_if_set(bundle.close_and_drop());
}

PyObject* prune_reverse_payloads(PyObject* self, PyObject*) {
    TapeObject* tape = as_tape(self);
    py::ExclusiveHold hold(tape->borrow);
    if (!hold.ok()) return nullptr;
    if (!tape->state.check_idle("prune DynamicTape payloads")) return nullptr;
    if (!prune_and_close(tape, hold)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* set_active_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return tape_method<Access::Exclusive>(
        self, kSetActiveNodes, args, nargs, kwnames, [&](TapeState& state, auto& argv, Dropped&) -> PyObject* {
            std::vector<uint32_t> ids;
            if (!py::to_uint_list(argv[0], "node_ids", ids)) return nullptr;
            if (!state.check(Requirement::Frozen)) return nullptr;
            if (state.reverse_pruned) {
                return raise(ErrorKind::Runtime, "cannot replace DynamicTape activity after reverse payload pruning");
            }
            if (!state.check_idle("replace DynamicTape activity")) return nullptr;
            const size_t count = state.arena.node_count();
            std::unique_ptr<bool[]> mask(new bool[count]());
            for (const uint32_t id : ids) {
                if (!state.check_exists(id)) return nullptr;
                mask[id] = true;
            }
            if (auto replaced = state.arena.replace_activity(std::span<const bool>(mask.get(), count)); !replaced) {
                return raise(ErrorKind::Runtime, replaced.error().rendered());
            }
            if (!rebuild_reverse_uses(state)) return nullptr;
            Py_RETURN_NONE;
        });
}

}  // namespace vorlix::tape
