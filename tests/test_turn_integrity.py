"""One turn at a time and a history that goes out as its builder left it: streams ended by a newer
turn, a tool calling its own client, retried turns interrupted in a tool round, registries of
their own message class, settling only what the client itself left open, and one call's odd
arguments or result kept to that call."""

import os
import sys

import pytest
from pydantic import BaseModel

from client_support import BUSY, client_reports, consume, make_tools, reports, streamed, text_reply  # noqa: F401  (fixtures)
from loopback import chunk, completion, sse, sse_events
from parleykit.message import Message, MessageRole
from parleykit.modal import LLModal
from parleykit.tools import Tools
from test_openai_replies import assert_valid

ENDED = "this stream was ended: a newer turn of its LLModal started"


def call(call_id, name="add", arguments='{"a": 1, "b": 2}'):
    return {"id": call_id, "type": "function", "function": {"name": name, "arguments": arguments}}


def tool_reply(streamed, *calls):
    if streamed:
        return sse([chunk({"tool_calls": [dict(c, index=i) for i, c in enumerate(calls)]}), chunk({}, "tool_calls")])
    return completion(None, tool_calls=list(calls))


def sent(loopback):
    return loopback.requests[-1].json["messages"]


# ---- a newer turn ends the open stream ------------------------------------------------------------


@pytest.mark.parametrize(
    "pulled, kept",
    [(0, []), (1, ["a"]), (2, ["ab"])],
    ids=["unstarted", "after-a-piece", "after-its-answer"],
)
def test_a_newer_turn_ends_the_open_stream(loopback, reports, pulled, kept):
    loopback.push(sse_events([chunk({"content": "a"}), chunk({"content": "b"}), chunk({"content": "c"}, "stop")]))
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": True})
    first = client.invoke("one")
    for _ in range(pulled):
        next(first)
    loopback.push(text_reply(True, "two's answer"))
    second = client.invoke("two")
    # The ended stream never glues its pieces into the newer turn's answer.
    with pytest.raises(RuntimeError, match=f"^{ENDED}$"):
        next(first)
    assert consume(second, True) == ["two's answer"]
    assert_valid(sent(loopback))
    answers = [m.contents for m in client.messages if m.role == MessageRole.assistant]
    assert answers == [kept or [""], ["two's answer"]] if pulled else answers == [[""], ["two's answer"]]
    assert client_reports(reports) == []  # nothing reported for the ended stream, and no default answer either


def test_a_newer_turn_ends_a_stream_inside_its_follow_up(loopback):
    loopback.push(tool_reply(True, call("c1")))
    loopback.push(sse_events([chunk({"content": "x"}), chunk({"content": "y"}, "stop")]))
    client = LLModal(endpoint_url=loopback.url, tools=make_tools(), extra_body={"stream": True})
    first = client.invoke("one")
    statuses = [next(first).status.value, next(first).status.value, next(first).content]
    assert statuses == ["tool_calls", "tool_results", "x"]
    loopback.push(text_reply(True))
    assert consume(client.invoke("two"), True) == ["fine"]
    for pull in (lambda: next(first), lambda: first.send(None)):
        with pytest.raises((RuntimeError, StopIteration)):
            pull()
    messages = sent(loopback)
    assert_valid(messages)
    assert [(m["role"], m["content"]) for m in messages] == [
        ("user", "one"), ("assistant", None), ("tool", "3"), ("assistant", "x"), ("user", "two")
    ]


# ---- a turn started from inside a turn ------------------------------------------------------------


def test_a_tool_that_calls_its_own_client_gets_an_error_text(loopback, streamed):
    tools = Tools()
    client = LLModal(endpoint_url=loopback.url, tools=tools, extra_body={"stream": streamed})

    @tools.register
    def ask() -> str:
        """Ask the model itself."""
        return str(client.invoke("inner"))

    loopback.push(tool_reply(streamed, call("c1", "ask", "{}")))
    loopback.push(text_reply(streamed, "outer done"))
    consume(client.invoke("outer"), streamed)
    follow_up = sent(loopback)
    assert len(loopback.requests) == 2
    assert_valid(follow_up)
    assert follow_up[2]["role"] == "tool" and follow_up[2]["content"].startswith("Error: tool 'ask' raised RuntimeError: ")
    assert "from inside one of its own turns" in follow_up[2]["content"]
    assert [m.contents for m in client.messages if m.role == MessageRole.user] == [["outer"]]


# ---- interrupted rounds of a retried turn -------------------------------------------------------


class InterruptOnce(Tools):
    def __init__(self):
        super().__init__()
        self.add(_add, name="add")
        self.armed = False

    def __call__(self, tool_calls):
        if self.armed:
            self.armed = False
            raise KeyboardInterrupt
        return super().__call__(tool_calls)


def _add(a: int, b: int) -> int:
    return a + b


