// The generator and coroutine object types and the driver that runs C++ coroutine bodies with
// Python's generator protocol: send/throw/close, PEP 380 delegation, finalisation.
#include "pk/coro.hpp"

#include <cstddef>

namespace pk {

// ---- body side -------------------------------------------------------------------------------

void body::promise_type::unhandled_exception() noexcept {
    set_error_from_current_exception();
    error = fetch_error();
}

body::resume_point body::promise_type::yield_value(ref value) {
    Py_XSETREF(owner->yielded, value ? value.release() : Py_NewRef(Py_None));
    return resume_point{owner};
}

body::resume_point body::promise_type::await_transform(delegate_request req) {
    Py_XSETREF(owner->delegate, req.iter.release());
    return resume_point{owner};
}

ref body::resume_point::await_resume() const {
    if (g->resume_exc) {
        PyObject* exc = g->resume_exc;
        g->resume_exc = nullptr;
        Py_CLEAR(g->resume_value);
        PyErr_SetRaisedException(exc);
        throw python_error{};
    }
    PyObject* v = g->resume_value;
    g->resume_value = nullptr;
    return v ? ref::steal(v) : none();
}

body::delegate_request yield_from(PyObject* iterable) { return {ref::steal(PyObject_GetIter(iterable))}; }

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

// ---- driver ----------------------------------------------------------------------------------

namespace {

PyTypeObject* gen_type = nullptr;
PyTypeObject* coro_type = nullptr;

// Marks the generator running while Python code runs on its behalf (a delegate's attribute lookups
// and methods), so that nothing re-enters it meanwhile: a re-entrant call could finish the body
// and leave this one to resume a frame that no longer exists.
class running_scope {
public:
    explicit running_scope(genobj* g) : g_(g) { g_->running = true; }
    ~running_scope() { g_->running = false; }
    running_scope(const running_scope&) = delete;
    running_scope& operator=(const running_scope&) = delete;

private:
    genobj* g_;
};

bool is_coro(genobj* g) { return Py_IS_TYPE(g, coro_type); }
bool is_generator_like(PyObject* o) {
    return PyGen_CheckExact(o) || PyCoro_CheckExact(o) || Py_IS_TYPE(o, gen_type) || Py_IS_TYPE(o, coro_type);
}
const char* kind_name(genobj* g) { return is_coro(g) ? "coroutine" : "generator"; }

name n_close{"close"}, n_throw{"throw"};

// A body that has run to its end lets go of its state at once, as the interpreter clears the frame
// of a finished generator: whatever it held (a response, a connection, its arguments) is not kept
// alive by a generator object that the caller still holds. (Closing an unstarted generator keeps
// them, as the interpreter does.)
void clear_frame(genobj* g) {
    Py_CLEAR(g->resume_value);
    Py_CLEAR(g->resume_exc);
    for (PyObject*& o : g->locals) Py_CLEAR(o);
}

// Lets go of a suspended (or unstarted) body's frame. The generator is finished first: the frame's
// destructors release objects, and whatever that runs finds a finished generator.
void drop_frame(genobj* g) {
    body::handle h = std::exchange(g->h, {});
    g->finished = true;
    h.destroy();
}

// The body has finished: hand out its return value or its error.
PySendResult finish(genobj* g, PyObject** out) {
    body::promise_type& p = g->h.promise();
    ref result = std::move(p.result), error = std::move(p.error);
    g->h.destroy();
    g->h = {};
    g->finished = true;
    clear_frame(g);
    if (error) {
        // PEP 479: a StopIteration leaving the body would end the caller's iteration silently.
        if (PyErr_GivenExceptionMatches(error.get(), PyExc_StopIteration)) {
            ref wrapped = ref::steal(PyObject_CallFunction(PyExc_RuntimeError, "s",
                                                           is_coro(g) ? "coroutine raised StopIteration"
                                                                      : "generator raised StopIteration"));
            PyException_SetCause(wrapped.get(), error.new_ref());
            PyException_SetContext(wrapped.get(), error.release());
            error = std::move(wrapped);
        }
        restore_error(std::move(error));
        *out = nullptr;
        return PYGEN_ERROR;
    }
    *out = result ? result.release() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

// Resumes the body with `value` (or raises `exc` at its suspension point) and runs it to its next
// yield; a newly started delegation is primed here, so the caller only ever sees items.
PySendResult run_body(genobj* g, ref value, ref exc, PyObject** out) {
    for (;;) {
        Py_XSETREF(g->resume_value, value.release());
        Py_XSETREF(g->resume_exc, exc.release());
        g->started = true;
        g->running = true;
        g->h.resume();
        g->running = false;
        if (g->h.done()) return finish(g, out);
        if (g->yielded) {
            *out = g->yielded;
            g->yielded = nullptr;
            return PYGEN_NEXT;
        }
        // The body asked to delegate: the first item comes from sending None.
        PyObject* res = nullptr;
        g->running = true;
        PySendResult r = PyIter_Send(g->delegate, Py_None, &res);
        g->running = false;
        if (r == PYGEN_NEXT) {
            *out = res;
            return PYGEN_NEXT;
        }
        Py_CLEAR(g->delegate);
        if (r == PYGEN_RETURN) value = ref::steal(res);
        else exc = fetch_error();
    }
}

bool refuse_running(genobj* g) {
    if (!g->running) return false;
    PyErr_Format(PyExc_ValueError, "%s already executing", kind_name(g));
    return true;
}

PySendResult gen_send(genobj* g, PyObject* arg, PyObject** out) {
    *out = nullptr;
    if (refuse_running(g)) return PYGEN_ERROR;
    if (g->finished) {
        if (is_coro(g)) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        }
        *out = Py_NewRef(Py_None);
        return PYGEN_RETURN;
    }
    if (!g->started && arg != Py_None) {
        PyErr_Format(PyExc_TypeError, "can't send non-None value to a just-started %s", kind_name(g));
        return PYGEN_ERROR;
    }
    if (g->delegate) {
        PyObject* res = nullptr;
        g->running = true;
        PySendResult r = PyIter_Send(g->delegate, arg, &res);
        g->running = false;
        if (r == PYGEN_NEXT) {
            *out = res;
            return PYGEN_NEXT;
        }
        Py_CLEAR(g->delegate);
        if (r == PYGEN_RETURN) return run_body(g, ref::steal(res), nullptr, out);
        return run_body(g, nullptr, fetch_error(), out);
    }
    return run_body(g, ref::borrow(arg), nullptr, out);
}

// Calls iter.close() if it has one: how a delegate is shut down on GeneratorExit.
void close_iter(PyObject* iter) {
    if (ref meth = getattr_opt(iter, n_close)) call(meth);
}

// The value a StopIteration carries, read from the object itself as the interpreter reads it (a
// subclass's `value` property is not consulted, so no Python code runs).
ref stop_value(PyObject* stop) {
    return ref::borrow(reinterpret_cast<PyStopIterationObject*>(stop)->value);
}

// Raises `exc` inside the generator, forwarding it to an active delegate first (PEP 380).
// `aimed_at` is the delegate that was active when throw() was called: one that a delegation started
// since then (by Python code run while the exception was made) does not receive it, as the
// interpreter picks the delegate before it makes the exception.
PySendResult gen_throw_exc(genobj* g, ref exc, PyObject** out, PyObject* aimed_at) {
    *out = nullptr;
    if (refuse_running(g)) return PYGEN_ERROR;
    if (g->finished) {
        if (is_coro(g)) {
            // As send() does: a finished coroutine refuses any further use.
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        }
        restore_error(std::move(exc));
        return PYGEN_ERROR;
    }
    if (!g->started) {
        // Raised before the first instruction: the body never runs, the generator is finished and
        // the exception leaves unchanged (the interpreter's StopIteration check covers only a
        // started body, so a thrown StopIteration is not turned into RuntimeError here).
        drop_frame(g);
        clear_frame(g);
        restore_error(std::move(exc));
        return PYGEN_ERROR;
    }
    if (g->delegate) {
        // What the delegation ends with is what the body receives at its `yield from`, where a
        // StopIteration is the delegation's result, as at the interpreter's.
        ref delegate = ref::borrow(g->delegate);
        ref error;
        if (delegate.get() != aimed_at) {
            error = std::move(exc);
        } else if (PyErr_GivenExceptionMatches(exc.get(), PyExc_GeneratorExit)) {
            try {
                running_scope busy(g);
                close_iter(delegate.get());
                error = std::move(exc);
            } catch (python_error&) {
                error = fetch_error();
            }
        } else {
            ref res;
            bool has_throw;
            {
                // A failed lookup (not an AttributeError) leaves throw() at once, the body untouched.
                running_scope busy(g);
                ref meth = getattr_opt(delegate.get(), n_throw);
                has_throw = bool(meth);
                if (meth) res = ref::steal_or_null(PyObject_CallOneArg(meth.get(), exc.get()));
            }
            if (res) {
                *out = res.release();
                return PYGEN_NEXT;
            }
            error = has_throw ? fetch_error() : std::move(exc);
        }
        // Let go of the delegate before the body runs, as the interpreter pops it off the frame's
        // stack before an except clause there sees the error.
        Py_CLEAR(g->delegate);
        delegate = nullptr;
        if (PyErr_GivenExceptionMatches(error.get(), PyExc_StopIteration))
            return run_body(g, stop_value(error.get()), nullptr, out);
        return run_body(g, nullptr, std::move(error), out);
    }
    return run_body(g, nullptr, std::move(exc), out);
}

// close(): GeneratorExit at the suspension point; yielding again is an error.
PyObject* gen_close_impl(genobj* g) {
    if (refuse_running(g)) return nullptr;
    if (g->finished) Py_RETURN_NONE;
    if (!g->started) {
        // Closing an unstarted generator never runs its body.
        drop_frame(g);
        Py_RETURN_NONE;
    }
    PyObject* out = nullptr;
    ref exc = ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
    PySendResult r = gen_throw_exc(g, std::move(exc), &out, g->delegate);
    if (r == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_Format(PyExc_RuntimeError, "%s ignored GeneratorExit", kind_name(g));
        return nullptr;
    }
    if (r == PYGEN_RETURN) {
        Py_DECREF(out);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// Turns a finished send into the method-call convention: StopIteration carries the value.
PyObject* send_result(PySendResult r, PyObject* out) {
    if (r == PYGEN_NEXT) return out;
    if (r == PYGEN_RETURN) {
        if (out == Py_None) {
            PyErr_SetNone(PyExc_StopIteration);
        } else {
            // An instance, never the bare value: a tuple value would be taken as constructor args.
            PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, out);
            if (stop) {
                PyErr_SetObject(PyExc_StopIteration, stop);
                Py_DECREF(stop);
            }
        }
        Py_DECREF(out);
    }
    return nullptr;
}

genobj* as_gen(PyObject* o) { return reinterpret_cast<genobj*>(o); }

// The exception to throw from throw()'s arguments, normalised as the interpreter does. A class is
// called with the value (a tuple value as the argument list); when that call fails, or gives
// something that is not an exception, the resulting error is what the generator receives, as in
// the interpreter. Errors in the arguments themselves are raised from throw() alone.
ref exception_from_throw_args(genobj* g, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) raise(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    if (nargs > 3) raise(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        throw python_error{};
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    ref exc;
    if (PyExceptionClass_Check(typ)) {
        if (PyExceptionInstance_Check(val) && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ))) {
            exc = ref::borrow(val);
        } else {
            ref made;
            {
                // The constructor is Python code. A generator delegating to a generator or coroutine
                // counts as running meanwhile, as the interpreter's does while that delegate builds
                // the exception; with any other delegate it does not (the interpreter builds it
                // after looking for the delegate's throw).
                bool busy = !g->running && g->delegate && is_generator_like(g->delegate);
                if (busy) g->running = true;
                if (val == Py_None) made = ref::steal_or_null(PyObject_CallNoArgs(typ));
                else if (PyTuple_Check(val)) made = ref::steal_or_null(PyObject_Call(typ, val, nullptr));
                else made = ref::steal_or_null(PyObject_CallOneArg(typ, val));
                if (busy) g->running = false;
            }
            if (made && !PyExceptionInstance_Check(made.get())) {
                PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s",
                             typ, Py_TYPE(made.get())->tp_name);
                made = nullptr;
            }
            if (!made) {
                // The construction's own error is thrown in; it keeps its traceback, else takes tb.
                ref error = fetch_error();
                if (tb != Py_None) {
                    ref own = ref::steal_or_null(PyException_GetTraceback(error.get()));
                    if (!own) check(PyException_SetTraceback(error.get(), tb));
                }
                return error;
            }
            exc = std::move(made);
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) raise(PyExc_TypeError, "instance exception may not have a separate value");
        exc = ref::borrow(typ);
    } else {
        raise(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
              Py_TYPE(typ)->tp_name);
    }
    if (tb != Py_None) check(PyException_SetTraceback(exc.get(), tb));
    return exc;
}

// ---- Python-facing methods (shared by both types and the await wrapper) -----------------------

PySendResult am_send_impl(PyObject* self, PyObject* arg, PyObject** out) noexcept {
    return guard<PySendResult>(PYGEN_ERROR, [&] { return gen_send(as_gen(self), arg, out); });
}

PyObject* iternext_impl(PyObject* self) noexcept {
    PyObject* out = nullptr;
    PySendResult r = am_send_impl(self, Py_None, &out);
    if (r == PYGEN_NEXT) return out;
    if (r == PYGEN_RETURN) {
        // A return value other than None travels in StopIteration; None ends iteration quietly.
        if (out != Py_None) return send_result(r, out);
        Py_DECREF(out);
    }
    return nullptr;
}

PyObject* send_impl(PyObject* self, PyObject* arg) noexcept {
    PyObject* out = nullptr;
    PySendResult r = am_send_impl(self, arg, &out);
    return send_result(r, out);
}

PyObject* throw_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        ref aimed_at = ref::borrow(as_gen(self)->delegate);
        ref exc = exception_from_throw_args(as_gen(self), args, nargs);
        PyObject* out = nullptr;
        PySendResult r = gen_throw_exc(as_gen(self), std::move(exc), &out, aimed_at.get());
        return send_result(r, out);
    });
}

