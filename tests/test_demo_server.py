import json

import pytest
import requests

from parleykit._demo_server import serve
from parleykit.message import Message, MessageRole
from parleykit.tools import Tools


@pytest.fixture(scope="module")
def demo_url():
    server, url = serve()
    yield url
    server.shutdown()
    server.server_close()


@pytest.fixture
def tools():
    tools = Tools()

    @tools.register
    def get_weather(city: str) -> dict:
        """Current weather in a city."""
        return {"city": city, "sky": "clear"}

    return tools


def ask(url, history, tools, stream):
    """One request as the client sends it; returns (reasoning, content, tool_calls, finish_reason)."""
    body = {"messages": [m.latest for m in history], "stream": stream}
    if tools:
        body["tools"] = tools.schemas
    response = requests.post(url, json=body, timeout=5)
    assert response.status_code == 200
    if not stream:
        choice = response.json()["choices"][0]
        message = choice["message"]
        return message["reasoning_content"], message["content"] or "", message.get("tool_calls", []), choice["finish_reason"]
    reasoning = content = ""
    calls = []
    lines = [line for line in response.text.split("\n") if line]
    assert lines[-1] == "data: [DONE]"
    for line in lines[:-1]:
        choice = json.loads(line.removeprefix("data: "))["choices"][0]
        delta = choice["delta"]
        reasoning += delta.get("reasoning_content") or ""
        content += delta.get("content") or ""
        for fragment in delta.get("tool_calls") or []:
            if fragment["index"] == len(calls):
                calls.append(fragment)
            else:
                calls[fragment["index"]]["function"]["arguments"] += fragment["function"]["arguments"]
        if choice["finish_reason"]:
            return reasoning, content, calls, choice["finish_reason"]
    pytest.fail("stream ended without a finish reason")


@pytest.mark.parametrize("stream", [False, True])
def test_tool_round_trip(demo_url, tools, stream):
    history = [Message(role=MessageRole.user, contents=["What is the weather in New York?"])]
    reasoning, content, calls, finish = ask(demo_url, history, tools, stream)
    assert reasoning and not content and finish == "tool_calls"
    [call] = calls
    assert call["id"] and call["function"]["name"] == "get_weather"
    assert json.loads(call["function"]["arguments"]) == {"city": "New York"}

    history.append(Message(role=MessageRole.assistant, tool_calls=calls))
    history += tools(calls)
    reasoning, content, calls, finish = ask(demo_url, history, tools, stream)
    assert content == 'According to get_weather: {"city": "New York", "sky": "clear"}'
    assert not calls and finish == "stop"


@pytest.mark.parametrize("stream", [False, True])
def test_other_texts_are_answered_without_tools(demo_url, tools, stream):
    history = [Message(role=MessageRole.user, contents=[[{"type": "image_url", "image_url": "data:,"}, {"type": "text", "text": "Nice picture"}]])]
    _, content, calls, finish = ask(demo_url, history, tools, stream)
    assert '"Nice picture" (2 words)' in content and not calls and finish == "stop"


@pytest.mark.parametrize(
    ("body", "problem"),
    [
        (b"{", "invalid request body: Expecting"),
        (b"\xff", "invalid request body:"),
        (b"[]", "the body must be a JSON object"),
        (b'{"messages": "abc"}', '"messages" must be an array'),
        (b'{"messages": ["abc"]}', "messages[0] must be an object"),
        (b'{"messages": [{"role": "user", "content": 5}]}', "messages[0].content must be"),
        (b'{"messages": [{"role": "user", "content": ["x"]}]}', "messages[0].content must be"),
        (b'{"messages": [{"role": "assistant", "tool_calls": [{"id": 1}]}]}', "messages[0].tool_calls must be"),
        (b'{"messages": [{"role": "user", "content": "weather"}], "tools": [{"function": {"name": 1}}]}', "tools[0] must hold"),
        (b'{"messages": [{"role": "user", "content": "weather"}], "tools": [{"function": {"name": "get_weather", "parameters": {"properties": {"city": 1}}}}]}', "tools[0] must hold"),
        (b'{"messages": [], "stream": "yes"}', '"stream" must be true or false'),
    ],
)
def test_every_bad_request_gets_a_400_with_a_json_error(demo_url, body, problem):
    response = requests.post(demo_url, data=body, headers={"Content-Type": "application/json"}, timeout=5)
    assert response.status_code == 400
    assert problem in response.json()["error"]["message"]


def test_a_malformed_request_line_or_method_gets_a_json_error(demo_url):
    import socket
    from urllib.parse import urlsplit

    url = urlsplit(demo_url)
    response = requests.get(demo_url, timeout=5)
    assert response.status_code == 405 and "POST" in response.json()["error"]["message"]
    with socket.create_connection((url.hostname, url.port), timeout=5) as connection:
        connection.sendall(b"NOT A REQUEST\r\n\r\n")
        reply = connection.makefile("rb").read()
    head, _, body = reply.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 400") and json.loads(body)["error"]["message"]
