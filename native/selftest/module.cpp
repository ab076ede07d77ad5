// parleykit._selftest: small functions, generators and coroutines that exercise the native runtime
// against their Python equivalents in the tests. Not part of the public API.
#include "pk/coro.hpp"
#include "pk/klass.hpp"
#include "pk/module.hpp"

namespace {

PyObject* g_globals = nullptr;
pk::name n_counter{"counter"}, n_delegating{"delegating"}, n_awaiting{"awaiting"}, n_raise_stop{"raise_stop"},
    n_ignore_exit{"ignore_exit"}, n_calls_back{"calls_back"}, n_append{"append"}, n_guarded{"guarded"};

// def echo(a: int, b: "str | None" = None, **kwargs) -> tuple: return (a, b, kwargs)
pk::ref echo(PyObject* const* a) { return pk::tuple({a[0], a[1], a[2]}); }
const pk::fn_def echo_def{
    .name = "echo", .qualname = "echo", .impl = echo,
    .params = {{"a", "int"}, {"b", "str | None"}, {"kwargs", nullptr}},
    .returns = "tuple", .doc = "Return the arguments as bound.", .var_keywords = true,
};

// def fresh_echo(): a new, distinct function object for echo (tests may rename or rewrap it)
pk::ref fresh_echo(PyObject* const*) {
    pk::ref defaults = pk::tuple({Py_None});
    return pk::make_function(echo_def, g_globals, defaults.get());
}
const pk::fn_def fresh_echo_def{.name = "fresh_echo", .qualname = "fresh_echo", .impl = fresh_echo};

// class Holder: def who(self, x): return (self, x)
pk::ref who(PyObject* const* a) { return pk::tuple({a[0], a[1]}); }
const pk::fn_def who_def{.name = "who", .qualname = "Holder.who", .impl = who, .params = {{"self"}, {"x"}}};

// def counter(n):
//     got = []
//     for i in range(n):
//         got.append((yield i))
//     return got
pk::body counter_body(pk::genobj* g) {
    long n = PyLong_AsLong(g->local(0));
    if (n == -1 && PyErr_Occurred()) throw pk::python_error{};
    g->set_local(1, pk::new_list());
    for (long i = 0; i < n; ++i) {
        pk::ref sent = co_yield pk::integer(i);
        pk::check(PyList_Append(g->local(1), sent.get()));
    }
    co_return pk::ref::borrow(g->local(1));
}
pk::ref counter(PyObject* const* a) {
    return pk::make_generator(pk::gen_kind::generator, counter_body, {a[0]}, n_counter, n_counter);
}
const pk::fn_def counter_def{.name = "counter", .qualname = "counter", .impl = counter, .params = {{"n"}},
                             .kind = pk::fn_kind::generator};

// def delegating(it):
//     try:
//         r = yield from it
//     except ValueError as e:
//         r = ("caught", e)
//     yield ("result", r)
//     return "done"
pk::body delegating_body(pk::genobj* g) {
    pk::ref r;
    try {
        pk::ref got = co_await pk::yield_from(g->local(0));
        r = got;
    } catch (pk::python_error&) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw;
        pk::ref e = pk::fetch_error();
        r = pk::tuple({pk::str("caught").get(), e.get()});
    }
    g->set_local(1, r);
    pk::frame_ref item{g, pk::tuple({pk::str("result").get(), g->local(1)})};
    pk::ref ignored = co_yield item;
    co_return pk::str("done");
}
pk::ref delegating(PyObject* const* a) {
    return pk::make_generator(pk::gen_kind::generator, delegating_body, {a[0]}, n_delegating, n_delegating);
}
const pk::fn_def delegating_def{.name = "delegating", .qualname = "delegating", .impl = delegating,
                                .params = {{"it"}}, .kind = pk::fn_kind::generator};

// async def awaiting(aw): r = await aw; return ("awaited", r)
pk::body awaiting_body(pk::genobj* g) {
    pk::ref r = co_await pk::await_(g->local(0));
    co_return pk::tuple({pk::str("awaited").get(), r.get()});
}
pk::ref awaiting(PyObject* const* a) {
    return pk::make_generator(pk::gen_kind::coroutine, awaiting_body, {a[0]}, n_awaiting, n_awaiting);
}
const pk::fn_def awaiting_def{.name = "awaiting", .qualname = "awaiting", .impl = awaiting, .params = {{"aw"}},
                              .kind = pk::fn_kind::coroutine};

