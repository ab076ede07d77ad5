"""Native generators under pressure, beside their Python twins: finalisers that re-enter the
generator while a delegate is released, nesting deep enough to exhaust the recursion limit or a
small thread's stack (in subprocesses, where a crash is the failure), throw() arguments forwarded
down a delegation, and the states inspect reads."""

import gc
import inspect
import subprocess
import sys
import textwrap
import warnings

import pytest

from parleykit import _selftest as st
from test_coroutines import awaiting
from test_generators import counter, delegating


# ---- finalisers that re-enter -----------------------------------------------------------------------


def attempt(action, gen):
    try:
        return ("value", repr(action(gen)))
    except StopIteration as e:
        return ("return", repr(e.value))
    except BaseException as e:  # noqa: B036 - every kind is compared
        return ("raise", type(e).__name__, str(e))


REENTRY = {
    "next": next,
    "list": list,
    "close": lambda g: g.close(),
    "throw": lambda g: g.throw(KeyError("k")),
}


def make_delegate(ending, log, holder, action):
    """An iterable whose iterator is held only by the delegating generator; its __del__ (run when
    the generator lets go of it) acts on that generator."""

    class Delegate:
        def __iter__(self):
            return self

        def __next__(self):
            if ending == "error":
                raise ValueError("delegate failed")
            if ending == "return":
                raise StopIteration("delegate result")
            return "item"

        def throw(self, *args):
            raise ValueError("thrown away")

        def close(self):
            log.append("closed")

        def __del__(self):
            log.append(("__del__", attempt(action, holder[0])))

    class Source:
        def __iter__(self):
            return Delegate()

    return Source()


# How the delegation ends, and what then releases the delegate.
ENDINGS = {
    "returns": ("return", lambda g: next(g)),
    "fails": ("error", lambda g: next(g)),
    "closed": ("yield", lambda g: (next(g), g.close())),
    "thrown into": ("yield", lambda g: (next(g), g.throw(KeyError("t")))),
    "dropped": ("yield", lambda g: next(g)),
}


@pytest.mark.parametrize("action", sorted(REENTRY))
@pytest.mark.parametrize("ending", sorted(ENDINGS))
def test_a_finaliser_that_reenters_sees_a_consistent_generator(ending, action):
    kind, drive = ENDINGS[ending]
    results = []
    for make in (st.delegating, delegating):
        log, holder = [], []
        gen = make(make_delegate(kind, log, holder, REENTRY[action]))
        holder.append(gen)
        outcome = attempt(drive, gen)
        # A Python body's exceptions keep its frame (and through it the delegate) in a cycle until
        # the collector runs: collecting at each step lines the two sides' lifetimes up.
        gc.collect()
        if ending == "dropped":
            holder.clear()
            del gen
        else:
            after = attempt(next, gen)
            gc.collect()
            log.append(("after", after))
            holder.clear()
        results.append((outcome, log))
    assert results[0] == results[1]


# ---- depth --------------------------------------------------------------------------------------------

DEPTH_SCRIPT = """
import sys, threading
from parleykit import _selftest as st

def chain(n):
    g = iter(range(3))
    for _ in range(n):
        g = st.delegating(g)
    return g

def on_small_stack(fn, size=256 * 1024):
    out = []
    previous = threading.stack_size(size)
    try:
        t = threading.Thread(target=lambda: out.append(fn()))
        t.start()
    finally:
        threading.stack_size(previous)
    t.join()
    return out[0]

def outcome(fn):
    try:
        fn()
        return "done"
    except RecursionError:
        return "RecursionError"
    except KeyError:
        return "KeyError"
"""

DEPTH_CASES = {
    # A chain too deep for the limit: next() fails cleanly, and dropping it frees it.
    "next at 100,000 on the main thread": ("g = chain(100_000)\nprint(outcome(lambda: next(g)))\ndel g",
                                           "RecursionError"),
    "next at 1,200 on a small stack": ("print(on_small_stack(lambda: outcome(lambda: next(chain(1200)))))",
                                       "RecursionError"),
    # Started on the main thread, then thrown into, closed or dropped on a 256 KiB thread.
    "throw at 1,200 on a small stack": ("g = chain(1200); next(g)\n"
                                        "print(on_small_stack(lambda: outcome(lambda: g.throw(KeyError('k')))))",
                                        "KeyError|RecursionError"),
    "close at 1,200 on a small stack": ("g = chain(1200); next(g)\nprint(on_small_stack(lambda: outcome(g.close)))",
                                        "done|RecursionError"),
    "drop at 1,200 on a small stack": ("sys.unraisablehook = lambda u: None\n"
                                       "box = [chain(1200)]; next(box[0])\n"
                                       "print(on_small_stack(lambda: outcome(box.clear)))", "done"),
    "drop of 100,000 unstarted": ("g = chain(100_000)\ndel g\nprint('done')", "done"),
}


