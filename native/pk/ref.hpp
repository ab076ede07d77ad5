// The owning reference handle: the only place where the runtime and the modules decref.
#pragma once
#include "pk/compat.hpp"

#include <utility>

namespace pk {

// Thrown when a Python error is set and should propagate to the nearest guard.
struct python_error {};

// Throws python_error unless `p` is non-null; the C API has already set the error.
inline PyObject* check(PyObject* p) {
    if (!p) throw python_error{};
    return p;
}
inline int check(int rc) {
    if (rc < 0) throw python_error{};
    return rc;
}

// One owned strong reference (or none). A raw PyObject* anywhere else is borrowed.
class ref {
public:
    ref() noexcept = default;
    ref(std::nullptr_t) noexcept {}
    ref(const ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
    ref(ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~ref() { Py_XDECREF(p_); }

    ref& operator=(ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    // Takes over a new reference returned by the C API; throws when it is null (error set).
    static ref steal(PyObject* p) { return ref(check(p), adopt); }
    // Takes over a new reference that may legitimately be null (no error implied).
    static ref steal_or_null(PyObject* p) noexcept { return ref(p, adopt); }
    // Adds a reference to a borrowed pointer.
    static ref borrow(PyObject* p) noexcept { return ref(Py_XNewRef(p), adopt); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* operator->() const noexcept { return p_; }

    // New reference for returning to the interpreter.
    PyObject* new_ref() const noexcept { return Py_XNewRef(p_); }

private:
    enum adopt_t { adopt };
    ref(PyObject* p, adopt_t) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline ref none() { return ref::borrow(Py_None); }
inline ref boolean(bool v) { return ref::borrow(v ? Py_True : Py_False); }

}  // namespace pk