@pytest.mark.parametrize("old_used_tools", [False, True], ids=["old-text", "old-tool-chain"])
def test_retried_turn_interrupted_in_its_first_tool_round_sends_one_chain(loopback, streamed, old_used_tools):
    tools = InterruptOnce()
    client = LLModal(endpoint_url=loopback.url, tools=tools, extra_body={"stream": streamed})
    if old_used_tools:
        loopback.push(tool_reply(streamed, call("old")))
    loopback.push(text_reply(streamed, "old answer"))
    consume(client.invoke("q"), streamed)

    client.retry, tools.armed = True, True
    loopback.push(tool_reply(streamed, call("new")))
    with pytest.raises(KeyboardInterrupt):
        consume(client.invoke("q"), streamed)
    client.retry = False
    loopback.push(text_reply(streamed))
    consume(client.invoke("next"), streamed)
    messages = sent(loopback)
    assert_valid(messages)
    assert [m.get("content") for m in messages if m["role"] == "assistant"] == [None]
    assert [m["tool_call_id"] for m in messages if m["role"] == "tool"] == ["new"]


def interrupt_at_flag(nth, event):
    """A profile hook raising KeyboardInterrupt at the nth setting of a ``superseded`` flag, as it
    starts ("call") or once the value is written ("return")."""
    seen = [0]

    def profile(frame, what, arg):
        if what == event and frame.f_code.co_name == "__setattr__" and frame.f_locals.get("name") == "superseded":
            seen[0] += 1
            if seen[0] == nth:
                sys.setprofile(None)
                raise KeyboardInterrupt

    return profile


@pytest.mark.parametrize("event", ["call", "return"])
@pytest.mark.parametrize("nth", [1, 2, 3])
def test_ctrl_c_while_a_retry_replaces_a_tool_chain_leaves_it_whole(loopback, streamed, nth, event):
    client = LLModal(endpoint_url=loopback.url, tools=InterruptOnce(), extra_body={"stream": streamed})
    loopback.push(tool_reply(streamed, call("old")))
    loopback.push(text_reply(streamed, "old answer"))
    consume(client.invoke("q"), streamed)  # its answer: a request, a tool message and a text

    client.retry = True
    loopback.push(tool_reply(streamed, call("new")))
    sys.setprofile(interrupt_at_flag(nth, event))
    try:
        with pytest.raises(KeyboardInterrupt):
            consume(client.invoke("q"), streamed)
    finally:
        sys.setprofile(None)
    # The earlier answer is replaced whole or not at all: never a tool message without its call.
    flags = {m.superseded for m in client.messages[2:5]}
    assert len(flags) == 1
    client.retry = False
    loopback.push(text_reply(streamed))
    consume(client.invoke("next"), streamed)
    assert_valid(sent(loopback))


# ---- registry answers judged by what they are ------------------------------------------------------


class ToolMessage(BaseModel):
    role: str = "tool"
    contents: list[str]
    tool_call_id: str | None = None
    superseded: bool = False
    tool_calls: None = None

    @property
    def latest(self):
        return {"role": self.role, "content": self.contents[-1], "tool_call_id": self.tool_call_id}


class OwnMessages(Tools):
    """A registry that answers with its own message class."""

    def __init__(self, answer=None):
        super().__init__()
        self.answer = answer

    def __bool__(self):
        return True

    def __call__(self, tool_calls):
        if self.answer is not None:
            return self.answer(tool_calls)
        return [ToolMessage(contents=["3"], tool_call_id=c["id"]) for c in tool_calls]


@pytest.mark.parametrize(
    "answer, refusal",
    [
        (None, None),
        (lambda calls: [ToolMessage(role="assistant", contents=["3"], tool_call_id="c1")],
         "the tool registry answered with a assistant message, not a tool message"),
        (lambda calls: [ToolMessage(contents=["3"], tool_call_id="c9")],
         "the tool registry answered call 'c9', which this round did not make"),
        (lambda calls: [ToolMessage(contents=["3"], tool_call_id="c1")] * 2, "the tool registry answered call 'c1' twice"),
        (lambda calls: [object()], "the tool registry answered with object, not a tool message"),
    ],
    ids=["duck-typed", "wrong-role", "unknown-call", "twice", "no-message"],
)
def test_registry_answers_are_judged_by_what_they_are(loopback, reports, streamed, answer, refusal):
    client = LLModal(endpoint_url=loopback.url, tools=OwnMessages(answer), extra_body={"stream": streamed})
    loopback.push(tool_reply(streamed, call("c1")))
    loopback.push(text_reply(streamed, "It is 3."))
    if refusal is None:
        consume(client.invoke("go"), streamed)
        assert sent(loopback)[2] == {"role": "tool", "content": "3", "tool_call_id": "c1"}
        assert client.messages[-1].contents == ["It is 3."]
    else:
        with pytest.raises(TypeError, match=f"^{refusal}$"):
            consume(client.invoke("go"), streamed)
        assert [m.contents for m in client.messages] == [["go"], [BUSY]]


# ---- settling touches only what the client left open -----------------------------------------------


