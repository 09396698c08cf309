// Seeding the lanes of a traversal, reading the requested slots back, and
// converting seed-set arguments.
#include "native/dynamic_tape/lanes.h"

#include <limits>
#include <string>

#include "native/toolkit/args.h"
#include "native/toolkit/errors.h"

namespace vorlix::tape {

using py::ErrorKind;
using py::raise;

namespace {}  // namespace

namespace {

[[gnu::cold]] bool raise_not_a(const char* what, Direction direction, uint32_t id, const char* kind) {
    return py::fail(ErrorKind::Value,
                    std::string("dynamic ") + direction_word(direction) + " " + what + " " + node_ref(id) + kind);
}

bool check_node(TapeState& tape, uint32_t id) { return tape.check_exists(id); }

// A node marked as output; a missing record fails as node lookup does.
bool check_output(TapeState& tape, Direction direction, uint32_t id, const char* what, const char* suffix) {
    DynamicNode* record = tape.node(id);
    if (record == nullptr) return false;
    if (!record->output_marked) return raise_not_a(what, direction, id, suffix);
    return true;
}

bool check_input(TapeState& tape, Direction direction, uint32_t id, const char* what, const char* suffix) {
    if (!tape.arena.node(id)->is_input()) return raise_not_a(what, direction, id, suffix);
    return true;
}

}  // namespace

bool seed_lanes(TapeState& tape, Direction direction, std::vector<SeedSet>& seed_sets,
                std::span<const uint32_t> requested, Lanes& lanes) {
    const bool jvp = direction == Direction::Jvp;
    for (const uint32_t id : requested) {
        if (!check_node(tape, id)) return false;
        if (jvp ? !check_output(tape, direction, id, "requested node", ", which is not a marked output")
                : !check_input(tape, direction, id, "requested node", ", which is not a tape input")) {
            return false;
        }
    }
    const size_t count = tape.arena.node_count();
    const size_t width = seed_sets.size();
    lanes.reset(count, width);
    // Which nodes the current seed set names; cleared after each set.
    std::vector<bool> seen(width != 0 ? count : 0, false);
    for (size_t l = 0; l < width; ++l) {
        SeedSet& seeds = seed_sets[l];
        for (auto& [id, value] : seeds) {
            if (!check_node(tape, id)) return false;
            if (jvp ? !check_input(tape, direction, id, "seed node", " is not a tape input")
                    : !check_output(tape, direction, id, "seed node", " is not a marked output")) {
                return false;
            }
            if (seen[id]) {
                return py::fail(ErrorKind::Value, std::string("dynamic ") + direction_word(direction) + " repeats " +
                                                      (jvp ? "input" : "output") + " seed " + node_ref(id));
            }
            seen[id] = true;
            if (!jvp && value.is_none()) continue;
            lanes.of(id)[l] = std::move(value);
        }
        for (const auto& seed : seeds) seen[seed.first] = false;
    }
    return true;
}

Ref take_requested(Lanes& lanes, std::span<const uint32_t> requested) {
    Ref results = Ref::steal(PyList_New(static_cast<Py_ssize_t>(lanes.width())));
    if (!results) return nullptr;
    for (size_t l = 0; l < lanes.width(); ++l) {
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(requested.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < requested.size(); ++i) {
            if (requested[i] >= lanes.nodes()) return py::internal_error("requested slot is unavailable");
            Ref item = std::move(lanes.of(requested[i])[l]);
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item ? item.release() : Py_NewRef(Py_None));
        }
        PyList_SET_ITEM(results.get(), static_cast<Py_ssize_t>(l), list.release());
    }
    return results;
}

Ref single_lane(Ref lanes_results) {
    if (!lanes_results) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(lanes_results.get());
    if (n == 0) {
        py::internal_error("dynamic traversal result is unavailable");
        return nullptr;
    }
    return Ref::new_ref(PyList_GET_ITEM(lanes_results.get(), n - 1));
}

bool to_seed_set(PyObject* obj, const char* arg, SeedSet& out) {
    // Checking the pairs and reading their IDs runs no Python code.
    py::SequenceArg seq;
    if (!seq.open(obj, arg, py::ItemReads::RunNoPython)) return false;
    out.clear();
    out.reserve(static_cast<size_t>(seq.size()));
    py::NoPythonScope no_python("seed pairs read in place");
    for (Py_ssize_t i = 0; i < seq.size(); ++i) {
        PyObject* pair = seq[i];
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            py::raise_argument_error(arg, "item " + std::to_string(i) + ": expected a (node ID, value) tuple, got " +
                                              py::type_name_of(pair));
            return false;
        }
        uint64_t id = 0;
        if (!py::read_unsigned(PyTuple_GET_ITEM(pair, 0), arg, i, kU32Max, "u32", id)) return false;
        out.emplace_back(static_cast<uint32_t>(id), Ref::new_ref(PyTuple_GET_ITEM(pair, 1)));
    }
    return true;
}

}  // namespace vorlix::tape
