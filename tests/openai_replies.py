"""Reply bodies built with the openai package's own types and written with ``model_dump_json()``,
nulls kept, exactly as servers built on those types (and servers that serialise every field) send
them. Reasoning travels as an extra key: "reasoning_content" (DeepSeek, SGLang, llama.cpp) or
"reasoning" (vLLM since 0.17, Ollama, OpenRouter)."""

from collections.abc import Sequence

from openai.types import CompletionUsage
from openai.types.chat import ChatCompletion, ChatCompletionChunk, ChatCompletionMessage
from openai.types.chat.chat_completion import Choice
from openai.types.chat.chat_completion_chunk import Choice as ChunkChoice
from openai.types.chat.chat_completion_chunk import ChoiceDelta, ChoiceDeltaToolCall, ChoiceDeltaToolCallFunction
from openai.types.chat.chat_completion_message_function_tool_call import ChatCompletionMessageFunctionToolCall, Function

Call = tuple[str, str, str]  # id, tool name, arguments as JSON text
USAGE = CompletionUsage(prompt_tokens=7, completion_tokens=5, total_tokens=12)


def whole(
    content: str | None = None, reasoning: str | None = None, calls: Sequence[Call] = (), key: str = "reasoning_content"
) -> bytes:
    tool_calls = [
        ChatCompletionMessageFunctionToolCall(id=i, type="function", function=Function(name=n, arguments=a))
        for i, n, a in calls
    ]
    extra = {key: reasoning} if reasoning is not None else {}
    message = ChatCompletionMessage(role="assistant", content=content, tool_calls=tool_calls or None, **extra)
    choice = Choice(index=0, message=message, finish_reason="tool_calls" if calls else "stop")
    reply = ChatCompletion(id="chatcmpl-t", object="chat.completion", created=0, model="m", choices=[choice], usage=USAGE)
    return reply.model_dump_json().encode()


def _chunk(delta: ChoiceDelta | None, finish: str | None = None, usage: CompletionUsage | None = None) -> bytes:
    choices = [] if delta is None else [ChunkChoice(index=0, delta=delta, finish_reason=finish)]
    chunk = ChatCompletionChunk(
        id="chatcmpl-t", object="chat.completion.chunk", created=0, model="m", choices=choices, usage=usage
    )
    return b"data: " + chunk.model_dump_json().encode() + b"\n\n"


def _halves(text: str) -> list[str]:
    return [text[: len(text) // 2], text[len(text) // 2 :]]


def stream(
    content: str | None = None, reasoning: str | None = None, calls: Sequence[Call] = (), key: str = "reasoning_content"
) -> list[bytes]:
    """The events of one streamed reply, each its own write: the role, reasoning and answer text in
    pieces, each call's id and name then its arguments in two fragments, the finish reason, a
    usage chunk without choices, and [DONE]."""
    events = [_chunk(ChoiceDelta(role="assistant", content=""))]
    events += [_chunk(ChoiceDelta(**{key: p})) for p in _halves(reasoning or "") if p]
    events += [_chunk(ChoiceDelta(content=p)) for p in _halves(content or "") if p]
    for index, (call_id, name, arguments) in enumerate(calls):
        first = ChoiceDeltaToolCall(
            index=index, id=call_id, type="function", function=ChoiceDeltaToolCallFunction(name=name, arguments="")
        )
        events.append(_chunk(ChoiceDelta(tool_calls=[first])))
        for part in _halves(arguments):
            fragment = ChoiceDeltaToolCall(index=index, function=ChoiceDeltaToolCallFunction(arguments=part))
            events.append(_chunk(ChoiceDelta(tool_calls=[fragment])))
    events.append(_chunk(ChoiceDelta(), "tool_calls" if calls else "stop"))
    events.append(_chunk(None, usage=USAGE))
    return events + [b"data: [DONE]\n\n"]


def body(streamed: bool, content: str | None = None, reasoning: str | None = None, calls: Sequence[Call] = (),
         key: str = "reasoning_content"):
    return stream(content, reasoning, calls, key) if streamed else whole(content, reasoning, calls, key)
