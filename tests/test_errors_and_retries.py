"""Refused requests as APIStatusError (status, masked body, Retry-After) and the opt-in retries of
the configuration's "retries", against the loopback server with a test clock instead of real waits."""

import email.utils
import random
import socket
import threading
import time

import pytest
import requests

import openai_replies as oa
from client_support import BUSY, isolated_config, reports  # noqa: F401  (fixtures)
from loopback import DROP, completion
from parleykit.config import Configurator
from parleykit.modal import APIStatusError, LLModal, LLMResult

KEY = "sk-retry-7c1e"


class Clock:
    """time.sleep replaced: every wait is recorded and advances a virtual time instead of the real one;
    `on_sleep` runs at each wait (a test opens a port there)."""

    def __init__(self) -> None:
        self.waits: list[float] = []
        self.on_sleep = lambda: None

    def sleep(self, seconds: float) -> None:
        self.waits.append(seconds)
        self.on_sleep()


@pytest.fixture
def clock(monkeypatch, isolated_config):
    clock = Clock()
    monkeypatch.setattr(time, "sleep", clock.sleep)
    monkeypatch.setattr(random, "random", lambda: 0.5)
    return clock


def client_for(url: str, retries: int | None, **fields) -> LLModal:
    if retries is not None:
        Configurator.set("llm", "retries", str(retries))
    return LLModal(endpoint_url=url, **fields)


# --- the error ------------------------------------------------------------------------------------


def test_a_refused_request_raises_api_status_error_with_the_text_as_before(loopback, clock, reports):
    Configurator.set("llm", "api_key", KEY)
    body = b'{"error": {"message": "key ' + KEY.encode() + b' is over its quota"}}'
    loopback.push(body, status=429, headers=[("Retry-After", "7")])
    client = client_for(loopback.url, None)
    with pytest.raises(APIStatusError) as caught:
        client.invoke("hi")
    error = caught.value
    assert isinstance(error, ValueError)
    masked = body.replace(KEY.encode(), b"[api key]")
    assert str(error) == f"code: 429, content: {masked}"
    assert (error.status_code, error.body, error.retry_after) == (429, masked, 7.0)
    assert [text for text, _ in reports] == [f"LLM request error: {error}"]
    assert client.messages[-1].contents == [BUSY]
    assert clock.waits == []  # retries are off unless configured


@pytest.mark.parametrize(
    "headers, expected",
    [
        ([], None),
        ([("Retry-After", "2.5")], 2.5),
        ([("Retry-After", "-3")], None),
        ([("Retry-After", "soon")], None),
        ([("retry-after-ms", "1500"), ("Retry-After", "9")], 1.5),
        ([("retry-after-ms", "nan"), ("Retry-After", "9")], 9.0),
        ([("Retry-After", "Wed, 21 Oct 2015 07:28:00 GMT")], 0.0),  # a date gone by: no wait
    ],
)
def test_retry_after_forms(loopback, isolated_config, headers, expected):
    loopback.push(b"busy", status=503, headers=headers)
    with pytest.raises(APIStatusError) as caught:
        LLModal(endpoint_url=loopback.url).invoke("hi")
    assert caught.value.retry_after == expected


def test_retry_after_as_a_future_date_counts_from_now(loopback, isolated_config):
    when = email.utils.formatdate(time.time() + 30, usegmt=True)
    loopback.push(b"busy", status=503, headers=[("Retry-After", when)])
    with pytest.raises(APIStatusError) as caught:
        LLModal(endpoint_url=loopback.url).invoke("hi")
    assert 27 < caught.value.retry_after <= 30


def test_the_error_pickles_with_its_figures():
    import pickle

    error = pickle.loads(pickle.dumps(APIStatusError("code: 503, content: b''", 503, b"", 1.0)))
    assert (str(error), error.status_code, error.body, error.retry_after) == ("code: 503, content: b''", 503, b"", 1.0)


# --- retries --------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "retries, replies, waits, succeeds",
    [
        # The server's Retry-After is waited exactly, without jitter.
        (2, [(429, [("Retry-After", "3")]), (200, [])], [3.0], True),
        # Without one: 0.5 s doubled per attempt, less a quarter of it at random (0.5 here).
        (3, [(503, []), (502, []), (200, [])], [0.5 * 0.875, 1.0 * 0.875], True),
        (2, [(408, []), (409, []), (200, [])], [0.4375, 0.875], True),
        # Retries used up: the last refusal is the one reported.
        (1, [(500, []), (504, [])], [0.4375], False),
        # Not worth trying again: refused at once.
        (3, [(400, [])], [], False),
        (3, [(401, [])], [], False),
        (3, [(201, [])], [], False),
        # A server that asks for more than a minute is not waited for inside the call.
        (3, [(429, [("Retry-After", "120")])], [], False),
        (0, [(503, [])], [], False),
    ],
)
def test_retried_statuses(loopback, clock, reports, retries, replies, waits, succeeds):
    for status, headers in replies:
        loopback.push(completion("fine") if status == 200 else b"no", status=status, headers=headers)
    client = client_for(loopback.url, retries)
    if succeeds:
        assert client.invoke("hi").content == "fine"
        assert reports == []
        assert [m.contents for m in client.messages] == [["hi"], ["fine"]]
    else:
        with pytest.raises(APIStatusError) as caught:
            client.invoke("hi")
        assert caught.value.status_code == replies[-1][0]
        # The failure path runs once, for the last attempt only.
        assert [text for text, _ in reports] == [f"LLM request error: {caught.value}"]
        assert [m.contents for m in client.messages] == [["hi"], [BUSY]]
    assert clock.waits == waits
    sent = loopback.wait_for(len(replies))
    assert len(sent) == len(replies) and all(r.json == sent[0].json for r in sent)


