// The driver shared by native generators and coroutines: it runs a C++ coroutine body with Python's
// generator protocol (send/throw/close, PEP 380 delegation, finalisation, collection).
//
// Two rules hold throughout, as in the interpreter's own generator loop:
//  - Nothing that can run Python code (a decref that may reach a __del__, a call, a lookup) happens
//    while the generator's state is in between: the generator is either marked running (a
//    re-entrant call is refused with "generator already executing") or already marked finished
//    (a re-entrant call finds an exhausted generator). A delegate is released while running.
//  - Every level of native nesting counts against the recursion limit and the thread's stack:
//    send, throw and close into a chain of delegating generators recurse once per level, and the
//    deallocation of a chain goes through the trashcan.
#include "pk/coro_impl.hpp"
#include "pk/depth.hpp"

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

}  // namespace pk

namespace pk::coro_impl {
namespace {

const char* kind_name(genobj* g) { return is_coro(g) ? "coroutine" : "generator"; }

// What the recursion check appends to "maximum recursion depth exceeded": nothing, as for the
// interpreter's own generators.
const char* const no_detail = "";

name n_close{"close"}, n_throw{"throw"};

// Marks the generator running for the scope: Python code run on its behalf (a delegate's
// methods, attribute lookups, the release of a delegate) cannot re-enter it.
class running_scope {
public:
    explicit running_scope(genobj* g) : g_(g), was_(g->running) { g_->running = true; }
    ~running_scope() { g_->running = was_; }
    running_scope(const running_scope&) = delete;
    running_scope& operator=(const running_scope&) = delete;

private:
    genobj* g_;
    bool was_;
};

// A finished body's state goes at once, as the interpreter clears the frame of a finished
// generator: whatever it held (a response, a connection, its arguments) is not kept alive by a
// generator object that the caller still holds. Called only once the generator is marked
// finished, so that whatever the releases run finds it so.
void clear_frame(genobj* g) {
    Py_CLEAR(g->resume_value);
    Py_CLEAR(g->resume_exc);
    Py_CLEAR(g->delegate);
    Py_CLEAR(g->frame);
    for (PyObject*& o : g->locals) Py_CLEAR(o);
}

// Lets go of a suspended (or unstarted) body's frame. The generator is finished first: the frame's
// destructors release objects, and whatever that runs finds a finished generator.
void drop_frame(genobj* g) {
    body::handle h = std::exchange(g->h, {});
    g->finished = true;
    h.destroy();
}

// The body has run to its end (called while marked running): hand out its return value or error.
PySendResult finish(genobj* g, PyObject** out) {
    body::promise_type& p = g->h.promise();
    ref result = std::move(p.result), error = std::move(p.error);
    body::handle h = std::exchange(g->h, {});
    g->finished = true;
    g->running = false;
    h.destroy();
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

// Ends the active delegation (called while marked running) with the delegate's outcome `r`: its
// return value lands in *value, its error in *exc; the delegate itself is released here, inside
// the running state, as the interpreter pops it off the frame's stack.
void end_delegation(genobj* g, PySendResult r, PyObject* res, ref* value, ref* exc) {
    if (r == PYGEN_RETURN) *value = ref::steal(res);
    else *exc = fetch_error();
    Py_CLEAR(g->delegate);
}

// Runs the body from its suspension point with `value` (or raising `exc` there) until it yields,
// delegates or finishes; a newly started delegation is primed here, so the caller only ever sees
// items. Called while marked running; leaves the generator not running.
PySendResult run_body(genobj* g, ref value, ref exc, PyObject** out) {
    for (;;) {
        // The slots are empty here (the previous resumption consumed them).
        Py_XSETREF(g->resume_value, value.release());
        Py_XSETREF(g->resume_exc, exc.release());
        g->started = true;
        g->h.resume();
        if (g->h.done()) return finish(g, out);
        if (g->yielded) {
            *out = g->yielded;
            g->yielded = nullptr;
            g->running = false;
            return PYGEN_NEXT;
        }
        // The body asked to delegate: the first item comes from sending None.
        PyObject* res = nullptr;
        PySendResult r = PyIter_Send(g->delegate, Py_None, &res);
        if (r == PYGEN_NEXT) {
            *out = res;
            g->running = false;
            return PYGEN_NEXT;
        }
        end_delegation(g, r, res, &value, &exc);
    }
}

bool refuse_running(genobj* g) {
    if (!g->running) return false;
    PyErr_Format(PyExc_ValueError, "%s already executing", kind_name(g));
    return true;
}

// A finished generator asked to go on: a generator stays exhausted, a coroutine refuses reuse.
PySendResult finished_send(genobj* g, PyObject** out) {
    if (is_coro(g)) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    *out = Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

PySendResult gen_send(genobj* g, PyObject* arg, PyObject** out) {
    *out = nullptr;
    if (refuse_running(g)) return PYGEN_ERROR;
    if (g->finished) return finished_send(g, out);
    if (!g->started && arg != Py_None) {
        PyErr_Format(PyExc_TypeError, "can't send non-None value to a just-started %s", kind_name(g));
        return PYGEN_ERROR;
    }
    recursion_guard depth(no_detail);
    g->running = true;
    ref value, exc;
    if (g->delegate) {
        PyObject* res = nullptr;
        PySendResult r = PyIter_Send(g->delegate, arg, &res);
        if (r == PYGEN_NEXT) {
            *out = res;
            g->running = false;
            return PYGEN_NEXT;
        }
        end_delegation(g, r, res, &value, &exc);
    } else {
        value = ref::borrow(arg);
    }
    return run_body(g, std::move(value), std::move(exc), out);
}

// Raises `exc` at the body's suspension point: the last step of throw() and close() once any
// delegate has had its say. Python code may have run since the caller looked at the generator, so
// its state is looked at again here.
PySendResult throw_into_body(genobj* g, ref exc, PyObject** out) {
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
    g->running = true;
    if (g->delegate) {
        // The interpreter pops the delegate before an except clause of the body sees the error.
        Py_CLEAR(g->delegate);
    }
    return run_body(g, nullptr, std::move(exc), out);
}

// The delegation ended in an error (the delegate's throw or close failed, or a thrown
// StopIteration came back): the body receives it at its `yield from`, where a StopIteration is
// the delegation's result, as at the interpreter's.
PySendResult delegation_failed(genobj* g, ref error, PyObject** out) {
    if (refuse_running(g) || g->finished || !g->delegate) return throw_into_body(g, std::move(error), out);
    g->running = true;
    Py_CLEAR(g->delegate);
    if (PyErr_GivenExceptionMatches(error.get(), PyExc_StopIteration)) {
        ref value = ref::borrow(reinterpret_cast<PyStopIterationObject*>(error.get())->value);
        error = nullptr;
        return run_body(g, std::move(value), nullptr, out);
    }
    return run_body(g, nullptr, std::move(error), out);
}

// The arguments of one throw() call as the caller gave them: (typ), (typ, val) or (typ, val, tb).
// They travel unchanged down a chain of delegates, and only where the exception is raised into a
// body are they made into an exception, as the interpreter does.
struct thrown {
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* typ() const { return args[0]; }
    PyObject* val() const { return nargs > 1 ? args[1] : Py_None; }
    PyObject* tb() const { return nargs > 2 ? args[2] : Py_None; }
};

// The exception to raise from throw()'s arguments, normalised as the interpreter does. A class is
// called with the value (a tuple value as the argument list); when that call fails, or gives
// something that is not an exception, the resulting error is what the generator receives, as in
// the interpreter. Errors in the arguments themselves are raised from throw() alone.
ref exception_from(const thrown& t) {
    PyObject *typ = t.typ(), *val = t.val(), *tb = t.tb();
    if (tb != Py_None && !PyTraceBack_Check(tb)) raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    ref exc;
    if (PyExceptionClass_Check(typ)) {
        if (PyExceptionInstance_Check(val) && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ))) {
            exc = ref::borrow(val);
        } else {
            ref made;
            if (val == Py_None) made = ref::steal_or_null(PyObject_CallNoArgs(typ));
            else if (PyTuple_Check(val)) made = ref::steal_or_null(PyObject_Call(typ, val, nullptr));
            else made = ref::steal_or_null(PyObject_CallOneArg(typ, val));
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

PySendResult gen_throw(genobj* g, const thrown& t, PyObject** out);

// Calls iter.close() if it has one: how a delegate is shut down on GeneratorExit.
void close_iter(PyObject* iter) {
    if (ref meth = getattr_opt(iter, n_close)) call(meth);
}

// Forwards a throw() to the active delegate (PEP 380): a generator or coroutine receives the very
// arguments, an iterator its throw method called with them; GeneratorExit closes the delegate
// instead. Returns true with *r set when the delegation produced the outcome; false when the
// exception is to be raised into the body itself.
bool throw_to_delegate(genobj* g, const thrown& t, PyObject** out, PySendResult* r) {
    ref delegate = ref::borrow(g->delegate);
    if (PyErr_GivenExceptionMatches(t.typ(), PyExc_GeneratorExit)) {
        try {
            running_scope busy(g);
            close_iter(delegate.get());
        } catch (python_error&) {
            ref error = fetch_error();
            delegate = nullptr;  // the generator's own reference goes last, inside the running state
            *r = delegation_failed(g, std::move(error), out);
            return true;
        }
        return false;
    }
    ref res;
    if (Py_IS_TYPE(delegate.get(), generator_type()) || Py_IS_TYPE(delegate.get(), coroutine_type())) {
        running_scope busy(g);
        PySendResult inner = gen_throw(as_gen(delegate.get()), t, out);
        if (inner == PYGEN_NEXT) {
            *r = PYGEN_NEXT;
            return true;
        }
        if (inner == PYGEN_RETURN) {
            // A delegate's return out of throw() ends the delegation with that value.
            PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, *out);
            Py_CLEAR(*out);
            if (stop) {
                PyErr_SetObject(PyExc_StopIteration, stop);
                Py_DECREF(stop);
            }
        }
    } else {
        bool has_throw;
        {
            // A failed lookup (not an AttributeError) leaves throw() at once, the body untouched.
            // The generator counts as running during the lookup too: Python code run by it cannot
            // move the body on underneath this throw.
            running_scope busy(g);
            ref meth = getattr_opt(delegate.get(), n_throw);
            has_throw = bool(meth);
            if (meth) res = ref::steal_or_null(PyObject_Vectorcall(meth.get(), t.args, t.nargs, nullptr));
        }
        if (!has_throw) return false;
        if (res) {
            *out = res.release();
            *r = PYGEN_NEXT;
            return true;
        }
    }
    ref error = fetch_error();
    delegate = nullptr;
    *r = delegation_failed(g, std::move(error), out);
    return true;
}

PySendResult gen_throw(genobj* g, const thrown& t, PyObject** out) {
    *out = nullptr;
    recursion_guard depth(no_detail);
    if (g->delegate && !g->running && !g->finished) {
        PySendResult r;
        if (throw_to_delegate(g, t, out, &r)) return r;
    }
    ref exc = exception_from(t);
    return throw_into_body(g, std::move(exc), out);
}

// close(): GeneratorExit at the suspension point; yielding again is an error.
PyObject* gen_close(genobj* g) {
    if (refuse_running(g)) return nullptr;
    if (g->finished) Py_RETURN_NONE;
    if (!g->started) {
        // Closing an unstarted generator never runs its body.
        drop_frame(g);
        Py_RETURN_NONE;
    }
    PyObject* out = nullptr;
    PyObject* exit_type = PyExc_GeneratorExit;
    PySendResult r = gen_throw(g, thrown{&exit_type, 1}, &out);
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

}  // namespace

// ---- slot and method functions ----------------------------------------------------------------

genobj* as_gen(PyObject* o) { return reinterpret_cast<genobj*>(o); }
bool is_coro(genobj* g) { return Py_IS_TYPE(g, coroutine_type()); }

PySendResult am_send_impl(PyObject* self, PyObject* arg, PyObject** out) noexcept {
    *out = nullptr;
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
        if (nargs < 1) raise(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        if (nargs > 3) raise(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                      "the (type, exc, tb) signature of throw() is deprecated, "
                                      "use the single-arg signature instead.",
                                      1) < 0)
            throw python_error{};
        PyObject* out = nullptr;
        PySendResult r = PYGEN_ERROR;
        try {
            r = gen_throw(as_gen(self), thrown{args, nargs}, &out);
        } catch (...) {
            Py_CLEAR(out);
            throw;
        }
        return send_result(r, out);
    });
}

PyObject* close_impl(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] { return gen_close(as_gen(self)); });
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
    PyObject* r = guard<PyObject*>(nullptr, [&] { return gen_close(g); });
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
    Py_VISIT(g->code);
    Py_VISIT(g->frame);
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
    Py_CLEAR(g->frame);
    for (PyObject*& o : g->locals) Py_CLEAR(o);
    return 0;
}

void dealloc_impl(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    genobj* g = as_gen(self);
    PyObject_GC_UnTrack(self);
    // A chain of generators each holding the next (a deep `yield from`, nested readers) is freed
    // level by level without one C frame per level.
    Py_TRASHCAN_BEGIN(self, dealloc_impl)
    // As the interpreter's generators do: weak references die before the finaliser runs (so it
    // cannot reach the dying object through one), and the object is tracked while the finaliser
    // runs, so that a resurrected generator stays visible to the garbage collector.
    if (g->weakreflist) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) goto done;  // resurrected
    PyObject_GC_UnTrack(self);
    clear_impl(self);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    Py_CLEAR(g->code);
    tp->tp_free(self);
    Py_DECREF(tp);
done:
    Py_TRASHCAN_END
}

PyObject* repr_impl(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<%s object %U at %p>", kind_name(as_gen(self)), as_gen(self)->qualname, self);
}

PyMethodDef methods[] = {
    {"send", send_impl, METH_O, "send(arg) -> send 'arg' into the generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(throw_impl)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded value or raise\nStopIteration."},
    {"close", close_impl, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {},
};

}  // namespace pk::coro_impl
