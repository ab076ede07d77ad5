"""The tool registry: Python callables offered to the model, and the runner for its tool calls."""

import asyncio
import base64
import functools
import inspect
import json
import math
import os
import re
import sys
import threading
import types
import warnings
from collections.abc import Callable, Coroutine, Iterator
from dataclasses import dataclass
from typing import Any, overload

from pydantic import PydanticUserError, TypeAdapter, ValidationError
from pydantic_core import core_schema, to_jsonable_python

from parleykit._tool_schema import describe, shape
from parleykit.message import Message, MessageRole

# What chat-completions services accept as a function name.
_NAME = re.compile(r"[A-Za-z0-9_-]{1,64}")
# The documentation link pydantic appends to its messages: noise for a model.
_PYDANTIC_LINK = re.compile(r"\s*For further information visit https://errors\.pydantic\.dev\S*")


class _ToolRaised(Exception):
    """Carries an exception raised inside a tool past the argument validation around it."""


@dataclass(frozen=True, slots=True)
class _Tool:
    name: str
    description: str
    parameters: dict[str, Any]
    adapter: TypeAdapter[Any]  # validates the arguments, then calls the tool
    bound: frozenset[str]  # names a partial fixed: a model may not send them, not even into **kwargs

    @property
    def schema(self) -> dict[str, Any]:
        return {
            "type": "function",
            "function": {"name": self.name, "description": self.description, "parameters": self.parameters},
        }


def _described(fn: Callable[..., Any]) -> Any:
    """What names and documents a tool: the function inside a partial, else the callable itself."""
    return fn.func if isinstance(fn, functools.partial) else fn


def _code_owner(fn: Any) -> Any:
    """The plain function whose globals and closure a tool's annotations are written in."""
    for _ in range(100):  # a bound on chains of wrappers that lead back to themselves
        if isinstance(fn, functools.partial):
            fn = fn.func
        elif isinstance(fn, types.MethodType):
            fn = fn.__func__
        elif hasattr(fn, "__wrapped__"):
            fn = fn.__wrapped__
        elif inspect.isroutine(fn) or isinstance(fn, type) or not callable(fn):
            break
        else:  # a callable object: its class's __call__
            fn = type(fn).__call__
    return fn


def _namespaces(fn: Callable[..., Any]) -> tuple[dict[str, Any], dict[str, Any]]:
    """Globals and closure variables to evaluate annotation texts in."""
    owner = _code_owner(fn)
    module = sys.modules.get(getattr(owner, "__module__", None) or "")
    globalns = getattr(owner, "__globals__", None) or (vars(module) if module else {})
    localns: dict[str, Any] = {}
    code = getattr(owner, "__code__", None)
    for var, cell in zip(code.co_freevars if code else (), getattr(owner, "__closure__", None) or ()):
        try:
            localns[var] = cell.cell_contents
        except ValueError:  # a closure variable not assigned yet
            pass
    return globalns, localns


def _evaluate(text: str, globalns: dict[str, Any], localns: dict[str, Any]) -> Any:
    """An annotation written as text, evaluated where the tool was written.

    With ``from __future__ import annotations`` every annotation is a text, and a class defined
    inside a function is found neither in the module nor, unless the body uses it, in the closure:
    then the locals of the code that registers the tool fill the gap.
    """
    try:
        return eval(text, globalns, localns)  # noqa: S307 (the tool author's own annotation)
    except NameError:
        return eval(text, globalns, {**_caller_locals(), **localns})  # noqa: S307


