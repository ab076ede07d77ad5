"""Faults of the server and of the surroundings, over a real loopback server: connections cut in the
middle of a reply, a stalled stream cancelled from another thread, refused requests (429, 500), and
errors raised while a failure is being reported."""

import builtins
import json
import sys
import threading
import time

import pytest
import requests

from client_support import BUSY, isolated_config, make_tools, reports  # noqa: F401  (fixtures)
from loopback import DROP, chunk, completion, sse, sse_events
from parleykit.message import MessageRole
from parleykit.modal import LLModal, LLMStatus
from parleykit.tools import Tools

U, A = MessageRole.user, MessageRole.assistant
CALL = {"id": "c1", "type": "function", "function": {"name": "add", "arguments": '{"a": 1, "b": 2}'}}


@pytest.fixture(autouse=True)
def _config(isolated_config):
    yield


def client_for(loopback, streamed):
    return LLModal(endpoint_url=loopback.url, extra_body={"stream": streamed}, tools=make_tools())


def entries(client):
    return [(m.role, m.contents) for m in client.messages]


def leave_state(client):
    """Tool-call state a failure must clear."""
    client.tool_calls = [dict(CALL)]
    client._tool_calls_count = 2


# ---- connections cut mid-reply ------------------------------------------------------------------


def test_plain_reply_cut_mid_body_fails_the_request(loopback, reports):
    # A whole reply is read inside the post: a cut body is a failed request, not an unreadable reply.
    body = completion("a complete answer")
    loopback.push([body[:20], DROP])
    client = client_for(loopback, False)
    leave_state(client)
    with pytest.raises(requests.exceptions.ChunkedEncodingError) as caught:
        client.invoke("x")
    assert reports == [(f"LLM request error: {caught.value}", caught.value)]
    assert entries(client) == [(U, ["x"]), (A, [BUSY])]
    assert (client.tool_calls, client._tool_calls_count) == ([], 0)


def test_plain_reply_ended_by_close_is_unreadable(loopback, reports):
    # Without a length or chunking, a closed connection ends the body: what came is decoded.
    loopback.push([completion("a complete answer")[:30]], chunked=False)
    client = client_for(loopback, False)
    with pytest.raises(requests.exceptions.JSONDecodeError) as caught:
        client.invoke("x")
    assert reports == [(f"Error parsing LLM response: {caught.value}", caught.value)]
    assert entries(client) == [(U, ["x"]), (A, [BUSY])]


@pytest.mark.parametrize("answered", [True, False])
def test_stream_cut_mid_line(loopback, reports, answered):
    first = sse_events([chunk({"content": "kept"})], done=False)[0] if answered else b": hello\n"
    half = sse_events([chunk({"content": "never seen"}, "stop")], done=False)[0][:25]
    loopback.push([first, half, DROP])
    client = client_for(loopback, True)
    gen = client.invoke("x")
    got = [next(gen).content] if answered else []
    with pytest.raises(requests.exceptions.ChunkedEncodingError) as caught:
        next(gen)
    assert reports == [(f"Error parsing LLM response: {caught.value}", caught.value)]
    assert entries(client) == [(U, ["x"]), (A, ["kept" if answered else BUSY])]
    assert got == (["kept"] if answered else [])
    with pytest.raises(StopIteration):
        next(gen)


def test_stream_ended_by_close_mid_line_decodes_the_rest(loopback, reports):
    # Without chunking the cut is the end of the body; its unfinished last line is still a line.
    loopback.push([sse_events([chunk({"content": "a"})], done=False)[0], b'data: {"choices": [{"del'], chunked=False)
    gen = client_for(loopback, True).invoke("x")
    assert next(gen).content == "a"
    with pytest.raises(json.JSONDecodeError) as caught:
        next(gen)
    assert reports == [(f"Error parsing LLM response: {caught.value}", caught.value)]


