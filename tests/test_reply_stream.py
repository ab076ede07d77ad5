"""Streamed replies read line by line as they arrive: pieces, history writes, tool rounds with
lazily posted follow-ups, cancellation, early close, failures, and the generator protocol."""

import gc
from collections import Counter
import json
import threading
import weakref

import pytest

from loopback import DROP, chunk, sse, sse_events
from client_support import BUSY, make_tools
from parleykit.message import MessageRole
from parleykit.modal import LLModal, LLMResult, LLMStatus
from parleykit.tools import Tools


@pytest.fixture
def client(loopback):
    return LLModal(endpoint_url=loopback.url, extra_body={"stream": True}, tools=make_tools())


def data(obj):
    return b"data: " + json.dumps(obj).encode() + b"\n"


def call_fragments(index, call_id, name, pieces):
    """Tool-call deltas as servers stream them: id and name first, then argument pieces."""
    first = {"index": index, "id": call_id, "type": "function", "function": {"name": name}}
    rest = [{"index": index, "function": {"arguments": p}} for p in pieces]
    return [chunk({"tool_calls": [f]}) for f in [first, *rest]]


def pieces_of(gen):
    return [(p.status, p.reasoning_content, p.content) for p in gen]


def test_reasoning_then_answer_then_finish(client, loopback):
    body = (
        data(chunk({"reasoning_content": "hmm"}))
        + b"\n"
        + data(chunk({"content": "Hi"}))
        + data(chunk({"content": "", "reasoning_content": None}, "stop"))
    )
    loopback.push(body)
    gen = client.invoke("hello")
    assert pieces_of(gen) == [(LLMStatus.reason, "hmm", ""), (LLMStatus.answer, "", "Hi")]
    assert [(m.role, m.contents) for m in client.messages] == [
        (MessageRole.user, ["hello"]),
        (MessageRole.assistant, ["Hi"]),
    ]
    assert client.tool_calls == [] and client._tool_calls_count == 0


def test_answer_pieces_join_in_one_history_entry(client, loopback):
    loopback.push(sse([chunk({"content": "a"}), chunk({"content": "b"}), chunk({"content": "c"}, "stop")]))
    assert "".join(p.content for p in client.invoke("x")) == "abc"
    assert client.messages[-1].contents == ["abc"]


def test_chunk_with_both_texts_is_one_reasoning_piece_whose_answer_is_recorded(client, loopback):
    loopback.push(sse([chunk({"reasoning_content": "r", "content": "c"}), chunk({"content": "d"}, "stop")]))
    assert pieces_of(client.invoke("x")) == [(LLMStatus.reason, "r", "c"), (LLMStatus.answer, "", "d")]
    # The reasoning piece's answer text starts the answer in the history, as answer pieces do.
    assert [(m.role, m.contents) for m in client.messages] == [("user", ["x"]), ("assistant", ["cd"])]


@pytest.mark.parametrize(
    "after",
    [
        b"this is not json\n",  # lines after the finish chunk are never read
        b"data: [DONE]\n\ndata: {broken\n",
    ],
)
def test_reading_stops_at_the_finish_reason(client, loopback, after):
    loopback.push(sse([chunk({"content": "ok"}, "stop")], done=False) + after)
    assert pieces_of(client.invoke("x")) == [(LLMStatus.answer, "", "ok")]


def test_stream_without_finish_reason_ends_with_the_body(client, loopback):
    loopback.push(b"data: " + json.dumps(chunk({"content": "only"})).encode() + b"\n")
    assert pieces_of(client.invoke("x")) == [(LLMStatus.answer, "", "only")]
    assert client._tool_calls_count == 0


def test_pieces_arrive_before_the_server_writes_the_next_line(client, loopback):
    gate = threading.Event()
    events = sse_events([chunk({"content": "first"}), chunk({"content": "second"}, "stop")])
    loopback.push([events[0], gate, *events[1:]])
    gen = client.invoke("x")
    first = next(gen)  # would block until the gate times out if the reader buffered
    assert first.content == "first" and not gate.is_set()
    assert client.messages[-1].contents == ["first"]  # recorded before it was handed out
    gate.set()
    assert [p.content for p in gen] == ["second"]


