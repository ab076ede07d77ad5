import json

import pytest

from parleykit.message import Message, MessageRole

STREAMED_CALL = {"index": 0, "id": "c1", "type": "function", "function": {"name": "f", "arguments": '{"a": 1}'}}


@pytest.mark.parametrize(
    ("message", "expected"),
    [
        (Message(role=MessageRole.user), {"role": "user", "content": None}),
        (
            Message(role=MessageRole.user, contents=["first", [{"type": "text", "text": "second"}]]),
            {"role": "user", "content": [{"type": "text", "text": "second"}]},
        ),
        (
            Message(role=MessageRole.tool, contents=["42"], tool_call_id="c1"),
            {"role": "tool", "content": "42", "tool_call_id": "c1"},
        ),
        # Sent back without the stream's "index"; a missing type and missing arguments filled in.
        (
            Message(
                role=MessageRole.assistant,
                tool_calls=[STREAMED_CALL, {"id": "c2", "function": {"name": "g", "arguments": ""}}],
            ),
            {
                "role": "assistant",
                "content": None,
                "tool_calls": [
                    {"id": "c1", "type": "function", "function": {"name": "f", "arguments": '{"a": 1}'}},
                    {"id": "c2", "type": "function", "function": {"name": "g", "arguments": "{}"}},
                ],
            },
        ),
        (Message(role=MessageRole.assistant, contents=["ok"], tool_calls=[]), {"role": "assistant", "content": "ok"}),
    ],
)
def test_latest_is_the_request_form_of_the_newest_version(message, expected):
    latest = message.latest
    assert latest == expected
    # Exactly what goes into a request body: plain JSON, roles as their names.
    assert json.loads(json.dumps(latest)) == expected


def test_latest_follows_changes_made_in_place():
    message = Message(role=MessageRole.assistant, contents=["Hel"])
    message.contents[-1] += "lo"
    assert message.latest["content"] == "Hello"
    message.contents.append("Retried")
    assert message.latest["content"] == "Retried"
    assert message.latest is not message.latest


def test_latest_leaves_the_recorded_calls_untouched():
    message = Message(role=MessageRole.assistant, tool_calls=[STREAMED_CALL])
    message.latest["tool_calls"][0]["function"]["name"] = "changed"
    assert message.tool_calls[0]["function"]["name"] == "f"
    assert message.tool_calls[0]["index"] == 0


def test_instances_do_not_share_contents():
    first, second = Message(role="user"), Message(role="user")
    first.contents.append("only mine")
    assert second.contents == []
    assert first.role is MessageRole.user
