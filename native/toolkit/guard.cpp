// Translation of C++ exceptions at the interpreter boundary.
#include "native/toolkit/guard.h"

#include <exception>
#include <new>

#include "native/toolkit/errors.h"

namespace vorlix::py {

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise(ErrorKind::Runtime, e.what());
    } catch (...) {
        raise(ErrorKind::Runtime, "unknown C++ exception");
    }
}

}  // namespace vorlix::py