def _parameters(
    fn: Callable[..., Any], name: str, bound: frozenset[str]
) -> tuple[list[inspect.Parameter], list[inspect.Parameter]]:
    """The parameters a model fills, by name, with evaluated annotations; and the positional-only
    ones among them as the function has them, which the call passes by position.

    Arguments bound by ``functools.partial`` are not among them: the model must not override them.
    Positional-only parameters are filled by name like the rest; ``*args`` cannot be, and is refused.
    """
    try:
        signature = inspect.signature(fn)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"tool {name!r}: its parameters cannot be read ({exc})") from None
    globalns, localns = _namespaces(fn)
    parameters = []
    for parameter in signature.parameters.values():
        if parameter.name in bound:
            continue
        if parameter.kind is parameter.VAR_POSITIONAL:
            raise TypeError(
                f"tool {name!r}: parameter *{parameter.name} cannot be filled from the named arguments a model "
                f"sends; make it a list (`{parameter.name}: list[...]`)"
            )
        annotation = parameter.annotation
        if isinstance(annotation, str):
            try:
                annotation = _evaluate(annotation, globalns, localns)
            except Exception as exc:
                raise TypeError(
                    f"tool {name!r}: the annotation {annotation!r} of parameter {parameter.name!r} cannot be "
                    f"resolved ({type(exc).__name__}: {exc}); define the type at module level"
                ) from None
        # Positional-only parameters come first, so as positional-or-keyword ones they keep a valid order.
        kind = parameter.POSITIONAL_OR_KEYWORD if parameter.kind is parameter.POSITIONAL_ONLY else parameter.kind
        parameters.append(parameter.replace(kind=kind, annotation=annotation))
    positional = [p for p in signature.parameters.values() if p.kind is p.POSITIONAL_ONLY]
    return parameters, positional


def _build(fn: Callable[..., Any], name: str | None, description: str | None) -> _Tool:
    described = _described(fn)
    if name is None:
        # A callable object has no name of its own: it is named after its class.
        name = getattr(described, "__name__", None) or type(described).__name__
    if not _NAME.fullmatch(name):
        raise ValueError(f"tool name {name!r} must be 1 to 64 letters, digits, '_' or '-'; choose one with name=...")
    prose, documented = describe(inspect.getdoc(described))
    if description is None:
        description = prose

    # pydantic reads the tool's parameters from this wrapper's signature, in which every parameter
    # is named (the model sends a JSON object), while an exception from the tool body comes out
    # marked, so it is never mistaken for bad arguments.
    bound = frozenset(fn.keywords) if isinstance(fn, functools.partial) else frozenset()
    parameters, positional = _parameters(fn, name, bound)

    def guarded(**kwargs: Any) -> Any:
        args = [kwargs.pop(p.name) if p.name in kwargs else p.default for p in positional]
        try:
            return fn(*args, **kwargs)
        except Exception as exc:
            raise _ToolRaised from exc

    guarded.__name__ = guarded.__qualname__ = name
    guarded.__signature__ = inspect.Signature(parameters)  # type: ignore[attr-defined]
    guarded.__annotations__ = {p.name: p.annotation for p in parameters if p.annotation is not p.empty}
    try:
        # Typed as Any: newer pydantic stubs describe TypeAdapter's argument as a type form only.
        validated_call: Any = guarded
        adapter: TypeAdapter[Any] = TypeAdapter(validated_call)
        schema = adapter.json_schema()
    except (PydanticUserError, NameError, TypeError) as exc:
        raise TypeError(f"tool {name!r}: {_unusable(parameters, exc)}") from None
    return _Tool(name, description, shape(schema, documented), adapter, bound)


def _unusable(parameters: list[inspect.Parameter], exc: Exception) -> str:
    """Why pydantic cannot describe a tool, naming the first parameter whose type it cannot take."""
    for parameter in parameters:
        annotation = Any if parameter.annotation is parameter.empty else parameter.annotation
        try:
            TypeAdapter(annotation).json_schema()
        except Exception as own:
            first_line = _tidy(str(own)).splitlines()[0] if str(own).strip() else type(own).__name__
            return f"parameter {parameter.name!r} has a type pydantic cannot describe in JSON ({first_line})"
    return _tidy(str(exc)).splitlines()[0] if str(exc).strip() else type(exc).__name__


def _caller_locals() -> dict[str, Any]:
    """The locals of the code that registers a tool: the first frame outside this module."""
    frame: types.FrameType | None = sys._getframe(1)
    while frame is not None and frame.f_code.co_filename == __file__:
        frame = frame.f_back
    return dict(frame.f_locals) if frame is not None else {}


class _Loop:
    """The event loop on which every registry of the process runs its async tools, in a daemon
    thread of its own.

    It is started on first use and then lives as long as the process, so what a tool binds to the
    loop (a client session, a connection pool, a lock) still works on its next call, and a program
    with many registries holds one thread and one loop's descriptors, not one per registry. A
    child process made by ``fork`` gets no thread from its parent: it starts its own loop when it
    first needs one.
    """

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self._serve, name="parleykit-tools", daemon=True)
        self.thread.start()

    def _serve(self) -> None:
        asyncio.set_event_loop(self.loop)
        self.loop.run_forever()

    def run(self, coroutine: Coroutine[Any, Any, Any]) -> Any:
        future = asyncio.run_coroutine_threadsafe(coroutine, self.loop)
        try:
            return future.result()
        except BaseException:
            future.cancel()  # the caller gave up (Ctrl-C): the tool does not run on unseen
            raise


