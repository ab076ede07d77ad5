"""A scripted stand-in for a chat-completions service, for trying parleykit without a model.

This is not a language model: every answer follows a fixed script read off the request, just
enough to show the client's features end to end on one machine:

- when the request offers tools and the newest message is a user text that names a tool's topic
  (a word of its name, such as "weather" for ``get_weather``), it asks for that tool, filling the
  tool's string parameters from the place named after "in" or "for" ("the weather in Oslo");
- when the newest message is a tool result, it answers with a sentence quoting that result;
- otherwise it answers about the user's text.

With ``"stream": true`` in the request the answer comes as server-sent events: a few
"reasoning_content" deltas, then "content" deltas (or tool-call fragments), a chunk with the
finish reason and ``data: [DONE]``. Otherwise it is one JSON reply. Standard library only::

    server, url = serve()
    ...  # LLModal(endpoint_url=url, ...)
    server.shutdown()
"""

import itertools
import json
import re
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

MODEL = "parleykit-demo"
_call_ids = itertools.count(1)


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client that stops reading a stream at its finish reason drops the connection; that is
        # normal for this endpoint, not an error worth a traceback.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


def serve(host: str = "127.0.0.1", port: int = 0) -> tuple[ThreadingHTTPServer, str]:
    """Start the server in a daemon thread; returns it and its chat-completions URL."""
    server = _Server((host, port), _Handler)
    threading.Thread(target=server.serve_forever, name="parleykit-demo", daemon=True).start()
    return server, f"http://{host}:{server.server_address[1]}/v1/chat/completions"


def script(request: dict[str, Any]) -> dict[str, Any]:
    """The scripted reply to a chat-completions request: the assistant message (with
    "reasoning_content") and the finish reason under "finish_reason"."""
    messages = request.get("messages") or [{}]
    last = messages[-1]
    if last.get("role") == "tool":
        name = _tool_name(messages, last.get("tool_call_id"))
        return _say(
            "The result came back, so I can quote it.",
            f"According to {name}: {_text(last.get('content'))}",
        )
    text = _text(last.get("content"))
    if last.get("role") == "user" and (call := _pick_tool(request.get("tools") or [], text)):
        return {
            "message": {"role": "assistant", "content": None, "reasoning_content": "A tool can answer this.", "tool_calls": [call]},
            "finish_reason": "tool_calls",
        }
    if not text:
        return _say("There is no question yet.", "Hello! Ask me something, for example about the weather.")
    words = len(text.split())
    return _say(
        "I can only repeat what I was told.",
        f'You said "{text}" ({words} word{"s" if words != 1 else ""}). I am a scripted demo server, not a model.',
    )


def _say(reasoning: str, content: str) -> dict[str, Any]:
    return {
        "message": {"role": "assistant", "content": content, "reasoning_content": reasoning},
        "finish_reason": "stop",
    }


def _text(content: Any) -> str:
    """The text of a message content: a string, or the text parts of a content-part list."""
    if isinstance(content, list):
        return " ".join(p["text"] for p in content if isinstance(p, dict) and p.get("type") == "text" and isinstance(p.get("text"), str))
    return content if isinstance(content, str) else ""


def _tool_name(messages: list[dict[str, Any]], call_id: Any) -> str:
    for message in reversed(messages):
        for call in message.get("tool_calls") or []:
            if call.get("id") == call_id:
                return str(call["function"].get("name") or "the tool")
    return "the tool"


def problem(request: Any) -> str | None:
    """What makes a request body unanswerable, or None: the shape the script reads, checked first."""
    if not isinstance(request, dict):
        return "the body must be a JSON object"
    messages = request.get("messages")
    if not isinstance(messages, list):
        return '"messages" must be an array'
    for at, message in enumerate(messages):
        where = f"messages[{at}]"
        if not isinstance(message, dict) or not isinstance(message.get("role"), str):
            return f"{where} must be an object with a string \"role\""
        content = message.get("content")
        if not (content is None or isinstance(content, str) or _objects(content)):
            return f"{where}.content must be a string, null or an array of objects"
        calls = message.get("tool_calls")
        if calls is not None and not (_objects(calls) and all(isinstance(c.get("function"), dict) for c in calls)):
            return f"{where}.tool_calls must be an array of objects with a \"function\" object"
    tools = request.get("tools")
    if tools is not None:
        if not _objects(tools):
            return '"tools" must be an array of objects'
        for at, tool in enumerate(tools):
            function = tool.get("function")
            parameters = function.get("parameters", {}) if isinstance(function, dict) else None
            properties = parameters.get("properties", {}) if isinstance(parameters, dict) else None
            if not (isinstance(function, dict) and isinstance(function.get("name"), str)
                    and isinstance(properties, dict) and all(isinstance(p, dict) for p in properties.values())):
                return f"tools[{at}] must hold a \"function\" object with a \"name\" and object \"parameters\""
    if not isinstance(request.get("stream", False), bool):
        return '"stream" must be true or false'
    return None


