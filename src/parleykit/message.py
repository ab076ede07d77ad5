"""One entry of a conversation history and the role of its speaker."""

import json
from enum import StrEnum
from typing import Any

from pydantic import BaseModel, ConfigDict, Field, model_validator


class MessageRole(StrEnum):
    """Who speaks a message; each value is the role name the chat-completions service expects."""

    system = "system"
    user = "user"
    assistant = "assistant"
    tool = "tool"


class Message(BaseModel):
    """One history entry: a role and the versions of its content, newest last.

    ``contents`` holds one entry per version of the message, so a turn that is sent again keeps
    its earlier versions. An entry is a text, or a list of content parts (dicts such as
    ``{"type": "text", "text": ...}``) for user turns that carry images or video. The client changes
    the list in place: it appends versions and extends the newest text while a reply streams in.
    """

    # Mistyped keywords such as ``content=`` fail loudly instead of leaving an empty message.
    model_config = ConfigDict(extra="forbid")

    role: MessageRole
    contents: list[str | list[dict[str, Any]]] = Field(default_factory=list)
    tool_calls: list[dict[str, Any]] | None = None
    tool_call_id: str | None = None
    # Part of an answer that a retry replaced (its tool calls, their results, its texts): it stays
    # in the history for the record but is no longer sent, so requests read as one conversation.
    superseded: bool = False

    @model_validator(mode="after")
    def _tool_call_text(self) -> "Message":
        # An assistant turn that asks for tools still has a current text, empty until the client
        # joins an answer to it (a registry that failed or answered nothing leaves it last in the
        # history, and the next assistant text is joined to the last alternative).
        if self.tool_calls and not self.contents:
            self.contents.append("")
        return self

    @property
    def latest(self) -> dict[str, Any]:
        """The newest version of this message in chat-completions request form (a new dict)."""
        contents = self.contents
        message: dict[str, Any] = {
            "role": self.role.value,
            "content": contents[-1] if contents else None,
        }
        if self.tool_calls and message["content"] == "":
            message["content"] = None
        # An empty list is left out: services refuse "tool_calls": [].
        if self.tool_calls:
            message["tool_calls"] = [_request_tool_call(call) for call in self.tool_calls]
        if self.tool_call_id is not None:
            message["tool_call_id"] = self.tool_call_id
        return message


def _request_tool_call(call: dict[str, Any]) -> dict[str, Any]:
    """A tool call as recorded from a reply, reduced to the keys a request may carry.

    Streamed replies add "index" and some servers leave out "type"; both would be refused or
    misread when the call is sent back in the history.
    """
    function = call.get("function") or {}
    # A call streamed without argument fragments ends with "" (or None); some servers parse the
    # arguments of history entries as JSON, so send the empty object instead.
    arguments = function.get("arguments") or "{}"
    if not isinstance(arguments, str):
        arguments = json.dumps(arguments)
    return {
        "id": call.get("id"),
        "type": call.get("type") or "function",
        "function": {"name": function.get("name"), "arguments": arguments},
    }
