"""Native generators and coroutines driven side by side with their Python twins by Hypothesis: random
sequences of next, send, throw and close, re-entrant calls from delegates, attribute lookups,
exception constructors and properties, and garbage collection, compared after every step.

The suite runs a bounded, derandomised budget; ``scripts/differential.sh`` runs a long random one."""

import gc
import os
import warnings

import pytest
from hypothesis import HealthCheck, settings, strategies as hs
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from parleykit import _selftest as st
from test_coroutines import Probe, guarded
from test_generators import FailsInit, NoThrow, ReturnsInt, counter, delegating, norm

pytestmark = pytest.mark.filterwarnings("ignore:coroutine '.*' was never awaited:RuntimeWarning")

EXAMPLES = int(os.environ.get("PK_DIFFERENTIAL_EXAMPLES", "40"))
LONG = "PK_DIFFERENTIAL_EXAMPLES" in os.environ
SETTINGS = settings(
    max_examples=EXAMPLES,
    stateful_step_count=int(os.environ.get("PK_DIFFERENTIAL_STEPS", "12")),
    derandomize=not LONG,
    deadline=None,
    suppress_health_check=list(HealthCheck),
    database=None,
)


class Log(list):
    """Keeps what it is given in compared form: an exception kept whole would keep its traceback's
    Python frames (and what they hold) alive, which native bodies have no frames to do."""

    def append(self, item):
        super().append(norm(item))


class Side:
    """What one side of the comparison shares with the objects it drives: the outer generator
    (for re-entrant calls) and a log of what the delegates and hooks saw."""

    def __init__(self):
        self.outer = None
        self.native = False
        self.log = Log()

    def reenter(self, what):
        self.log.append((what, outcome(lambda: self.outer.send(None))))


def outcome(call):
    try:
        return ("value", norm(call()))
    except StopIteration as e:
        return ("return", norm(e.value))
    except BaseException as e:  # noqa: B036 - every kind of exception is compared
        return ("raise", type(e).__name__, str(e))


# ---- delegates --------------------------------------------------------------------------------------


def inner(side, n=3):
    """A Python generator delegate; the sent value "reenter" makes it call the outer generator."""
    try:
        for i in range(n):
            try:
                got = yield f"i{i}"
            except ValueError as e:
                side.log.append(("inner caught", str(e)))
                got = yield "recovered"
            if got == "reenter":
                side.reenter("from the delegate")
        return "inner done"
    finally:
        side.log.append("inner finally")


class Lookups(NoThrow):
    """An iterator delegate whose attribute lookups run Python code: looking up `close` calls the
    outer generator (the interpreter closes a delegate while its generator runs); it has no throw."""

    def __init__(self, side):
        super().__init__(["l0", "l1", "l2"])
        self.side = side

    def __getattr__(self, name):
        if name == "close":
            self.side.reenter("from the close lookup")
            return lambda: self.side.log.append("closed")
        raise AttributeError(name)


class ReentrantStop(StopIteration):
    """A StopIteration whose `value` property would call the outer generator if it were read."""

    side = None

    @property
    def value(self):
        self.side.reenter("from StopIteration.value")
        return "from the property"


class StopsOnThrow(NoThrow):
    """An iterator delegate whose throw() ends it with a ReentrantStop."""

    def __init__(self, side):
        super().__init__(["s0", "s1"])
        self.side = side

    def throw(self, *args):
        stop = ReentrantStop("stored value")
        stop.side = self.side
        raise stop


class Finalising(NoThrow):
    """An iterator delegate held only by the outer generator: its __del__, run when the generator lets
    go of it (at the end of the delegation, on close or throw), calls the outer generator."""

    def __init__(self, side):
        super().__init__(["f0", "f1"])
        self.side = side

    def close(self):
        self.side.log.append("finalising closed")

    def __del__(self):
        self.side.reenter("from the delegate's finaliser")


class Handing:
    """An iterable whose iterator is made afresh, so that only the delegation holds it."""

    def __init__(self, make):
        self.make = make

    def __iter__(self):
        return self.make()


def deep(side, levels=24):
    """A chain of delegating generators, native or Python as the side is, around a counter."""
    make, inner = (st.delegating, st.counter) if side.native else (delegating, counter)
    gen = inner(3)
    for _ in range(levels):
        gen = make(gen)
    return gen


DELEGATES = {
    "python generator": inner,
    "native generator": lambda side: st.counter(3),
    "python twin of it": lambda side: counter(3),
    "iterator without throw": lambda side: NoThrow(["n0", "n1"]),
    "lookups run code": Lookups,
    "stop with a property": StopsOnThrow,
    "finaliser re-enters": lambda side: Handing(lambda: Finalising(side)),
    "deep delegation": deep,
}


# ---- thrown values ----------------------------------------------------------------------------------


class Custom(BaseException):
    pass


