"""LLModal's tool-call cycle: collecting calls from replies and streamed fragments, the ToolContent
summaries, and one iteration through the registry within the limit."""

import json

import pytest
import corpus
from parleykit.message import Message, MessageRole
from parleykit.modal import LLModal, ToolContent
from parleykit.tools import Tools

BUSY = "The server is busy. Please try again later."


def streaming(**kwargs):
    return LLModal(extra_body={"stream": True}, **kwargs)


def fragment(index, arguments=None, *, id=None, name=None, **extra):
    function = {}
    if name is not None:
        function["name"] = name
    if arguments is not None:
        function["arguments"] = arguments
    out = dict(extra, function=function)
    if index is not ...:
        out["index"] = index
    if id is not None:
        out["id"] = id
    return out


def summary(client):
    return [(c.get("id"), c["function"].get("name"), c["function"]["arguments"]) for c in client.tool_calls]


def feed(client, *deltas):
    for fragments in deltas:
        client._message_process({"tool_calls": fragments})


# --- collecting calls ------------------------------------------------------------------------


def test_complete_reply_adds_the_calls_themselves():
    client = LLModal()
    calls = [fragment(..., "{}", id="a", name="f"), {"id": "b", "odd": 1}]
    client._add_tool_calls({"tool_calls": calls})
    assert client.tool_calls == calls
    assert all(stored is given for stored, given in zip(client.tool_calls, calls))
    client._add_tool_calls({"content": "no calls"})
    assert len(client.tool_calls) == 2


STREAMS = {
    # Well-formed: ids and names only in each call's first fragment, indices 0..n-1.
    "one call, arguments joined": (
        [[fragment(0, id="a", name="f", type="function")], [fragment(0, '{"x"')], [fragment(0, ": 1}")]],
        [("a", "f", '{"x": 1}')],
    ),
    "two calls interleaved": (
        [
            [fragment(0, "", id="a", name="f")],
            [fragment(1, "[", id="b", name="g")],
            [fragment(0, "1"), fragment(1, "2")],
            [fragment(1, "]")],
            [fragment(0, "3")],
        ],
        [("a", "f", "13"), ("b", "g", "[2]")],
    ),
    "null or missing arguments and other keys of later fragments are ignored": (
        [
            [fragment(0, "p", id="a", name="f")],
            [fragment(0, None)],
            [{"index": 0, "function": {"arguments": None}}],
            [fragment(0, "q", name="other", type="other")],
        ],
        [("a", "f", "pq")],
    ),
    # Explicit nulls mean absent: a null first argument text starts an empty one, and
    # continuations with null id, type and name join the call they continue.
    "first fragment with null arguments": (
        [[{"index": 0, "id": "a", "type": "function", "function": {"name": "f", "arguments": None}}],
         [{"index": 0, "id": None, "type": None, "function": {"name": None, "arguments": "{}"}}]],
        [("a", "f", "{}")],
    ),
    "null function in a continuation": (
        [[fragment(0, "{", id="a", name="f")], [{"index": 0, "id": None, "function": None}], [fragment(0, "}")]],
        [("a", "f", "{}")],
    ),
    "no index, id repeated": (
        [[fragment(..., "{", id="a", name="f")], [fragment(..., "", id="b", name="g")], [fragment(..., "}", id="a")],
         [fragment(..., "1", id="b")]],
        [("a", "f", "{}"), ("b", "g", "1")],
    ),
    # Numbering seen from real servers.
    "only call at index 1": (
        [[fragment(1, id="a", name="f")], [fragment(1, "")], [fragment(1, "{}")]],
        [("a", "f", "{}")],
    ),
    "every call at index 0, told apart by id": (
        [
            [fragment(0, "{", id="a", name="f")],
            [fragment(0, "}")],
            [fragment(0, "[", id="b", name="g")],
            [fragment(0, "]")],
        ],
        [("a", "f", "{}"), ("b", "g", "[]")],
    ),
    "id repeated in every fragment": (
        [[fragment(0, "{", id="a", name="f")], [fragment(0, "}", id="a")], [fragment(1, "x", id="b", name="g")]],
        [("a", "f", "{}"), ("b", "g", "x")],
    ),
    "null index": (
        [[fragment(None, "{", id="a", name="f")], [fragment(None, "}")], [fragment(None, "[", id="b", name="g")],
         [fragment(None, "]")]],
        [("a", "f", "{}"), ("b", "g", "[]")],
    ),
    "missing index": (
        [[fragment(..., "{", id="a", name="f")], [fragment(..., "}")], [fragment(..., "", id="b", name="g")]],
        [("a", "f", "{}"), ("b", "g", "")],
    ),
}


