"""How reply bytes come off the connection: lines handed over as soon as they arrive whatever the
framing, the cap on a reply's size (compressed or not), the turn's deadline against slow and silent
servers, cancellation and Ctrl-C while a read waits, and the key masked in every form an error
text can give it."""

import gzip
import json
import os
import signal
import threading
import time

import pytest
import requests

from client_support import BUSY, client_reports, consume, isolated_config, reports  # noqa: F401  (fixtures)
from loopback import chunk, completion, sse, sse_events
from parleykit.config import Configurator
from parleykit.modal import LLModal


@pytest.mark.parametrize("chunked", [True, False], ids=["chunked", "until-close"])
def test_each_line_is_handed_over_as_it_arrives(loopback, chunked):
    gate = threading.Event()
    first, second = sse_events([chunk({"content": "a"}), chunk({"content": "b"}, "stop")], done=False)
    loopback.push([first, gate, second], chunked=chunked)
    pieces = LLModal(endpoint_url=loopback.url, extra_body={"stream": True}).invoke("q")
    try:
        # The second event is not even written yet: the first arrived alone, in fewer than 512 bytes.
        assert next(pieces).content == "a"
    finally:
        gate.set()
    assert [p.content for p in pieces] == ["b"]


CAP = 64 * 1024


@pytest.mark.parametrize(
    "streamed, body, headers",
    [
        (False, completion("x" * (2 * CAP)), []),
        (True, sse([chunk({"content": "x" * (2 * CAP)})]), []),
        # A compressed body small on the wire: decoding stops at the cap, not at its end.
        (False, gzip.compress(b"{" + b" " * (64 * CAP) + b"}"), [("Content-Encoding", "gzip")]),
        (True, [gzip.compress(b"data: " + b" " * (64 * CAP) + b"\n\n")], [("Content-Encoding", "gzip")]),
    ],
    ids=["plain", "one-line", "gzip-plain", "gzip-stream"],
)
def test_a_reply_over_the_cap_fails_the_turn(loopback, isolated_config, reports, streamed, body, headers):
    Configurator.set("llm", "max_reply_bytes", CAP)
    loopback.push(body, headers=headers)
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": streamed})
    with pytest.raises(ValueError, match=f"^the reply is larger than its cap of {CAP} bytes") as caught:
        consume(client.invoke("q"), streamed)
    assert [exc for _, exc in client_reports(reports)] == [caught.value]
    assert client.messages[-1].contents == [BUSY]
    # The connection went with the unread rest: the next turn is a fresh, sound request.
    loopback.push(completion("fine"))
    client.extra_body = {}
    assert client.invoke("again").content == "fine"


@pytest.mark.parametrize("streamed", [False, True], ids=["plain", "streamed"])
@pytest.mark.parametrize("server", ["drip", "silent"])
def test_the_deadline_bounds_the_whole_turn(loopback, isolated_config, reports, streamed, server):
    Configurator.set("llm", "deadline", 1)
    Configurator.set("llm", "timeout", (5, 5))  # each read alone would wait far longer
    head = sse_events([chunk({"content": "a"})], done=False) if streamed else []
    tail = [b" ", 0.1] * 100 if server == "drip" else [20.0]
    loopback.push(head + tail, chunked=True)
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": streamed})
    start = time.monotonic()
    with pytest.raises(requests.exceptions.Timeout, match="deadline of 1.0 seconds") as caught:
        consume(client.invoke("q"), streamed)
    assert time.monotonic() - start < 3
    assert [exc for _, exc in client_reports(reports)] == [caught.value]
    assert client.messages[-1].contents == (["a"] if streamed else [BUSY])


