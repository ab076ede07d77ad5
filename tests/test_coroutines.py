"""Native coroutines against their Python twins: awaiting, asyncio tasks and cancellation, the
await protocol, reuse, the never-awaited warning and garbage collection."""

import asyncio
import collections.abc
import gc
import inspect
import sys
import types
import warnings
import weakref

import pytest

from parleykit import _selftest as st


async def awaiting(aw):
    r = await aw
    return ("awaited", r)


async def guarded(aw, log):
    try:
        r = await aw
    except BaseException as e:
        log.append(e)
        raise
    return r


class Probe:
    """An awaitable whose iterator yields the given items, logs what is sent and thrown into it, and
    returns the last value sent."""

    def __init__(self, items, log):
        self.items, self.log = items, log

    def __await__(self):
        last = None
        try:
            for item in self.items:
                last = yield item
                self.log.append(("sent", last))
        except BaseException as e:
            self.log.append(("thrown", type(e).__name__))
            raise
        return last


def drive(coro, ops):
    out = []
    for op, *arg in ops:
        try:
            if op == "send":
                out.append(("yield", coro.send(arg[0])))
            elif op == "throw":
                out.append(("yield", coro.throw(arg[0]())))
            else:
                out.append(("closed", coro.close()))
        except StopIteration as e:
            out.append(("return", e.value))
        except BaseException as e:
            out.append(("raise", type(e).__name__, str(e)))
    return out


SCENARIOS = [
    [("send", None), ("send", "a"), ("send", "b")],
    [("send", None), ("throw", KeyError), ("send", None)],
    [("send", None), ("close",), ("send", None)],
    [("send", 1)],
    [("close",), ("send", None)],
    [("throw", ValueError), ("send", None)],
    [("send", None), ("send", "a"), ("send", "b"), ("send", None), ("throw", ValueError), ("close",)],
]


@pytest.mark.filterwarnings("ignore:coroutine '.*' was never awaited")  # send(1) before the start
@pytest.mark.parametrize("ops", SCENARIOS)
def test_await_protocol_matches_python(ops):
    native_log, twin_log = [], []
    native = drive(st.awaiting(Probe(["p1", "p2"], native_log)), ops)
    twin = drive(awaiting(Probe(["p1", "p2"], twin_log)), ops)
    assert native == twin
    assert native_log == twin_log


def test_asyncio_run_and_nesting():
    assert asyncio.run(st.awaiting(asyncio.sleep(0, "v"))) == ("awaited", "v")
    assert asyncio.run(st.awaiting(st.awaiting(asyncio.sleep(0, 1)))) == ("awaited", ("awaited", 1))

    async def python_caller():
        return await st.awaiting(awaiting(asyncio.sleep(0.001, 2)))

    assert asyncio.run(python_caller()) == ("awaited", ("awaited", 2))


def test_awaiting_a_future_inside_a_task():
    async def main():
        fut = asyncio.get_running_loop().create_future()
        task = asyncio.create_task(st.awaiting(fut))
        await asyncio.sleep(0)
        assert not task.done()
        fut.set_result(5)
        return await task

    assert asyncio.run(main()) == ("awaited", 5)


def test_exception_from_awaited_future_is_the_same_object():
    err = LookupError("same")

    async def main():
        fut = asyncio.get_running_loop().create_future()
        task = asyncio.create_task(st.awaiting(fut))
        await asyncio.sleep(0)
        fut.set_exception(err)
        with pytest.raises(LookupError) as info:
            await task
        return info.value

    assert asyncio.run(main()) is err


@pytest.mark.parametrize("make", [st.guarded, guarded], ids=["native", "python"])
def test_cancellation_reaches_awaited_object_and_coroutine(make):
    log = []

    class Waiter:
        def __await__(self):
            try:
                yield from asyncio.sleep(3600).__await__()
            except asyncio.CancelledError:
                log.append("waiter cancelled")
                raise

    async def main():
        task = asyncio.create_task(make(Waiter(), log))
        await asyncio.sleep(0)
        task.cancel("stop")
        with pytest.raises(asyncio.CancelledError):
            await task
        return task

    task = asyncio.run(main())
    assert task.cancelled()
    assert log[0] == "waiter cancelled"
    assert type(log[1]) is asyncio.CancelledError and log[1].args == ("stop",)