// async def guarded(aw, log):
//     try:
//         r = await aw
//     except BaseException as e:
//         log.append(e)
//         raise
//     return r
pk::body guarded_body(pk::genobj* g) {
    pk::ref r;
    try {
        pk::ref got = co_await pk::await_(g->local(0));
        r = got;
    } catch (pk::python_error&) {
        pk::ref e = pk::fetch_error();
        pk::call_method(g->local(1), n_append, e);
        pk::restore_error(e);
        throw;
    }
    co_return r;
}
pk::ref guarded(PyObject* const* a) {
    return pk::make_generator(pk::gen_kind::coroutine, guarded_body, {a[0], a[1]}, n_guarded, n_guarded);
}
const pk::fn_def guarded_def{.name = "guarded", .qualname = "guarded", .impl = guarded,
                             .params = {{"aw"}, {"log"}}, .kind = pk::fn_kind::coroutine};

// def raise_stop(): yield 1; raise StopIteration("x")
pk::body raise_stop_body(pk::genobj*) {
    pk::ref ignored = co_yield pk::integer(1);
    pk::raise(PyExc_StopIteration, "x");
    co_return pk::none();
}
pk::ref raise_stop(PyObject* const*) {
    return pk::make_generator(pk::gen_kind::generator, raise_stop_body, {}, n_raise_stop, n_raise_stop);
}
const pk::fn_def raise_stop_def{.name = "raise_stop", .qualname = "raise_stop", .impl = raise_stop,
                                .kind = pk::fn_kind::generator};

// def ignore_exit(log):
//     while True:
//         try: yield 1
//         except GeneratorExit: log.append("exit")
pk::body ignore_exit_body(pk::genobj* g) {
    for (;;) {
        bool exited = false;
        try {
            pk::ref ignored = co_yield pk::integer(1);
        } catch (pk::python_error&) {
            if (!PyErr_ExceptionMatches(PyExc_GeneratorExit)) throw;
            PyErr_Clear();
            exited = true;
        }
        if (exited) pk::call_method(g->local(0), n_append, pk::str("exit"));
    }
}
pk::ref ignore_exit(PyObject* const* a) {
    return pk::make_generator(pk::gen_kind::generator, ignore_exit_body, {a[0]}, n_ignore_exit, n_ignore_exit);
}
const pk::fn_def ignore_exit_def{.name = "ignore_exit", .qualname = "ignore_exit", .impl = ignore_exit,
                                 .params = {{"log"}}, .kind = pk::fn_kind::generator};

// def calls_back(f): yield f()     (f may try to advance this very generator)
pk::body calls_back_body(pk::genobj* g) {
    pk::frame_ref v{g, pk::call(g->local(0))};  // alive across the yield: the collector must see it
    pk::ref ignored = co_yield v;
    co_return pk::none();
}
pk::ref calls_back(PyObject* const* a) {
    return pk::make_generator(pk::gen_kind::generator, calls_back_body, {a[0]}, n_calls_back, n_calls_back);
}
const pk::fn_def calls_back_def{.name = "calls_back", .qualname = "calls_back", .impl = calls_back,
                                .params = {{"f"}}, .kind = pk::fn_kind::generator};

void body(PyObject* m) {
    g_globals = pk::globals_of(m);
    pk::ref defaults = pk::tuple({Py_None});
    pk::bind(m, "echo", pk::make_function(echo_def, g_globals, defaults.get()).get());
    pk::ref bases = pk::tuple({});
    pk::class_builder holder(g_globals, "Holder", "Holder", bases.get());
    holder.method(who_def);
    pk::bind(m, "Holder", holder.create().get());
    for (const pk::fn_def* d : {&counter_def, &delegating_def, &awaiting_def, &raise_stop_def, &ignore_exit_def,
                                &calls_back_def, &guarded_def, &fresh_echo_def})
        pk::bind(m, d->name, pk::make_function(*d, g_globals).get());
}

}  // namespace

PK_MODULE(_selftest, "_selftest", body)