PyObject* close_impl(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] { return gen_close_impl(as_gen(self)); });
}

void finalize_impl(PyObject* self) noexcept {
    genobj* g = as_gen(self);
    if (g->finished || !g->h) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (is_coro(g) && !g->started) {
        // The interpreter's own warning for a coroutine that was created but never awaited.
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", g->qualname) < 0)
            PyErr_WriteUnraisable(self);
    }
    PyObject* r = guard<PyObject*>(nullptr, [&] { return gen_close_impl(g); });
    if (r) Py_DECREF(r);
    else PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(saved);
}

int traverse_impl(PyObject* self, visitproc visit, void* arg) noexcept {
    genobj* g = as_gen(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(g->yielded);
    Py_VISIT(g->delegate);
    Py_VISIT(g->resume_value);
    Py_VISIT(g->resume_exc);
    Py_VISIT(g->name);
    Py_VISIT(g->qualname);
    for (PyObject* o : g->locals) Py_VISIT(o);
    for (frame_ref* r = g->frame_refs; r; r = r->next()) Py_VISIT(r->get());
    return 0;
}

int clear_impl(PyObject* self) noexcept {
    genobj* g = as_gen(self);
    // A body still suspended when the collector breaks a cycle (its finaliser could not end it)
    // never runs again: without its frame no body can see the slots cleared below, and its
    // frame_refs go with it.
    if (g->h && !g->running) drop_frame(g);
    Py_CLEAR(g->yielded);
    Py_CLEAR(g->delegate);
    Py_CLEAR(g->resume_value);
    Py_CLEAR(g->resume_exc);
    for (PyObject*& o : g->locals) Py_CLEAR(o);
    return 0;
}

void dealloc_impl(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    genobj* g = as_gen(self);
    PyObject_GC_UnTrack(self);
    // As the interpreter's generators do: weak references die before the finaliser runs (so it
    // cannot reach the dying object through one), and the object is tracked while the finaliser
    // runs, so that a resurrected generator stays visible to the garbage collector.
    if (g->weakreflist) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    clear_impl(self);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* repr_impl(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<%s object %U at %p>", kind_name(as_gen(self)), as_gen(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_gen(self)->name); }
PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_gen(self)->qualname); }
int set_str(PyObject** slot, PyObject* v, const char* what) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(v));
    return 0;
}
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

