"""CythonFunctionTool: run as a native coroutine, and Cython-compiled tools served by a real
FastMCP server through an in-memory client, next to the same source run as Python."""

import asyncio
import asyncio.coroutines
import inspect
import types
from collections import OrderedDict

import pydantic
import pytest
from fastmcp import Client, FastMCP
from fastmcp.server.context import Context
from fastmcp.tools import FunctionTool
from fastmcp.tools.tool import ToolResult
from mcp.types import TextContent

import parleykit.cython as pc
from native_build import build_compiled, load_interpreted

Tool = pc.CythonFunctionTool


@pytest.fixture(scope="session")
def compiled(tmp_path_factory):
    return build_compiled(tmp_path_factory.mktemp("native_tools"))


@pytest.fixture(scope="session")
def interpreted():
    return load_interpreted()


def run(tool, arguments):
    return asyncio.run(tool.run(arguments))


# ---- the class and its run method ----------------------------------------------------------------


def test_class_shape():
    assert Tool.__bases__ == (pc.CythonBaseModel, FunctionTool)
    assert type(Tool) is pc.CythonModelMeta
    assert type(Tool.__dict__["run"]) in Tool.model_config["ignored_types"]
    assert set(Tool.model_fields) == set(FunctionTool.model_fields)
    r = Tool.run
    assert (r.__qualname__, r.__doc__) == ("CythonFunctionTool.run", "Run the tool with arguments.")
    assert r.__annotations__ == {"arguments": "dict[str, Any]", "return": "ToolResult"}
    assert r._is_coroutine is asyncio.coroutines._is_coroutine
    assert inspect.iscoroutinefunction(r) and asyncio.iscoroutinefunction(r)
    assert not asyncio.iscoroutinefunction(pc._convert_to_content)


def add(a: int, b: int = 2) -> int:
    return a + b


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: t.run(None), "Argument 'arguments' has incorrect type (expected dict, got NoneType)"),
        (lambda t: t.run(OrderedDict()), "Argument 'arguments' has incorrect type (expected dict, got collections.OrderedDict)"),
        (lambda t: t.run(), "missing 1 required positional argument: 'arguments'"),
        (lambda t: t.run({}, {}), "takes 2 positional arguments but 3 were given"),
    ],
)
def test_bad_calls_fail_before_a_coroutine_exists(call, message):
    tool = Tool.from_function(add)
    with pytest.raises(TypeError) as info:
        call(tool)
    assert message in str(info.value)


def test_run_under_asyncio_run_keeps_the_callers_arguments():
    tool = Tool.from_function(add)
    arguments = {"a": "4", "extra": [1]}
    snapshot = dict(arguments)
    result = run(tool, arguments)
    assert arguments == snapshot and arguments["extra"] is snapshot["extra"]
    assert result.content == [TextContent(type="text", text="6")]
    assert result.structured_content == {"result": 6}  # int output is wrapped by its schema


def test_validation_errors_propagate():
    with pytest.raises(pydantic.ValidationError):
        run(Tool.from_function(add), {"a": "not a number"})


def test_validated_values_reach_the_function_unserialised():
    class Point(pydantic.BaseModel):
        x: int

    seen = {}

    def f(p: Point, items: list[int], **rest) -> None:
        seen.update(p=p, items=items, rest=rest)

    tool = Tool(name="f", fn=f, parameters={})
    run(tool, {"p": {"x": "1"}, "items": ("2",), "more": object})
    assert type(seen["p"]) is Point and seen["p"].x == 1
    assert seen["items"] == [2] and seen["rest"] == {"more": object}


@pytest.mark.parametrize(
    "returned, output_schema, structured",
    [
        ({"k": (1, 2)}, None, {"k": [1, 2]}),  # JSON form of a dict
        ([1, 2], None, None),
        (5, None, None),
        (None, None, None),
        (object(), None, None),  # to_jsonable_python fails: discarded
        (5, {"type": "object", "x-fastmcp-wrap-result": True}, {"result": 5}),
        ({"a": 1}, {"type": "object"}, {"a": 1}),
        (None, {"type": "object"}, None),
    ],
)
def test_structured_content(returned, output_schema, structured):
    def f():
        return returned

    tool = Tool(name="f", fn=f, parameters={}, output_schema=output_schema)
    result = run(tool, {})
    assert result.structured_content == structured
    assert result.content == pc._convert_to_content(returned)


