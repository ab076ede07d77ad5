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
from fastmcp.tools.base import ToolResult
from mcp.types import TextContent

import parleykit.cython as pc

Tool = pc.CythonFunctionTool


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
    arguments = {"a": "4", "b": [2][0]}
    snapshot = dict(arguments)
    result = run(tool, arguments)
    assert arguments == snapshot
    assert result.content == [TextContent(type="text", text="6")]
    assert result.structured_content == {"result": 6}  # int output is wrapped by its schema


@pytest.mark.parametrize("arguments", [{"a": "not a number"}, {"a": 1, "extra": [1]}, {}])
def test_validation_errors_are_fastmcps(arguments):
    # Bad, unknown and missing arguments fail as fastmcp's own tool fails on this release.
    errors = []
    for tool_class in (FunctionTool, Tool):
        with pytest.raises(Exception) as info:
            run(tool_class.from_function(add), arguments)
        errors.append((type(info.value), str(info.value)))
    assert errors[0] == errors[1]


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
    if "serializer" in FunctionTool.model_fields:  # newer fastmcp releases have none
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

        tool = Tool(name="never", fn=never, parameters={}, run_in_thread=False)
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


@pytest.mark.parametrize("tool_class", [FunctionTool, Tool])
def test_injected_parameters_cannot_be_set_by_the_caller(tool_class):
    import fastmcp.dependencies as deps

    got = []

    def role():
        return "user"

    def f(ctx: Context, who: str = deps.Depends(role)) -> None:
        got.append((ctx.fastmcp.name, who))

    tool = tool_class.from_function(f)
    server = FastMCP("here")
    own = Context(fastmcp=FastMCP("caller's"))
    in_context(server, tool.run({}))
    assert got == [("here", "user")]
    for sent in ({"ctx": own}, {"who": "admin"}):
        with pytest.raises(Exception, match="Unexpected keyword argument"):
            in_context(server, tool.run(sent))
    assert got == [("here", "user")]


# ---- what each run remembers or reads afresh -------------------------------------------------------


def in_context(server, coro):
    """Runs `coro` inside a request context of `server`, as the server runs its tools."""

    async def main():
        async with Context(fastmcp=server):
            return await coro

    return asyncio.run(main())


def outcomes(tool_class, mutations):
    """Runs a tool of `f(**rest)` after each mutation of `f` with the arguments x and c; gives
    what the function received, or "refused" when the arguments were refused: a parameter that
    takes a Context is injected, never the caller's."""

    def f(**rest):
        SEEN.append(sorted(rest))

    tool = tool_class(name="f", fn=f, parameters={}, run_in_thread=False)
    out = []
    for mutate in mutations:
        mutate(f)
        SEEN.clear()
        try:
            in_context(FastMCP("probe"), tool.run({"x": 1, "c": 2}))
            out.append(SEEN[0])
        except Exception as e:
            assert "Unexpected keyword argument" in str(e)
            out.append("refused")
    return out


SEEN = []


def other(c=None, **rest):
    SEEN.append(sorted(rest) + ["c"] * (c is not None))


def take_code_of_other(f):
    f.__code__, f.__defaults__ = other.__code__, other.__defaults__


def set_signature(f):
    f.__signature__ = inspect.Signature([inspect.Parameter("ctx", inspect.Parameter.KEYWORD_ONLY, annotation=Context)])


@pytest.mark.parametrize("tool_class", [FunctionTool, Tool])
def test_a_function_whose_annotations_or_signature_change_is_inspected_again(monkeypatch, tool_class):
    steps = [
        (lambda f: None, ["c", "x"]),
        (lambda f: f.__annotations__.__setitem__("rest", Context), ["c", "x"]),  # changed in place
        (lambda f: None, ["c", "x"]),
        (lambda f: setattr(f, "__annotations__", {}), ["c", "x"]),  # replaced
        (set_signature, ["c", "x"]),
        (lambda f: delattr(f, "__signature__"), ["c", "x"]),
        (lambda f: setattr(f, "__annotations__", {"c": Context}), ["c", "x"]),  # no parameter c
        (take_code_of_other, ["x", "c"]),
        # A name not defined yet: unresolved now, resolved once the module defines it, and
        # resolved anew when the module rebinds it.
        (lambda f: setattr(f, "__annotations__", {"c": "LaterContext"}), ["x", "c"]),
        (lambda f: monkeypatch.setitem(f.__globals__, "LaterContext", Context), ["x", "c"]),
        (lambda f: monkeypatch.setitem(f.__globals__, "LaterContext", int), ["x", "c"]),
    ]
    assert outcomes(tool_class, [mutate for mutate, _ in steps]) == [seen for _, seen in steps]