def test_a_history_the_caller_built_goes_out_as_built(loopback):
    client = LLModal(endpoint_url=loopback.url, tools=make_tools())
    client.add_message(role=MessageRole.user, content="earlier")
    client.messages.append(Message(role=MessageRole.assistant, tool_calls=[call("theirs")]))
    loopback.push(completion("x"))
    client.invoke("now")
    assert [(m["role"], m["content"]) for m in sent(loopback)] == [
        ("user", "earlier"), ("assistant", None), ("user", "now")
    ]
    client.messages.clear()
    client.add_message(role=MessageRole.user, content="earlier")
    loopback.push(completion("y"))
    client.invoke("now")
    assert [(m["role"], m["content"]) for m in sent(loopback)] == [("user", "earlier"), ("user", "now")]


def test_close_flag_on_an_empty_history_appends_nothing(loopback):
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": True})
    client._close = True
    loopback.push(sse([chunk({"content": "never"}, "stop")]))
    assert list(client.invoke("")) == []
    assert client.messages == [] and client._close is False


# ---- one call's odd arguments or result stay that call's ------------------------------------------


def _deep(depth):
    return "[" * depth + "]" * depth


class Echo(Tools):
    def __init__(self):
        super().__init__()

        @self.register
        def echo(value: object) -> object:
            return value

        @self.register
        def nest(depth: int) -> list:
            value: list = []
            for _ in range(depth):
                value = [value]
            return value

        @self.register
        def unprintable() -> object:
            class Odd:
                def __str__(self):
                    raise RuntimeError("no text")

            return Odd()


@pytest.mark.parametrize(
    "arguments, answer_starts, or_value",
    [
        # Python 3.13's json handles this depth within its C-stack limit, 3.12's does not: the call
        # gets either its value or its own error, never the turn's failure.
        ('{"value": ' + _deep(3000) + "}", "Error: arguments of tool 'echo' are not valid JSON", _deep(3000)),
        ('{"value": ' + "9" * 5000 + "}", "Error: arguments of tool 'echo' are not valid JSON", None),
        ('{"depth": 5000}', "Error: the result of tool 'nest' cannot be sent as text", _deep(5001)),
        ("{}", "Error: invalid arguments for tool 'echo'", None),
    ],
    ids=["nested-arguments", "long-integer", "nested-result", "missing"],
)
def test_one_call_s_odd_arguments_or_result_stay_that_call_s(loopback, streamed, arguments, answer_starts, or_value):
    client = LLModal(endpoint_url=loopback.url, tools=Echo(), extra_body={"stream": streamed})
    name = "nest" if "depth" in arguments else "echo"
    calls = [call("bad", name, arguments), call("odd", "unprintable", "{}"), call("good", "echo", '{"value": 7}')]
    loopback.push(tool_reply(streamed, *calls))
    loopback.push(text_reply(streamed, "done"))
    consume(client.invoke("go"), streamed)
    answers = {m["tool_call_id"]: m["content"] for m in sent(loopback) if m["role"] == "tool"}
    assert answers["bad"].startswith(answer_starts) or answers["bad"] == or_value
    assert answers["odd"] == "Error: the result of tool 'unprintable' cannot be sent as text (RuntimeError: no text)"
    assert answers["good"] == "7" and client.messages[-1].contents == ["done"]


def test_deep_json_text_in_a_result_or_arguments_stays_text():
    deep = _deep(100_000)
    calls = LLModal._t_calls_beautify([call("c1", "echo", deep), call("c2", "echo", "1" * 5000)])
    assert [c.content for c in calls.values()] == [deep, "1" * 5000]
    results = LLModal._t_results_beautify(calls, [Message(role=MessageRole.tool, contents=[deep], tool_call_id="c1")])
    assert results["c1"].content == deep


# ---- the tool loop survives any tool ---------------------------------------------------------------


@pytest.mark.parametrize("raised", [KeyboardInterrupt, SystemExit], ids=["keyboard-interrupt", "system-exit"])
@pytest.mark.parametrize("kind", ["sync", "async"])
def test_tool_raising_interrupt_or_exit_reaches_the_caller_and_the_loop_lives_on(loopback, kind, raised):
    tools = make_tools()
    exc = raised()
    if kind == "sync":
        def stop() -> None:
            raise exc
    else:
        async def stop() -> None:
            raise exc
    tools.add(stop)

    @tools.register
    async def later() -> int:
        return 5

    client = LLModal(endpoint_url=loopback.url, tools=tools)
    loopback.push(tool_reply(False, call("c1", "stop", "{}")))
    with pytest.raises(raised) as caught:
        client.invoke("go")
    assert caught.value is exc
    loopback.push(tool_reply(False, call("c2", "later", "{}")))
    loopback.push(completion("five"))
    assert client.invoke("again").content == "five"
    messages = sent(loopback)
    assert_valid(messages)
    assert [m["content"] for m in messages if m["role"] == "tool"] == ["The tool call was cancelled before it answered.", "5"]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_async_tools_run_in_a_forked_child():
    tools = Tools()

    @tools.register
    async def seven() -> int:
        return 7

    assert tools([call("c1", "seven", "{}")])[0].contents == ["7"]  # the parent's loop is running
    child = os.fork()
    if child == 0:
        code = 1
        try:
            code = 0 if tools([call("c1", "seven", "{}")])[0].contents == ["7"] else 1
        finally:
            os._exit(code)
    _, status = os.waitpid(child, 0)
    assert os.waitstatus_to_exitcode(status) == 0
