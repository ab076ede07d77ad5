"""The conversation stays one a service accepts whatever happens to a turn: interruptions, registries
that answer wrongly, a second thread at work in the same client, servers that go silent."""

import os
import sys
import threading
import time
import types

import pytest
import requests

import parleykit.modal as modal
from client_support import (  # noqa: F401  (fixtures)
    BUSY, consume, isolated_config, make_tools, reports, streamed, text_reply)
from loopback import chunk, completion, sse, sse_events
from parleykit.config import Configurator
from parleykit.message import Message, MessageRole
from parleykit.modal import LLModal
from parleykit.tools import Tools
from test_openai_replies import assert_valid

CALL = {"id": "c1", "type": "function", "function": {"name": "add", "arguments": '{"a": 1, "b": 2}'}}
CANCELLED = "The tool call was cancelled before it answered."


def tool_reply(streamed):
    if streamed:
        return sse([chunk({"tool_calls": [dict(CALL, index=0)]}), chunk({}, "tool_calls")])
    return completion(None, tool_calls=[CALL])


class Interrupting(Tools):
    def __call__(self, tool_calls):
        raise KeyboardInterrupt


def next_turn_is_valid(client, loopback, streamed):
    """Sends another turn; returns the messages its request carried, checked to be valid."""
    loopback.push(text_reply(streamed))
    consume(client.invoke("next"), streamed)
    sent = loopback.requests[-1].json["messages"]
    assert_valid(sent)
    assert client.messages[-1].contents == ["fine"] and (client.tool_calls, client._tool_calls_count) == ([], 0)
    return sent


def test_interrupted_tool_round_is_settled_when_the_next_turn_starts(loopback, reports, streamed):
    loopback.push(tool_reply(streamed))
    client = LLModal(endpoint_url=loopback.url, tools=Interrupting(), extra_body={"stream": streamed})
    with pytest.raises(KeyboardInterrupt):
        consume(client.invoke("go"), streamed)
    # The interruption passes untouched: nothing printed, nothing written but the request itself.
    assert reports == [] and [m.role for m in client.messages] == ["user", "assistant"]
    client.tools = make_tools()
    sent = next_turn_is_valid(client, loopback, streamed)
    assert [(m["role"], m["content"]) for m in sent[1:3]] == [("assistant", None), ("tool", CANCELLED)]
    assert sent[2]["tool_call_id"] == "c1"


@pytest.mark.parametrize(
    "stop",
    [
        lambda gen, client: gen.close(),  # closed before it started
        lambda gen, client: gen.throw(KeyboardInterrupt),
        lambda gen, client: setattr(client, "_close", True) or list(gen),
        lambda gen, client: None,  # abandoned
    ],
    ids=["close", "keyboard-interrupt", "close-flag", "abandoned"],
)
def test_stream_stopped_before_its_first_piece(loopback, stop):
    loopback.push(sse_events([chunk({"content": "never"}, "stop")]))
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": True})
    gen = client.invoke("go")
    try:
        stop(gen, client)
    except KeyboardInterrupt:
        pass
    del gen
    sent = next_turn_is_valid(client, loopback, True)
    # The unanswered turn got an empty answer; "go" and "next" are not two user texts in a row.
    assert [(m["role"], m["content"]) for m in sent] == [("user", "go"), ("assistant", ""), ("user", "next")]


class Wrong(Tools):
    def __init__(self, answer):
        super().__init__()
        self.answer = answer

    def __bool__(self):
        return True

    def __call__(self, tool_calls):
        return self.answer


