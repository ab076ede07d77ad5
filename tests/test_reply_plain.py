"""Whole (non-streamed) replies read end to end over a real loopback server: answers, tool rounds,
the iteration limit and every failure path."""

import json

import pytest

from loopback import completion
from client_support import BUSY, make_tools
from parleykit.message import MessageRole
from parleykit.modal import LLModal, LLMResult, LLMStatus
from parleykit.tools import Tools


def tool_call(call_id, name, arguments):
    return {"id": call_id, "type": "function", "function": {"name": name, "arguments": json.dumps(arguments)}}


@pytest.fixture
def client(loopback):
    return LLModal(endpoint_url=loopback.url, tools=make_tools())


def texts(client):
    return [(m.role, m.contents) for m in client.messages]


@pytest.mark.parametrize(
    "message, expected",
    [
        ({"content": "hello"}, ("", "hello")),
        ({"content": None}, ("", "")),
        ({}, ("", "")),
        ({"content": "x", "reasoning_content": "why"}, ("why", "x")),
    ],
)
def test_answer_is_recorded_and_returned_idle(client, loopback, message, expected):
    loopback.push(json.dumps({"choices": [{"message": message}]}).encode())
    result = client.invoke("hi")
    assert isinstance(result, LLMResult) and result.status is LLMStatus.idle
    assert (result.reasoning_content, result.content) == expected
    assert result.tool_calls == {} and result.tool_results == {}
    assert texts(client)[-1] == (MessageRole.assistant, [expected[1]])
    assert client.tool_calls == [] and client._tool_calls_count == 0


def test_two_tool_rounds_join_calls_and_results(client, loopback):
    loopback.push(completion(None, tool_calls=[tool_call("c1", "add", {"a": 1, "b": 2})]))
    loopback.push(completion("thinking aloud", tool_calls=[tool_call("c2", "add", {"a": 3, "b": 4})]))
    loopback.push(completion("The sums are 3 and 7."))
    result = client.invoke("add things")

    assert result.status is LLMStatus.idle and result.content == "The sums are 3 and 7."
    assert {k: (v.name, v.content) for k, v in result.tool_calls.items()} == {
        "c1": ("add", {"a": 1, "b": 2}),
        "c2": ("add", {"a": 3, "b": 4}),
    }
    # Results that decode to neither text nor an object keep their text.
    assert {k: v.content for k, v in result.tool_results.items()} == {"c1": "3", "c2": "7"}
    roles = [m.role for m in client.messages]
    # user, (no answer text for round 1), tool-call message, tool, round-2 text, tool-call message, tool, answer
    assert roles == ["user", "assistant", "tool", "assistant", "assistant", "tool", "assistant"]
    assert client.messages[3].contents == ["thinking aloud"]
    # Each follow-up request carries the tool results of the rounds before it.
    sent = [r.json["messages"] for r in loopback.requests]
    assert [m["role"] for m in sent[1]] == ["user", "assistant", "tool"]
    assert sent[1][2] == {"role": "tool", "content": "3", "tool_call_id": "c1"}
    assert client._tool_calls_count == 0 and client.tool_calls == []


def test_limit_refuses_the_next_round(client, loopback, capsys):
    client.tool_calls_limit = 1
    loopback.push(completion(None, tool_calls=[tool_call("c1", "add", {"a": 1, "b": 2})]))
    loopback.push(completion(None, tool_calls=[tool_call("c2", "add", {"a": 3, "b": 4})]))
    with pytest.raises(ValueError) as caught:
        client.invoke("go")
    assert str(caught.value) == BUSY
    # The reading whose tool round was refused reports it once; the outer reading passes it on.
    assert capsys.readouterr().out == f"Error parsing LLM response: {BUSY}\n"
    # _tool_calls recorded the default answer; nothing adds it again.
    assert client.messages[-1].role == "assistant" and client.messages[-1].contents == [BUSY]
    assert sum(m.contents.count(BUSY) for m in client.messages) == 1
    assert len(loopback.requests) == 2 and client._tool_calls_count == 0