def test_a_rebound_module_global_named_by_an_annotation_is_seen(monkeypatch):
    # A remembered preparation is made again once the function's module namespace changes:
    # each run answers as fastmcp's own tool answers after the same rebinding.
    def f(c: "LaterType" = None):
        return type(c).__name__

    seen = {}
    for tool_class in (FunctionTool, Tool):
        tool = tool_class(name="f", fn=f, parameters={}, run_in_thread=False)
        seen[tool_class] = []
        for bound in (int, Context, str, Context, int):
            monkeypatch.setitem(globals(), "LaterType", bound)
            for arguments in ({}, {"c": "2"}):
                try:
                    seen[tool_class].append(in_context(FastMCP("p"), tool.run(arguments)).content[0].text)
                except Exception as e:
                    seen[tool_class].append(type(e).__name__)
    assert seen[Tool] == seen[FunctionTool]


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
    tool = Tool.from_function(fn)
    inspections.clear()  # from_function inspects it too
    texts = [in_context(server, tool.run({"name": "ann"})).content[0].text]
    first = len(inspections)
    texts += [in_context(server, tool.run({"name": "ann"})).content[0].text for _ in range(2)]
    assert texts == ["ann from here"] * 3 and first > 0 and len(inspections) == first


def test_a_replaced_find_kwarg_by_type_is_called_on_every_run(monkeypatch):
    # fastmcp's preparation as the dependencies module names it now: a replacement is used from the
    # next run on, and a replacement of the replacement too.
    import fastmcp.server.dependencies as deps

    calls = []
    original = deps.without_injected_parameters

    def counting(fn, **kwargs):
        calls.append(fn)
        return original(fn, **kwargs)

    tool = Tool.from_function(add)
    run(tool, {"a": 1})
    monkeypatch.setattr(deps, "without_injected_parameters", counting)
    run(tool, {"a": 1})
    assert len(calls) == 1
    monkeypatch.setattr(deps, "without_injected_parameters", lambda fn, **kwargs: counting(fn, **kwargs))
    assert run(tool, {"a": 1}).structured_content == {"result": 3} and len(calls) == 2


class Pairs(pydantic.BaseModel):
    model_config = pydantic.ConfigDict(extra="allow")
    a: int = 1


class OwnPairs(Pairs):
    def __iter__(self):
        yield "own", True


@pytest.mark.parametrize("model", [Pairs, OwnPairs])
def test_a_validated_model_gives_the_pairs_it_iterates(model):
    # A model-typed argument reaches the function as the validated model, whatever it iterates.
    got = []

    def f(p: model) -> None:
        got.append(p)

    run(Tool.from_function(f), {"p": {"a": "2", "b": 3}})
    assert [type(p) for p in got] == [model] and got[0].a == 2 and got[0].b == 3


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


def await_me():
    return AwaitMe()


@pytest.mark.parametrize("make", [lambda: 5, native_coroutine, generator_coroutine, await_me])
@pytest.mark.parametrize("patched", [False, True])
def test_awaitables_are_awaited(monkeypatch, make, patched):
    tested = []
    if patched:  # a replaced inspect.isawaitable decides
        original = inspect.isawaitable
        monkeypatch.setattr(inspect, "isawaitable", lambda v: tested.append(v) or original(v))
    # What is awaited, and how the result reads, as fastmcp's own tool does on this release.
    results = [run(cls(name="f", fn=make, parameters={}), {}).content for cls in (FunctionTool, Tool)]
    assert results[0] == results[1]
    if make is not generator_coroutine:  # a newer fastmcp consumes that one as a plain generator
        assert results[1] == [TextContent(type="text", text="5")]
    assert bool(tested) == patched


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

    # The one it can make run, like ours. (A compiled bound method is not run here: the oldest
    # fastmcp releases remake it as a Python function from Cython's code object, which crashes.)
    server = FastMCP("tools")
    server.add_tool(FunctionTool.from_function(compiled.greet))
    results = asyncio.run(call_all(server, [("greet", {"name": "ann"})]))
    assert results == [(False, [text], structured) for name, _, text, structured in CALLS if name == "greet"]


def test_from_function_keeps_the_native_function(compiled):
    before = compiled.greet.__dict__.get("__signature__")
    tool = Tool.from_function(compiled.greet, name="hi")
    assert tool.fn is compiled.greet and tool.name == "hi"
    assert "ctx" not in tool.parameters["properties"]
    # fastmcp rewrites the signature of a function taking a Context: here the stand-in's.
    assert compiled.greet.__dict__.get("__signature__") is before
    py_tool = Tool.from_function(add)
    assert py_tool.fn is add and type(py_tool) is Tool


@pytest.mark.parametrize("error", [RuntimeError, KeyboardInterrupt, MemoryError])
@pytest.mark.parametrize("tool_class", [FunctionTool, Tool])
def test_failing_model_dump_lookup(tool_class, error):
    # The function's own errors leave run as the same object, whatever their kind.
    raised = error("from the tool")

    def f(a: int):
        raise raised

    with pytest.raises(error) as info:
        run(tool_class(name="f", fn=f, parameters={}, run_in_thread=False), {"a": 1})
    assert info.value is raised