@pytest.mark.parametrize("deltas, expected", STREAMS.values(), ids=STREAMS.keys())
def test_streamed_fragments_are_joined_per_call(deltas, expected):
    client = streaming()
    feed(client, *deltas)
    assert summary(client) == expected


def test_first_fragment_is_stored_itself():
    client = streaming()
    first = fragment(0, id="a", name="f")
    feed(client, [first], [fragment(0, "{}")])
    assert client.tool_calls[0] is first
    assert first["function"]["arguments"] == "{}"


def _corpus_tool_streams():
    out = []
    for name in corpus.names(".sse"):
        sample = corpus.load(name)
        if sample.expect.get("tool_calls"):
            out.append(name)
    return out


@pytest.mark.parametrize("name", _corpus_tool_streams())
def test_real_streams_give_the_calls_the_server_meant(name):
    sample = corpus.load(name)
    client = streaming()
    for line in sample.body.decode().splitlines():
        if not line.startswith("data:") or line.strip() == "data: [DONE]":
            continue
        choices = json.loads(line[len("data:"):])["choices"]
        if choices:
            client._message_process(choices[0]["delta"])
    expected = [(c["id"], c["name"], c["arguments"]) for c in sample.expect["tool_calls"]]
    assert summary(client) == expected


@pytest.mark.parametrize("index, type_name", [(True, "bool"), (1.0, "float"), ("0", "str")])
def test_an_index_that_is_not_an_int_is_refused(index, type_name):
    client = streaming()
    feed(client, [fragment(0, "{", id="a", name="f")])
    before = summary(client)
    with pytest.raises(TypeError, match=f"^Expected int, got {type_name}$"):
        client._add_tool_calls({"tool_calls": [fragment(index, "}")]})
    assert summary(client) == before


def test_message_that_is_not_a_dict_is_refused():
    client = streaming()
    with pytest.raises(TypeError, match=r"^Argument 'message' has incorrect type \(expected dict, got NoneType\)$"):
        client._add_tool_calls(None)


# --- summaries ---------------------------------------------------------------------------------


def test_calls_summary_decodes_json_arguments_and_keeps_other_text():
    calls = [
        {"id": "a", "function": {"name": "f", "arguments": '{"city": "Paris"}'}},
        {"id": "b", "function": {"name": "g", "arguments": "not json"}},
        {"id": "c", "function": {"name": "h", "arguments": ""}},
        {"id": "a", "function": {"name": "f2", "arguments": "{}"}},
    ]
    got = LLModal._t_calls_beautify(calls)
    assert list(got) == ["a", "b", "c"]
    assert got == {
        "a": ToolContent(name="f2", content={}),
        "b": ToolContent(name="g", content="not json"),
        "c": ToolContent(name="h", content=""),
    }
    assert LLModal._t_calls_beautify([]) == {}


@pytest.mark.parametrize(
    "calls, error",
    [
        ([{"id": "a", "function": {"name": "f", "arguments": None}}], TypeError),
        ([{"function": {"name": "f", "arguments": "{}"}}], KeyError),
    ],
)
def test_calls_summary_passes_other_errors_on(calls, error):
    with pytest.raises(error):
        LLModal._t_calls_beautify(calls)