def test_follow_up_failure_is_reported_once(client, loopback, capsys):
    loopback.push(completion("let me check", tool_calls=[tool_call("c1", "add", {"a": 1, "b": 2})]))
    loopback.push(b"overloaded", status=503)
    with pytest.raises(ValueError) as caught:
        client.invoke("go")
    assert str(caught.value) == "code: 503, content: b'overloaded'"
    out = capsys.readouterr().out.splitlines()
    assert out == [f"LLM request error: {caught.value}"]
    assert client.messages[-1].contents == [BUSY]
    assert client.messages[1].contents == ["let me check"]


@pytest.mark.parametrize(
    "body, error, printed",
    [
        (b"{}", KeyError, "'choices'"),
        (b'{"choices": []}', IndexError, "list index out of range"),
        (b"<html>oops</html>", json.JSONDecodeError, None),
        (b'{"choices": [{"message": "text"}]}', TypeError, None),
        (b'{"choices": [{"message": {"content": {"text": "part"}}}]}', TypeError, None),
        # A server error inside a 200 reply carries the server's own message.
        (
            b'{"error": {"message": "model overloaded", "type": "server_error"}}',
            ValueError,
            "server error: model overloaded",
        ),
    ],
)
def test_unreadable_reply_runs_the_failure_path(client, loopback, capsys, body, error, printed):
    loopback.push(body)
    with pytest.raises(error) as caught:
        client.invoke("hi")
    assert capsys.readouterr().out == f"Error parsing LLM response: {caught.value}\n"
    if printed is not None:
        assert str(caught.value) == printed
    assert texts(client) == [(MessageRole.user, ["hi"]), (MessageRole.assistant, [BUSY])]
    assert client.tool_calls == [] and client._tool_calls_count == 0


def test_failure_reraises_the_same_object(client, loopback):
    class Boom(Exception):
        pass

    boom = Boom("registry down")

    class Failing(Tools):
        def __bool__(self):
            return True

        def __call__(self, tool_calls):
            raise boom

    client.tools = Failing()
    loopback.push(completion(None, tool_calls=[tool_call("c1", "add", {})]))
    with pytest.raises(Boom) as caught:
        client.invoke("hi")
    assert caught.value is boom
    # The assistant's tool-call message entered the history before the registry ran; the default
    # answer is joined to it rather than failing on a message without text.
    assert [m.role for m in client.messages] == ["user", "assistant"]
    assert client.messages[-1].tool_calls and client.messages[-1].contents == [BUSY]


def test_keyboard_interrupt_passes_untouched(client, loopback, capsys):
    class Interrupting(Tools):
        def __bool__(self):
            return True

        def __call__(self, tool_calls):
            raise KeyboardInterrupt

    client.tools = Interrupting()
    loopback.push(completion(None, tool_calls=[tool_call("c1", "add", {})]))
    with pytest.raises(KeyboardInterrupt):
        client.invoke("hi")
    assert capsys.readouterr().out == ""
    assert client.messages[-1].role == "assistant" and client.messages[-1].tool_calls
    assert client._tool_calls_count == 0 and len(client.tool_calls) == 1


def test_server_error_whose_truth_test_removes_it(client, capsys):
    # The reader is handed a document whose "error" entry deletes itself when tested: the reader
    # must hold the value while it tests and formats it (a borrowed one would be freed by then).
    freed = []

    class Vanishing:
        def __bool__(self):
            del document["error"]
            return True

        def __str__(self):
            return f"vanishing (freed before formatting: {bool(freed)})"

        def __del__(self):
            freed.append(True)

    document = {"error": Vanishing(), "choices": []}
    reply = type("Reply", (), {"json": lambda self: document})()
    with pytest.raises(ValueError) as caught:
        client._response(reply)
    assert str(caught.value) == "server error: vanishing (freed before formatting: False)"
    assert capsys.readouterr().out == f"Error parsing LLM response: {caught.value}\n"