def test_tool_round_then_follow_up_posted_only_when_asked(client, loopback):
    loopback.push(sse([*call_fragments(0, "c1", "add", ['{"a": 2,', ' "b": 3}']), chunk({}, "tool_calls")]))
    loopback.push(sse([chunk({"content": "5"}, "stop")]))
    gen = client.invoke("add")

    calls = next(gen)
    assert calls.status is LLMStatus.tool_calls
    assert {k: (v.name, v.content) for k, v in calls.tool_calls.items()} == {"c1": ("add", {"a": 2, "b": 3})}
    results = next(gen)
    assert results.status is LLMStatus.tool_results and results.tool_results["c1"].content == "5"
    assert len(loopback.requests) == 1  # the follow-up waits for the consumer
    answer = next(gen)
    assert len(loopback.requests) == 2 and answer.content == "5"
    assert list(gen) == []
    follow_up = loopback.requests[1].json["messages"]
    assert [m["role"] for m in follow_up] == ["user", "assistant", "tool"]
    assert follow_up[1]["tool_calls"][0]["function"] == {"name": "add", "arguments": '{"a": 2, "b": 3}'}
    assert client._tool_calls_count == 0


def test_two_tool_rounds_and_the_limit(client, loopback):
    client.tool_calls_limit = 1
    loopback.push(sse([*call_fragments(0, "c1", "add", ['{"a":1,"b":1}']), chunk({}, "tool_calls")]))
    loopback.push(sse([*call_fragments(0, "c2", "add", ['{"a":2,"b":2}']), chunk({}, "tool_calls")]))
    gen = client.invoke("go")
    assert [next(gen).status for _ in range(2)] == [LLMStatus.tool_calls, LLMStatus.tool_results]
    # At the limit no tool-calls piece is yielded: the next item is the refusal.
    with pytest.raises(ValueError, match=BUSY):
        next(gen)
    with pytest.raises(StopIteration):
        next(gen)
    assert client.messages[-1].contents == [BUSY]
    assert client._tool_calls_count == 0 and client.tool_calls == []


def test_follow_up_request_failure_comes_out_of_the_iteration(client, loopback, capsys):
    loopback.push(sse([*call_fragments(0, "c1", "add", ['{"a":1,"b":1}']), chunk({}, "tool_calls")]))
    loopback.push(b"no", status=500)
    gen = client.invoke("go")
    next(gen), next(gen)
    with pytest.raises(ValueError) as caught:
        next(gen)
    # Reported and answered once, by the driver; the reading that posted it passes it on.
    assert capsys.readouterr().out.splitlines() == [f"LLM request error: {caught.value}"]
    assert client.messages[-1].contents == [BUSY]


@pytest.mark.parametrize("answered, history_tail", [(True, ["ab"]), (False, [BUSY])])
def test_unreadable_line_fails_the_reading(client, loopback, capsys, answered, history_tail):
    good = [chunk({"content": "a"}), chunk({"content": "b"})] if answered else []
    loopback.push(sse(good, done=False) + b"data: {oops\n\n")
    gen = client.invoke("x")
    got = [next(gen).content for _ in good]
    with pytest.raises(json.JSONDecodeError) as caught:
        next(gen)
    assert got == [c["choices"][0]["delta"]["content"] for c in good]
    assert capsys.readouterr().out == f"Error parsing LLM response: {caught.value}\n"
    assert client.messages[-1].contents == history_tail
    assert client.tool_calls == [] and client._tool_calls_count == 0


def test_invalid_utf8_and_dropped_connection_fail_cleanly(client, loopback, capsys):
    loopback.push([sse_events([chunk({"content": "x"})], done=False)[0], b"data: \xff\xfe\n\n"])
    gen = client.invoke("x")
    next(gen)
    with pytest.raises(UnicodeDecodeError):
        next(gen)
    loopback.push([sse_events([chunk({"content": "y"})], done=False)[0], DROP])
    gen = client.invoke("again")
    next(gen)
    with pytest.raises(Exception) as caught:
        next(gen)
    assert "Error parsing LLM response: " in capsys.readouterr().out
    assert not isinstance(caught.value, StopIteration)


def test_close_flag_cancels_at_the_next_line(client, loopback):
    gate = threading.Event()
    events = sse_events([chunk({"content": "a"}), *call_fragments(0, "c1", "add", ["{}"]), chunk({}, "stop")])
    loopback.push([events[0], gate, *events[1:]])
    gen = client.invoke("x")
    assert next(gen).content == "a"
    client._close = True
    gate.set()
    assert list(gen) == []  # no tool round, no error
    assert client._close is False and client.tool_calls == [] and len(loopback.requests) == 1


def test_close_flag_set_before_reading(client, loopback, capsys):
    client._close = True
    loopback.push(sse([chunk({"content": "never"}, "stop")]))
    assert list(client.invoke("x")) == []
    assert client._close is False and capsys.readouterr().out == ""
    assert [(m.role, m.contents) for m in client.messages] == [("user", ["x"]), ("assistant", [""])]


