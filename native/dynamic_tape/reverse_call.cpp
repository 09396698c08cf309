// Preparing a node's VJP rule call and making it: per lane, or once through
// the operation's batched rule.
#include "native/dynamic_tape/reverse_call.h"

#include <string>

#include "native/dynamic_tape/traversal.h"
#include "native/toolkit/errors.h"
#include "native/toolkit/names.h"

namespace vorlix::tape {

using py::ErrorKind;

namespace {

// A tuple of small ints, complete before it is returned.
Ref positions_tuple(const uint32_t* positions, size_t count) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!tuple) return nullptr;
    for (size_t k = 0; k < count; ++k) {
        // Making an int runs no Python code, so the tuple is not seen half-built.
        PyObject* position = PyLong_FromUnsignedLong(positions[k]);
        if (position == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), position);
    }
    return tuple;
}

}  // namespace

PyObject* ActivePositions::make(const OperandView& operands, const uint8_t* active, size_t count, uint64_t key) {
    std::vector<uint32_t> positions;
    positions.reserve(count);
    for (uint32_t k = 0; k < operands.parent_count; ++k) {
        if (active[k]) positions.push_back(operands.slots[k]);
    }
    Ref made = positions_tuple(positions.data(), count);
    if (!made) return nullptr;
    if (count < identity_.size() && key == kIdentityKeys[count]) {
        identity_[count] = std::move(made);
        return identity_[count].get();
    }
    last_ = std::move(made);  // a tuple of ints: dropping the old one runs no Python code
    last_key_ = key;
    return last_.get();
}

bool reverse_ops(TapeObject* tape, Batching batching, std::vector<ReverseOp>& out) {
    py::SharedHold hold(tape->borrow);
    if (!hold.ok()) return false;
    const TapeState& state = tape->state;
    out.clear();
    out.resize(state.arena.ops().size());
    for (size_t op = 0; op < out.size(); ++op) {
        ReverseOp& entry = out[op];
        if (op < state.vjp_bindings.size()) entry.rule = state.vjp_bindings[op].get();
        if (op < state.reverse_needs.size() && state.reverse_needs[op]) {
            entry.needs = *state.reverse_needs[op];
            entry.has_needs = true;
        }
        if (batching == Batching::Batched && entry.rule != nullptr) {
            PyObject* batched = nullptr;
            if (PyObject_GetOptionalAttr(entry.rule, py::names::vjp_many(), &batched) < 0) return false;
            entry.batched = Ref::steal(batched);
        }
    }
    return true;
}

bool ReverseCall::raise_missing_record() const {
    tape_->raise_missing_record();
    return false;
}

bool ReverseCall::raise_no_contract() const {
    return py::fail(ErrorKind::Runtime,
                    "dynamic operation '" + std::string(op_name()) + "' has no reverse retention contract");
}

bool ReverseCall::raise_no_residual() {
    return py::internal_failure("dynamic reverse residual payload is unavailable");
}

bool ReverseCall::note_failure(const char* label) const {
    note_rule_failure(label, op_name(), node_);
    return false;
}

bool ReverseCall::raise_count_mismatch(const char* label, size_t count) const {
    return py::fail(ErrorKind::Value, std::string(label) + " for '" + std::string(op_name()) + "' at dynamic node " +
                                          node_ref(node_) + " returned " + std::to_string(count) +
                                          " contributions for " + std::to_string(operands_.arity) + " operands");
}

Ref ReverseCall::converted_sequence(PyObject* result) const {
    std::string failure;
    Ref converted = contribution_sequence(result, failure);
    if (!converted && !PyErr_Occurred()) {
        py::fail(ErrorKind::Value, "VJP for '" + std::string(op_name()) + "' at dynamic node " + node_ref(node_) +
                                       " must return a sequence: " + failure);
    }
    return converted;
}

namespace {

// A contribution list of a batched rule as a tuple: a list is copied, so
// that the additions of an earlier lane's commit cannot change it.
Ref frozen_sequence(PyObject* obj, std::string& failure) {
    Ref sequence = contribution_sequence(obj, failure);
    if (!sequence || !PyList_Check(sequence.get())) return sequence;
    return Ref::steal(PyList_AsTuple(sequence.get()));
}

}  // namespace

bool ReverseCall::raise_batched(const std::string& detail) const {
    return py::fail(ErrorKind::Value, "Batched VJP for '" + std::string(op_name()) + "' at dynamic node " +
                                          node_ref(node_) + " " + detail);
}

bool ReverseCall::call_batched(PyObject* callback, Lanes& lanes, const Ref* cotangents) {
    std::array<size_t, kMaxLanes> seeded;
    size_t count = 0;
    for (size_t l = 0; l < lanes.width(); ++l) {
        if (cotangents[l]) seeded[count++] = l;
    }
    Ref batch = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!batch) return false;
    for (size_t k = 0; k < count; ++k) {
        PyTuple_SET_ITEM(batch.get(), static_cast<Py_ssize_t>(k), Py_NewRef(cotangents[seeded[k]].get()));
    }
    PyObject* args[8];
    fill_args(args);
    args[2] = batch.get();
    Ref result = Ref::steal(py::call_positional(callback, args, 8));
    if (!result) return note_failure("batched VJP");

    // Every list is converted and checked before anything is committed.
    std::string failure;
    std::vector<Ref> lists;
    Ref sets = frozen_sequence(result.get(), failure);
    const Py_ssize_t set_count = sets ? PyTuple_GET_SIZE(sets.get()) : 0;
    for (Py_ssize_t k = 0; sets && k < set_count; ++k) {
        Ref list = frozen_sequence(PyTuple_GET_ITEM(sets.get(), k), failure);
        if (!list) {
            sets.reset();
            break;
        }
        lists.push_back(std::move(list));
    }
    if (!sets) {
        if (PyErr_Occurred()) return false;
        return raise_batched("must return a sequence of sequences: " + failure);
    }
    if (lists.size() != count) {
        return raise_batched("returned " + std::to_string(lists.size()) + " contribution sets for " +
                             std::to_string(count) + " seeds");
    }
    for (const Ref& list : lists) {
        const auto size = static_cast<size_t>(PyTuple_GET_SIZE(list.get()));
        if (size != operands_.arity) return raise_count_mismatch("Batched VJP", size);
    }
    for (size_t k = 0; k < count; ++k) {
        PyObject* list = lists[k].get();
        const auto size = static_cast<size_t>(PyTuple_GET_SIZE(list));
        if (!commit_contributions(lanes, seeded[k], operands_, active_, &PyTuple_GET_ITEM(list, 0), size)) {
            return false;
        }
    }
    return true;
}

}  // namespace vorlix::tape
