"""Native generators against their Python twins: the generator protocol, PEP 380 delegation in both
directions, PEP 479, closing and finalisation, and garbage collection."""

import collections.abc
import gc
import inspect
import sys
import tracemalloc
import weakref

import pytest

from parleykit import _selftest as st


# ---- Python twins of the self-test generators -------------------------------------------------------

def counter(n):
    got = []
    for i in range(n):
        got.append((yield i))
    return got


def delegating(it):
    try:
        r = yield from it
    except ValueError as e:
        r = ("caught", e)
    yield ("result", r)
    return "done"


def raise_stop():
    yield 1
    raise StopIteration("x")


def ignore_exit(log):
    while True:
        try:
            yield 1
        except GeneratorExit:
            log.append("exit")


def calls_back(f):
    yield f()


def recorder(log, n=2):
    """A Python delegate that logs what reaches it."""
    try:
        for i in range(n):
            try:
                got = yield f"r{i}"
                log.append(("got", got))
            except ValueError as e:
                log.append(("caught", str(e)))
                yield "recovered"
        return "rec-done"
    except GeneratorExit:
        log.append("exit")
        raise
    finally:
        log.append("finally")


class NoThrow:
    """An iterator delegate without throw() or close()."""

    def __init__(self, items):
        self.items = list(items)

    def __iter__(self):
        return self

    def __next__(self):
        if not self.items:
            raise StopIteration("nothrow-done")
        return self.items.pop(0)


PAIRS = {
    "counter": (st.counter, counter),
    "delegating": (st.delegating, delegating),
    "raise_stop": (st.raise_stop, raise_stop),
    "ignore_exit": (st.ignore_exit, ignore_exit),
}


def norm(v):
    if isinstance(v, BaseException):
        return ("exc", type(v).__name__, str(v))
    if isinstance(v, tuple):
        return tuple(norm(x) for x in v)
    if isinstance(v, list):
        return [norm(x) for x in v]
    return v


def drive(gen, ops):
    """Applies ops to gen and records what each one gives: a yielded value, a return or an error."""
    out = []
    for op, *arg in ops:
        try:
            if op == "next":
                v = next(gen)
            elif op == "send":
                v = gen.send(arg[0])
            elif op == "throw":
                v = gen.throw(arg[0]())
            else:
                v = gen.close()
                out.append(("closed", norm(v)))
                continue
            out.append(("yield", norm(v)))
        except StopIteration as e:
            out.append(("return", norm(e.value)))
        except BaseException as e:
            cause = e.__cause__
            out.append(("raise", type(e).__name__, str(e), cause and type(cause).__name__))
    return out


SCENARIOS = [
    ("counter", lambda: (3,), [("next",), ("send", "a"), ("send", "b"), ("send", "c"), ("next",), ("send", 1)]),
    ("counter", lambda: (0,), [("next",), ("next",)]),
    ("counter", lambda: (2,), [("send", "x")]),
    ("counter", lambda: (2,), [("next",), ("throw", ValueError), ("next",), ("throw", KeyError)]),
    ("counter", lambda: (2,), [("throw", ValueError), ("next",)]),
    ("counter", lambda: (2,), [("throw", StopIteration), ("next",)]),
    ("counter", lambda: (2,), [("close",), ("next",), ("close",)]),
    ("counter", lambda: (2,), [("next",), ("close",), ("next",), ("send", 1)]),
    ("counter", lambda: (1,), [("next",), ("send", (1, 2))]),
    ("raise_stop", lambda: (), [("next",), ("next",), ("next",)]),
    ("delegating", lambda: ([10, 20],), [("next",), ("next",), ("next",), ("next",)]),
    ("delegating", lambda: (NoThrow([1, 2]),), [("next",), ("throw", ValueError), ("next",)]),
    ("delegating", lambda: (NoThrow([1]),), [("next",), ("throw", KeyError), ("next",)]),
    ("delegating", lambda: (NoThrow([1]),), [("next",), ("next",), ("next",)]),
    ("delegating", lambda: (iter([1]),), [("next",), ("send", 5)]),
    ("delegating", lambda: (5,), [("next",)]),
    ("ignore_exit", lambda: ([],), [("next",), ("close",), ("next",), ("throw", ValueError)]),
]


@pytest.mark.parametrize("name, make_args, ops", SCENARIOS, ids=[f"{s[0]}-{i}" for i, s in enumerate(SCENARIOS)])
def test_protocol_matches_python(name, make_args, ops):
    native, twin = PAIRS[name]
    assert drive(native(*make_args()), ops) == drive(twin(*make_args()), ops)