def test_tool_result_is_returned_unchanged_and_serializer_is_used():
    made = ToolResult(content=[TextContent(type="text", text="as is")])
    assert run(Tool(name="f", fn=lambda: made, parameters={}), {}) is made
    tool = Tool(name="g", fn=lambda: [1], parameters={}, serializer=lambda v: f"s{v}")
    assert run(tool, {}).content == [TextContent(type="text", text="s[1]")]


def test_awaited_inside_a_task_suspends_only_at_the_function_awaitable():
    events = []

    async def slow(x: int) -> int:
        events.append("start")
        await asyncio.sleep(0)
        events.append("end")
        return x * 2

    async def main():
        tool = Tool.from_function(slow)
        coro = tool.run({"x": "3"})
        assert events == []  # nothing runs before the coroutine is driven
        task = asyncio.ensure_future(coro)
        result = await task
        return result

    result = asyncio.run(main())
    assert events == ["start", "end"] and result.structured_content == {"result": 6}


def test_cancelled_while_awaiting_the_function():
    async def main():
        loop = asyncio.get_running_loop()
        pending = loop.create_future()

        def never(x: int):
            return pending

        tool = Tool(name="never", fn=never, parameters={})
        task = asyncio.ensure_future(tool.run({"x": 1}))
        for _ in range(3):
            await asyncio.sleep(0)
        assert not task.done()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return pending

    pending = asyncio.run(main())
    assert pending.cancelled()


def test_context_supplied_by_the_caller_stays():
    got = []

    def f(ctx: Context) -> None:
        got.append(ctx)

    own = Context(fastmcp=FastMCP("caller's"))
    run(Tool.from_function(f), {"ctx": own})  # no request active: get_context would fail
    assert got == [own] and got[0] is own


# ---- what each run remembers or reads afresh -------------------------------------------------------


def injected_names(mutations, monkeypatch):
    """Runs a tool of `f(**rest)` after each mutation of `f`; gives the keys the function received
    with no arguments: the Context parameter the run found, if any."""
    probe = Context(fastmcp=FastMCP("probe"))
    monkeypatch.setattr(pc, "get_context", lambda: probe)

    def f(**rest):
        SEEN.append(sorted(rest))

    SEEN.clear()
    tool = Tool(name="f", fn=f, parameters={})
    for mutate in mutations:
        mutate(f)
        run(tool, {})
    return list(SEEN)


SEEN = []


def other(c=None, **rest):
    SEEN.append(sorted(rest) + ["c"] * (c is not None))


def take_code_of_other(f):
    f.__code__, f.__defaults__ = other.__code__, other.__defaults__


def set_signature(f):
    f.__signature__ = inspect.Signature([inspect.Parameter("ctx", inspect.Parameter.KEYWORD_ONLY, annotation=Context)])


def test_a_function_whose_annotations_or_signature_change_is_inspected_again(monkeypatch):
    steps = [
        (lambda f: None, []),
        (lambda f: f.__annotations__.__setitem__("rest", Context), ["rest"]),  # changed in place
        (lambda f: None, ["rest"]),
        (lambda f: setattr(f, "__annotations__", {}), []),  # replaced
        (set_signature, ["ctx"]),
        (lambda f: delattr(f, "__signature__"), []),
        (lambda f: setattr(f, "__annotations__", {"c": Context}), []),
        (take_code_of_other, ["c"]),
        # A name not defined yet: unresolved now, resolved once the module defines it.
        (lambda f: setattr(f, "__annotations__", {"c": "LaterContext"}), []),
        (lambda f: monkeypatch.setitem(f.__globals__, "LaterContext", Context), ["c"]),
    ]
    assert injected_names([mutate for mutate, _ in steps], monkeypatch) == [names for _, names in steps]