def run_script(body):
    script = textwrap.dedent(DEPTH_SCRIPT) + "\n" + body + "\nprint('survived')\n"
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("case", sorted(DEPTH_CASES))
def test_no_depth_of_native_delegation_crashes(case):
    body, expected = DEPTH_CASES[case]
    proc = run_script(body)
    assert proc.returncode == 0, proc.stderr[-2000:]
    lines = proc.stdout.split()
    assert lines[-1] == "survived"
    assert lines[0] in expected.split("|")


# ---- throw() arguments --------------------------------------------------------------------------------


class Receiver:
    """An iterator delegate whose throw records exactly what reached it."""

    def __init__(self, log):
        self.log = log

    def __iter__(self):
        return self

    def __next__(self):
        return "item"

    def throw(self, *args):
        self.log.append(tuple(a if not isinstance(a, BaseException) else ("exc", type(a), a.args) for a in args))
        raise KeyError("from the delegate")


def a_traceback():
    try:
        raise KeyError
    except KeyError as e:
        return e.__traceback__


@pytest.mark.parametrize("args", [
    (ValueError,), (ValueError("v"),), (ValueError, "v"), (ValueError, (1, 2)), (ValueError, None, None),
    (ValueError, None, 5),  # not a traceback: only the generator that raises it checks that
    (ValueError, None, a_traceback()),
], ids=repr)
@pytest.mark.parametrize("nesting", ["direct", "through a python generator", "through a native generator"])
def test_throw_forwards_its_arguments_to_an_iterator_delegate(args, nesting):
    def python_outer(it):
        return (yield from it)

    results = []
    for make in (st.delegating, delegating):
        log = []
        inner = Receiver(log)
        if nesting == "through a python generator":
            inner = python_outer(inner)
        elif nesting == "through a native generator":
            inner = st.delegating(inner)
        gen = make(inner)
        next(gen)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            results.append((attempt(lambda g: g.throw(*args), gen), log))
    assert results[0] == results[1]
    assert len(results[0][1]) == 1 and len(results[0][1][0]) == len(args)


# ---- the states inspect reads ----------------------------------------------------------------------


def generator_states(make):
    seen = []
    gen = make(lambda: seen.append(inspect.getgeneratorstate(gen)))
    seen.append(inspect.getgeneratorstate(gen))
    next(gen)
    seen.append(inspect.getgeneratorstate(gen))
    with pytest.raises(StopIteration):
        next(gen)
    seen.append(inspect.getgeneratorstate(gen))
    closed = make(lambda: None)
    closed.close()
    thrown = make(lambda: None)
    with pytest.raises(KeyError):
        thrown.throw(KeyError)
    seen += [inspect.getgeneratorstate(closed), inspect.getgeneratorstate(thrown)]
    return seen


def calls_back_twin(f):
    yield f()


def test_generator_states_read_as_for_python_generators():
    assert generator_states(st.calls_back) == generator_states(calls_back_twin) == [
        "GEN_CREATED", "GEN_RUNNING", "GEN_SUSPENDED", "GEN_CLOSED", "GEN_CLOSED", "GEN_CLOSED"]
    gen = st.counter(1)
    assert gen.gi_code.co_name == "counter" and inspect.CO_GENERATOR & gen.gi_code.co_flags
    assert gen.gi_frame is not None and gen.gi_frame.f_locals == {}
    gen.close()
    assert gen.gi_frame is None


class Step:
    def __await__(self):
        return (yield "step")


@pytest.mark.filterwarnings("ignore:coroutine '.*' was never awaited")
def test_coroutine_states_read_as_for_python_coroutines():
    results = []
    for make in (st.awaiting, awaiting):
        coro = make(Step())
        seen = [inspect.getcoroutinestate(coro)]
        coro.send(None)
        seen.append(inspect.getcoroutinestate(coro))
        with pytest.raises(StopIteration):
            coro.send("v")
        seen.append(inspect.getcoroutinestate(coro))
        fresh = make(Step())
        fresh.close()
        seen += [inspect.getcoroutinestate(fresh), inspect.CO_COROUTINE & coro.cr_code.co_flags != 0]
        results.append(seen)
    assert results[0] == results[1] == [
        "CORO_CREATED", "CORO_SUSPENDED", "CORO_CLOSED", "CORO_CLOSED", True]
