"""A real HTTP server on 127.0.0.1 that plays scripted replies and records every request.

Each request takes the next scripted reply, in the order they were pushed. A reply body is either
``bytes``, sent whole with Content-Length, or a list of pieces written one at a time and flushed
as they come, so a client really sees a stream:

- ``bytes`` (or ``str``, sent as UTF-8): written as they are;
- a number: a pause of that many seconds;
- a ``threading.Event``: the server waits until the test sets it, which lets a test prove that the
  client got the earlier pieces before the later ones were even written;
- ``DROP``: the connection is cut there, without the end of the body.

A streamed body uses chunked transfer encoding, or with ``chunked=False`` ends by closing the
connection. A request that finds no scripted reply left gets a 500 that says so.
"""

import json
import socket
import threading
import time
from collections import deque
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any


class _Drop:
    def __repr__(self) -> str:
        return "DROP"


DROP = _Drop()
GATE_TIMEOUT = 10.0  # a gate the test never opens cuts the connection instead of hanging the run

Piece = bytes | str | float | threading.Event | _Drop


@dataclass
class Reply:
    status: int = 200
    body: bytes | Sequence[Piece] = b""
    headers: list[tuple[str, str]] = field(default_factory=list)
    chunked: bool = True


@dataclass(frozen=True)
class Request:
    method: str
    path: str
    headers: list[tuple[str, str]]  # as received: order, spelling and repeats kept
    body: bytes
    json: Any  # the body parsed as JSON, or None when it is not JSON

    def header(self, name: str) -> str | None:
        """The first value of header ``name`` (case-insensitive), or None."""
        return next((v for k, v in self.headers if k.lower() == name.lower()), None)


