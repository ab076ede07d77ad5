"""LLModal's call driver against a real loopback server: seeding the history for a turn, posting,
handing 200 replies to the readers, and reporting, answering and re-raising failed requests."""

import socket
import threading
import types

import pytest
import requests

import parleykit.modal as modal
from client_support import BUSY, Probe, isolated_config  # noqa: F401  (fixture)
from loopback import completion
from parleykit.message import MessageRole

S, U, A = MessageRole.system, MessageRole.user, MessageRole.assistant
CALL = {"id": "c1", "type": "function", "function": {"name": "f", "arguments": "{}"}}


@pytest.fixture(autouse=True)
def _config(isolated_config):
    yield


def entries(client):
    return [(m.role, m.contents) for m in client.messages]


def closed_port_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}/v1/chat/completions"


def with_leftovers(client):
    """Tool-call state that a failure must clear; returns the list that must not be emptied."""
    leftover = [CALL]
    client.tool_calls = leftover
    client._tool_calls_count = 2
    return leftover


# --- seeding the turn -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "system_prompt, first, second",
    [
        # The probe's readers record no answer: the next turn answers "a" with an empty text.
        ("rules", [(S, ["rules"]), (U, ["a"])], [(S, ["rules"]), (U, ["a"]), (A, [""]), (U, ["b"])]),
        ("", [(U, ["a"])], [(U, ["a"]), (A, [""]), (U, ["b"])]),
    ],
)
def test_system_prompt_only_into_an_empty_history(loopback, system_prompt, first, second):
    client = Probe(endpoint_url=loopback.url, system_prompt=system_prompt)
    loopback.push(completion("x"))
    client.invoke("a")
    assert entries(client) == first
    loopback.push(completion("x"))
    client.invoke(prompt="b")
    assert entries(client) == second


@pytest.mark.parametrize(
    "images, video, added",
    [
        ([], [], []),
        (["SU1H"], [], [(U, [[{"type": "image_url", "image_url": "data:image;base64,SU1H"}]])]),
        ([], ["RjE="], []),  # video alone does not make a user message
    ],
)
def test_empty_prompt_still_posts(loopback, images, video, added):
    client = Probe(endpoint_url=loopback.url, images=images, video=video)
    loopback.push(completion("x"))
    kind, response, _, _ = client.invoke("")
    assert (kind, response.status_code) == ("plain", 200)
    assert entries(client) == added
    assert loopback.requests[0].json["messages"] == client.messages_latest
    assert client.video == ([] if images else video)


class Text(str):
    pass


@pytest.mark.parametrize("prompt, type_name", [(None, "NoneType"), (b"x", "bytes"), (Text("x"), "Text")])
def test_prompt_must_be_exactly_str(loopback, prompt, type_name):
    client = Probe(endpoint_url=loopback.url, system_prompt="rules")
    leftover = with_leftovers(client)
    with pytest.raises(TypeError) as info:
        client.invoke(prompt)
    assert str(info.value) == f"Argument 'prompt' has incorrect type (expected str, got {type_name})"
    assert client.messages == [] and loopback.requests == []
    assert client.tool_calls is leftover and client._tool_calls_count == 2


# --- the request and the reply handed on --------------------------------------------------------


def test_post_gets_url_and_exactly_three_keywords(loopback, monkeypatch):
    calls = []

    def post(*args, **kwargs):
        calls.append((args, list(kwargs)))
        return requests.post(*args, **kwargs)

    monkeypatch.setattr(modal, "requests", types.SimpleNamespace(post=post))
    client = Probe(endpoint_url=loopback.url, extra_body={"stream": 1})
    loopback.push(completion("x"))
    kind, response, _, _ = client.invoke("hi")
    response.close()
    assert kind == "stream"
    assert calls == [((loopback.url,), ["headers", "json", "stream"])]
    assert loopback.requests[0].json == {"messages": [{"role": "user", "content": "hi"}], "stream": 1}


def test_stream_reply_is_handed_on_before_its_body_is_read(loopback):
    gate = threading.Event()
    loopback.push([b"data: {}\n\n", gate, b"data: [DONE]\n\n"])
    client = Probe(endpoint_url=loopback.url, extra_body={"stream": True})
    kind, response, _, _ = client.invoke("hi")
    try:
        assert kind == "stream" and response.status_code == 200
        assert not gate.is_set()
        assert entries(client) == [(U, ["hi"])]
    finally:
        gate.set()
        response.close()


