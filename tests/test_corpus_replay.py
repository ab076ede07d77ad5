"""Every real reply body of the corpus, replayed through a loopback server and read by the client,
plain or streamed as the file is, checked against what the server meant to say."""

import copy
import json

import pytest

import corpus
from loopback import chunk, completion, sse
from parleykit.message import Message, MessageRole
from parleykit.modal import LLModal, LLMStatus
from parleykit.tools import Tools


class RecordingTools(Tools):
    """A registry that answers every call with "ok" and keeps what it was asked to run."""

    def __init__(self):
        super().__init__()
        self.seen = []

    def __bool__(self):
        return True

    def __call__(self, tool_calls):
        self.seen.extend(copy.deepcopy(tool_calls))
        return [Message(role=MessageRole.tool, contents=["ok"], tool_call_id=c.get("id")) for c in tool_calls]


def replay(loopback, sample):
    tools = RecordingTools()
    client = LLModal(endpoint_url=loopback.url, tools=tools, extra_body={"stream": sample.streamed})
    if sample.streamed:
        # Line by line, each line its own write, as a server streams it.
        loopback.push(sample.body.splitlines(keepends=True))
        loopback.push(sse([chunk({"content": "after tools"}, "stop")]))
    else:
        loopback.push(sample.body)
        loopback.push(completion("after tools"))

    answer, reasoning, error = [], [], None
    try:
        if sample.streamed:
            own_reply = True  # only this reply's texts are compared, not the follow-up's
            for piece in client.invoke("hello"):
                if piece.status in (LLMStatus.tool_calls, LLMStatus.tool_results):
                    own_reply = False
                elif own_reply:
                    # A reasoning piece may carry answer text too (a chunk with both texts).
                    answer.append(piece.content)
                    reasoning.append(piece.reasoning_content)
        else:
            result = client.invoke("hello")
            first = client.messages[1]
            answer.append(result.content if not tools.seen else (first.contents[0] if not first.tool_calls else ""))
            reasoning.append(result.reasoning_content if not tools.seen else "")
    except Exception as exc:  # the failure path already ran; compare what came before it
        error = exc
    return client, tools, "".join(answer), "".join(reasoning), error


@pytest.mark.parametrize("name", corpus.names())
def test_corpus_reply(loopback, name, capsys):
    sample = corpus.load(name)
    expect = sample.expect
    client, tools, answer, reasoning, error = replay(loopback, sample)

    if "error" in expect:
        assert isinstance(error, ValueError), error
        assert expect["error"]["message"] in str(error)
        assert capsys.readouterr().out == f"Error parsing LLM response: {error}\n"
    else:
        assert error is None, f"{type(error).__name__}: {error}"
    assert answer == (expect.get("content") or ""), sample.meta["case"]

    # Reasoning whichever way the server sends it; a whole reply's own reasoning is in its result
    # only when no tool round followed, so its message is also read on its own.
    if sample.streamed or not tools.seen:
        assert reasoning == (expect.get("reasoning") or "")
    if not sample.streamed:
        message = json.loads(sample.body)["choices"][0]["message"]
        texts = LLModal(extra_body={"stream": False})._message_process(message)
        assert (texts["reasoning_content"], texts["content"]) == (expect.get("reasoning") or "", expect.get("content") or "")
    # The history holds the answer the caller was shown: the assistant text of this reply, before
    # any tool-call request.
    if error is None:
        recorded = []
        for entry in client.messages[1:]:
            if entry.tool_calls:
                break
            recorded += entry.contents[-1:]
        assert "".join(recorded) == answer

    expected_calls = [(c["id"], c["name"], c["arguments"]) for c in expect.get("tool_calls", [])]
    seen = [(c.get("id"), c["function"].get("name"), c["function"].get("arguments")) for c in tools.seen]
    if sample.streamed:
        assert seen == expected_calls
    else:
        # Whole replies keep the arguments as the server sent them (text, or an object for some).
        assert [(i, n, a if isinstance(a, str) else json.dumps(a)) for i, n, a in seen] == [
            (i, n, a if isinstance(a, str) else json.dumps(a)) for i, n, a in expected_calls
        ]
    if expected_calls and error is None:
        assert len(loopback.requests) == 2  # the follow-up carried the tool results
        assert client.messages[-1].contents[-1] == "after tools"