@pytest.mark.parametrize(
    "answer",
    [{"c1": "3"}, ["3"], [{"role": "tool", "tool_call_id": "c1", "content": "3"}], None],
    ids=["dict", "list-of-str", "list-of-dicts", "none"],
)
def test_registry_answering_the_wrong_type(loopback, reports, streamed, answer):
    loopback.push(tool_reply(streamed))
    client = LLModal(endpoint_url=loopback.url, tools=Wrong(answer), extra_body={"stream": streamed})
    with pytest.raises(TypeError) as caught:
        consume(client.invoke("go"), streamed)
    # The error printed is the error raised, and the round left nothing behind.
    assert reports == [(f"Error parsing LLM response: {caught.value}", caught.value)]
    assert [(m.role, m.contents) for m in client.messages] == [("user", ["go"]), ("assistant", [BUSY])]
    client.tools = make_tools()
    next_turn_is_valid(client, loopback, streamed)


# ---- one conversation, one thread at a time --------------------------------------------------------

BUSY_THREAD = "this LLModal is already running a turn in another thread"


def stalled(loopback, streamed, gate):
    if streamed:
        first, *rest = sse_events([chunk({"content": "a"}), chunk({"content": "b"}, "stop")])
        loopback.push([first, gate, *rest])
    else:
        loopback.push([gate, completion("slow")])