def test_follow_up_stream_cut_fails_through_both_readings(loopback, reports):
    loopback.push(sse([chunk({"tool_calls": [dict(CALL, index=0)]}), chunk({}, "tool_calls")]))
    loopback.push([sse_events([chunk({"content": "par"})], done=False)[0], DROP])
    client = client_for(loopback, True)
    gen = client.invoke("x")
    statuses = [next(gen).status for _ in range(3)]
    with pytest.raises(requests.exceptions.ChunkedEncodingError) as caught:
        next(gen)
    assert statuses == [LLMStatus.tool_calls, LLMStatus.tool_results, LLMStatus.answer]
    # Reported once, by the reading that failed; it had recorded its answer, so no default is added.
    assert reports == [(f"Error parsing LLM response: {caught.value}", caught.value)]
    assert client.messages[-1].contents == ["par"]
    assert (client.tool_calls, client._tool_calls_count) == ([], 0)


# ---- a stalled stream and the _close flag -------------------------------------------------------


def test_close_flag_waits_for_the_next_line_of_a_stalled_stream(loopback):
    gate = threading.Event()
    events = sse_events([chunk({"content": "a"}), chunk({"content": "b"}), chunk({}, "stop")])
    loopback.push([events[0], gate, *events[1:]])
    client = client_for(loopback, True)
    gen = client.invoke("x")
    assert next(gen).content == "a"

    outcome = []

    def consume():
        try:
            outcome.append(next(gen))
        except BaseException as exc:
            outcome.append(exc)

    consumer = threading.Thread(target=consume, daemon=True)
    consumer.start()
    time.sleep(0.2)  # the consumer is now blocked reading the stalled connection
    client._close = True
    consumer.join(0.5)
    # The flag does not interrupt a read that is waiting for the server.
    assert consumer.is_alive() and outcome == [] and client._close is True
    gate.set()  # the next line arrives: the reader sees the flag before it reads that line
    consumer.join(5)
    assert not consumer.is_alive()
    assert len(outcome) == 1 and isinstance(outcome[0], StopIteration)
    assert client._close is False
    assert entries(client) == [(U, ["x"]), (A, ["a"])]  # "b" was never taken


# ---- refused requests ---------------------------------------------------------------------------


@pytest.mark.parametrize("status", [429, 500])
@pytest.mark.parametrize("streamed", [False, True])
def test_refused_request(loopback, reports, status, streamed):
    body = b'{"error": {"message": "Rate limit reached", "type": "requests"}}'
    loopback.push(body, status=status, headers=[("Retry-After", "1")])
    client = client_for(loopback, streamed)
    leave_state(client)
    with pytest.raises(ValueError) as caught:
        client.invoke("x")  # a refused stream fails before any generator is handed out
    assert str(caught.value) == f"code: {status}, content: {body!r}"
    assert reports == [(f"LLM request error: {caught.value}", caught.value)]
    assert entries(client) == [(U, ["x"]), (A, [BUSY])]
    assert (client.tool_calls, client._tool_calls_count) == ([], 0)


def test_refused_follow_up_of_a_plain_tool_round(loopback, reports):
    loopback.push(completion(None, tool_calls=[CALL]))
    loopback.push(b"slow down", status=429)
    client = client_for(loopback, False)
    with pytest.raises(ValueError) as caught:
        client.invoke("x")
    # The failed request is reported and answered once, by the driver; the reading passes it on.
    assert reports == [(f"LLM request error: {caught.value}", caught.value)]
    assert client.messages[-1].role == A and client.messages[-1].contents == [BUSY]
    assert [m.role for m in client.messages] == [U, A, MessageRole.tool, A]
    assert (client.tool_calls, client._tool_calls_count) == ([], 0)


# ---- failures while a failure is reported -------------------------------------------------------


@pytest.mark.parametrize("streamed", [False, True])
def test_error_while_reporting_keeps_the_reply_error_as_its_context(loopback, monkeypatch, streamed):
    def broken_print(*args, **kwargs):
        raise RuntimeError("stdout closed")

    loopback.push(b"data: {}\n\n" if streamed else b"{}")
    client = client_for(loopback, streamed)
    monkeypatch.setattr(builtins, "print", broken_print)
    with pytest.raises(RuntimeError) as caught:
        result = client.invoke("x")
        if streamed:
            list(result)
    # As in an except block: the error that was being reported is not lost.
    assert isinstance(caught.value.__context__, KeyError)
    assert caught.value.__context__.args == ("choices",)
    assert entries(client) == [(U, ["x"])]  # the remaining steps were skipped
