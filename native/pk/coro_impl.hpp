// What the generator, coroutine and await-wrapper types share inside the runtime: the driver's
// slot functions (coro_driver.cpp) and the pieces each type file contributes to the others.
#pragma once
#include "pk/coro.hpp"

namespace pk::coro_impl {

genobj* as_gen(PyObject* o);
bool is_coro(genobj* g);

// The slot and method functions of both types (coro_driver.cpp).
PySendResult am_send_impl(PyObject* self, PyObject* arg, PyObject** out) noexcept;
PyObject* iternext_impl(PyObject* self) noexcept;
PyObject* send_impl(PyObject* self, PyObject* arg) noexcept;
PyObject* throw_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* close_impl(PyObject* self, PyObject*) noexcept;
void finalize_impl(PyObject* self) noexcept;
int traverse_impl(PyObject* self, visitproc visit, void* arg) noexcept;
int clear_impl(PyObject* self) noexcept;
void dealloc_impl(PyObject* self) noexcept;
PyObject* repr_impl(PyObject* self) noexcept;
extern PyMethodDef methods[];

// The attributes both types have under their own prefixes (gi_ or cr_), generator.cpp.
PyObject* get_name(PyObject* self, void*) noexcept;
int set_name(PyObject* self, PyObject* v, void*) noexcept;
PyObject* get_qualname(PyObject* self, void*) noexcept;
int set_qualname(PyObject* self, PyObject* v, void*) noexcept;
PyObject* get_running(PyObject* self, void*) noexcept;
PyObject* get_suspended(PyObject* self, void*) noexcept;
PyObject* get_delegate(PyObject* self, void*) noexcept;
PyObject* get_frame(PyObject* self, void*) noexcept;
PyObject* get_code(PyObject* self, void*) noexcept;
extern PyMemberDef members[];

// The type specs of the coroutine (coroutine.cpp) and of what its __await__ returns
// (await_wrapper.cpp); the generator type file makes all three.
extern PyType_Spec coroutine_spec;
extern PyType_Spec await_wrapper_spec;
void set_await_wrapper_type(PyTypeObject* type);
// The iterator that coroutine.__await__() returns for `coro`.
PyObject* make_await_wrapper(PyObject* coro);

void set_types(PyTypeObject* generator, PyTypeObject* coroutine);

}  // namespace pk::coro_impl