@pytest.mark.parametrize("asked, waits, succeeds", [("2", [2.0], True), ("30", [], False)])
def test_a_retry_wait_stays_within_the_turns_deadline(loopback, clock, reports, asked, waits, succeeds):
    # The clock is virtual, so only a wait that ends past the 20 s deadline can tell the two apart.
    Configurator.set("llm", "deadline", "20")
    loopback.push(b"busy", status=429, headers=[("Retry-After", asked)])
    loopback.push(completion("fine"))
    client = client_for(loopback.url, 2)
    if succeeds:
        assert client.invoke("hi").content == "fine"
    else:
        with pytest.raises(APIStatusError) as caught:
            client.invoke("hi")
        assert caught.value.retry_after == 30.0
    assert clock.waits == waits


def test_a_refused_connection_is_tried_again_until_the_server_listens(clock, reports):
    # A port bound but not listening refuses connections; the server starts listening during the
    # first wait and answers the retry.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    url = f"http://127.0.0.1:{listener.getsockname()[1]}/v1/chat/completions"
    served = []

    def serve_once() -> None:
        connection, _ = listener.accept()
        with connection:
            request = b""
            while b"\r\n\r\n" not in request:
                request += connection.recv(65536)
            head, _, body = request.partition(b"\r\n\r\n")
            length = int(next(line.split(b":")[1] for line in head.split(b"\r\n") if line.lower().startswith(b"content-length")))
            while len(body) < length:
                body += connection.recv(65536)
            served.append(body)
            reply = completion("listening now")
            connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
                               b"Content-Length: %d\r\n\r\n%s" % (len(reply), reply))

    def start_listening() -> None:
        if not served and len(clock.waits) == 2:
            listener.listen()
            threading.Thread(target=serve_once, daemon=True).start()

    clock.on_sleep = start_listening
    try:
        client = client_for(url, 3)
        assert client.invoke("hi").content == "listening now"
    finally:
        listener.close()
    assert clock.waits == [0.4375, 0.875] and len(served) == 1 and reports == []


def test_connection_failures_are_not_retried_by_default(clock, reports):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    try:
        client = client_for(f"http://127.0.0.1:{listener.getsockname()[1]}/", None)
        with pytest.raises(requests.ConnectionError):
            client.invoke("hi")
    finally:
        listener.close()
    assert clock.waits == [] and len(reports) == 1


def test_a_stream_is_retried_before_it_yields_and_never_after(loopback, clock, reports):
    client = client_for(loopback.url, 3, extra_body={"stream": True})
    loopback.push(b"slow down", status=429, headers=[("Retry-After", "1")])
    loopback.push(oa.stream(content="streamed answer"))
    assert "".join(p.content for p in client.invoke("hi")) == "streamed answer"
    assert clock.waits == [1.0]

    # A stream cut after its first piece fails out of the iteration, and is not posted again.
    loopback.push([oa.stream(content="partial answer")[1], DROP])
    pieces = client.invoke("again")
    assert next(pieces).content
    with pytest.raises(requests.RequestException):
        list(pieces)
    assert len(loopback.requests) == 3 and clock.waits == [1.0]


def test_a_retried_follow_up_of_a_tool_round(loopback, clock):
    from client_support import make_tools

    client = client_for(loopback.url, 2, tools=make_tools())
    loopback.push(oa.whole(calls=[("c1", "add", '{"a": 2, "b": 3}')]))
    loopback.push(b"", status=503)
    loopback.push(oa.whole(content="5"))
    result = client.invoke("2+3?")
    assert isinstance(result, LLMResult) and result.content == "5"
    assert [r.content for r in result.tool_results.values()] == ["5"]
    assert clock.waits == [0.4375]
    # The retry posts the same follow-up: the tool ran once and its message went once.
    second, third = (r.json["messages"] for r in loopback.wait_for(3)[1:])
    assert second == third and [m["role"] for m in third] == ["user", "assistant", "tool"]


@pytest.mark.parametrize("value", ["-1", "two", "101", "1.5"])
def test_a_retries_option_that_is_no_count_is_reported(loopback, clock, reports, value):
    loopback.push(b"", status=503)
    Configurator.set("llm", "retries", value)
    with pytest.raises(ValueError, match="the retries of section 'llm' must be a whole number"):
        LLModal(endpoint_url=loopback.url).invoke("hi")
    assert len(reports) == 1 and clock.waits == []


def test_an_interrupted_wait_ends_the_call_untouched(loopback, clock, reports):
    def interrupted() -> None:
        raise KeyboardInterrupt

    clock.on_sleep = interrupted
    loopback.push(b"", status=503)
    client = client_for(loopback.url, 2)
    with pytest.raises(KeyboardInterrupt):
        client.invoke("hi")
    assert reports == [] and [m.contents for m in client.messages] == [["hi"]]