# --- failed requests ----------------------------------------------------------------------------


@pytest.mark.parametrize("status", [500, 404, 201])
def test_status_other_than_200_is_reported_answered_and_raised(loopback, capsys, status):
    client = Probe(endpoint_url=loopback.url, system_prompt="rules")
    loopback.push(b'{"error": "boom"}', status=status)
    with pytest.raises(ValueError) as info:
        client.invoke("hi")
    text = f"""code: {status}, content: b'{{"error": "boom"}}'"""
    assert str(info.value) == text
    assert capsys.readouterr().out == f"LLM request error: {text}\n"
    assert entries(client) == [(S, ["rules"]), (U, ["hi"]), (A, [BUSY])]


def test_failure_clears_the_tool_call_state(loopback, capsys):
    client = Probe(endpoint_url=loopback.url)
    leftover = with_leftovers(client)
    loopback.push(b"", status=503)
    with pytest.raises(ValueError):
        client._core_call()
    assert client.tool_calls == [] and client.tool_calls is not leftover
    assert leftover == [CALL]
    assert client._tool_calls_count == 0
    assert entries(client) == [(A, [BUSY])]


def test_busy_answer_joins_an_assistant_entry_that_ends_the_history(loopback, capsys):
    client = Probe(endpoint_url=loopback.url)
    client.add_message(U, "q")
    client.add_message(A, "partial ")
    loopback.push(b"", status=500)
    with pytest.raises(ValueError):
        client._core_call()
    assert entries(client) == [(U, ["q"]), (A, ["partial " + BUSY])]


def test_refused_connection(capsys):
    client = Probe(endpoint_url=closed_port_url())
    with pytest.raises(requests.ConnectionError) as info:
        client.invoke("hi")
    assert capsys.readouterr().out == f"LLM request error: {info.value}\n"
    assert entries(client) == [(U, ["hi"]), (A, [BUSY])]


def test_the_same_exception_object_is_raised(monkeypatch, capsys):
    cause = ConnectionResetError("peer went away")

    def post(*args, **kwargs):
        raise cause

    monkeypatch.setattr(modal, "requests", types.SimpleNamespace(post=post))
    client = Probe(endpoint_url="http://127.0.0.1:9/")
    with pytest.raises(ConnectionResetError) as info:
        client.invoke("hi")
    assert info.value is cause
    assert capsys.readouterr().out == "LLM request error: peer went away\n"
    assert entries(client)[-1] == (A, [BUSY])


def test_request_that_cannot_be_built(loopback, capsys):
    client = Probe(endpoint_url=loopback.url)
    client.extra_body = None
    with pytest.raises(TypeError) as info:
        client.invoke("hi")
    assert str(info.value) == "argument after ** must be a mapping, not NoneType"
    assert capsys.readouterr().out == "LLM request error: argument after ** must be a mapping, not NoneType\n"
    assert entries(client) == [(U, ["hi"]), (A, [BUSY])]
    assert loopback.requests == []


def test_base_exceptions_pass_untouched(monkeypatch, capsys):
    def post(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(modal, "requests", types.SimpleNamespace(post=post))
    client = Probe(endpoint_url="http://127.0.0.1:9/")
    leftover = with_leftovers(client)
    with pytest.raises(KeyboardInterrupt):
        client._core_call()
    assert capsys.readouterr().out == ""
    assert client.messages == [] and client.tool_calls is leftover and client._tool_calls_count == 2


def test_failure_while_reporting_replaces_the_error(loopback, monkeypatch):
    def broken_print(*args, **kwargs):
        raise RuntimeError("stdout closed")

    monkeypatch.setattr("builtins.print", broken_print)
    client = Probe(endpoint_url=loopback.url)
    leftover = with_leftovers(client)
    loopback.push(b"", status=500)
    with pytest.raises(RuntimeError) as info:
        client._core_call()
    assert isinstance(info.value.__context__, ValueError)
    assert client.messages == [] and client.tool_calls is leftover



def test_a_new_turn_starts_a_new_request_cycle(loopback):
    # A consumer that abandoned a stream after tool-call fragments arrived leaves them behind.
    client = Probe(endpoint_url=loopback.url)
    leftover = with_leftovers(client)
    loopback.push(completion("x"))
    kind, response, tool_calls, count = client.invoke("next question")
    assert (tool_calls, count) == ([], 0)
    assert leftover == [CALL]
    assert entries(client) == [(U, ["next question"])]
