"""Reasoning sent back within a tool turn: reasoning that came under "reasoning_content" with a
tool-call reply goes back on that assistant message in the follow-ups of its cycle only."""

import pytest

import openai_replies as oa
from client_support import make_tools
from parleykit.modal import LLModal


def run(client, streamed, prompt="Q"):
    result = client.invoke(prompt)
    return list(result) if streamed else result


def reasoning_sent(request):
    return [(m["role"], m.get("reasoning_content")) for m in request.json["messages"]]


@pytest.mark.parametrize("streamed", [False, True], ids=["plain", "streamed"])
@pytest.mark.parametrize("key, back", [("reasoning_content", ["r1", "r2"]), ("reasoning", [None, None])])
def test_reasoning_goes_back_within_the_cycle_only(loopback, streamed, key, back):
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": streamed}, tools=make_tools())
    loopback.push(oa.body(streamed, reasoning="r1", calls=[("c1", "add", '{"a": 1, "b": 2}')], key=key))
    loopback.push(oa.body(streamed, reasoning="r2", calls=[("c2", "add", '{"a": 3, "b": 4}')], key=key))
    loopback.push(oa.body(streamed, content="3 and 7", reasoning="r3", key=key))
    loopback.push(oa.body(streamed, reasoning="r4", calls=[("c3", "add", '{"a": 0, "b": 0}')], key=key))
    loopback.push(b"not json")  # the next turn's follow-up fails: its cycle ends all the same
    loopback.push(oa.body(streamed, content="ok"))
    run(client, streamed)
    with pytest.raises(ValueError):
        run(client, streamed, "again")
    run(client, streamed, "last")
    third = [("user", None), ("assistant", back[0]), ("tool", None), ("assistant", back[1]), ("tool", None)]
    assert [reasoning_sent(r) for r in loopback.requests[:3]] == [third[:1], third[:3], third]
    assert reasoning_sent(loopback.requests[4])[-2] == ("assistant", back[0] and "r4")
    assert all(r is None for _, r in reasoning_sent(loopback.requests[5]))
    assert all("reasoning_content" not in m.latest for m in client.messages)
