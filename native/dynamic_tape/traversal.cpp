// Starting and ending tape traversals, and the arguments all walks share.
#include "native/dynamic_tape/traversal.h"

#include <string>

#include "native/module_state.h"

namespace vorlix::tape {

Ref finish_traversal(TapeObject* tape, Consume consume, Ref result) {
    Ref walk_error = result ? Ref() : py::fetch_exception();
    // The traversal state belongs to the walk, not to the borrow: the tape
    // goes back to idle even while another thread reads it.
    tape->state.traversal = Traversal::Idle;
    RetiredPayloads bundle;
    if (consume == Consume::Yes) {
        // Another thread may hold the tape shared while this thread ran the
        // walk's rules; its payloads must not go from under that reader. The
        // walk then fails and the tape stays unconsumed and consistent.
        py::ExclusiveHold hold(tape->borrow);
        if (!hold.ok()) {
            if (!walk_error) return nullptr;
            py::add_note(walk_error.get(), "DynamicTape payload release also failed: Already borrowed");
            PyErr_Clear();
            return py::restore_exception(std::move(walk_error));
        }
        bundle = retire_invocation_payloads(tape->state);
    }
    Ref closing_error = bundle.close_and_drop();  // See Note [Payload release order].
    if (closing_error) {
        if (!walk_error) return py::restore_exception(std::move(closing_error));
        py::add_note(walk_error.get(),
                     "DynamicTape payload release also failed: " + py::exception_text(closing_error.get()));
    }
    if (walk_error) return py::restore_exception(std::move(walk_error));
    return result;
}

bool convert_walk_arguments(PyObject* module, std::span<PyObject* const> argv, std::span<const char* const> names,
                            bool many, const char* direction, WalkArguments& out) {
    if (!PyObject_TypeCheck(argv[0], module_state(module)->tape_type)) {
        py::raise_argument_error("tape", "expected DynamicTape, got " + py::type_name_of(argv[0]));
        return false;
    }
    if (many) {
        if (!to_seed_sets(argv[1], names[1], direction, out.seed_sets)) return false;
    } else {
        out.seed_sets.resize(1);
        if (!to_seed_set(argv[1], names[1], out.seed_sets[0])) return false;
    }
    if (!py::to_uint_list(argv[2], names[2], out.requested)) return false;
    bool consume = false;
    if (!many && argv.size() > 3 && argv[3] != nullptr && !py::to_bool(argv[3], "consume", consume)) return false;
    out.consume = consume ? Consume::Yes : Consume::No;
    out.tape = as_tape(argv[0]);
    out.keep_alive = Ref::new_ref(argv[0]);
    return true;
}

bool to_seed_sets(PyObject* obj, const char* arg, const char* direction, std::vector<SeedSet>& out) {
    // Keep the sets alive while each is converted: converting one may run
    // Python code that drops the others.
    std::vector<Ref> sets;
    if (!py::to_object_list(obj, arg, sets)) return false;
    out.clear();
    out.resize(sets.size());
    for (size_t i = 0; i < sets.size(); ++i) {
        if (!to_seed_set(sets[i].get(), arg, out[i])) return false;
    }
    if (out.size() > kMaxLanes) {
        return py::fail(py::ErrorKind::Value, std::string("dynamic ") + direction + " supports at most " +
                                                  std::to_string(kMaxLanes) + " seeds per traversal");
    }
    return true;
}

}  // namespace vorlix::tape