@pytest.mark.parametrize("text, content", [("[1, 2]", "[1, 2]"), ("42", "42"), ("null", "null"), ('"quoted"', "quoted")])
def test_json_that_is_neither_object_nor_text_stays_text(text, content):
    calls = [{"id": "a", "function": {"name": "f", "arguments": text}}]
    summary_calls = LLModal._t_calls_beautify(calls)
    assert summary_calls["a"].content == content
    results = LLModal._t_results_beautify(summary_calls, [tool_message("a", text)])
    assert results["a"] == ToolContent(name="f", content=content)


def tool_message(call_id, *contents):
    return Message(role=MessageRole.tool, contents=list(contents), tool_call_id=call_id)


def test_results_summary_pairs_results_with_calls():
    calls = {"a": ToolContent(name="f", content={}), "b": ToolContent(name="g", content="")}
    results = [
        tool_message("b", "first", '{"n": 1}'),
        tool_message("zzz", "unknown call"),
        tool_message("a", "plain text"),
        tool_message("b", '{"n": 2}'),
    ]
    got = LLModal._t_results_beautify(calls, results)
    assert list(got) == ["b", "a"]
    assert got["b"] == ToolContent(name="g", content={"n": 2})
    assert got["a"] == ToolContent(name="f", content="plain text")


@pytest.mark.parametrize(
    "call, args, text",
    [
        (LLModal._t_calls_beautify, [("a",)], "Argument 'tool_calls' has incorrect type (expected list, got tuple)"),
        (LLModal._t_results_beautify, [{}, ()], "Argument 'tool_results' has incorrect type (expected list, got tuple)"),
        (LLModal._t_results_beautify, [[], ()], "Argument 'tool_calls' has incorrect type (expected dict, got list)"),
    ],
)
def test_summaries_refuse_other_types(call, args, text):
    with pytest.raises(TypeError) as info:
        call(*args)
    assert str(info.value) == text


# --- one iteration ------------------------------------------------------------------------------


def weather_tools():
    tools = Tools()

    @tools.register
    def get_weather(city: str) -> str:
        return f"sunny in {city}"

    return tools


class Recorder(Tools):
    """A registry that answers with a fixed value and records what it was given."""

    def __init__(self, answer=None, error=None):
        super().__init__()
        self.answer, self.error, self.seen = answer, error, []

    def __call__(self, tool_calls):
        self.seen.append(tool_calls)
        if self.error:
            raise self.error
        return self.answer


CALL = {"id": "c1", "type": "function", "function": {"name": "get_weather", "arguments": '{"city": "Oslo"}'}}


def test_iteration_runs_the_real_registry():
    client = LLModal(tools=weather_tools())
    client.messages.append(Message(role=MessageRole.user, contents=["weather?"]))
    collected = client.tool_calls
    collected.append(CALL)
    results = client._tool_calls()

    assert [m.role for m in client.messages] == [MessageRole.user, MessageRole.assistant, MessageRole.tool]
    assert client.messages[1].tool_calls == [CALL]
    assert client.messages[2] is results[0]
    assert results[0].contents[-1] == "sunny in Oslo" and results[0].tool_call_id == "c1"
    assert client.tool_calls == [] and client.tool_calls is not collected
    assert collected == [CALL]
    assert client._tool_calls_count == 1
    assert LLModal._t_results_beautify(LLModal._t_calls_beautify(collected), results) == {
        "c1": ToolContent(name="get_weather", content="sunny in Oslo")
    }


def test_tools_returning_lists_and_numbers_are_summarised():
    tools = Tools()

    @tools.register
    def primes(below: int) -> list[int]:
        return [p for p in range(2, below) if all(p % d for d in range(2, p))]

    @tools.register
    def count(text: str) -> int:
        return len(text)

    client = LLModal(tools=tools)
    collected = [
        {"id": "p", "function": {"name": "primes", "arguments": '{"below": 10}'}},
        {"id": "n", "function": {"name": "count", "arguments": '{"text": "four"}'}},
    ]
    client.tool_calls = collected
    calls = LLModal._t_calls_beautify(collected)
    assert LLModal._t_results_beautify(calls, client._tool_calls()) == {
        "p": ToolContent(name="primes", content="[2, 3, 5, 7]"),
        "n": ToolContent(name="count", content="4"),
    }