def wait_until_reading(thread, ready):
    """Returns once ``ready()`` holds and ``thread`` waits for the server's next bytes (a socket read
    is on its stack)."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        frame = sys._current_frames().get(thread.ident) if ready() else None
        while frame is not None and frame.f_code.co_name != "readinto":
            frame = frame.f_back
        if frame is not None:
            return
        time.sleep(0.005)
    raise TimeoutError("the worker never reached a read")


@pytest.mark.parametrize("second", ["invoke", "read"])
def test_second_thread_at_work_gets_a_clear_error(loopback, streamed, second):
    gate = threading.Event()
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": streamed})
    other = None
    if second == "read":
        # A stream the main thread started earlier and reads while the worker is inside a read.
        loopback.push(sse_events([chunk({"content": "x"}, "stop")]))
        client.extra_body = {"stream": True}
        other = client.invoke("earlier")
        client.extra_body = {"stream": streamed}
    stalled(loopback, streamed, gate)
    outcome = []

    def work():
        result = client.invoke("first")
        outcome.append(consume(result, streamed))

    worker = threading.Thread(target=work)
    worker.start()
    # The worker waits at the gate: a streamed turn has recorded its first piece by then.
    wait_until_reading(worker, lambda: not streamed or client.messages[-1].contents == ["a"])
    before = [(m.role, list(m.contents)) for m in client.messages]
    with pytest.raises(RuntimeError, match=f"^{BUSY_THREAD}$"):
        client.invoke("second") if other is None else next(other)
    assert [(m.role, list(m.contents)) for m in client.messages] == before
    gate.set()
    worker.join(10)
    assert outcome == [["a", "b"] if streamed else "slow"]
    assert client.messages[-1].contents == ["ab" if streamed else "slow"]


def test_a_stream_may_move_between_threads_and_be_abandoned(loopback):
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": True})
    loopback.push(sse_events([chunk({"content": "a"}), chunk({"content": "b"}, "stop")]))
    gen = client.invoke("q")
    assert next(gen).content == "a"
    rest = []
    worker = threading.Thread(target=lambda: rest.extend(p.content for p in gen))
    worker.start()
    worker.join(10)
    assert rest == ["b"]
    loopback.push(sse_events([chunk({"content": "x"}, "stop")]))
    abandoned = client.invoke("abandon me")
    assert next(abandoned).content == "x"
    next_turn_is_valid(client, loopback, True)


def test_a_follow_up_refused_for_another_threads_turn_leaves_that_turn_alone(loopback, reports):
    client = LLModal(endpoint_url=loopback.url, tools=make_tools(), extra_body={"stream": True}, tool_calls_limit=5)
    loopback.push(tool_reply(True))
    stream = client.invoke("mine")
    assert [next(stream).status, next(stream).status] == ["tool_calls", "tool_results"]  # follow-up not posted yet
    # Meanwhile a worker's turn runs its own tool round and waits inside its follow-up's read.
    gate = threading.Event()
    loopback.push(tool_reply(True))
    stalled(loopback, True, gate)
    outcome = []
    worker = threading.Thread(target=lambda: outcome.append(consume(client.invoke("theirs"), True)))
    worker.start()
    wait_until_reading(worker, lambda: client.messages[-1].contents == ["a"])
    state = (client.tool_calls, client._tool_calls_count)
    with pytest.raises(RuntimeError, match=f"^{BUSY_THREAD}$"):
        next(stream)
    assert (client.tool_calls, client._tool_calls_count) == state and state[1] == 1
    assert reports == []
    gate.set()
    worker.join(10)
    assert outcome == [["", "", "a", "b"]]


def wait_for_child(pid, timeout=60):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.02)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return "hung"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_client_inside_a_turn_when_the_process_forks_is_usable_in_the_child(loopback, streamed):
    gate = threading.Event()
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": streamed})
    stalled(loopback, streamed, gate)
    worker = threading.Thread(target=lambda: consume(client.invoke("first"), streamed))
    worker.start()
    wait_until_reading(worker, lambda: not streamed or client.messages[-1].contents == ["a"])
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: the worker and its turn are gone
        code = 1
        try:
            from loopback import Loopback

            server = Loopback()
            server.push(text_reply(streamed, "in the child"))
            client.endpoint_url = server.url
            answer = consume(client.invoke("again"), streamed)
            code = 0 if answer == (["in the child"] if streamed else "in the child") else 2
            os.write(write_end, repr(answer).encode())
        except BaseException as e:  # noqa: B036 - whatever the child meets is reported to the parent
            os.write(write_end, repr(e).encode())
        finally:
            os._exit(code)
    os.close(write_end)
    code = wait_for_child(pid)
    said = os.read(read_end, 4096).decode()
    os.close(read_end)
    gate.set()
    worker.join(10)
    assert code == 0, said


# ---- timeouts ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "configured, sent",
    [(None, None), ("", None), ("30", 30.0), (" 2 , 30 ", (2.0, 30.0)), (45, 45.0)],
)
def test_timeout_is_sent_only_when_configured(loopback, isolated_config, monkeypatch, configured, sent):
    seen = []

    def post(*args, **kwargs):
        seen.append(kwargs.get("timeout", "absent"))
        return requests.post(*args, **kwargs)

    monkeypatch.setattr(modal, "requests", types.SimpleNamespace(post=post))
    if configured is not None:
        Configurator.set("llm", "timeout", configured)
    loopback.push(completion("x"))
    LLModal(endpoint_url=loopback.url).invoke("q")
    assert seen == ["absent" if sent is None else sent]


@pytest.mark.parametrize("configured", ["soon", "0", "1,2,3", "-1", "nan", "1e10", "5,inf"])
def test_unusable_timeout_is_a_failed_request(loopback, isolated_config, monkeypatch, reports, configured):
    # Read from the environment: set() refuses such values before any request.
    monkeypatch.setenv("PARLEYKIT_LLM_TIMEOUT", configured)
    client = LLModal(endpoint_url=loopback.url)
    with pytest.raises(ValueError) as caught:
        client.invoke("q")
    assert str(caught.value) == (
        f"the timeout of section 'llm' must be seconds, or connect,read seconds, each above 0 and at most 1000000, not {configured!r}"
    )
    assert reports == [(f"LLM request error: {caught.value}", caught.value)] and loopback.requests == []


def test_silent_server_times_out_through_the_failure_path(loopback, isolated_config, reports, streamed):
    Configurator.set("llm", "timeout", "5,0.3")
    gate = threading.Event()
    stalled(loopback, streamed, gate)
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": streamed})
    try:
        with pytest.raises(requests.exceptions.RequestException) as caught:
            consume(client.invoke("q"), streamed)
    finally:
        gate.set()
    assert "timed out" in str(caught.value)
    assert len(reports) == 1 and reports[0][1] is caught.value and "\n" not in reports[0][0]
    # A streamed answer keeps its first piece; a plain one is answered with the default text.
    assert client.messages[-1].contents == (["a"] if streamed else [BUSY])