def test_the_deadline_spans_the_follow_ups_of_a_tool_round(loopback, isolated_config, reports):
    from client_support import make_tools

    Configurator.set("llm", "deadline", 1)
    call = {"index": 0, "id": "c1", "type": "function", "function": {"name": "add", "arguments": '{"a": 1, "b": 2}'}}
    loopback.push([0.7, *sse_events([chunk({"tool_calls": [call]}), chunk({}, "tool_calls")])])
    loopback.push([0.7, *sse_events([chunk({"content": "late"}, "stop")])])
    client = LLModal(endpoint_url=loopback.url, tools=make_tools(), extra_body={"stream": True})
    with pytest.raises(requests.exceptions.Timeout):
        consume(client.invoke("q"), True)
    # Each request alone is within a second; the turn is not.
    loopback.push(sse([chunk({"content": "next"}, "stop")]))
    assert consume(client.invoke("a new turn has its own clock"), True) == ["next"]


def test_close_stops_a_stream_whose_line_never_completes(loopback):
    loopback.push([*sse_events([chunk({"content": "a"})], done=False), *[b"x", 0.05] * 400])
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": True})
    pieces = client.invoke("q")
    assert next(pieces).content == "a"
    timer = threading.Timer(0.3, lambda: setattr(client, "_close", True))
    timer.start()
    start = time.monotonic()
    assert list(pieces) == []
    assert time.monotonic() - start < 2 and client._close is False
    assert client.messages[-1].contents == ["a"]


def test_close_from_another_thread_ends_a_silent_read_within_its_timeout(loopback, isolated_config, reports):
    Configurator.set("llm", "timeout", (5, 0.5))
    gate = threading.Event()
    loopback.push([*sse_events([chunk({"content": "a"})], done=False), gate])
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": True})
    pieces = client.invoke("q")
    try:
        assert next(pieces).content == "a"
        threading.Timer(0.2, lambda: setattr(client, "_close", True)).start()
        # Not a ReadTimeout: the stop that was asked for, with what was read kept.
        assert list(pieces) == []
    finally:
        gate.set()
    assert client_reports(reports) == [] and client.messages[-1].contents == ["a"]
    # Without _close, the same silence is the read timeout's failure.
    loopback.push([*sse_events([chunk({"content": "b"})], done=False), 3.0])
    with pytest.raises(requests.exceptions.ConnectionError):
        consume(client.invoke("again"), True)


def test_ctrl_c_ends_a_blocked_read(loopback):
    gate = threading.Event()
    loopback.push([*sse_events([chunk({"content": "a"})], done=False), gate])
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": True})
    pieces = client.invoke("q")
    assert next(pieces).content == "a"
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            next(pieces)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        gate.set()
    assert time.monotonic() - start < 2


# ---- the key in error texts --------------------------------------------------------------------

ODD_KEYS = ["sk-it's", "sk-back\\slash", "sk-clé-ü", 'sk-"quoted"/path', "sk-two words+more"]


@pytest.mark.parametrize("key", ODD_KEYS)
@pytest.mark.parametrize("echo", ["json", "json-unicode", "raw", "url"])
def test_every_form_of_the_key_is_masked(loopback, isolated_config, reports, key, echo):
    from urllib.parse import quote

    Configurator.set("llm", "api_key", key)
    shown = {"json": json.dumps(key), "json-unicode": json.dumps(key, ensure_ascii=False), "raw": key,
             "url": quote(key, safe="")}[echo]
    loopback.push(f'{{"error": "bad key {shown} (\'{shown}\')"}}'.encode(), status=401)
    with pytest.raises(ValueError) as caught:
        LLModal(endpoint_url=loopback.url).invoke("q")
    text = str(caught.value)
    assert "[api key]" in text and "sk-" not in text
    assert reports[0][0] == "LLM request error: " + text


@pytest.mark.parametrize("key", ["sk-secret-with-newline\n", "sk-secret\r\nX-Injected: 1"])
def test_a_key_with_a_line_break_is_refused_without_showing_it(loopback, isolated_config, reports, key):
    Configurator.set("llm", "api_key", key)
    with pytest.raises(ValueError, match="^the api_key of section 'llm' holds a line break") as caught:
        LLModal(endpoint_url=loopback.url).invoke("q")
    assert "sk-secret" not in str(caught.value) and "sk-secret" not in reports[0][0]
    assert loopback.requests == []