def test_predicates_and_abcs():
    assert inspect.iscoroutinefunction(st.awaiting) and inspect.iscoroutinefunction(st.guarded)
    assert not inspect.isgeneratorfunction(st.awaiting)
    c = st.awaiting(None)
    try:
        assert inspect.isawaitable(c)
        assert isinstance(c, collections.abc.Coroutine) and isinstance(c, collections.abc.Awaitable)
        assert not isinstance(c, collections.abc.Iterator) and not isinstance(c, collections.abc.Generator)
        assert asyncio.iscoroutine(c)
        assert not inspect.iscoroutine(c)  # not the built-in coroutine type, as for Cython's
        w = c.__await__()
        assert iter(w) is w and all(hasattr(w, m) for m in ("send", "throw", "close", "__next__"))
        assert c.__name__ == "awaiting" and repr(c).startswith("<coroutine object awaiting at 0x")
        with pytest.raises(TypeError):
            iter(c)
    finally:
        c.close()


def test_state_attributes_while_suspended():
    log = []
    probe = Probe(["p"], log)
    c = st.awaiting(probe)
    assert c.cr_await is None and not c.cr_suspended and not c.cr_running
    c.send(None)
    assert c.cr_suspended and c.cr_await is not None and c.cr_await.__class__.__name__ == "generator"
    c.close()
    assert c.cr_await is None and not c.cr_suspended
    assert log == [("thrown", "GeneratorExit")]


def test_reuse_and_errors_after_completion():
    for make in (st.awaiting, awaiting):
        c = make(asyncio.sleep(0, 1))
        assert asyncio.run(_await(c)) == ("awaited", 1)
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            c.send(None)
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            c.throw(ValueError("late"))
        assert c.close() is None


async def _await(aw):
    return await aw


@pytest.mark.parametrize("awaiter", ["native", "python"])
def test_a_second_awaiter_of_a_coroutine_already_being_awaited_is_refused(awaiter):
    # Native awaiters and the interpreter's own await refuse a second awaiter of a suspended
    # coroutine; without that, two awaiters would both drive the awaitable the first one waits on.
    outcomes = []
    for make in (st.awaiting, awaiting):
        log = []
        inner = make(Probe(["p1", "p2"], log))
        wrap = make if awaiter == "native" else _await
        first = wrap(inner)
        assert first.send(None) == "p1"
        second = wrap(inner)
        with pytest.raises(RuntimeError) as info:
            second.send(None)
        outcomes.append(str(info.value))
        assert first.send("x") == "p2"  # the first awaiter is undisturbed
        assert log == [("sent", "x")]
        first.close()
    assert outcomes == ["coroutine is being awaited already"] * 2


@pytest.mark.parametrize("value", [5, None, "text"])
def test_awaiting_a_non_awaitable(value):
    texts = []
    for make in (st.awaiting, awaiting):
        with pytest.raises(TypeError) as info:
            make(value).send(None)
        texts.append(str(info.value))
    assert texts[0] == texts[1]


def test_await_returning_non_iterator_or_coroutine():
    class Bad:
        def __await__(self):
            return 3

    for make in (st.awaiting, awaiting):
        with pytest.raises(TypeError, match="__await__\\(\\) returned non-iterator of type 'int'"):
            make(Bad()).send(None)


def test_generator_based_coroutine_is_awaitable():
    @types.coroutine
    def legacy():
        got = yield "legacy"
        return got

    c = st.awaiting(legacy())
    assert c.send(None) == "legacy"
    with pytest.raises(StopIteration) as info:
        c.send("back")
    assert info.value.value == ("awaited", "back")


def test_never_awaited_warning():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        c = st.awaiting(None)
        del c
        gc.collect()
    messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
    assert messages == ["coroutine 'awaiting' was never awaited"]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        c = st.awaiting(None)
        c.close()  # closing (or throwing into) an unstarted coroutine is not "never awaited"
        del c
        c = st.awaiting(None)
        with pytest.raises(KeyError):
            c.throw(KeyError())
        del c
        gc.collect()
    assert [w for w in caught if w.category is RuntimeWarning] == []


def test_suspended_coroutine_is_freed_and_cycles_collected():
    log = []
    c = st.awaiting(Probe(["p"], log))
    c.send(None)
    ref = weakref.ref(c)
    del c
    assert ref() is None
    assert log == [("thrown", "GeneratorExit")]

    class Cyclic:
        def __await__(self):
            yield self  # the awaitable is held by the coroutine and holds it back
            return None

    aw = Cyclic()
    c = st.guarded(aw, [])
    aw.owner = c
    c.send(None)
    ref = weakref.ref(c)
    del c, aw
    gc.collect()
    assert ref() is None


def test_memory_is_flat_over_many_tasks():
    import tracemalloc

    async def batch():
        for _ in range(300):
            await st.awaiting(asyncio.sleep(0, object()))
            task = asyncio.create_task(st.guarded(asyncio.sleep(3600), []))
            await asyncio.sleep(0)
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                pass

    asyncio.run(batch())
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        objects = len(gc.get_objects())
        for _ in range(5):
            asyncio.run(batch())
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 128 * 1024
    assert len(gc.get_objects()) - objects < 100
