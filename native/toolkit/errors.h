// The one table by which failures of the core become Python exceptions, and
// the helpers that add notes to exceptions raised by Python callables.
#pragma once

#include <string>
#include <string_view>

#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"
#include "runtime/error.h"

namespace vorlix::py {

// Which built-in exception a failure of the core raises.
enum class ErrorKind { Value, Key, Runtime, Type, Overflow };

// Where a GraphError surfaced; selects its exception by the table.
enum class GraphErrorSite {
    Building,   // builder operations, metadata, constants, store validation
    Lookup,     // store lookups of IDs the store does not hold
    Execution,  // plan binding and execution
};

// Every raise_* returns nullptr so callers can `return raise_...(...)`.
[[gnu::cold]] std::nullptr_t raise(ErrorKind kind, std::string_view message);
[[gnu::cold]] std::nullptr_t raise_graph_error(const GraphError& error, GraphErrorSite site);
// Bookkeeping that valid use cannot break was found inconsistent.
[[gnu::cold]] std::nullptr_t internal_error(std::string_view message);

// The same, for functions that report failure with `false`.
[[gnu::cold]] inline bool fail(ErrorKind kind, std::string_view message) {
    raise(kind, message);
    return false;
}
[[gnu::cold]] inline bool internal_failure(std::string_view message) {
    internal_error(message);
    return false;
}

// What a staged operation was doing when its Python callable failed.
enum class StagedPhase { Binding, Executing };

// Raises a failure of plan binding or execution: a graph error as
// RuntimeError with its message (ValueError for an invalid argument); a host error as the callable's own
// exception, with the note "while {binding|executing} staged operation
// '{op}' at node %{id}".
[[gnu::cold]] std::nullptr_t raise_execution_error(ExecutionError<Ref> error, StagedPhase phase);

// Whether the raised exception is an ordinary one that may be translated or
// dropped: an Exception other than MemoryError. KeyboardInterrupt,
// SystemExit and MemoryError always propagate unchanged.
[[nodiscard]] inline bool ordinary_exception_raised() {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

// The currently raised exception, taken out of the interpreter's error slot.
[[nodiscard]] Ref fetch_exception();
// Raises `exc` again, unchanged; returns nullptr.
std::nullptr_t restore_exception(Ref exc);

// Calls `exc.add_note(note)`. A failure of that call is discarded.
[[gnu::cold]] void add_note(PyObject* exc, std::string_view note);
// Adds `note` to the currently raised exception, leaving it raised.
[[gnu::cold]] void add_note_to_current(std::string_view note);

// str(exc), or a fixed text when it cannot be produced.
[[nodiscard]] std::string exception_text(PyObject* exc);

// The qualified name of an object's type, for messages.
[[nodiscard]] std::string type_name_of(PyObject* obj);

}  // namespace vorlix::py
