"""The typed API as an application uses it; tests/test_typing.py runs mypy over this file."""

import asyncio
import base64
from collections.abc import Iterator
from typing import Any, assert_type

from fastmcp.tools.base import ToolResult
from pydantic import TypeAdapter

from parleykit.cython import CythonBaseModel, CythonFunctionTool, _convert_to_content, get_cached_typeadapter
from parleykit.message import Message, MessageRole
from parleykit.modal import LLModal, LLMResult, LLMStatus, ToolContent
from parleykit.tools import Tools


def weather(city: str) -> dict[str, Any]:
    return {"city": city, "sky": "sun"}


def plain_turn(client: LLModal) -> str:
    result = client.invoke("Hello")
    assert isinstance(result, LLMResult)
    assert_type(result.status, LLMStatus)
    calls: dict[str, ToolContent] = result.tool_calls
    for call_id, call in calls.items():
        name: str = call.name
        print(call_id, name, call.content)
    return result.reasoning_content + result.content


def streamed_turn(client: LLModal) -> LLMResult:
    client.extra_body["stream"] = True
    pieces = client.invoke("Tell me more")
    assert not isinstance(pieces, LLMResult)
    assert_type(pieces, Iterator[LLMResult])
    total = LLMResult()
    for piece in pieces:
        if piece.status is LLMStatus.reason:
            print(piece.reasoning_content, end="")
        elif piece.status == LLMStatus.answer:
            print(piece.content, end="")
        total = total + piece
        client._close = True  # ask the reader to stop at the next line
    return total


def conversation() -> None:
    tools = Tools()
    tools.register(weather)
    client = LLModal(endpoint_url="http://127.0.0.1:8000/v1/chat/completions", system_prompt="Be brief.", tools=tools)
    client.images.append(base64.b64encode(b"\x89PNG").decode())
    on: bool = client.stream
    print(on, plain_turn(client), streamed_turn(client).content)
    client.retry = True
    client.add_message(MessageRole.user, "again")
    latest: Message | None = client.message_latest(MessageRole.assistant)
    if latest is not None:
        print(len(latest.contents))
    request: list[dict[str, Any]] = client.messages_latest
    headers: dict[str, str] = client._headers
    print(request, headers, client._body, client._tool_calls_count, client._default)
    summary = LLModal._t_calls_beautify([{"id": "1", "function": {"name": "weather", "arguments": "{}"}}])
    assert_type(summary, dict[str, ToolContent])
    client._reset()


class Settings(CythonBaseModel):
    name: str = "demo"

    def greeting(self) -> str:
        return f"hello {self.name}"


async def tools_over_mcp() -> None:
    adapter = get_cached_typeadapter(weather)
    assert_type(adapter, TypeAdapter[Any])
    print(adapter.validate_python({"city": "Oslo"}), get_cached_typeadapter.cache_info().hits)
    get_cached_typeadapter.cache_clear()
    tool = CythonFunctionTool.from_function(weather, name="weather")
    result = await tool.run({"city": "Oslo"})
    assert_type(result, ToolResult)
    blocks = _convert_to_content({"a": 1}, serializer=str)
    print(result.content, blocks, Settings().greeting())


if __name__ == "__main__":
    conversation()
    asyncio.run(tools_over_mcp())
