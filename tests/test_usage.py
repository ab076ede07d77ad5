"""The figures a request cycle leaves on the client: `usage` (the servers' token counts summed over
the cycle's requests) and `finish_reason` (its last reply's), for plain and streamed replies."""

import json
import threading

import pytest

import openai_replies as oa
from client_support import isolated_config, make_tools  # noqa: F401  (fixture)
from loopback import chunk, completion, sse_events
from parleykit.modal import LLModal

USAGE = {"prompt_tokens": 7, "completion_tokens": 5, "total_tokens": 12}
CALL = [("c1", "add", '{"a": 1, "b": 2}')]


@pytest.fixture(autouse=True)
def _config(isolated_config):
    yield


def with_usage(body: bytes, usage) -> bytes:
    document = json.loads(body)
    document["usage"] = usage
    return json.dumps(document).encode()


def consume(result):
    return result if not hasattr(result, "__next__") else list(result)


@pytest.mark.parametrize("streamed", [False, True])
def test_usage_is_summed_over_a_tool_round_and_the_last_reply_says_why_it_ended(loopback, streamed):
    # The openai package's own reply bodies: usage in the whole reply, or in a chunk of its own
    # after the finish reason, as servers send it when asked with stream_options.
    loopback.push(oa.body(streamed, calls=CALL))
    loopback.push(oa.body(streamed, content="3"))
    extra = {"stream": True, "stream_options": {"include_usage": True}} if streamed else {}
    client = LLModal(endpoint_url=loopback.url, tools=make_tools(), extra_body=extra)
    assert (client.usage, client.finish_reason) == (None, None)
    consume(client.invoke("1+2?"))
    assert client.usage == {key: 2 * value for key, value in USAGE.items()}
    assert client.finish_reason == "stop"
    with pytest.raises(AttributeError):
        client.usage = {}


@pytest.mark.parametrize(
    "usages, expected",
    [
        # Nested documents are summed alike; what is not a number is left out.
        (
            [{"prompt_tokens": 3, "prompt_tokens_details": {"cached_tokens": 1, "audio_tokens": None}, "model": "m"},
             {"prompt_tokens": 4.5, "prompt_tokens_details": {"cached_tokens": 2}, "flag": True}],
            {"prompt_tokens": 7.5, "prompt_tokens_details": {"cached_tokens": 3}},
        ),
        ([None, {"total_tokens": 4}], {"total_tokens": 4}),
        ([None, None], None),
        (["lots", {"model": "m"}], None),
    ],
)
def test_usage_keeps_the_numbers(loopback, usages, expected):
    loopback.push(with_usage(completion(tool_calls=[{"id": "c1", "type": "function",
                                                     "function": {"name": "add", "arguments": '{"a": 1, "b": 2}'}}]),
                             usages[0]))
    loopback.push(with_usage(completion("3"), usages[1]))
    client = LLModal(endpoint_url=loopback.url, tools=make_tools())
    client.invoke("1+2?")
    assert client.usage == expected


def test_each_cycle_starts_afresh_and_a_reply_without_a_reason_has_none(loopback):
    client = LLModal(endpoint_url=loopback.url)
    loopback.push(with_usage(completion("a", finish_reason="length"), USAGE))
    client.invoke("first")
    assert (client.usage, client.finish_reason) == (USAGE, "length")
    first = client.usage
    body = json.loads(completion("b"))
    del body["choices"][0]["finish_reason"]
    loopback.push(json.dumps(body).encode())
    client.invoke("second")
    assert (client.usage, client.finish_reason) == (None, None)
    assert first == USAGE  # a figure handed out before does not change


def test_a_streamed_reply_ends_at_its_finish_reason_unless_usage_was_asked_for(loopback):
    gate = threading.Event()  # never opened: a server that keeps the stream open after its usage
    events = sse_events([chunk({"content": "hi"}), chunk(finish_reason="stop")], done=False)
    usage_chunk = b"data: " + json.dumps({"choices": [], "usage": USAGE}).encode() + b"\n\n"
    try:
        loopback.push([*events, gate])
        client = LLModal(endpoint_url=loopback.url, extra_body={"stream": True})
        assert [p.content for p in client.invoke("a")] == ["hi"]
        assert (client.usage, client.finish_reason) == (None, "stop")

        loopback.push([*events, usage_chunk, gate])
        client.extra_body["stream_options"] = {"include_usage": True}
        assert [p.content for p in client.invoke("b")] == ["hi"]
        assert (client.usage, client.finish_reason) == (USAGE, "stop")
    finally:
        gate.set()


def test_running_totals_in_every_chunk_count_once(loopback):
    # Some servers repeat the totals so far in each chunk: the stream's last report is its usage.
    running = [chunk({"content": str(n)}, usage={"completion_tokens": n}) for n in (1, 2, 3)]
    loopback.push(sse_events([*running, chunk(finish_reason="stop", usage={"completion_tokens": 3})]))
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": True})
    assert "".join(p.content for p in client.invoke("count")) == "123"
    assert client.usage == {"completion_tokens": 3}
