"""What a native generator still holds once its body has ended, against its Python twin, and the
streamed reply's response that a finished reading must not keep alive."""

import gc
import types
import weakref

import pytest
import requests

import parleykit.modal as modal
from loopback import chunk, sse
from parleykit import _selftest as st
from parleykit.modal import LLModal
from test_generators import delegating  # the Python twin of the native one


def items():
    yield 1
    yield 2


def swallow(op):
    try:
        op()
    except (StopIteration, TypeError, ValueError):
        pass


SCENARIOS = {
    "exhausted": lambda gen: list(gen),
    "failed": lambda gen: (next(gen), swallow(lambda: gen.throw(TypeError("boom")))),
    "caught then finished": lambda gen: (next(gen), gen.throw(ValueError("x")), swallow(lambda: next(gen))),
    "closed while suspended": lambda gen: (next(gen), gen.close()),
    "closed before start": lambda gen: gen.close(),  # the interpreter keeps the frame here
    "thrown before start": lambda gen: swallow(lambda: gen.throw(TypeError("early"))),
    "suspended": lambda gen: next(gen),
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_arguments_are_held_exactly_as_python_holds_them(scenario):
    held = {}
    for name, make in (("python", delegating), ("native", st.delegating)):
        source = items()
        ref = weakref.ref(source)
        gen = make(source)
        del source
        SCENARIOS[scenario](gen)
        gc.collect()
        held[name] = ref() is not None  # while `gen` is still referenced here
        del gen
    assert held["native"] == held["python"]


@pytest.mark.parametrize(
    "body, consume",
    [
        (sse([chunk({"content": "a"}, "stop")]), list),
        (b"data: {broken\n\n", lambda gen: swallow(lambda: list(gen))),
    ],
    ids=["finished", "failed"],
)
def test_a_finished_reading_lets_go_of_its_response(loopback, monkeypatch, capsys, body, consume):
    responses = []

    def post(*args, **kwargs):
        response = requests.post(*args, **kwargs)
        responses.append(weakref.ref(response))
        return response

    monkeypatch.setattr(modal, "requests", types.SimpleNamespace(post=post))
    loopback.push(body)
    gen = LLModal(endpoint_url=loopback.url, extra_body={"stream": True}).invoke("x")
    consume(gen)
    gc.collect()
    assert responses and responses[0]() is None  # the generator object itself is still alive
    assert gen.gi_running is False