@pytest.mark.parametrize("bound", [False, True])
def test_fastmcps_answer_is_remembered_per_function(monkeypatch, bound):
    import fastmcp.utilities.types as fastmcp_types

    inspections = []
    hints = fastmcp_types.get_type_hints
    monkeypatch.setattr(fastmcp_types, "get_type_hints", lambda *a, **k: inspections.append(a[0]) or hints(*a, **k))

    class Greeter:
        def greet(self, name: str, ctx: Context) -> str:
            return f"{name} from {ctx.fastmcp.name}"

    def greet(name: str, ctx: Context) -> str:
        return f"{name} from {ctx.fastmcp.name}"

    fn = Greeter().greet if bound else greet
    server = FastMCP("here")  # the context holds it weakly
    monkeypatch.setattr(pc, "get_context", lambda: Context(fastmcp=server))
    tool = Tool.from_function(fn)
    inspections.clear()  # from_function inspects it too
    texts = [run(tool, {"name": "ann"}).content[0].text for _ in range(3)]
    assert texts == ["ann from here"] * 3 and len(inspections) == 1


def test_a_replaced_find_kwarg_by_type_is_called_on_every_run(monkeypatch):
    calls = []

    def find(fn, kwarg_type):
        calls.append((fn, kwarg_type))
        return "rest"

    monkeypatch.setattr(pc, "find_kwarg_by_type", find)
    assert injected_names([lambda f: None] * 2, monkeypatch) == [["rest"], ["rest"]]
    assert len(calls) == 2 and all(kwarg_type is Context for _, kwarg_type in calls)


class Pairs(pydantic.BaseModel):
    model_config = pydantic.ConfigDict(extra="allow")
    a: int = 1


class OwnPairs(Pairs):
    def __iter__(self):
        yield "own", True


@pytest.mark.parametrize(
    "validated, received",
    [
        (Pairs(), {"a": 1}),
        (Pairs(b=2), {"a": 1, "b": 2}),  # extra fields follow the declared ones
        (OwnPairs(b=2), {"own": True}),  # a class's own __iter__ is what counts
    ],
)
def test_a_validated_model_gives_the_pairs_it_iterates(monkeypatch, validated, received):
    class Adapter:
        def validate_python(self, arguments):
            return validated

    monkeypatch.setattr(pc, "get_cached_typeadapter", lambda fn: Adapter())
    got = []
    run(Tool(name="f", fn=lambda **kw: got.append(kw), parameters={}), {})
    assert got == [received] and list(got[0]) == list(received)


class AwaitMe:
    def __await__(self):
        yield from asyncio.sleep(0).__await__()
        return 5


@types.coroutine
def generator_coroutine():
    yield
    return 5


async def native_coroutine():
    return 5


@pytest.mark.parametrize("make", [lambda: 5, native_coroutine, generator_coroutine, AwaitMe])
@pytest.mark.parametrize("patched", [False, True])
def test_awaitables_are_awaited(monkeypatch, make, patched):
    tested = []
    if patched:  # a replaced inspect.isawaitable decides
        original = inspect.isawaitable
        monkeypatch.setattr(inspect, "isawaitable", lambda v: tested.append(v) or original(v))
    result = run(Tool(name="f", fn=make, parameters={}), {})
    assert result.content == [TextContent(type="text", text="5")]
    assert len(tested) == patched


# ---- compiled tools through a real server --------------------------------------------------------

CALLS = [
    # tool, arguments, text, structured content
    ("add", {"a": 1}, "3", {"result": 3}),
    ("add", {"a": "4", "b": 5}, "9", {"result": 9}),
    ("slow_add", {"a": 1, "b": 2}, "3", {"result": 3}),
    ("greet", {"name": "ann"}, "hello ann from tools", {"result": "hello ann from tools"}),
    ("describe", {"x": 4}, '{"x":4,"double":8}', {"x": 4, "double": 8}),
    ("manhattan", {"p": {"x": 1, "y": -2}, "scale": 2}, "6", {"result": 6}),
    ("scale", {"x": 5}, "15", {"result": 15}),
]
BAD_CALLS = [
    ("add", {"a": "x"}),
    ("add", {}),
    ("slow_add", {"a": 1}),
    ("manhattan", {"p": {"x": 1}}),
    ("describe", {"x": [1]}),
]


def server_for(module, tool_class=Tool):
    server = FastMCP("tools")
    for fn in (module.add, module.slow_add, module.greet, module.describe, module.manhattan, module.Scaler().scale):
        server.add_tool(tool_class.from_function(fn))
    return server


