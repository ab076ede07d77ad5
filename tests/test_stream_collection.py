"""A streamed reading suspended at each of its yields, kept alive only by a cycle through the client:
the garbage collector frees the client, the reading and the follow-up, and their sockets close."""

import gc
import types
import weakref
from typing import Any

import pytest
import requests

import parleykit.modal as modal
from client_support import make_tools
from loopback import chunk, sse
from parleykit.modal import LLModal, LLMStatus
from test_reply_stream import call_fragments


class Holding(LLModal):
    kept: Any = None  # the stream in progress: client -> stream -> client


TOOL_ROUND = sse([*call_fragments(0, "c1", "add", ['{"a": 1, ', '"b": 2}']), chunk({}, "tool_calls")])
FOLLOW_UP = sse([chunk({"reasoning_content": "then"}), chunk({"content": "3"}), chunk({}, "stop")])

# (replies, pieces taken, the status of the piece the reading is suspended after)
SUSPENSIONS = {
    "reasoning piece": ([sse([chunk({"reasoning_content": "r"}), chunk({"content": "a"}, "stop")])], 1,
                        LLMStatus.reason),
    "answer piece": ([sse([chunk({"content": "a"}), chunk({"content": "b"}, "stop")])], 1, LLMStatus.answer),
    "tool-call piece": ([TOOL_ROUND], 1, LLMStatus.tool_calls),
    "tool-result piece": ([TOOL_ROUND], 2, LLMStatus.tool_results),
    "follow-up, its reasoning": ([TOOL_ROUND, FOLLOW_UP], 3, LLMStatus.reason),
    "follow-up, its answer": ([TOOL_ROUND, FOLLOW_UP], 4, LLMStatus.answer),
}


@pytest.mark.parametrize("replies, taken, status", SUSPENSIONS.values(), ids=SUSPENSIONS)
def test_a_cycle_through_the_client_is_collected(loopback, monkeypatch, replies, taken, status):
    sockets = []

    def post(*args, **kwargs):
        response = requests.post(*args, **kwargs)
        sockets.append(weakref.ref(response.raw.connection.sock))
        return response

    monkeypatch.setattr(modal, "requests", types.SimpleNamespace(post=post))
    for body in replies:
        loopback.push(body)
    client = Holding(endpoint_url=loopback.url, extra_body={"stream": True}, tools=make_tools())
    stream = client.invoke("add 1 and 2")
    pieces = [next(stream) for _ in range(taken)]
    assert pieces[-1].status == status
    client.kept = stream
    refs = weakref.ref(client), weakref.ref(stream)
    del client, stream, pieces
    gc.collect()
    assert [r() for r in refs] == [None, None]
    assert len(sockets) == len(replies)
    assert all(s() is None or s().fileno() == -1 for s in sockets)
