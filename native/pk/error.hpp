// Errors across the C-API boundary: one guard turns C++ exceptions back into Python errors.
#pragma once
#include "pk/ref.hpp"

#include <new>
#include <stdexcept>

namespace pk {

// Sets the Python error that corresponds to the exception being handled (call inside catch).
void set_error_from_current_exception() noexcept;

// Runs `body` and converts any C++ exception into a set Python error, returning `fail`.
// Every function whose address is handed to the interpreter runs its body through this.
template <class R, class F>
R guard(R fail, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return fail;
    }
}

// Formats a message and throws it as a Python exception of `type`.
[[noreturn]] void raise(PyObject* type, const char* format, ...);
// Throws `exc` (an exception instance) as the current Python error.
[[noreturn]] void raise_object(ref exc);

// Takes the current Python error out of the thread state (null when there is none).
inline ref fetch_error() noexcept { return ref::steal_or_null(PyErr_GetRaisedException()); }
// Makes `exc` the current Python error again (the same object).
inline void restore_error(ref exc) noexcept { PyErr_SetRaisedException(exc.release()); }

// True when the pending error is an Exception (not BaseException-only, such as GeneratorExit).
inline bool error_is_exception() noexcept { return PyErr_ExceptionMatches(PyExc_Exception); }

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)" unless `value` is
// exactly of `type` (subclasses refused).
void check_exact(PyObject* value, PyTypeObject* type, const char* name);
// "Expected %s, got %.200s" unless `value` is exactly of `type`.
void expect_exact(PyObject* value, PyTypeObject* type);

}  // namespace pk
