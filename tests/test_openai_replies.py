"""Whole conversations against replies serialised by the openai package's own types (every absent
key written as null): plain and streamed turns, reasoning, tool rounds, the tool-call limit, and
retries of turns with and without tools, checked through what the next requests send."""

import json

import pytest

import openai_replies as oa
from client_support import BUSY
from parleykit.message import Message, MessageRole
from parleykit.modal import LLModal, LLMStatus
from parleykit.tools import Tools

ADD_1_2 = ("c1", "add", '{"a": 1, "b": 2}')
ADD_3_4 = ("c2", "add", '{"a": 3, "b": 4}')


class CountingTools(Tools):
    """The add tool, counting each call it runs."""

    def __init__(self) -> None:
        super().__init__()
        self.runs: list[str] = []

        @self.register
        def add(a: int, b: int) -> int:
            """Add two numbers."""
            return a + b

    def __call__(self, tool_calls: list[dict]) -> list[Message]:
        self.runs += [call["id"] for call in tool_calls]
        return super().__call__(tool_calls)


@pytest.fixture(params=[False, True], ids=["plain", "streamed"])
def streamed(request):
    return request.param


@pytest.fixture
def client(loopback, streamed):
    return LLModal(endpoint_url=loopback.url, extra_body={"stream": streamed}, tools=CountingTools())


def turn(client, loopback, prompt, *replies, streamed):
    """One user turn answered by ``replies`` (keyword sets for ``oa.body``); returns the answer
    text and the reasoning text the caller received."""
    for reply in replies:
        loopback.push(oa.body(streamed, **reply))
    result = client.invoke(prompt)
    if not streamed:
        return result.content, result.reasoning_content
    pieces = list(result)
    answer = "".join(p.content for p in pieces if p.status is LLMStatus.answer)
    return answer, "".join(p.reasoning_content for p in pieces if p.status is LLMStatus.reason)


def assert_valid(messages):
    """A conversation a service accepts: every tool request answered once per call id, right after
    it, and no two user texts in a row."""
    roles = [m["role"] for m in messages]
    assert all(not (a == b == "user") for a, b in zip(roles, roles[1:])), roles
    for at, message in enumerate(messages):
        ids = [call["id"] for call in message.get("tool_calls") or []]
        answers = [m["tool_call_id"] for m in messages[at + 1 : at + 1 + len(ids)] if m["role"] == "tool"]
        assert answers == ids, messages


def sent(loopback):
    return [r.json["messages"] for r in loopback.requests]


@pytest.mark.parametrize(
    "replies, answer, reasoning, runs",
    [
        ([dict(content="Hello there")], "Hello there", "", []),
        ([dict(content="4", reasoning="2+2 makes 4")], "4", "2+2 makes 4", []),
        ([dict(content="4", reasoning="2+2 makes 4", key="reasoning")], "4", "2+2 makes 4", []),
        ([dict(calls=[ADD_1_2]), dict(content="It is 3.")], "It is 3.", "", ["c1"]),
        ([dict(calls=[ADD_1_2, ADD_3_4]), dict(content="3 and 7.")], "3 and 7.", "", ["c1", "c2"]),
    ],
    ids=["plain", "reasoning", "reasoning-field", "one-tool", "parallel-tools"],
)
def test_turn(client, loopback, streamed, capsys, replies, answer, reasoning, runs):
    got = turn(client, loopback, "Q", *replies, streamed=streamed)
    # Plain results of a tool turn hold the follow-up's text; reasoning comes with the reply it is in.
    assert got == (answer, reasoning if len(replies) == 1 else "")
    assert client.tools.runs == runs and capsys.readouterr().out == ""
    requests = sent(loopback)
    assert len(requests) == len(replies)
    if runs:
        follow_up = requests[-1]
        assert [m["role"] for m in follow_up] == ["user", "assistant"] + ["tool"] * len(runs)
        assert [json.loads(m["content"]) for m in follow_up[2:]] == [3, 7][: len(runs)]
    assert_valid(requests[-1])
    assert client.messages[-1].role == MessageRole.assistant and client.messages[-1].contents == [answer]
    assert (client.tool_calls, client._tool_calls_count) == ([], 0)


def test_tool_call_limit_reported_and_recorded_once(client, loopback, streamed, capsys):
    client.tool_calls_limit = 2
    calls = [dict(calls=[(f"c{i}", "add", '{"a": 1, "b": 1}')]) for i in range(3)]
    with pytest.raises(ValueError) as caught:
        turn(client, loopback, "Q", *calls, streamed=streamed)
    assert str(caught.value) == BUSY
    assert capsys.readouterr().out == f"Error parsing LLM response: {BUSY}\n"
    texts = [text for m in client.messages for text in m.contents]
    assert texts.count(BUSY) == 1 and client.messages[-1].contents == [BUSY]
    assert client.tools.runs == ["c0", "c1"] and (client.tool_calls, client._tool_calls_count) == ([], 0)


TOOL_ANSWER = [dict(calls=[ADD_1_2]), dict(content="It is 3.")]
AGAIN_WITH_TOOL = [dict(calls=[ADD_3_4]), dict(content="It is 7.")]


@pytest.mark.parametrize(
    "first, again",
    [
        ([dict(content="A")], [dict(content="B")]),
        (TOOL_ANSWER, AGAIN_WITH_TOOL),
        (TOOL_ANSWER, [dict(content="B")]),
        ([dict(content="A")], AGAIN_WITH_TOOL),
        ([dict()], [dict(content="B")]),  # an empty answer is recorded, so the retry joins its turn
    ],
    ids=["text-then-text", "tools-then-tools", "tools-then-text", "text-then-tools", "empty-then-text"],
)
def test_retry(client, loopback, streamed, capsys, first, again):
    turn(client, loopback, "Q", *first, streamed=streamed)
    before = len(loopback.requests)
    kept = [(m.role, list(m.contents)) for m in client.messages[1:]]

    client.retry = True
    answer, _ = turn(client, loopback, "Q", *again, streamed=streamed)
    assert answer == again[-1]["content"] and client.retry is False
    retried = sent(loopback)[before:]
    # The retry starts from the user entry again; its follow-ups carry its own tool round.
    assert retried[0] == [{"role": "user", "content": "Q"}]
    assert len(retried) == len(again)
    for request in retried:
        assert_valid(request)
        assert all(m.get("content") not in ("A", "It is 3.") for m in request)
    assert client.tools.runs == [c[0] for r in first + again for c in r.get("calls", [])]
    assert capsys.readouterr().out == "" and not any(BUSY in str(m.contents) for m in client.messages)

    # Nothing of the first answer is lost: a plain answer keeps it as an alternative, an answer
    # that used tools stays in the history whole, superseded.
    if len(first) == len(again) == 1:
        assert client.messages[-1].contents == [first[0].get("content", ""), "B"]
    else:
        old = [(m.role, m.contents[:1]) for m in client.messages if m.superseded]
        assert old == [(role, contents[:1]) for role, contents in kept]

    loopback.push(oa.body(streamed, content="Next."))
    turn(client, loopback, "Q3", streamed=streamed)
    after = sent(loopback)[-1]
    assert_valid(after)
    expected = [("user", "Q")]
    if len(again) == 2:
        expected += [("assistant", None), ("tool", "7")]
    expected += [("assistant", again[-1]["content"]), ("user", "Q3")]
    assert [(m["role"], m["content"]) for m in after] == expected