class Loopback:
    """The server; built and closed around each test by the ``loopback`` fixture."""

    def __init__(self) -> None:
        self._replies: deque[Reply] = deque()
        self._requests: list[Request] = []
        self._arrived = threading.Condition()
        self._server = _Server(self)
        # A short poll interval keeps shutdown, run after every test, quick.
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.02,), name="loopback", daemon=True)
        self._thread.start()

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self._server.server_address[1]}"

    @property
    def url(self) -> str:
        """The chat-completions endpoint (the server answers every path alike)."""
        return self.base_url + "/v1/chat/completions"

    def push(
        self,
        body: bytes | Sequence[Piece] = b"",
        *,
        status: int = 200,
        headers: Iterable[tuple[str, str]] = (),
        chunked: bool = True,
    ) -> Reply:
        """Script the reply to the next request not yet answered by an earlier push."""
        reply = Reply(status, body, list(headers), chunked)
        with self._arrived:
            self._replies.append(reply)
        return reply

    @property
    def requests(self) -> list[Request]:
        with self._arrived:
            return list(self._requests)

    @property
    def pending(self) -> int:
        """How many pushed replies no request has taken yet."""
        with self._arrived:
            return len(self._replies)

    def wait_for(self, count: int, timeout: float = 5.0) -> list[Request]:
        """Block until ``count`` requests arrived; returns them all. Fails after ``timeout``."""
        with self._arrived:
            if not self._arrived.wait_for(lambda: len(self._requests) >= count, timeout):
                raise TimeoutError(f"{len(self._requests)} of {count} requests arrived in {timeout}s")
            return list(self._requests)

    def close(self) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._server.close_connections()
        self._thread.join(5)

    def _take(self, request: Request) -> Reply | None:
        with self._arrived:
            self._requests.append(request)
            self._arrived.notify_all()
            return self._replies.popleft() if self._replies else None


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, loopback: Loopback) -> None:
        super().__init__(("127.0.0.1", 0), _Handler)
        self.loopback = loopback
        self.connections: set[socket.socket] = set()
        self.lock = threading.Lock()

    def close_connections(self) -> None:
        # Kept-alive client connections would otherwise outlive the test.
        with self.lock:
            connections, self.connections = self.connections, set()
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive and chunked replies, as real services use
    server: _Server

    def setup(self) -> None:
        super().setup()
        with self.server.lock:
            self.server.connections.add(self.connection)

    def finish(self) -> None:
        with self.server.lock:
            self.server.connections.discard(self.connection)
        super().finish()

    def log_message(self, format: str, *args: Any) -> None:
        pass  # keeps the test output readable

    def _answer(self) -> None:
        body = self._read_body()
        try:
            parsed = json.loads(body) if body else None
        except ValueError:
            parsed = None
        request = Request(self.command, self.path, list(self.headers.items()), body, parsed)
        reply = self.server.loopback._take(request)
        if reply is None:
            text = f"loopback: no scripted reply left for {self.command} {self.path}"
            reply = Reply(500, text.encode(), [("Content-Type", "text/plain")])
        try:
            self._send(reply)
        except OSError:  # the client went away; nothing more to do on this connection
            self.close_connection = True

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = _answer

    def _read_body(self) -> bytes:
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            parts = []
            while size := int(self.rfile.readline().split(b";")[0], 16):
                parts.append(self.rfile.read(size))
                self.rfile.readline()
            while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                pass  # trailers
            return b"".join(parts)
        return self.rfile.read(int(self.headers.get("Content-Length") or 0))

    def _send(self, reply: Reply) -> None:
        streamed = not isinstance(reply.body, bytes)
        self.send_response(reply.status)
        names = {name.lower() for name, _ in reply.headers}
        for name, value in reply.headers:
            self.send_header(name, value)
        if "content-type" not in names:
            self.send_header("Content-Type", "text/event-stream" if streamed else "application/json")
        if not streamed:
            self.send_header("Content-Length", str(len(reply.body)))
            self.end_headers()
            self.wfile.write(reply.body)
            return
        if reply.chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        for piece in reply.body:
            if isinstance(piece, _Drop) or (isinstance(piece, threading.Event) and not piece.wait(GATE_TIMEOUT)):
                self._drop()
                return
            if isinstance(piece, (int, float)):
                time.sleep(piece)
            elif isinstance(piece, (bytes, str)):
                data = piece.encode() if isinstance(piece, str) else piece
                if data:  # an empty chunk would end a chunked body
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data) if reply.chunked else data)
                    self.wfile.flush()
        if reply.chunked:
            self.wfile.write(b"0\r\n\r\n")

    def _drop(self) -> None:
        self.close_connection = True
        self.wfile.flush()
        self.connection.shutdown(socket.SHUT_RDWR)


# Reply bodies in chat-completions form.


def chunk(delta: dict[str, Any] | None = None, finish_reason: str | None = None, **extra: Any) -> dict[str, Any]:
    """One streamed chunk whose first choice carries ``delta``."""
    return {
        "id": "chatcmpl-loopback",
        "object": "chat.completion.chunk",
        "created": 0,
        "model": "loopback",
        "choices": [{"index": 0, "delta": delta or {}, "finish_reason": finish_reason}],
        **extra,
    }


def sse_events(chunks: Iterable[dict[str, Any]], done: bool = True) -> list[bytes]:
    """One ``data:`` event per chunk (each a separate stream piece), then ``data: [DONE]``."""
    events = [b"data: " + json.dumps(c).encode() + b"\n\n" for c in chunks]
    return events + [b"data: [DONE]\n\n"] if done else events


def sse(chunks: Iterable[dict[str, Any]], done: bool = True) -> bytes:
    """The events of ``sse_events`` as one body."""
    return b"".join(sse_events(chunks, done))


def completion(content: str | None = None, *, finish_reason: str | None = None, **message: Any) -> bytes:
    """A whole chat-completions reply; ``message`` adds keys such as tool_calls or reasoning_content."""
    if finish_reason is None:
        finish_reason = "tool_calls" if message.get("tool_calls") else "stop"
    body = {
        "id": "chatcmpl-loopback",
        "object": "chat.completion",
        "created": 0,
        "model": "loopback",
        "choices": [
            {"index": 0, "message": {"role": "assistant", "content": content, **message}, "finish_reason": finish_reason}
        ],
    }
    return json.dumps(body).encode()