DELEGATE_SCENARIOS = [
    [("next",), ("send", "s1"), ("send", "s2"), ("next",)],
    [("next",), ("throw", ValueError), ("send", "after"), ("next",), ("next",)],
    [("next",), ("throw", KeyError), ("next",)],
    [("next",), ("close",), ("next",)],
    [("next",), ("send", "s1"), ("close",)],
    [("close",)],
]


@pytest.mark.parametrize("ops", DELEGATE_SCENARIOS)
def test_native_delegates_to_python_generator(ops):
    native_log, twin_log = [], []
    native = drive(st.delegating(recorder(native_log)), ops)
    twin = drive(delegating(recorder(twin_log)), ops)
    assert native == twin
    assert native_log == twin_log


@pytest.mark.parametrize("ops", DELEGATE_SCENARIOS[:4])
def test_python_yield_from_over_native(ops):
    def outer(make):
        r = yield from make(3)
        return ("outer", r)

    assert drive(outer(st.counter), ops) == drive(outer(counter), ops)


def test_yieldfrom_attribute_and_state():
    log = []
    inner = recorder(log)
    g = st.delegating(inner)
    assert g.gi_yieldfrom is None and not g.gi_running and not g.gi_suspended
    next(g)
    assert g.gi_yieldfrom is inner and g.gi_suspended
    g.close()
    assert g.gi_yieldfrom is None and not g.gi_suspended
    assert log == ["exit", "finally"]
    assert inner.gi_frame is None


def test_close_of_delegate_raising_replaces_generator_exit():
    class BadClose(NoThrow):
        def close(self):
            raise KeyError("close failed")

    for make in (st.delegating, delegating):
        g = make(BadClose([1]))
        next(g)
        with pytest.raises(KeyError, match="close failed"):
            g.close()


def test_thrown_object_is_the_same_exception():
    for make in (st.counter, counter):
        g = make(2)
        next(g)
        exc = ValueError("same")
        with pytest.raises(ValueError) as info:
            g.throw(exc)
        assert info.value is exc


def test_throw_with_legacy_signature_warns_and_matches():
    results = []
    for make in (st.counter, counter):
        g = make(2)
        next(g)
        with pytest.warns(DeprecationWarning, match="signature of throw"):
            with pytest.raises(ValueError) as info:
                g.throw(ValueError, "v")
        results.append(str(info.value))
    assert results == ["v", "v"]
    for make in (st.counter, counter):
        for args in [(), (1, 2, 3, 4)]:
            with pytest.raises(TypeError) as info:
                make(2).throw(*args)
            results.append(str(info.value))
    assert results[2:4] == results[4:6]
    with pytest.raises(TypeError, match="exceptions must be classes or instances deriving from BaseException"):
        st.counter(1).throw(3)


def test_pep479_wraps_stop_iteration():
    g = st.raise_stop()
    assert next(g) == 1
    with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as info:
        next(g)
    assert type(info.value.__cause__) is StopIteration and str(info.value.__cause__) == "x"
    assert info.value.__context__ is info.value.__cause__


def test_close_before_start_never_runs_the_body():
    calls = []
    g = st.calls_back(lambda: calls.append("ran"))
    assert g.close() is None
    assert calls == []
    with pytest.raises(StopIteration):
        next(g)
    assert calls == []


def test_throw_before_start_never_runs_the_body():
    calls = []
    g = st.calls_back(lambda: calls.append("ran"))
    with pytest.raises(KeyError):
        g.throw(KeyError("k"))
    assert calls == []
    with pytest.raises(StopIteration):
        next(g)


def test_ignored_generator_exit(monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda u: None)  # the finaliser's second refusal
    for make in (st.ignore_exit, ignore_exit):
        log = []
        g = make(log)
        next(g)
        with pytest.raises(RuntimeError, match="^generator ignored GeneratorExit$"):
            g.close()
        assert log == ["exit"]
        assert next(g) == 1
        del g
        gc.collect()


def test_ignored_generator_exit_at_finalisation_is_unraisable(monkeypatch):
    seen = {}
    for name, make in (("native", st.ignore_exit), ("python", ignore_exit)):
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append((type(u.exc_value), str(u.exc_value))))
        log = []
        g = make(log)
        next(g)
        del g
        gc.collect()
        seen[name] = (reports, log)
    assert seen["native"] == seen["python"]
    assert seen["native"] == ([(RuntimeError, "generator ignored GeneratorExit")], ["exit"])


