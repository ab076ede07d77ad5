# Type stubs of the compiled module parleykit.modal: the chat-completions conversation client.
from collections.abc import Iterator
from enum import StrEnum
from typing import Any

import requests
from pydantic import BaseModel, Field

from parleykit.cython import CythonBaseModel
from parleykit.message import Message, MessageRole
from parleykit.tools import Tools

class LLMStatus(StrEnum):
    idle = "idle"
    answer = "answer"
    reason = "reason"
    tool_calls = "tool_calls"
    tool_results = "tool_results"

class ToolContent(BaseModel):
    name: str
    content: str | dict[str, Any]

class LLMResult(BaseModel):
    tool_calls: dict[str, ToolContent] = Field(default_factory=dict)
    tool_results: dict[str, ToolContent] = Field(default_factory=dict)
    reasoning_content: str = ""
    content: str = ""
    status: LLMStatus = LLMStatus.idle
    def __add__(self, other: LLMResult) -> LLMResult: ...

class APIStatusError(ValueError):
    status_code: int | None
    body: bytes | None
    retry_after: float | None
    def __init__(
        self, message: str, status_code: int | None = None, body: bytes | None = None, retry_after: float | None = None
    ) -> None: ...

class LLModal(CythonBaseModel):
    section: str = "llm"
    endpoint_url: str = ""
    system_prompt: str = ""
    images: list[str] = Field(default_factory=list)
    video: list[str] = Field(default_factory=list)
    tools: Tools = Field(default_factory=Tools)
    messages: list[Message] = Field(default_factory=list)
    extra_body: dict[str, Any] = Field(default_factory=dict)
    retry: bool = False
    tool_calls: list[dict[str, Any]] = Field(default_factory=list)
    tool_calls_limit: int = 3
    # Private per-instance state (pydantic private attributes).
    _tool_calls_count: int
    _close: bool
    _default: str
    _tool_call_reasoning: list[tuple[Message, str]]
    _usage: dict[str, Any] | None
    _finish_reason: str | None
    def _reset(self) -> None: ...
    @property
    def stream(self) -> bool: ...
    @property
    def _extra_body(self) -> dict[str, Any]: ...
    @property
    def _headers(self) -> dict[str, str]: ...
    @property
    def _body(self) -> dict[str, Any]: ...
    @property
    def messages_latest(self) -> list[dict[str, Any]]: ...
    def message_latest(self, role: MessageRole) -> Message | None: ...
    def add_message(self, role: MessageRole, content: str) -> None: ...
    def _add_tool_calls(self, message: dict[str, Any]) -> None: ...
    def _message_process(self, message: dict[str, Any]) -> dict[str, str]: ...
    @staticmethod
    def _t_calls_beautify(tool_calls: list[dict[str, Any]]) -> dict[str, ToolContent]: ...
    @staticmethod
    def _t_results_beautify(tool_calls: dict[str, ToolContent], tool_results: list[Message]) -> dict[str, ToolContent]: ...
    def _response(self, response: requests.Response) -> LLMResult: ...
    def _stream_response(self, response: requests.Response) -> Iterator[LLMResult]: ...
    def _tool_calls(self) -> list[Message]: ...
    def _core_call(self) -> LLMResult | Iterator[LLMResult]: ...
    def invoke(self, prompt: str) -> LLMResult | Iterator[LLMResult]: ...
    @property
    def usage(self) -> dict[str, Any] | None: ...
    @property
    def finish_reason(self) -> str | None: ...
