"""Shared pieces of the LLModal client tests: a client whose reply readers only record what they
were handed, a configuration isolated from the machine's own, a small tool registry, and a spy on
the printed reports, and the plain-or-streamed helpers of the turn tests."""

import builtins
import sys

import pytest

from loopback import chunk, completion, sse
from parleykit.config import Configurator
from parleykit.modal import LLModal
from parleykit.tools import Tools

BUSY = "The server is busy. Please try again later."


class Probe(LLModal):
    """Answers a 200 reply with what the readers were given, without reading the body, so a test
    sees exactly what was sent and the client state at the moment the reply arrived."""

    def _response(self, response):
        return ("plain", response, list(self.tool_calls), self._tool_calls_count)

    def _stream_response(self, response):
        return ("stream", response, list(self.tool_calls), self._tool_calls_count)


@pytest.fixture
def isolated_config(tmp_path, monkeypatch):
    """An empty configuration: no file (until the test writes ``path``), no overrides, no
    PARLEYKIT_ environment variables."""
    import os

    for name in list(os.environ):
        if name.startswith("PARLEYKIT_"):
            monkeypatch.delenv(name)
    path = tmp_path / "config.ini"
    monkeypatch.setenv("PARLEYKIT_CONFIG", str(path))
    Configurator.clear()
    yield path
    Configurator.clear()


def make_tools():
    """A registry with one tool, add(a, b)."""
    tools = Tools()

    @tools.register
    def add(a: int, b: int) -> int:
        """Add two numbers."""
        return a + b

    return tools


@pytest.fixture
def reports(monkeypatch):
    """Every printed report as (text, the exception being handled while it was printed)."""
    seen = []
    real = builtins.print

    def spy(*args, **kwargs):
        seen.append((args[0], sys.exception()))
        real(*args, **kwargs)

    monkeypatch.setattr(builtins, "print", spy)
    return seen


def client_reports(reports):
    """The client's own reports, without what other threads print (the loopback server's
    socketserver prints a traceback, with print, for a connection the client dropped)."""
    return [(text, exc) for text, exc in reports if text.startswith(("LLM request error: ", "Error parsing LLM response: "))]


@pytest.fixture(params=[False, True], ids=["plain", "streamed"])
def streamed(request):
    """Each test of a turn, once with a whole reply and once streamed."""
    return request.param


def text_reply(streamed, text="fine"):
    """A reply that answers with `text`, in the form the turn asks for."""
    return sse([chunk({"content": text}, "stop")]) if streamed else completion(text)


def consume(result, streamed):
    """What a turn's caller reads: the answer text, or the text of every piece."""
    return [p.content for p in result] if streamed else result.content