def test_reentrant_next_is_refused():
    for make in (st.calls_back, calls_back):
        holder = []
        g = make(lambda: next(holder[0]))
        holder.append(g)
        with pytest.raises(ValueError, match="^generator already executing$"):
            next(g)
        holder.clear()


def test_reentrant_next_through_a_delegate_is_refused():
    holder = []

    def inner():
        yield 1
        yield next(holder[0])

    for make in (st.delegating, delegating):
        g = make(inner())
        holder[:] = [g]
        assert next(g) == 1
        # The delegate fails with the refusal, which reaches the body as a ValueError it catches.
        assert norm(next(g)) == ("result", ("caught", ("exc", "ValueError", "generator already executing")))
        holder.clear()


def test_iteration_protocol_and_abcs():
    g = st.counter(3)
    assert iter(g) is g
    assert list(g) == [0, 1, 2]
    g = st.counter(1)
    assert isinstance(g, collections.abc.Generator) and isinstance(g, collections.abc.Iterator)
    assert not isinstance(g, collections.abc.Coroutine)
    assert not inspect.isgenerator(g)  # as for Cython's generators: not the built-in generator type
    assert inspect.isgeneratorfunction(st.counter)
    assert g.__name__ == "counter" and g.__qualname__ == "counter"
    assert repr(g).startswith("<generator object counter at 0x")
    g.__qualname__ = "renamed"
    assert g.__qualname__ == "renamed"
    with pytest.raises(TypeError):
        g.__name__ = 1
    with pytest.raises(TypeError):
        type(g)()


# ---- garbage collection -------------------------------------------------------------------------------

class Token:
    pass


def live_tokens():
    gc.collect()
    return sum(1 for o in gc.get_objects() if type(o) is Token)


def test_suspended_generator_is_freed():
    g = st.counter(5)
    next(g)
    g.send(Token())
    ref = weakref.ref(g)
    del g
    assert ref() is None
    assert live_tokens() == 0


@pytest.mark.parametrize("make", [st.counter, counter], ids=["native", "python"])
def test_cycle_through_generator_locals_is_collected(make):
    g = make(5)
    next(g)
    g.send(g)  # the generator's own list of received values now holds it
    g.send(Token())
    ref = weakref.ref(g)
    del g
    gc.collect()
    assert ref() is None
    assert live_tokens() == 0


def test_cycle_through_a_suspended_delegation_is_collected():
    log = []
    box = []

    def inner():
        try:
            yield box  # the delegate's frame holds the box, the box holds the outer generator
            yield 2
        finally:
            log.append("inner closed")

    g = st.delegating(inner())
    box.append(g)
    next(g)
    ref = weakref.ref(g)
    del g, box[:]
    box.append(ref())
    del box
    gc.collect()
    assert ref() is None
    assert log == ["inner closed"]


def test_weakrefs_are_dead_when_the_finaliser_runs():
    # The interpreter clears weak references before finalising; a finaliser that could still reach
    # the dying generator would resurrect it, and a resurrected object must stay tracked by the GC.
    class Delegate(NoThrow):
        def close(self):
            obj = self.ref()
            self.seen.append(obj)

    for make in (st.delegating, delegating):
        d = Delegate([1, 2])
        d.seen = []
        g = make(d)
        next(g)
        d.ref = weakref.ref(g)
        del g
        assert d.seen == [None]


def test_resurrected_generator_stays_tracked():
    keep = []

    class Delegate(NoThrow):
        def close(self):
            keep.append(self.outer)
            del self.outer

    d = Delegate([1, 2])
    g = st.delegating(d)
    next(g)
    d.outer = g  # cycle: g -> d (delegate) -> g
    del g, d
    gc.collect()
    assert len(keep) == 1
    assert gc.is_tracked(keep[0])
    with pytest.raises(StopIteration):
        # Finalised (closed through GeneratorExit): exhausted, as a resurrected Python generator is.
        next(keep[0])