async def call_all(server, calls):
    out = []
    async with Client(server) as client:
        for name, arguments in calls:
            r = await client.call_tool(name, arguments, raise_on_error=False)
            out.append((r.is_error, [c.text for c in r.content], r.structured_content))
    return out


def test_compiled_functions_are_native(compiled, interpreted):
    assert type(compiled.add).__name__ == "cython_function_or_method"
    assert not inspect.isfunction(compiled.add) and inspect.isfunction(interpreted.add)


@pytest.mark.parametrize("flavour", ["compiled", "interpreted"])
def test_served_tools(request, flavour):
    module = request.getfixturevalue(flavour)
    results = asyncio.run(call_all(server_for(module), [(n, a) for n, a, _, _ in CALLS]))
    assert results == [(False, [text], structured) for _, _, text, structured in CALLS]


@pytest.mark.parametrize("flavour", ["compiled", "interpreted"])
def test_bad_arguments_are_tool_errors(request, flavour):
    module = request.getfixturevalue(flavour)
    results = asyncio.run(call_all(server_for(module), BAD_CALLS))
    assert [is_error for is_error, _, _ in results] == [True] * len(BAD_CALLS)
    assert all("validation error" in texts[0] for _, texts, _ in results)


def test_compiled_and_interpreted_tools_describe_themselves_alike(compiled, interpreted):
    async def listing(module):
        async with Client(server_for(module)) as client:
            return {t.name: (t.description, t.inputSchema, t.outputSchema) for t in await client.list_tools()}

    assert asyncio.run(listing(compiled)) == asyncio.run(listing(interpreted))


def test_fastmcp_function_tool_with_compiled_functions(compiled, interpreted):
    """fastmcp's own FunctionTool builds its schemas with pydantic's TypeAdapter of the function,
    which only knows Python functions: a compiled function is an unknown type to it. Only tools
    that fastmcp wraps in a Python function of its own (a Context parameter, a bound method) can
    be made."""
    refused = []
    for fn in (compiled.add, compiled.slow_add, compiled.greet, compiled.describe, compiled.manhattan,
               compiled.Scaler().scale):
        try:
            FunctionTool.from_function(fn)
        except pydantic.PydanticSchemaGenerationError:
            refused.append(fn.__name__)
    assert refused == ["add", "slow_add", "describe", "manhattan"]
    for fn in (interpreted.add, interpreted.slow_add, interpreted.describe, interpreted.manhattan):
        FunctionTool.from_function(fn)  # the same source as Python is fine

    # The ones it can make run, like ours.
    server = FastMCP("tools")
    server.add_tool(FunctionTool.from_function(compiled.greet))
    server.add_tool(FunctionTool.from_function(compiled.Scaler().scale))
    results = asyncio.run(call_all(server, [("greet", {"name": "ann"}), ("scale", {"x": 5})]))
    assert results == [(False, [text], structured) for name, _, text, structured in CALLS if name in ("greet", "scale")]


def test_from_function_keeps_the_native_function(compiled):
    before = compiled.greet.__dict__.get("__signature__")
    tool = Tool.from_function(compiled.greet, name="hi")
    assert tool.fn is compiled.greet and tool.name == "hi"
    assert "ctx" not in tool.parameters["properties"]
    # fastmcp rewrites the signature of a function taking a Context: here the stand-in's.
    assert compiled.greet.__dict__.get("__signature__") is before
    py_tool = Tool.from_function(add)
    assert py_tool.fn is add and type(py_tool) is Tool


@pytest.mark.parametrize("error, escapes", [(RuntimeError, False), (KeyboardInterrupt, True), (MemoryError, True)])
def test_failing_model_dump_lookup(monkeypatch, error, escapes):
    # Validated arguments that are not a model are dumped when they offer model_dump; a lookup
    # failing with an Exception counts as absent, anything else propagates.
    class Validated(dict):
        def __getattr__(self, name):
            raise error(name)

    class Adapter:
        def validate_python(self, arguments):
            return Validated(arguments)

    monkeypatch.setattr(pc, "get_cached_typeadapter", lambda fn: Adapter())
    tool = Tool.from_function(add)
    if escapes:
        with pytest.raises(error):
            run(tool, {"a": 1, "b": 2})
    else:
        assert run(tool, {"a": 1, "b": 2}).structured_content == {"result": 3}