def test_a_key_rotated_during_the_request_is_masked(loopback, isolated_config, reports):
    Configurator.set("llm", "api_key", "sk-old-rotated-away")
    gate = threading.Event()
    loopback.push([gate, b'{"error": "sk-old-rotated-away is revoked"}'], status=401)
    client = LLModal(endpoint_url=loopback.url)

    def rotate():
        loopback.wait_for(1)
        Configurator.set("llm", "api_key", "sk-new")
        gate.set()

    threading.Thread(target=rotate).start()
    with pytest.raises(ValueError) as caught:
        client.invoke("q")
    assert "sk-old" not in str(caught.value) and "[api key] is revoked" in str(caught.value)


# ---- configuration -------------------------------------------------------------------------------


@pytest.mark.parametrize("option, value", [("timeout", 1e10), ("timeout", (10, 0)), ("timeout", "1,2,3"),
                                           ("deadline", float("inf")), ("deadline", -1),
                                           ("max_reply_bytes", 0), ("max_reply_bytes", 1.5), ("max_reply_bytes", 2**41)])
def test_numbers_out_of_range_are_refused_when_set(isolated_config, option, value):
    with pytest.raises(ValueError, match=f"^the {option} of section 'llm' must be "):
        Configurator.set("llm", option, value)
    assert not Configurator.has_option("llm", option)


@pytest.mark.parametrize("option, value, checked", [("timeout", (10, 600), (10.0, 600.0)), ("timeout", "10,600", (10.0, 600.0)),
                                                    ("timeout", 30, 30.0), ("deadline", "90", 90.0),
                                                    ("max_reply_bytes", "1_000_000", 1_000_000)])
def test_set_takes_what_the_text_takes(isolated_config, option, value, checked):
    Configurator.set("llm", option, value)
    assert Configurator.setting("llm", option) == checked


@pytest.mark.parametrize("kind", ["fifo", "device", "large"])
def test_only_a_small_regular_file_is_read(isolated_config, kind):
    from parleykit.config import ConfigError

    path = isolated_config
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "device":
        path.symlink_to("/dev/zero")
    else:
        path.write_bytes(b"[llm]\n" + b"# padding\n" * 200_000)
    with pytest.raises(ConfigError) as caught:
        Configurator.has_option("llm", "api_key")  # returns at once: nothing blocks or eats memory
    message = str(caught.value)
    assert message.startswith(f"configuration file {path}: ") and "\n" not in message
    assert ("larger than" if kind == "large" else "not a regular file") in message


def test_a_file_replaced_with_the_same_size_and_mtime_is_read_again(isolated_config):
    path = isolated_config
    path.write_text("[llm]\napi_key = sk-aaaa\n")
    os.utime(path, ns=(10**18, 10**18))
    assert Configurator.get("llm", "api_key") == "sk-aaaa"
    replacement = path.with_suffix(".new")
    replacement.write_text("[llm]\napi_key = sk-bbbb\n")
    os.utime(replacement, ns=(10**18, 10**18))
    os.replace(replacement, path)
    assert Configurator.get("llm", "api_key") == "sk-bbbb"


def test_one_look_at_the_file_per_request(loopback, isolated_config, monkeypatch):
    import parleykit.config as config

    isolated_config.write_text("[llm]\napi_key = sk-file\ntimeout = 30\n")
    looks = []
    real = os.stat
    # os.stat is the process's own: count only the looks at this file.
    monkeypatch.setattr(config.os, "stat", lambda p, *a, **k: (str(p) == str(isolated_config) and looks.append(p)) or real(p, *a, **k))
    loopback.push(completion("x"))
    LLModal(endpoint_url=loopback.url).invoke("q")
    assert len(looks) == 1
    assert loopback.requests[0].header("Authorization") == "Bearer sk-file"
