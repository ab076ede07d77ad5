"""Benchmark endpoint, run in its own process so that the client's CPU time is measured alone.

POST /stream?n=N&kind=answer|reason_tool   a chunked SSE body of N chunks (and a tool call)
POST /plain                                 a short whole reply
POST /longline?bytes=B                      one SSE line carrying B bytes of content
POST /big?bytes=B[&gzip=1]                  a whole reply of B bytes (gzip-compressed on the wire)
?close=1 on a stream: no chunked encoding, the body ends when the connection closes
Any request whose JSON body holds a tool message gets a short streamed or plain answer.
Bodies are built once per shape and written in 64 KiB chunks.
"""

import functools
import gzip
import json
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlparse

WRITE = 64 * 1024


def chunk(delta, finish=None):
    return {"id": "c", "object": "chat.completion.chunk", "created": 0, "model": "bench",
            "choices": [{"index": 0, "delta": delta, "finish_reason": finish}]}


def sse(chunks):
    return b"".join(b"data: " + json.dumps(c, separators=(",", ":")).encode() + b"\n\n" for c in chunks) + b"data: [DONE]\n\n"


@functools.lru_cache(maxsize=None)
def stream_body(n: int, kind: str) -> bytes:
    if kind == "answer":
        chunks = [chunk({"content": f"w{i} "}) for i in range(n)] + [chunk({}, "stop")]
    else:  # reasoning, then one tool call whose arguments arrive in many fragments
        half = n // 2
        chunks = [chunk({"reasoning_content": f"r{i} "}) for i in range(half)]
        chunks.append(chunk({"tool_calls": [{"index": 0, "id": "call_1", "type": "function",
                                             "function": {"name": "echo", "arguments": ""}}]}))
        chunks += [chunk({"tool_calls": [{"index": 0, "function": {"arguments": piece}}]})
                   for piece in ['{"text": "'] + ["x"] * (n - half - 2) + ['"}']]
        chunks.append(chunk({}, "tool_calls"))
    return sse(chunks)


@functools.lru_cache(maxsize=None)
def long_line_body(size: int) -> bytes:
    return sse([chunk({"content": "A" * size}), chunk({}, "stop")])


@functools.lru_cache(maxsize=None)
def big_body(size: int, compressed: bool) -> bytes:
    body = json.dumps({"choices": [{"message": {"content": "A" * size}}]}).encode()
    return gzip.compress(body, 6) if compressed else body


PLAIN = json.dumps({"id": "c", "object": "chat.completion", "created": 0, "model": "bench",
                    "choices": [{"index": 0, "message": {"role": "assistant", "content": "Hello there."},
                                 "finish_reason": "stop"}],
                    "usage": {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3}}).encode()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_POST(self):
        request = json.loads(self.rfile.read(int(self.headers.get("Content-Length", 0))) or b"{}")
        url = urlparse(self.path)
        query = {k: v[0] for k, v in parse_qs(url.query).items()}
        after_tools = any(m.get("role") == "tool" for m in request.get("messages", []))
        if after_tools:
            body = sse([chunk({"content": "done"}, "stop")]) if request.get("stream") else PLAIN
            return self.send(body, request.get("stream"))
        if url.path.startswith("/plain"):
            return self.send(PLAIN, False)
        if url.path.startswith("/longline"):
            return self.send(long_line_body(int(query["bytes"])), True)
        if url.path.startswith("/big"):
            return self.send_big(int(query["bytes"]), query.get("gzip") == "1")
        return self.send(stream_body(int(query.get("n", 20000)), query.get("kind", "answer")), True,
                         query.get("close") == "1")

    def send_big(self, size: int, compressed: bool):
        body = big_body(size, compressed)
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        if compressed:
            self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            for at in range(0, len(body), WRITE):
                self.wfile.write(body[at:at + WRITE])
        except ConnectionError:
            pass  # the client stopped at its cap

    def send(self, body: bytes, streamed: bool, close: bool = False):
        self.send_response(200)
        if streamed and close:
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("Connection", "close")
            self.close_connection = True
            self.end_headers()
            for at in range(0, len(body), WRITE):
                self.wfile.write(body[at:at + WRITE])
        elif streamed:
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for at in range(0, len(body), WRITE):
                part = body[at:at + WRITE]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(part), part))
            self.wfile.write(b"0\r\n\r\n")
        else:
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        self.wfile.flush()


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # Clients stop reading at the finish reason and drop the connection: expected here.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


if __name__ == "__main__":
    server = Server(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    sys.exit(0)