_shared: _Loop | None = None
_shared_lock = threading.Lock()


def _shared_loop() -> _Loop:
    global _shared
    with _shared_lock:
        if _shared is None:
            _shared = _Loop()
        return _shared


def _forget_loop_after_fork() -> None:
    # The child has only the forking thread: the parent's loop thread is gone, and its lock may
    # have been held by a thread that no longer exists.
    global _shared, _shared_lock
    _shared, _shared_lock = None, threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_loop_after_fork)


@dataclass(frozen=True, slots=True)
class _Escaped:
    """An exception that is no error of the tool's (KeyboardInterrupt, SystemExit), carried out of
    the loop thread: raised there, it would stop the loop; the caller raises it instead."""

    exc: BaseException


class Tools:
    """A registry of tools the model may call.

    Fill it with ``@tools.register``, ``@tools.register(name=..., description=...)`` or
    ``tools.add(fn)``. A tool's parameters are described by the JSON schema that pydantic derives
    from its signature, with the docstring's prose as the tool's description and the text it gives
    each parameter (Google, NumPy or Sphinx style) as that parameter's description. Arguments
    bound with ``functools.partial`` are neither offered to the model nor taken from it. A signature
    a model could not fill (``*args``, a type pydantic cannot describe, an annotation that cannot be
    resolved) is refused with a ``TypeError`` naming the parameter. Registering a name again
    replaces the earlier tool.

    ``tools(tool_calls)`` runs the model's tool calls in order and answers each with a tool message
    whose ``tool_call_id`` is the call's id as text. Nothing a model sends can break the
    conversation: unknown tools, malformed or invalid arguments and exceptions raised by a tool all
    become error texts in the answer, so the model can correct itself. A result is sent as it is
    when it is a text, else as JSON (bytes as base64, NaN and infinities as strings), else as its
    ``str``.

    Async tools run on one event loop that serves every registry of the process from a thread of
    its own, started on first use and kept for the life of the process, so what a tool binds to
    its loop survives between calls. The caller waits for them; a ``KeyboardInterrupt`` or
    ``SystemExit`` raised by an async tool reaches the caller as it would from a sync tool, and
    the loop goes on serving. Called from a thread whose event loop is running, the registry still
    runs the calls, but that loop stands still meanwhile, so it warns (``RuntimeWarning``); async
    code awaits ``tools.acall(tool_calls)`` instead, which runs them from a worker thread.
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

    def register(
        self, fn: Callable[..., Any] | None = None, *, name: str | None = None, description: str | None = None
    ) -> Callable[..., Any]:
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
            Message(role=MessageRole.tool, contents=[self._answer(call)], tool_call_id=_call_id(call))
            for call in tool_calls
        ]

    async def acall(self, tool_calls: list[dict[str, Any]]) -> list[Message]:
        """``tools(tool_calls)`` for async code: the calls run in a worker thread, the loop goes on."""
        return await asyncio.to_thread(self, tool_calls)

    def _answer(self, call: Any) -> str:
        """The answer to one call: whatever goes wrong with it stays its own error text, and the
        other calls of the round still run."""
        try:
            return self._run(call)
        except Exception as exc:
            return f"Error: the tool call could not be answered ({_safe_text(exc)})"

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
            except (ValueError, RecursionError) as exc:
                return f"Error: arguments of tool {name!r} are not valid JSON ({exc})"
        if not isinstance(arguments, dict):
            return f"Error: arguments of tool {name!r} must be a JSON object, got {type(arguments).__name__}"

        if fixed := sorted(tool.bound.intersection(arguments)):
            return f"Error: invalid arguments for tool {name!r}: " + "; ".join(f"{k}: Unexpected keyword argument" for k in fixed)
        try:
            result = tool.adapter.validate_python(arguments)
            if inspect.isawaitable(result):
                result = self._await(result)
        except ValidationError as exc:
            return f"Error: invalid arguments for tool {name!r}: {_describe(exc)}"
        except _ToolRaised as exc:
            cause = exc.__cause__
            try:
                text = _describe(cause) if isinstance(cause, ValidationError) else _tidy(str(cause))
            except Exception:  # an exception whose text cannot be read
                text = ""
            return f"Error: tool {name!r} raised {type(cause).__name__}" + (f": {text}" if text else "")
        except (ValueError, RecursionError, MemoryError) as exc:
            # Arguments that are valid JSON but too deep or too large to convert.
            return f"Error: invalid arguments for tool {name!r}: {_safe_text(exc)}"
        try:
            return _serialise(result)
        except Exception as exc:
            return f"Error: the result of tool {name!r} cannot be sent as text ({_safe_text(exc)})"

    def _await(self, awaitable: Any) -> Any:
        """Finish an async tool on the process's tool loop, started on first use."""

        async def run() -> Any:
            try:
                return await awaitable
            except Exception as exc:
                raise _ToolRaised from exc
            except asyncio.CancelledError:
                raise
            except BaseException as exc:
                return _Escaped(exc)

        loop = _shared_loop()
        if threading.current_thread() is loop.thread:
            # A tool that calls a registry from the loop would wait for the loop it is holding.
            close = getattr(awaitable, "close", None)
            if close is not None:
                close()
            raise _ToolRaised from RuntimeError("an async tool cannot be called from another async tool")
        try:
            asyncio.get_running_loop()
        except RuntimeError:
            pass
        else:
            warnings.warn(
                "Tools called from a thread whose event loop is running: that loop stands still until the "
                "tools finish; await tools.acall(...) to run them from a worker thread",
                RuntimeWarning,
                stacklevel=4,
            )
        result = loop.run(run())
        if isinstance(result, _Escaped):
            exc = result.exc
            try:
                raise exc
            finally:
                del exc, result
        return result

    @classmethod
    def __get_pydantic_core_schema__(cls, source: Any, handler: Any) -> core_schema.CoreSchema:
        # A registry holds callables, so it is accepted as it is and dumped as its schemas.
        return core_schema.is_instance_schema(
            cls, serialization=core_schema.plain_serializer_function_ser_schema(lambda tools: tools.schemas)
        )

    @classmethod
    def __get_pydantic_json_schema__(cls, schema: Any, handler: Any) -> dict[str, Any]:
        return {"type": "array", "items": {"type": "object"}}


