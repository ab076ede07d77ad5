// What a native coroutine's __await__() returns: an iterator that forwards the generator protocol
// to the coroutine, as the interpreter's coroutine_wrapper does.
#include "pk/coro_impl.hpp"

namespace pk::coro_impl {
namespace {

struct await_wrapper {
    PyObject_HEAD
    PyObject* coro;
};

PyTypeObject* wrapper_type = nullptr;

PyObject* coro_of(PyObject* w) { return reinterpret_cast<await_wrapper*>(w)->coro; }
PySendResult w_am_send(PyObject* self, PyObject* arg, PyObject** out) noexcept {
    return am_send_impl(coro_of(self), arg, out);
}
PyObject* w_iternext(PyObject* self) noexcept { return iternext_impl(coro_of(self)); }
PyObject* w_send(PyObject* self, PyObject* arg) noexcept { return send_impl(coro_of(self), arg); }
PyObject* w_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return throw_impl(coro_of(self), args, nargs);
}
PyObject* w_close(PyObject* self, PyObject*) noexcept { return close_impl(coro_of(self), nullptr); }
int w_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(coro_of(self));
    return 0;
}
int w_clear(PyObject* self) noexcept {
    Py_CLEAR(reinterpret_cast<await_wrapper*>(self)->coro);
    return 0;
}
void w_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, w_dealloc)
    w_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

PyMethodDef wrapper_methods[] = {
    {"send", w_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(w_throw)), METH_FASTCALL, nullptr},
    {"close", w_close, METH_NOARGS, nullptr},
    {},
};

PyType_Slot wrapper_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(w_iternext)},
    {Py_am_send, reinterpret_cast<void*>(w_am_send)},
    {Py_tp_methods, wrapper_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(w_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(w_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(w_dealloc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec await_wrapper_spec = {
    "parleykit.coroutine_wrapper", sizeof(await_wrapper), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    wrapper_slots,
};

void set_await_wrapper_type(PyTypeObject* type) { wrapper_type = type; }

PyObject* make_await_wrapper(PyObject* coro) {
    auto* w = PyObject_GC_New(await_wrapper, wrapper_type);
    if (!w) return nullptr;
    w->coro = Py_NewRef(coro);
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

}  // namespace pk::coro_impl
