import http.client
import json
import threading

import pytest
import requests

import corpus
from loopback import DROP, chunk, completion, sse, sse_events


def read_until(raw, marker):
    data = b""
    while marker not in data:
        piece = raw.read1()
        assert piece, f"stream ended before {marker!r}"
        data += piece
    return data


@pytest.mark.parametrize("chunked", [True, False])
def test_streamed_pieces_reach_the_client_before_the_next_is_written(loopback, chunked):
    gate = threading.Event()
    events = sse_events([chunk({"content": "one"}), chunk({"content": "two"})])
    loopback.push([events[0], gate, *events[1:]], chunked=chunked)
    with requests.post(loopback.url, json={"stream": True}, stream=True, timeout=5) as response:
        assert response.headers["Content-Type"] == "text/event-stream"
        # read1 returns what has arrived; iter_lines would wait for 512 bytes on a close-delimited body.
        assert read_until(response.raw, b"\n\n") == events[0]
        assert not gate.is_set()
        gate.set()
        assert response.raw.read() == b"".join(events[1:])


def test_dropped_stream_is_an_error_for_the_client(loopback):
    loopback.push([sse_events([chunk({"content": "partial"})])[0], DROP])
    with requests.post(loopback.url, json={}, stream=True, timeout=5) as response:
        lines = response.iter_lines()
        assert b"partial" in next(lines)
        with pytest.raises(requests.exceptions.ChunkedEncodingError):
            list(lines)


def test_requests_are_recorded_as_sent(loopback):
    loopback.push(completion("hi"), headers=[("X-Trace", "7")])
    connection = http.client.HTTPConnection("127.0.0.1", int(loopback.base_url.rsplit(":", 1)[1]), timeout=5)
    connection.putrequest("POST", "/v1/chat/completions", skip_accept_encoding=True)
    for name, value in [("Content-Type", "application/json"), ("authorization", "Bearer k"), ("X-A", "1"), ("X-A", "2")]:
        connection.putheader(name, value)
    connection.putheader("Content-Length", "16")
    connection.endheaders(b'{"messages": []}')
    response = connection.getresponse()
    assert response.status == 200 and response.getheader("X-Trace") == "7"
    assert response.read() == completion("hi")
    connection.close()

    [request] = loopback.wait_for(1)
    assert (request.method, request.path) == ("POST", "/v1/chat/completions")
    assert request.headers == [
        ("Host", f"127.0.0.1:{loopback.base_url.rsplit(':', 1)[1]}"),
        ("Content-Type", "application/json"),
        ("authorization", "Bearer k"),
        ("X-A", "1"),
        ("X-A", "2"),
        ("Content-Length", "16"),
    ]
    assert request.header("Authorization") == "Bearer k"
    assert request.body == b'{"messages": []}' and request.json == {"messages": []}


def test_replies_are_taken_in_order_then_run_out(loopback):
    loopback.push(completion("first"))
    loopback.push(sse([chunk({"content": "second"})]), status=201)
    with requests.Session() as session:  # one kept-alive connection for all three
        first = session.post(loopback.url, json={"n": 1}, timeout=5)
        second = session.post(loopback.url, data=iter([b'{"n"', b": 2}"]), timeout=5)  # chunked upload
        third = session.post(loopback.url, json={"n": 3}, timeout=5)
    assert first.json()["choices"][0]["message"]["content"] == "first"
    assert second.status_code == 201 and b"second" in second.content
    assert third.status_code == 500 and "no scripted reply left for POST /v1/chat/completions" in third.text
    assert [r.json for r in loopback.wait_for(3)] == [{"n": 1}, {"n": 2}, {"n": 3}]
    assert loopback.pending == 0


@pytest.mark.parametrize("name", corpus.names())
def test_corpus_samples_split_into_metadata_and_exact_body(name):
    sample = corpus.load(name)
    assert {"source", "kind", "case", "expect"} <= sample.meta.keys()
    assert isinstance(sample.expect, dict)
    raw = (corpus.CORPUS_DIR / name).read_bytes()
    assert raw.endswith(sample.body) and not sample.body.startswith(b"#")
    if sample.streamed:
        assert sample.body.lstrip(b"\r\n").startswith((b"data:", b"event:", b":"))
    else:
        json.loads(sample.body)