def _call_id(call: Any) -> str:
    """The id a result message answers, always a text: services pair calls and results by it."""
    call_id = call.get("id") if isinstance(call, dict) else None
    if call_id is None:
        return ""
    return call_id if isinstance(call_id, str) else json.dumps(call_id, default=str)


def _safe_text(exc: BaseException) -> str:
    """``Type: text`` of an exception, or just its type when its text cannot be read."""
    try:
        text = _tidy(str(exc))
    except Exception:
        text = ""
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _describe(exc: ValidationError) -> str:
    problems = []
    for error in exc.errors(include_url=False):
        where = ".".join(str(part) for part in error["loc"])
        problems.append(f"{where}: {error['msg']}" if where else error["msg"])
    return "; ".join(problems)


def _tidy(text: str) -> str:
    """An exception's text without pydantic's documentation links and trailing blanks."""
    return "\n".join(line.rstrip() for line in _PYDANTIC_LINK.sub("", text).strip().splitlines())


def _finite(value: Any) -> Any:
    """A JSON-able value with NaN and infinities as the strings JavaScript prints for them."""
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    if isinstance(value, list):
        return [_finite(item) for item in value]
    if isinstance(value, dict):
        return {key: _finite(item) for key, item in value.items()}
    return value


def _serialise(result: Any) -> str:
    """A tool's result as the model reads it: a text as it is, else JSON, else the result's str."""
    if isinstance(result, str):
        return result
    if isinstance(result, (bytes, bytearray, memoryview)):
        data = bytes(result)
        note = f"{len(data)} bytes of binary data, base64-encoded"
        return json.dumps({"note": note, "base64": base64.b64encode(data).decode("ascii")})
    try:
        value = to_jsonable_python(result, bytes_mode="base64")
    except Exception:
        return str(result)
    return json.dumps(_finite(value), ensure_ascii=False, allow_nan=False)
