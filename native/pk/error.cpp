// Conversion of C++ exceptions into Python errors, and the shared argument-type checks.
#include "pk/error.hpp"

#include <cstdarg>

namespace pk {

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const python_error&) {
        // The Python error is already set; make sure of it so the interpreter never sees
        // a null result without an exception.
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "native error without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown native exception");
    }
}

void raise(PyObject* type, const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    throw python_error{};
}

void raise_object(ref exc) {
    restore_error(std::move(exc));
    throw python_error{};
}

void check_exact(PyObject* value, PyTypeObject* type, const char* name) {
    if (Py_IS_TYPE(value, type)) return;
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
          type->tp_name, Py_TYPE(value)->tp_name);
}

void expect_exact(PyObject* value, PyTypeObject* type) {
    if (Py_IS_TYPE(value, type)) return;
    raise(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(value)->tp_name);
}

}  // namespace pk