def _objects(value: Any) -> bool:
    return isinstance(value, list) and all(isinstance(item, dict) for item in value)


def _pick_tool(tools: list[dict[str, Any]], text: str) -> dict[str, Any] | None:
    lowered = text.lower()
    for tool in tools:
        function = tool.get("function") or {}
        name = function.get("name") or ""
        # Short words such as "get" or "set" say nothing about a tool's topic.
        if any(len(word) > 3 and word in lowered for word in re.split(r"[_\W]+", name.lower())):
            place = re.search(r"\b(?:in|for|at)\s+([A-Z][\w-]*(?:\s+[A-Z][\w-]*)*)", text)
            value = place.group(1) if place else text
            properties = (function.get("parameters") or {}).get("properties") or {}
            arguments = {key: value for key, schema in properties.items() if schema.get("type") == "string"}
            call_id = f"call_demo_{next(_call_ids)}"
            return {"id": call_id, "type": "function", "function": {"name": name, "arguments": json.dumps(arguments)}}
    return None


def _pieces(text: str, size: int = 3) -> list[str]:
    """``text`` cut into runs of a few words, as a model streams tokens."""
    words = re.findall(r"\S+\s*|\s+", text)
    return ["".join(words[i : i + size]) for i in range(0, len(words), size)]


def _chunks(reply: dict[str, Any]) -> list[dict[str, Any]]:
    message = reply["message"]
    deltas: list[dict[str, Any]] = [{"role": "assistant", "content": ""}]
    deltas += [{"reasoning_content": piece} for piece in _pieces(message["reasoning_content"])]
    deltas += [{"content": piece} for piece in _pieces(message["content"] or "")]
    for index, call in enumerate(message.get("tool_calls") or []):
        # The first fragment carries id, type and name; the arguments follow in pieces.
        arguments = call["function"]["arguments"]
        head = {"index": index, "id": call["id"], "type": "function", "function": {"name": call["function"]["name"], "arguments": ""}}
        deltas.append({"tool_calls": [head]})
        for at in range(0, len(arguments), 8):
            deltas.append({"tool_calls": [{"index": index, "function": {"arguments": arguments[at : at + 8]}}]})
    chunks = [{"choices": [{"index": 0, "delta": delta, "finish_reason": None}]} for delta in deltas]
    chunks.append({"choices": [{"index": 0, "delta": {}, "finish_reason": reply["finish_reason"]}]})
    return chunks


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: Any) -> None:
        pass  # a demo in a notebook or README should not print access logs

    def send_error(self, code: int, message: str | None = None, explain: str | None = None) -> None:
        """Every refusal, also of a malformed request line or method, as a JSON error."""
        self.close_connection = True
        # A request line too broken to name a version would be answered in HTTP/0.9, without status.
        self.request_version = self.protocol_version
        self._error(code, message or self.responses.get(code, ("error",))[0])

    def _error(self, status: int, message: str) -> None:
        kind = "invalid_request_error" if status < 500 else "server_error"
        self._send(status, "application/json", json.dumps({"error": {"message": message, "type": kind}}).encode())

    def _not_post(self) -> None:
        self._error(405, f"{self.command} is not answered here: chat completions are POSTed")

    do_GET = do_HEAD = do_PUT = do_PATCH = do_DELETE = do_OPTIONS = _not_post

    def do_POST(self) -> None:
        try:
            length = int(self.headers.get("Content-Length") or 0)
            if length < 0:
                raise ValueError("negative Content-Length")
            request = json.loads(self.rfile.read(length))
        except ValueError as exc:
            return self._error(400, f"invalid request body: {exc}")
        if (wrong := problem(request)) is not None:
            return self._error(400, f"invalid request body: {wrong}")
        try:
            reply = script(request)
        except Exception as exc:  # a fault of the script itself: said, not a dropped connection
            print(f"parleykit demo endpoint: {type(exc).__name__}: {exc}", file=sys.stderr)
            return self._error(500, f"the scripted endpoint failed: {type(exc).__name__}")
        head = {"id": f"chatcmpl-demo{time.monotonic_ns()}", "created": int(time.time()), "model": MODEL}
        if request.get("stream") is True:
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for chunk in _chunks(reply):
                self._write_chunk(b"data: " + json.dumps({**head, "object": "chat.completion.chunk", **chunk}).encode() + b"\n\n")
            self._write_chunk(b"data: [DONE]\n\n")
            self.wfile.write(b"0\r\n\r\n")
        else:
            choice = {"index": 0, "message": reply["message"], "finish_reason": reply["finish_reason"]}
            completion = {**head, "object": "chat.completion", "choices": [choice]}
            self._send(200, "application/json", json.dumps(completion).encode())

    def _send(self, status: int, content_type: str, body: bytes) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _write_chunk(self, data: bytes) -> None:
        self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data))
        self.wfile.flush()