PyMethodDef gen_methods[] = {
    {"send", send_impl, METH_O, "send(arg) -> send 'arg' into the generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(throw_impl)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded value or raise\nStopIteration."},
    {"close", close_impl, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {},
};

PyGetSetDef gen_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_delegate, nullptr, nullptr, nullptr},
    {},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_delegate, nullptr, nullptr, nullptr},
    {},
};

PyMemberDef gen_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(genobj, weakreflist), Py_READONLY, nullptr},
    {},
};

// ---- the await wrapper: what coroutine.__await__() returns -------------------------------------

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
    w_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
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

PyType_Spec wrapper_spec = {
    "parleykit.coroutine_wrapper", sizeof(await_wrapper), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    wrapper_slots,
};

PyObject* coro_await(PyObject* self) noexcept {
    // One awaiter at a time, as the interpreter's await refuses for its own coroutines: a second
    // one would drive the awaitable that the first is waiting on.
    if (as_gen(self)->delegate) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    auto* w = PyObject_GC_New(await_wrapper, wrapper_type);
    if (!w) return nullptr;
    w->coro = Py_NewRef(self);
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

PyType_Slot gen_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iternext_impl)},
    {Py_am_send, reinterpret_cast<void*>(am_send_impl)},
    {Py_tp_methods, gen_methods},
    {Py_tp_getset, gen_getset},
    {Py_tp_members, gen_members},
    {Py_tp_repr, reinterpret_cast<void*>(repr_impl)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_impl)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_impl)},
    {Py_tp_finalize, reinterpret_cast<void*>(finalize_impl)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_impl)},
    {0, nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(coro_await)},
    {Py_am_send, reinterpret_cast<void*>(am_send_impl)},
    {Py_tp_methods, gen_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_members, gen_members},
    {Py_tp_repr, reinterpret_cast<void*>(repr_impl)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_impl)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_impl)},
    {Py_tp_finalize, reinterpret_cast<void*>(finalize_impl)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_impl)},
    {0, nullptr},
};

constexpr unsigned gen_flags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
PyType_Spec gen_spec = {"parleykit.generator", sizeof(genobj), 0, gen_flags, gen_slots};
PyType_Spec coro_spec = {"parleykit.coroutine", sizeof(genobj), 0, gen_flags, coro_slots};

}  // namespace

void ready_coro_types() {
    if (gen_type) return;
    // All three are made before any is published, so a failure leaves none half made.
    ref gen = ref::steal(PyType_FromSpec(&gen_spec));
    ref coro = ref::steal(PyType_FromSpec(&coro_spec));
    ref wrapper = ref::steal(PyType_FromSpec(&wrapper_spec));
    wrapper_type = reinterpret_cast<PyTypeObject*>(wrapper.release());
    coro_type = reinterpret_cast<PyTypeObject*>(coro.release());
    gen_type = reinterpret_cast<PyTypeObject*>(gen.release());
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
