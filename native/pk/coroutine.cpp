// The native coroutine type: `await` from a body (await_), the coroutine's own __await__, and the
// cr_ attributes that asyncio and inspect read.
#include "pk/coro_impl.hpp"

namespace pk {
namespace {
name n_cr_await{"cr_await"};
}

body::delegate_request await_(PyObject* o) {
    if (Py_IS_TYPE(o, coroutine_type()) || PyCoro_CheckExact(o)) {
        // A coroutine suspended in an await of its own belongs to another awaiter; resuming it from
        // here would feed that awaiter's values into it (the interpreter refuses the same way).
        bool busy;
        if (Py_IS_TYPE(o, coroutine_type())) {
            busy = reinterpret_cast<genobj*>(o)->delegate != nullptr;
        } else {
            ref awaited = getattr(o, n_cr_await);
            busy = awaited.get() != Py_None;
        }
        if (busy) raise(PyExc_RuntimeError, "coroutine is being awaited already");
        return {ref::borrow(o)};
    }
    if (PyGen_CheckExact(o)) {
        // A generator-based coroutine (types.coroutine) may be awaited directly.
        PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(o));
        bool iterable_coro = code->co_flags & CO_ITERABLE_COROUTINE;
        Py_DECREF(code);
        if (iterable_coro) return {ref::borrow(o)};
    }
    PyAsyncMethods* am = Py_TYPE(o)->tp_as_async;
    if (!am || !am->am_await)
        raise(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
    ref it = ref::steal(am->am_await(o));
    if (PyCoro_CheckExact(it.get()) || Py_IS_TYPE(it.get(), coroutine_type()))
        raise(PyExc_TypeError, "__await__() returned a coroutine");
    if (!PyIter_Check(it.get()))
        raise(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
    return {std::move(it)};
}

}  // namespace pk

namespace pk::coro_impl {
namespace {

PyObject* coro_await(PyObject* self) noexcept {
    // One awaiter at a time, as the interpreter's await refuses for its own coroutines: a second
    // one would drive the awaitable that the first is waiting on.
    if (as_gen(self)->delegate) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return make_await_wrapper(self);
}

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_delegate, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {},
};

PyType_Slot coro_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(coro_await)},
    {Py_am_send, reinterpret_cast<void*>(am_send_impl)},
    {Py_tp_methods, methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_members, members},
    {Py_tp_repr, reinterpret_cast<void*>(repr_impl)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_impl)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_impl)},
    {Py_tp_finalize, reinterpret_cast<void*>(finalize_impl)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_impl)},
    {0, nullptr},
};

}  // namespace

PyType_Spec coroutine_spec = {
    "parleykit.coroutine", sizeof(genobj), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coro_slots,
};

}  // namespace pk::coro_impl