def test_consumer_closing_early_keeps_what_was_read(client, loopback, capsys):
    gate = threading.Event()
    events = sse_events([chunk({"content": "kept"}), chunk({"content": "lost"}, "stop")])
    loopback.push([events[0], gate, *events[1:]])
    gen = client.invoke("x")
    next(gen)
    gen.close()
    gate.set()
    assert client.messages[-1].contents == ["kept"]
    assert capsys.readouterr().out == ""
    with pytest.raises(StopIteration):
        next(gen)


def test_generator_never_iterated_reads_nothing(client, loopback):
    loopback.push(sse([chunk({"content": "unread"}, "stop")]))
    gen = client.invoke("x")
    assert type(gen).__name__ == "generator" and gen.__qualname__ == "LLModal._stream_response"
    del gen
    gc.collect()
    assert [m.role for m in client.messages] == ["user"]


def test_python_yield_from_and_throw_forwarding(client, loopback, capsys):
    loopback.push(sse([*call_fragments(0, "c1", "add", ['{"a":1,"b":2}']), chunk({}, "tool_calls")]))
    gate = threading.Event()
    loopback.push([sse_events([chunk({"content": "partial"})], done=False)[0], gate])

    def outer():
        result = yield from client.invoke("go")
        return result

    gen = outer()
    statuses = [next(gen).status for _ in range(3)]
    assert statuses == [LLMStatus.tool_calls, LLMStatus.tool_results, LLMStatus.answer]
    error = RuntimeError("stop it")
    # throw() travels through Python's yield from and the outer reader into the follow-up reader,
    # which reports it; each re-raises the same object.
    with pytest.raises(RuntimeError) as caught:
        gen.throw(error)
    gate.set()
    assert caught.value is error
    assert capsys.readouterr().out == "Error parsing LLM response: stop it\n"
    # The follow-up had recorded an answer, so nothing is added.
    assert client.messages[-1].contents == ["partial"]


def test_send_is_forwarded_and_ignored(client, loopback):
    loopback.push(sse([chunk({"content": "a"}), chunk({"content": "b"}, "stop")]))
    gen = client.invoke("x")
    assert next(gen).content == "a"
    assert gen.send("ignored").content == "b"


@pytest.mark.parametrize(
    "lines, expected",
    [
        # Comment lines and non-data fields carry no chunk.
        ([b": keep-alive\n", b"event: message\nid: 7\nretry: 100\n", data(chunk({"content": "x"}, "stop"))], "x"),
        # [DONE] ends the reading even without a finish reason.
        ([data(chunk({"content": "y"})), b"data:[DONE]\n", b"garbage\n"], "y"),
        # Chunks without choices (usage, prompt filters) carry no fragment.
        ([data({"choices": [], "usage": {"total_tokens": 3}}), data(chunk({"content": "z"}, "stop"))], "z"),
        # A choice without delta still ends the reading with its finish reason.
        ([data(chunk({"content": "w"})), data({"choices": [{"index": 0, "finish_reason": "content_filter"}]}),
          b"garbage\n"], "w"),
        # One chunk split over two data lines of one event.
        ([b'data: {"choices": [{"delta": {"content": "multi"},\n', b'data: "finish_reason": "stop"}]}\n', b"\n"],
         "multi"),
    ],
)
def test_event_stream_framing(client, loopback, lines, expected):
    loopback.push(list(lines))
    assert "".join(p.content for p in client.invoke("x")) == expected


@pytest.mark.parametrize(
    "line",
    [
        data({"error": {"message": "The server had an error", "type": "server_error"}}),
        b"error: The server had an error\n",
    ],
)
def test_server_error_inside_the_stream(client, loopback, capsys, line):
    loopback.push([data(chunk({"content": "part"})), line])
    gen = client.invoke("x")
    next(gen)
    with pytest.raises(ValueError, match="^server error: The server had an error$"):
        next(gen)
    assert client.messages[-1].contents == ["part"]


def test_abandoned_tool_calls_are_not_run_by_the_next_turn(client, loopback):
    ran = []
    client.tools = Tools()
    client.tools.add(lambda: ran.append(1) or "done", name="side_effect", description="has a side effect")
    gate = threading.Event()
    events = sse_events([*call_fragments(0, "c1", "side_effect", ["{}"]), chunk({"content": "hm"}), chunk({}, "stop")])
    loopback.push([*events[:3], gate, *events[3:]])
    gen = client.invoke("x")
    assert next(gen).content == "hm"  # read after the tool-call fragments were merged
    gen.close()
    gate.set()
    loopback.push(sse([chunk({"content": "fresh"}, "stop")]))
    assert [p.content for p in client.invoke("y")] == ["fresh"]
    assert ran == [] and client.tool_calls == []