@pytest.mark.parametrize("scenario", ["complete", "abandon", "delegate", "throw"])
def test_memory_is_flat_over_many_runs(scenario):
    def once():
        if scenario == "complete":
            g = st.counter(4)
            next(g)
            for _ in range(4):
                try:
                    g.send(Token())
                except StopIteration:
                    pass
        elif scenario == "abandon":
            g = st.counter(4)
            next(g)
            g.send(Token())
        elif scenario == "delegate":
            log = []
            g = st.delegating(recorder(log))
            next(g)
            g.send(Token())
            g.close()
        else:
            g = st.delegating(NoThrow([Token()]))
            next(g)
            g.throw(ValueError("boom"))

    for _ in range(200):
        once()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        objects = len(gc.get_objects())
        for _ in range(3000):
            once()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024
    assert len(gc.get_objects()) - objects < 50
    assert live_tokens() == 0


# ---- throw(): argument normalisation and re-entry ----------------------------------------------------


class ReturnsInt(Exception):
    def __new__(cls, *args):
        return 43


class FailsInit(Exception):
    def __init__(self, *args):
        raise KeyError("from __init__")


def outcome(call):
    try:
        return ("value", norm(call()))
    except StopIteration as e:
        return ("return", norm(e.value))
    except BaseException as e:
        return ("raise", type(e).__name__, str(e), norm(e.args))


THROWS = {
    "non-exception from the class": (ReturnsInt, None, None),
    "failing constructor": (FailsInit,),
    "tuple value": (ValueError, (1, 2)),
    "list value": (ValueError, [1, 2]),
    "instance of a subclass as value": (LookupError, KeyError("k")),
    "unrelated instance as value": (KeyError, ValueError("v")),
}


@pytest.mark.parametrize("args", THROWS.values(), ids=THROWS)
@pytest.mark.parametrize("make_pair", [
    lambda: (st.counter(3), counter(3)),
    lambda: (st.delegating(recorder([])), delegating(recorder([]))),
], ids=["plain", "delegating"])
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_thrown_arguments_are_normalised_as_python_does(args, make_pair):
    results = []
    for gen in make_pair():
        next(gen)
        results.append((outcome(lambda: gen.throw(*args)), gen.gi_suspended, outcome(lambda: next(gen))))
    assert results[0] == results[1]
    assert type(43) is int  # nothing was written into a non-exception


class Drainer(NoThrow):
    """A delegate whose `throw` lookup tries to run the delegating generator to its end."""

    def __getattr__(self, name):
        if name == "throw":
            self.seen.append(outcome(lambda: list(self.outer)))
        raise AttributeError(name)


def test_reentry_during_the_delegates_throw_lookup_is_refused():
    # The interpreter (3.12, 3.13) lets this call in and afterwards resumes the frame with the state
    # it saved before the lookup; here the generator counts as running during the lookup.
    d = Drainer([1, 2])
    d.seen = []
    g = st.delegating(d)
    d.outer = g
    next(g)
    assert outcome(lambda: g.throw(KeyError("k"))) == ("raise", "KeyError", "'k'", ("k",))
    assert d.seen == [("raise", "ValueError", "generator already executing", ("generator already executing",))]
    assert outcome(lambda: next(g)) == ("return", None)


class LoudStop(StopIteration):
    @property
    def value(self):
        self.seen.append(outcome(lambda: next(self.outer)))
        return "from the property"


class StopsOnThrow(NoThrow):
    def throw(self, exc):
        raise LoudStop("stored")


class ReentrantError(Exception):
    def __init__(self, *args):
        super().__init__(*args)
        self.seen.append(outcome(lambda: next(self.outer)))


@pytest.mark.parametrize("scenario", ["stop-value property", "exception constructor"])
def test_python_code_run_for_throw_cannot_reenter(scenario):
    results = []
    for make in (st.delegating, delegating):
        seen = []
        d = StopsOnThrow([1, 2]) if scenario == "stop-value property" else recorder([])
        g = make(d)
        LoudStop.seen = ReentrantError.seen = seen
        LoudStop.outer = ReentrantError.outer = g
        next(g)
        thrown = KeyError("k") if scenario == "stop-value property" else ReentrantError
        results.append((outcome(lambda: g.throw(thrown)), seen, outcome(lambda: next(g))))
    assert results[0] == results[1]


def test_a_value_alive_across_a_yield_is_seen_by_the_collector():
    # calls_back(f) holds f()'s result in its frame while suspended at `yield f()`.
    for make in (st.calls_back, calls_back):
        box = []
        g = make(lambda: box)
        box.append(g)
        assert next(g) is box
        ref = weakref.ref(g)
        del g, box
        gc.collect()
        assert ref() is None, make
