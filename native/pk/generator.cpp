// The native generator type, the attributes it shares with the coroutine type (names, state,
// gi_frame/gi_code as inspect and debuggers read them), and the creation of generator objects.
#include "pk/coro_impl.hpp"

#include <cstddef>
#include <frameobject.h>

namespace pk {
namespace {

PyTypeObject* gen_type = nullptr;
PyTypeObject* coro_type = nullptr;

name n_replace{"replace"}, n_co_flags{"co_flags"}, n_co_qualname{"co_qualname"};

}  // namespace

namespace coro_impl {

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_gen(self)->name); }
PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_gen(self)->qualname); }

namespace {
int set_str(PyObject** slot, PyObject* v, const char* what) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(v));
    return 0;
}

// The code object a Python generator of this name would carry: a real one, flagged as a
// generator's or a coroutine's, so that code-reading tools (inspect, asyncio's debug reprs) work.
ref code_of(genobj* g) {
    if (g->code) return ref::borrow(g->code);
    const char* name_utf8 = PyUnicode_AsUTF8(g->name);
    if (!name_utf8) throw python_error{};
    ref empty = ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("<native>", name_utf8, 0)));
    ref flags = integer(CO_OPTIMIZED | CO_NEWLOCALS | (is_coro(g) ? CO_COROUTINE : CO_GENERATOR));
    ref code = call(getattr(empty.get(), n_replace), kw(n_co_flags, flags), kw(n_co_qualname, g->qualname));
    if (!g->code) g->code = code.new_ref();
    return ref::borrow(g->code);
}

// Globals for the frames that stand for native bodies: they run no Python code of their own.
PyObject* frame_globals() {
    static PyObject* globals = nullptr;
    if (!globals) globals = check(PyDict_New());
    return globals;
}
}  // namespace

int set_name(PyObject* self, PyObject* v, void*) noexcept { return set_str(&as_gen(self)->name, v, "__name__"); }
int set_qualname(PyObject* self, PyObject* v, void*) noexcept {
    return set_str(&as_gen(self)->qualname, v, "__qualname__");
}
PyObject* get_running(PyObject* self, void*) noexcept { return PyBool_FromLong(as_gen(self)->running); }
PyObject* get_suspended(PyObject* self, void*) noexcept {
    genobj* g = as_gen(self);
    return PyBool_FromLong(g->started && !g->finished && !g->running);
}
PyObject* get_delegate(PyObject* self, void*) noexcept {
    PyObject* d = as_gen(self)->delegate;
    return Py_NewRef(d ? d : Py_None);
}

// None once the body can no longer run (finished, closed, or thrown into before it started), else a
// frame object for it: what inspect.getgeneratorstate() tells "closed" from "created" by.
PyObject* get_frame(PyObject* self, void*) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        genobj* g = as_gen(self);
        if (g->finished) Py_RETURN_NONE;
        if (!g->frame) {
            ref code = code_of(g);
            auto* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                                      frame_globals(), nullptr);
            ref made = ref::steal(reinterpret_cast<PyObject*>(frame));
            // Looked at again: making the frame ran no body code, but another frame may have been
            // stored meanwhile, and a finished generator keeps none.
            if (g->finished) Py_RETURN_NONE;
            if (!g->frame) g->frame = made.release();
        }
        return Py_NewRef(g->frame);
    });
}

PyObject* get_code(PyObject* self, void*) noexcept {
    return guard<PyObject*>(nullptr, [&] { return code_of(as_gen(self)).release(); });
}

PyMemberDef members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(genobj, weakreflist), Py_READONLY, nullptr},
    {},
};

void set_types(PyTypeObject* generator, PyTypeObject* coroutine) {
    gen_type = generator;
    coro_type = coroutine;
}

}  // namespace coro_impl

namespace {
using namespace coro_impl;

PyGetSetDef gen_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_delegate, nullptr, nullptr, nullptr},
    {"gi_frame", get_frame, nullptr, nullptr, nullptr},
    {"gi_code", get_code, nullptr, nullptr, nullptr},
    {},
};

PyType_Slot gen_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iternext_impl)},
    {Py_am_send, reinterpret_cast<void*>(am_send_impl)},
    {Py_tp_methods, methods},
    {Py_tp_getset, gen_getset},
    {Py_tp_members, members},
    {Py_tp_repr, reinterpret_cast<void*>(repr_impl)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_impl)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_impl)},
    {Py_tp_finalize, reinterpret_cast<void*>(finalize_impl)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_impl)},
    {0, nullptr},
};

PyType_Spec gen_spec = {
    "parleykit.generator", sizeof(genobj), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    gen_slots,
};

}  // namespace

void ready_coro_types() {
    if (gen_type) return;
    // All three are made before any is published, so a failure leaves none half made.
    ref gen = ref::steal(PyType_FromSpec(&gen_spec));
    ref coro = ref::steal(PyType_FromSpec(&coroutine_spec));
    ref wrapper = ref::steal(PyType_FromSpec(&await_wrapper_spec));
    set_await_wrapper_type(reinterpret_cast<PyTypeObject*>(wrapper.release()));
    PyTypeObject* c = reinterpret_cast<PyTypeObject*>(coro.release());
    set_types(reinterpret_cast<PyTypeObject*>(gen.release()), c);
}

PyTypeObject* generator_type() { return gen_type; }
PyTypeObject* coroutine_type() { return coro_type; }

ref make_generator(gen_kind kind, body_fn fn, std::initializer_list<PyObject*> locals, PyObject* name,
                   PyObject* qualname) {
    if (!gen_type) raise(PyExc_SystemError, "the generator types are made when the module is executed");
    genobj* g = PyObject_GC_New(genobj, kind == gen_kind::coroutine ? coro_type : gen_type);
    if (!g) throw python_error{};
    new (&g->h) body::handle{};
    g->yielded = g->delegate = g->resume_value = g->resume_exc = nullptr;
    g->name = Py_NewRef(name);
    g->qualname = Py_NewRef(qualname);
    g->weakreflist = nullptr;
    g->code = g->frame = nullptr;
    g->running = g->started = g->finished = false;
    for (PyObject*& o : g->locals) o = nullptr;
    g->frame_refs = nullptr;
    ref self = ref::steal(reinterpret_cast<PyObject*>(g));
    int i = 0;
    for (PyObject* o : locals) g->locals[i++] = Py_XNewRef(o);
    g->h = fn(g).release();
    PyObject_GC_Track(g);
    return self;
}

}  // namespace pk
