"""The tool registry: Python callables offered to the model, and the runner for its tool calls."""

import asyncio
import concurrent.futures
import functools
import inspect
import json
import re
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any, overload

from pydantic import TypeAdapter, ValidationError
from pydantic_core import core_schema, to_jsonable_python

from parleykit.message import Message, MessageRole

# What chat-completions services accept as a function name.
_NAME = re.compile(r"[A-Za-z0-9_-]{1,64}")


class _ToolRaised(Exception):
    """Carries an exception raised inside a tool past the argument validation around it."""


@dataclass(frozen=True, slots=True)
class _Tool:
    name: str
    description: str
    parameters: dict[str, Any]
    adapter: TypeAdapter[Any]  # validates the arguments, then calls the tool

    @property
    def schema(self) -> dict[str, Any]:
        return {
            "type": "function",
            "function": {"name": self.name, "description": self.description, "parameters": self.parameters},
        }


def _build(fn: Callable[..., Any], name: str | None, description: str | None) -> _Tool:
    # A partial's own name and docstring are those of functools.partial, not of the tool.
    described = fn.func if isinstance(fn, functools.partial) else fn
    name = name or getattr(described, "__name__", None)
    if not name or not _NAME.fullmatch(name):
        raise ValueError(f"tool name {name!r} must be 1 to 64 letters, digits, '_' or '-'")
    if description is None:
        description = inspect.getdoc(described) or ""

    # pydantic reads the tool's parameters from this wrapper's signature, while an exception from
    # the tool body comes out marked, so it is never mistaken for bad arguments. The signature is
    # copied with evaluated annotations so that methods, callable objects and partials work alike.
    signature = inspect.signature(fn, eval_str=True)

    def guarded(*args: Any, **kwargs: Any) -> Any:
        try:
            return fn(*args, **kwargs)
        except Exception as exc:
            raise _ToolRaised from exc

    guarded.__name__ = guarded.__qualname__ = name
    guarded.__signature__ = signature  # type: ignore[attr-defined]
    guarded.__annotations__ = {
        p.name: p.annotation for p in signature.parameters.values() if p.annotation is not p.empty
    }
    adapter: TypeAdapter[Any] = TypeAdapter(guarded)
    return _Tool(name, description, adapter.json_schema(), adapter)


class Tools:
    """A registry of tools the model may call.

    Fill it with ``@tools.register``, ``@tools.register(name=..., description=...)`` or
    ``tools.add(fn)``. A tool's parameters are described by the JSON schema that pydantic derives
    from its signature, and its description defaults to its docstring. Registering a name again
    replaces the earlier tool.

    ``tools(tool_calls)`` runs the model's tool calls in order and answers each with a tool message.
    Nothing a model sends can break the conversation: unknown tools, malformed or invalid arguments
    and exceptions raised by a tool all become error texts in the answer, so the model can correct
    itself.
    """

    def __init__(self) -> None:
        self._tools: dict[str, _Tool] = {}

    def add(self, fn: Callable[..., Any], *, name: str | None = None, description: str | None = None) -> Callable[..., Any]:
        """Register ``fn`` as a tool (under its ``__name__`` unless ``name`` is given); returns ``fn``."""
        tool = _build(fn, name, description)
        self._tools[tool.name] = tool
        return fn

    @overload
    def register(self, fn: Callable[..., Any], /) -> Callable[..., Any]: ...
    @overload
    def register(
        self, *, name: str | None = None, description: str | None = None
    ) -> Callable[[Callable[..., Any]], Callable[..., Any]]: ...

    def register(self, fn=None, /, *, name=None, description=None):
        """Decorator form of ``add``, usable bare or with ``name``/``description``."""
        if fn is not None:
            return self.add(fn)
        return lambda f: self.add(f, name=name, description=description)

    @property
    def schemas(self) -> list[dict[str, Any]]:
        """The tool definitions in chat-completions form, as sent under the request key "tools"."""
        return [tool.schema for tool in self._tools.values()]

    def __len__(self) -> int:
        return len(self._tools)

    def __contains__(self, name: object) -> bool:
        return name in self._tools

    def __iter__(self) -> Iterator[str]:
        return iter(self._tools)

    def __repr__(self) -> str:
        return f"Tools({list(self._tools)})"

    def __call__(self, tool_calls: list[dict[str, Any]]) -> list[Message]:
        """Run the model's tool calls in order; one tool message per call, answering its id."""
        return [
            Message(role=MessageRole.tool, contents=[self._run(call)], tool_call_id=_call_id(call))
            for call in tool_calls
        ]

    def _run(self, call: Any) -> str:
        function = call.get("function") if isinstance(call, dict) else None
        if not isinstance(function, dict):
            return "Error: malformed tool call (no 'function' object)"
        name = function.get("name")
        tool = self._tools.get(name) if isinstance(name, str) else None
        if tool is None:
            return f"Error: unknown tool {name!r}; available tools: {', '.join(self._tools) or 'none'}"

        arguments = function.get("arguments")
        if arguments is None or (isinstance(arguments, str) and not arguments.strip()):
            arguments = {}
        elif isinstance(arguments, str):
            try:
                arguments = json.loads(arguments)
            except ValueError as exc:
                return f"Error: arguments of tool {name!r} are not valid JSON ({exc})"
        if not isinstance(arguments, dict):
            return f"Error: arguments of tool {name!r} must be a JSON object, got {type(arguments).__name__}"

        try:
            result = tool.adapter.validate_python(arguments)
            if inspect.isawaitable(result):
                result = _await(result)
        except ValidationError as exc:
            return f"Error: invalid arguments for tool {name!r}: {_describe(exc)}"
        except _ToolRaised as exc:
            cause = exc.__cause__
            return f"Error: tool {name!r} raised {type(cause).__name__}: {cause}"
        return _serialise(result)

    @classmethod
    def __get_pydantic_core_schema__(cls, source: Any, handler: Any) -> core_schema.CoreSchema:
        # A registry holds callables, so it is accepted as it is and dumped as its schemas.
        return core_schema.is_instance_schema(
            cls, serialization=core_schema.plain_serializer_function_ser_schema(lambda tools: tools.schemas)
        )

    @classmethod
    def __get_pydantic_json_schema__(cls, schema: Any, handler: Any) -> dict[str, Any]:
        return {"type": "array", "items": {"type": "object"}}


def _call_id(call: Any) -> str | None:
    call_id = call.get("id") if isinstance(call, dict) else None
    return call_id if isinstance(call_id, str) else None


def _await(awaitable: Any) -> Any:
    """Finish an async tool from synchronous code, in a thread of its own if a loop is running here."""

    async def run() -> Any:
        try:
            return await awaitable
        except Exception as exc:
            raise _ToolRaised from exc

    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return asyncio.run(run())
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        return pool.submit(asyncio.run, run()).result()


def _describe(exc: ValidationError) -> str:
    problems = []
    for error in exc.errors(include_url=False):
        where = ".".join(str(part) for part in error["loc"])
        problems.append(f"{where}: {error['msg']}" if where else error["msg"])
    return "; ".join(problems)


def _serialise(result: Any) -> str:
    if isinstance(result, str):
        return result
    try:
        return json.dumps(to_jsonable_python(result), ensure_ascii=False)
    except Exception:
        return str(result)