def a_traceback():
    try:
        raise KeyError("tb")
    except KeyError as e:
        return e.__traceback__


TB = a_traceback()


def reentrant_error(side):
    class ReentrantError(Exception):
        def __init__(self, *args):
            super().__init__(*args)
            side.reenter("from the exception constructor")

    return (ReentrantError,)


# Each makes the arguments of one throw() call, afresh for each side.
THROWN = {
    "class": lambda side: (ValueError,),
    "instance": lambda side: (ValueError("v"),),
    "other class": lambda side: (KeyError,),
    "StopIteration class": lambda side: (StopIteration,),
    "StopIteration instance": lambda side: (StopIteration("s"),),
    "GeneratorExit": lambda side: (GeneratorExit,),
    "GeneratorExit instance": lambda side: (GeneratorExit("g"),),
    "BaseException subclass": lambda side: (Custom("c"),),
    "KeyboardInterrupt": lambda side: (KeyboardInterrupt,),
    "tuple value": lambda side: (ValueError, (1, 2)),
    "single value": lambda side: (ValueError, "one"),
    "traceback": lambda side: (ValueError, None, TB),
    "instance and traceback": lambda side: (KeyError("k"), None, TB),
    "class returning a non-exception": lambda side: (ReturnsInt,),
    "failing constructor": lambda side: (FailsInit, None),
    "constructor re-entering": reentrant_error,
}

SENT = hs.one_of(hs.none(), hs.integers(-3, 3), hs.sampled_from(["x", (1, 2), "reenter"]))


# ---- the machines ----------------------------------------------------------------------------------


class Differential(RuleBasedStateMachine):
    """Drives (native, twin) pairs made by `make(side)` and compares what each step gives."""

    kind = "generator"

    def make(self, side, choice, native):
        raise NotImplementedError

    def setup(self, choice):
        self.sides = (Side(), Side())
        self.gens = []
        for native, side in zip((True, False), self.sides):
            side.native = native
            gen = self.make(side, choice, native)
            side.outer = gen
            self.gens.append(gen)

    def step(self, op):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the (type, value, tb) form of throw() is deprecated
            results = [outcome(lambda g=g, side=side: op(g, side)) for g, side in zip(self.gens, self.sides)]
        assert results[0] == results[1]
        assert type(43) is int

    def state(self, gen):
        prefix = "cr_" if self.kind == "coroutine" else "gi_"
        return (getattr(gen, prefix + "running"), getattr(gen, prefix + "suspended"),
                getattr(gen, prefix + ("await" if self.kind == "coroutine" else "yieldfrom")) is None)

    @invariant()
    def same_state(self):
        if getattr(self, "gens", None):
            assert self.state(self.gens[0]) == self.state(self.gens[1])
            assert self.sides[0].log == self.sides[1].log

    @rule()
    def advance(self):
        self.step(lambda g, side: g.send(None) if self.kind == "coroutine" else next(g))

    @rule(value=SENT)
    def send(self, value):
        self.step(lambda g, side: g.send(value))

    @rule(thrown=hs.sampled_from(sorted(THROWN)))
    def throw(self, thrown):
        self.step(lambda g, side: g.throw(*THROWN[thrown](side)))

    @rule()
    def close(self):
        self.step(lambda g, side: g.close())

    @rule()
    def collect(self):
        gc.collect()


class Generators(Differential):
    @initialize(choice=hs.sampled_from(["counter", *sorted(DELEGATES)]), n=hs.integers(0, 3))
    def start(self, choice, n):
        self.n = n
        self.setup(choice)

    def make(self, side, choice, native):
        if choice == "counter":
            return (st.counter if native else counter)(self.n)
        return (st.delegating if native else delegating)(DELEGATES[choice](side))


class Coroutines(Differential):
    kind = "coroutine"

    @initialize(choice=hs.sampled_from(["probe", "native coroutine", "python coroutine"]))
    def start(self, choice):
        self.setup(choice)

    def make(self, side, choice, native):
        if choice == "probe":
            awaited = Probe(["p0", "p1", "p2"], side.log)
        else:
            # A coroutine awaiting a probe, itself awaited: a chain of two delegations.
            awaited = (st.guarded if choice == "native coroutine" else guarded)(Probe(["q0", "q1"], side.log), side.log)
        return (st.guarded if native else guarded)(awaited, side.log)

    def teardown(self):
        with warnings.catch_warnings():
            # An inner coroutine that its closed awaiter never started is never awaited.
            warnings.simplefilter("ignore")
            for gen in getattr(self, "gens", []):
                try:
                    gen.close()
                except BaseException:  # noqa: B036 - a coroutine that ignores GeneratorExit
                    pass
            self.gens = []
            gc.collect()


TestGenerators = SETTINGS(Generators).TestCase
TestCoroutines = SETTINGS(Coroutines).TestCase