def test_turns_do_not_leak(client, loopback):
    def turn():
        loopback.push(sse([chunk({"reasoning_content": "r"}), chunk({"content": "a"}), chunk({}, "stop")]))
        for piece in client.invoke("q"):
            assert isinstance(piece, LLMResult)
        client.messages.clear()

    def census():
        gc.collect()
        counts = Counter(type(o).__name__ for o in gc.get_objects())
        return {name: counts[name] for name in ("LLMResult", "Message", "generator", "Response", "LLModal")}

    for _ in range(20):
        turn()
    before = census()
    for _ in range(200):
        turn()
    assert census() == before


def test_suspended_generator_is_collected(client, loopback):
    loopback.push([sse_events([chunk({"content": "a"})], done=False)[0], 0.5])
    gen = client.invoke("x")
    next(gen)
    ref = weakref.ref(gen)
    del gen
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize(
    "payload",
    ["{oops", "", "   ", '{"choices": []} trailing', "\ufeff{}", "[1, 2", '"unterminated', "nul\x00"],
)
def test_undecodable_chunks_fail_as_json_loads_does(client, loopback, payload):
    loopback.push(b"data: " + payload.encode() + b"\n\n")
    with pytest.raises(json.JSONDecodeError) as caught:
        list(client.invoke("x"))
    with pytest.raises(json.JSONDecodeError) as expected:
        json.loads(payload.lstrip("data: "))
    assert (caught.value.msg, caught.value.pos, caught.value.doc) == (
        expected.value.msg, expected.value.pos, expected.value.doc)


def test_json_is_looked_up_when_each_line_is_read(client, loopback, monkeypatch):
    import parleykit.modal as modal

    seen = []

    class Recording:
        @staticmethod
        def loads(text):
            seen.append(text)
            return json.loads(text)

    monkeypatch.setattr(modal, "json", Recording)
    loopback.push(sse([chunk({"content": "a"}, "stop")]))
    assert [p.content for p in client.invoke("x")] == ["a"]
    assert len(seen) == 1 and json.loads(seen[0])["choices"][0]["delta"] == {"content": "a"}


def shout(value):
    """Every "content" text upper-cased: what a decoder installed by the program might do."""
    if isinstance(value, dict):
        return {k: v.upper() if k == "content" and isinstance(v, str) else shout(v) for k, v in value.items()}
    if isinstance(value, list):
        return [shout(v) for v in value]
    return value


def replace_decoding(monkeypatch, where):
    decoder = json._default_decoder
    if where == "default decoder":
        monkeypatch.setattr(json, "_default_decoder", json.JSONDecoder(object_hook=shout))
    elif where in ("decode", "raw_decode"):
        original = getattr(json.JSONDecoder, where)
        if where == "decode":
            monkeypatch.setattr(json.JSONDecoder, "decode", lambda self, s, **kw: shout(original(self, s, **kw)))
        else:
            monkeypatch.setattr(json.JSONDecoder, "raw_decode",
                                lambda self, s, idx=0: (lambda r: (shout(r[0]), r[1]))(original(self, s, idx)))
    elif where == "decode on the instance":
        original = decoder.decode
        monkeypatch.setattr(decoder, "decode", lambda s, **kw: shout(original(s, **kw)))
    else:
        original = decoder.scan_once
        monkeypatch.setattr(decoder, "scan_once", lambda s, idx: (lambda r: (shout(r[0]), r[1]))(original(s, idx)))


@pytest.mark.parametrize("where", ["default decoder", "decode", "raw_decode", "decode on the instance", "scan_once"])
def test_a_replaced_json_decoder_decodes_every_line(client, loopback, monkeypatch, where):
    replace_decoding(monkeypatch, where)
    assert json.loads('{"content": "x"}') == {"content": "X"}  # the replacement is in effect
    loopback.push(sse([chunk({"content": "a"}), chunk({"content": "b"}, "stop")]))
    assert [p.content for p in client.invoke("x")] == ["A", "B"]
    monkeypatch.undo()
    loopback.push(sse([chunk({"content": "a"}, "stop")]))
    assert [p.content for p in client.invoke("x")] == ["a"]