@pytest.mark.parametrize("count, limit", [(0, 3), (2, 3), (3, 3), (0, 0), (5, 2)])
def test_limit_of_iterations_per_cycle(count, limit):
    answer = [tool_message("c1", "ok")]
    registry = Recorder(answer=answer)
    client = LLModal(tools=registry, tool_calls_limit=limit)
    client._tool_calls_count = count
    collected = client.tool_calls
    collected.append(CALL)
    if count < limit:
        assert client._tool_calls() is answer
        assert registry.seen[0] is collected and client._tool_calls_count == count + 1
        return
    with pytest.raises(ValueError) as info:
        client._tool_calls()
    assert str(info.value) == BUSY
    assert registry.seen == []
    assert [(m.role, m.contents) for m in client.messages] == [(MessageRole.assistant, [BUSY])]
    assert client.tool_calls == [] and client._tool_calls_count == 0


@pytest.mark.parametrize(
    "answer, message",
    [
        ((tool_message("c1", "ok"),), "Expected list, got tuple"),
        (None, "Expected list, got NoneType"),
        ({"c1": "ok"}, "Expected list, got dict"),
        (["ok"], "the tool registry answered with str, not a tool message"),
        ([{"role": "tool", "tool_call_id": "c1"}], "the tool registry answered with dict, not a tool message"),
        ([Message(role=MessageRole.user, contents=["ok"])], "the tool registry answered with a user message, not a tool message"),
        ([tool_message("c9", "ok")], "the tool registry answered call 'c9', which this round did not make"),
        ([tool_message("c1", "a"), tool_message("c1", "b")], "the tool registry answered call 'c1' twice"),
        ([], "the tool registry left call 'c1' unanswered"),
    ],
)
def test_registry_answer_that_does_not_answer_the_calls(answer, message):
    client = LLModal(tools=Recorder(answer=answer))
    client.messages.append(Message(role=MessageRole.user, contents=["q"]))
    client.tool_calls.append(CALL)
    with pytest.raises(TypeError) as info:
        client._tool_calls()
    assert str(info.value) == message
    # Checked before anything of the round enters the history; the tool state is as it was.
    assert [m.role for m in client.messages] == [MessageRole.user]
    assert client.tool_calls == [CALL] and client._tool_calls_count == 0


def test_registry_error_propagates_after_the_request_was_recorded():
    error = OSError("disk on fire")
    client = LLModal(tools=Recorder(error=error))
    client.tool_calls.append(CALL)
    with pytest.raises(OSError) as info:
        client._tool_calls()
    assert info.value is error
    assert [m.role for m in client.messages] == [MessageRole.assistant]
    assert client.tool_calls == [CALL] and client._tool_calls_count == 0


@pytest.mark.parametrize(
    "tool_calls, expected",
    [
        (None, []),  # every key written, the absent ones as null
        ([{"id": "a", "type": "function", "function": {"name": "f", "arguments": None}}], [("a", "f", "")]),
        ([{"id": "a", "function": {"name": "f"}}], [("a", "f", "")]),
        ([{"id": "a", "function": {"name": "f", "arguments": '{"x": 1}'}}], [("a", "f", '{"x": 1}')]),
    ],
    ids=["null-list", "null-arguments", "no-arguments", "arguments"],
)
def test_whole_reply_calls_with_nulls(tool_calls, expected):
    client = LLModal()
    client._message_process({"content": None, "tool_calls": tool_calls})
    assert summary(client) == expected
    assert {k: v.content for k, v in client._t_calls_beautify(client.tool_calls).items()} == {
        i: json.loads(a) if a else a for i, _, a in expected}
