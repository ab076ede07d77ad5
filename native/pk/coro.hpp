// Python generators and coroutines whose bodies are C++20 coroutines.
//
// A body reads like the Python it replaces:
//     pk::body my_body(pk::genobj* g) {
//         pk::ref sent = co_yield pk::integer(1);          // yield
//         pk::ref r = co_await pk::yield_from(g->local(0)); // yield from (PEP 380)
//         pk::ref v = co_await pk::await_(awaitable);      // await
//         co_return pk::none();
//     }
// The Python-facing object drives the body: it forwards send/throw/close to the delegate of a
// `yield from`/`await` itself and resumes the body only with the delegate's result or error.
// Python errors cross a suspension point as pk::python_error (the error set), so a body's
// try/catch sees GeneratorExit and friends where Python code would.
//
// Rules for bodies (g++ 12): one co_yield/co_await per statement, its result in a named local; no
// co_yield/co_await inside a catch handler. Every Python reference that is alive across a
// co_yield/co_await lives in a g->local slot or a pk::frame_ref, which the garbage collector sees;
// a plain pk::ref there would hide its object from the collector, and a cycle through it would
// never be collected.
#pragma once
#include "pk/call.hpp"

#include <coroutine>

namespace pk {

struct genobj;
class frame_ref;

// The body's coroutine type. Created suspended; owned by its genobj.
class body {
public:
    struct promise_type;
    using handle = std::coroutine_handle<promise_type>;

    // Asks the driver to delegate to `iter` until it finishes (yield from / await).
    struct delegate_request {
        ref iter;
    };

    // Suspends the body; on resumption returns the sent value or throws the thrown-in error.
    struct resume_point {
        genobj* g;
        bool await_ready() const noexcept { return false; }
        void await_suspend(handle) const noexcept {}
        ref await_resume() const;
    };

    struct promise_type {
        genobj* owner;
        ref result;
        ref error;

        template <class... A>
        explicit promise_type(genobj* g, A&...) : owner(g) {}

        body get_return_object() { return body(handle::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(ref v) { result = std::move(v); }
        void unhandled_exception() noexcept;
        resume_point yield_value(ref value);
        resume_point await_transform(delegate_request req);
    };

    explicit body(handle h) : h_(h) {}
    body(body&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    body(const body&) = delete;
    ~body() {
        if (h_) h_.destroy();
    }
    handle release() { return std::exchange(h_, {}); }

private:
    handle h_;
};

// yield from `iterable` (iter() of it).
body::delegate_request yield_from(PyObject* iterable);
// await `awaitable` (its __await__ iterator, or the coroutine itself).
body::delegate_request await_(PyObject* awaitable);

inline constexpr int max_locals = 10;

enum class gen_kind { generator, coroutine };

// The Python-facing generator or coroutine object.
struct genobj {
    PyObject_HEAD
    body::handle h;
    PyObject* yielded;       // value handed out at the current suspension
    PyObject* delegate;      // iterator of an active yield from / await
    PyObject* resume_value;  // what the body's suspension point returns next
    PyObject* resume_exc;    // or the error it raises there
    PyObject* name;
    PyObject* qualname;
    PyObject* weakreflist;
    PyObject* code;          // gi_code/cr_code, made on first use
    PyObject* frame;         // gi_frame/cr_frame while the body can still run, made on first use
    bool running;
    bool started;
    bool finished;
    PyObject* locals[max_locals];  // the body's state that the garbage collector must see
    frame_ref* frame_refs;         // the body's frame_ref locals, newest first

    PyObject* local(int i) const { return locals[i]; }
    void set_local(int i, ref v) { Py_XSETREF(locals[i], v.release()); }
};

// A strong reference kept in a body's frame (a local of the coroutine) that the garbage collector
// sees: while it lives it is linked into its generator's list, which traversal visits and clearing
// empties. It is a pk::ref in every other respect, but cannot be copied or moved (the list holds
// its address).
class frame_ref : public ref {
public:
    explicit frame_ref(genobj* g, ref v = {}) noexcept : ref(std::move(v)), owner_(g), next_(g->frame_refs) {
        if (next_) next_->prev_ = this;
        g->frame_refs = this;
    }
    ~frame_ref() {
        // Unlinked before the reference goes, so a __del__ run by the decref never sees it.
        if (prev_) prev_->next_ = next_;
        else owner_->frame_refs = next_;
        if (next_) next_->prev_ = prev_;
    }
    frame_ref(const frame_ref&) = delete;
    frame_ref& operator=(const frame_ref&) = delete;
    frame_ref& operator=(ref v) noexcept {
        ref::operator=(std::move(v));
        return *this;
    }

    frame_ref* next() const noexcept { return next_; }

private:
    genobj* owner_;
    frame_ref* prev_ = nullptr;
    frame_ref* next_;
};

using body_fn = body (*)(genobj*);

// Creates an unstarted generator (or coroutine) running `fn`; `locals` fill the first slots.
ref make_generator(gen_kind kind, body_fn fn, std::initializer_list<PyObject*> locals, PyObject* name,
                   PyObject* qualname);

// The generator and coroutine types; made once, when the first module that uses them is executed.
PyTypeObject* generator_type();
PyTypeObject* coroutine_type();
void ready_coro_types();

}  // namespace pk
