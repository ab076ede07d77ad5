"""What the texts of a reply mean: reasoning under either key servers use, content as a list of
chunks, think tags inside the answer, and the answer text of a chunk that carries both texts."""

import pytest

from loopback import chunk, sse
from parleykit.modal import LLModal, LLMStatus


def thinking(*texts):
    return {"type": "thinking", "thinking": [{"type": "text", "text": t} for t in texts]}


def text(t):
    return {"type": "text", "text": t}


# message or delta -> (reasoning text, answer text)
MEANINGS = {
    "reasoning key": ({"reasoning": "R", "content": "A"}, ("R", "A")),
    "reasoning_content null": ({"reasoning_content": None, "reasoning": "R"}, ("R", "")),
    "reasoning_content empty": ({"reasoning_content": "", "reasoning": "R"}, ("R", "")),
    "reasoning_content wins": ({"reasoning_content": "R1", "reasoning": "R2"}, ("R1", "")),
    "reasoning not text": ({"reasoning": {"effort": "high"}, "content": "A"}, ("", "A")),
    "content list": ({"content": [thinking("t1", "t2"), text("a"), text("b")]}, ("t1t2", "ab")),
    "thinking as text": ({"reasoning_content": "R", "content": [{"type": "thinking", "thinking": "t"}]}, ("Rt", "")),
    "unknown chunks skipped": (
        {"content": [{"type": "image_url"}, "bare", 5, None, {"text": "no type"}, {"type": "text", "text": 7},
                     {"type": "thinking", "thinking": [text("t"), {"type": "x"}, 3]}, text("a")]},
        ("t", "a"),
    ),
    "think tags stay answer text": ({"content": "<think>plan</think>A"}, ("", "<think>plan</think>A")),
}


@pytest.mark.parametrize("message, expected", MEANINGS.values(), ids=MEANINGS.keys())
def test_message_texts(message, expected):
    got = LLModal()._message_process(message)
    assert (got["reasoning_content"], got["content"]) == expected and list(got) == ["reasoning_content", "content"]


R, A = LLMStatus.reason, LLMStatus.answer
STREAMS = {
    "mixed chunk, reasoning key": (
        [{"reasoning": "r"}, {"content": "Hel", "reasoning": " end"}, {"content": "lo"}],
        [(R, "r", ""), (R, " end", "Hel"), (A, "", "lo")], "Hello",
    ),
    "content lists, then strings": (
        [{"content": [thinking("t1")]}, {"content": [thinking("t2"), text("An")]}, {"content": "swer"}],
        [(R, "t1", ""), (R, "t2", "An"), (A, "", "swer")], "Answer",
    ),
    "think tags": ([{"content": "<think>p"}, {"content": "</think>D"}], [(A, "", "<think>p"), (A, "", "</think>D")],
                   "<think>p</think>D"),
}


@pytest.mark.parametrize("deltas, expected, recorded", STREAMS.values(), ids=STREAMS.keys())
def test_streamed_texts(loopback, deltas, expected, recorded):
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": True})
    loopback.push(sse([chunk(d) for d in deltas] + [chunk({}, "stop")]))
    assert [(p.status, p.reasoning_content, p.content) for p in client.invoke("q")] == expected
    # The next request carries the whole answer.
    loopback.push(sse([chunk({"content": "ok"}, "stop")]))
    list(client.invoke("next"))
    assert loopback.requests[-1].json["messages"][1] == {"role": "assistant", "content": recorded}
