"""CythonFunctionTool next to fastmcp's own FunctionTool on the installed release: for a table of
function shapes (and the compiled twins of tests/native_tools.pyx next to the same source run as
Python), the same description, the same results and the same errors; then the same tools served
over real MCP transports (in memory, and streamable HTTP from a server process on loopback)."""

import asyncio
import os
import socket
import subprocess
import sys
import textwrap
import time
from typing import Annotated

import pydantic
import pytest
from fastmcp import Client, FastMCP
from fastmcp.dependencies import Depends
from fastmcp.server.context import Context
from fastmcp.tools import FunctionTool
from fastmcp.utilities.types import Image
from hypothesis import given, settings
from hypothesis import strategies as st
from mcp.types import TextContent

import parleykit.cython as pc

Tool = pc.CythonFunctionTool
SERVER = FastMCP("differential")
PNG = b"\x89PNG\r\n\x1a\n" + b"\0" * 8


# ---- the shapes ----------------------------------------------------------------------------------


def plain(a: int, b: str = "x") -> str:
    return f"{a}{b}"


async def later(a: int) -> int:
    await asyncio.sleep(0)
    return a * 2


async def counting(n: int):
    for i in range(n):
        await asyncio.sleep(0)
        yield i


def squares(n: int):
    for i in range(n):
        yield i * i


def loose(a, b=1):
    return [a, b]


def described(x: Annotated[int, "the number"], y: Annotated[int, pydantic.Field(ge=0)] = 0) -> dict:
    return {"sum": x + y}


class Aliased(pydantic.BaseModel):
    model_config = pydantic.ConfigDict(serialize_by_alias=False, populate_by_name=True)
    inner_name: int = pydantic.Field(alias="innerName")


class ByAlias(pydantic.BaseModel):
    model_config = pydantic.ConfigDict(serialize_by_alias=True, populate_by_name=True)
    inner_name: int = pydantic.Field(alias="innerName")


def aliased(v: int) -> Aliased:
    return Aliased(inner_name=v)


def by_alias(v: int) -> ByAlias:
    return ByAlias(inner_name=v)


def takes_model(m: Aliased) -> int:
    return m.inner_name


def blob(n: int) -> bytes:
    return bytes(range(n))


def text_bytes() -> bytes:
    return b"plain text"


def mixed() -> list:
    return [1, TextContent(type="text", text="block"), "two", Image(data=PNG, format="png"), {"k": 3}]


def block() -> TextContent:
    return TextContent(type="text", text="a block")


def untyped_blocks():
    return [TextContent(type="text", text="one"), TextContent(type="text", text="two")]


def nothing(x: int) -> None:
    return None


def greet(name: str, ctx: Context) -> str:
    return f"{name} from {ctx.fastmcp.name}"


def role() -> str:
    return "user"


def guarded(action: str, who: str = Depends(role)) -> str:
    return f"{who} may {action}"


def odd_names(_value: int, model_config: str = "default") -> list:
    return [_value, model_config]


def raises_value_error(x: int) -> int:
    raise ValueError(f"bad {x}")


def body_validation_error() -> int:
    return Aliased.model_validate({"innerName": "not a number"})


async def too_slow() -> int:
    await asyncio.sleep(5)
    return 1


class Scaler:
    def __init__(self, factor):
        self.factor = factor

    def scale(self, x: int) -> int:
        return x * self.factor


SHAPES = [
    # function, from_function keywords, argument sets
    (plain, {}, [{"a": 1}, {"a": "2", "b": "y"}, {"a": "no"}, {}, {"a": 1, "extra": 2}]),
    (later, {}, [{"a": 3}, {"a": [1]}]),
    (counting, {}, [{"n": 3}, {"n": 0}]),
    (squares, {}, [{"n": 4}]),
    (loose, {}, [{"a": 1}, {"a": "s", "b": [2]}, {}]),
    (described, {}, [{"x": 1, "y": 2}, {"x": 1, "y": -1}]),
    (aliased, {}, [{"v": 5}]),
    (by_alias, {}, [{"v": 5}]),
    (takes_model, {}, [{"m": {"innerName": 4}}, {"m": {"inner_name": 4}}, {"m": {}}]),
    (blob, {}, [{"n": 3}, {"n": 0}]),
    (text_bytes, {}, [{}]),
    (mixed, {}, [{}]),
    (block, {}, [{}]),
    (untyped_blocks, {}, [{}]),
    (nothing, {}, [{"x": 1}]),
    (greet, {}, [{"name": "ann"}, {"name": "ann", "ctx": "mine"}]),
    (guarded, {}, [{"action": "read"}, {"action": "read", "who": "admin"}]),
    (odd_names, {}, [{"_value": 1}, {"_value": 2, "model_config": "sent"}]),
    (raises_value_error, {}, [{"x": 1}]),
    (body_validation_error, {}, [{}]),
    (too_slow, {"timeout": 0.05}, [{}]),
    (plain, {"name": "renamed", "description": "Said otherwise.", "tags": {"t"}, "meta": {"k": 1}}, [{"a": 1}]),
    (plain, {"run_in_thread": False}, [{"a": 1}]),
    (Scaler(3).scale, {}, [{"x": 2}]),
]


def description(tool):
    return (tool.name, tool.description, tool.parameters, tool.output_schema, tool.tags, tool.meta,
            tool.run_in_thread)


def outcome(result_or_error):
    """What a caller can tell of a run: the result's parts, or the error's type and text."""
    if isinstance(result_or_error, BaseException):
        return type(result_or_error), str(result_or_error)
    r = result_or_error
    return type(r), r.content, r.structured_content, getattr(r, "meta", None)


async def run_all(tool, argument_sets):
    out = []
    async with Context(fastmcp=SERVER):
        for arguments in argument_sets:
            try:
                out.append(outcome(await tool.run(dict(arguments))))
            except Exception as e:
                out.append(outcome(e))
    return out


def both(fn, fastmcp_fn, kwargs):
    return FunctionTool.from_function(fastmcp_fn, **kwargs), Tool.from_function(fn, **kwargs)


@pytest.mark.parametrize("fn, kwargs, argument_sets", SHAPES, ids=[f"{s[0].__name__}-{i}" for i, s in enumerate(SHAPES)])
def test_same_description_results_and_errors(fn, kwargs, argument_sets):
    theirs, ours = both(fn, fn, kwargs)
    assert type(ours) is Tool
    assert description(ours) == description(theirs)
    assert asyncio.run(run_all(ours, argument_sets)) == asyncio.run(run_all(theirs, argument_sets))


@settings(max_examples=40, deadline=None)
@given(st.dictionaries(st.sampled_from(["a", "b", "c"]),
                       st.one_of(st.integers(), st.text(max_size=4), st.none(), st.booleans(),
                                 st.lists(st.integers(), max_size=2), st.floats(allow_nan=False)),
                       max_size=3))
def test_any_arguments_give_the_same_outcome(arguments):
    theirs, ours = both(plain, plain, {})
    assert asyncio.run(run_all(ours, [arguments])) == asyncio.run(run_all(theirs, [arguments]))


# ---- compiled twins ------------------------------------------------------------------------------


TWINS = [
    ("add", [{"a": 1}, {"a": "4", "b": 5}, {"a": "x"}, {}, {"a": 1, "c": 2}]),
    ("slow_add", [{"a": 1, "b": 2}, {"a": 1}]),
    ("greet", [{"name": "ann"}, {"name": "ann", "ctx": 1}]),
    ("describe", [{"x": 4}, {"x": [1]}]),
    ("manhattan", [{"p": {"x": 1, "y": -2}, "scale": 2}, {"p": {"x": 1}}]),
    ("countdown", [{"n": 3}]),
    ("squares", [{"n": 3}]),
    ("forget", [{"x": 1}]),
    ("louder", [{"word": "hey"}]),
    ("blob", [{"size": 4}]),
    ("loose", [{"a": 1}, {"a": 1, "b": "two"}]),
]


@pytest.mark.parametrize("name, argument_sets", TWINS, ids=[t[0] for t in TWINS])
def test_compiled_twins_behave_as_their_python_source(compiled, interpreted, name, argument_sets):
    theirs, ours = both(getattr(compiled, name), getattr(interpreted, name), {})
    assert ours.fn is getattr(compiled, name)
    assert description(ours) == description(theirs)
    assert asyncio.run(run_all(ours, argument_sets)) == asyncio.run(run_all(theirs, argument_sets))


def test_compiled_bound_method(compiled, interpreted):
    theirs, ours = both(compiled.Scaler().scale, interpreted.Scaler().scale, {})
    assert description(ours) == description(theirs)
    arguments = [{"x": 5}, {"x": "y"}]
    assert asyncio.run(run_all(ours, arguments)) == asyncio.run(run_all(theirs, arguments))


# ---- over MCP transports -------------------------------------------------------------------------

CALLS = [("plain", {"a": 1}), ("plain", {"a": "no"}), ("plain", {"a": 1, "extra": 1}), ("counting", {"n": 2}),
         ("blob", {"n": 2}), ("mixed", {}), ("aliased", {"v": 1}), ("greet", {"name": "ann"}),
         ("guarded", {"action": "go", "who": "admin"}), ("nothing", {"x": 1})]


def served(tool_class):
    server = FastMCP("served")
    for fn in (plain, counting, blob, mixed, aliased, greet, guarded, nothing):
        server.add_tool(tool_class.from_function(fn))
    return server


async def call_all(target):
    out = []
    async with Client(target) as client:
        listing = {t.name: (t.inputSchema, t.outputSchema) for t in await client.list_tools()}
        for name, arguments in CALLS:
            r = await client.call_tool(name, arguments, raise_on_error=False)
            out.append((r.is_error, [c.model_dump() for c in r.content], r.structured_content))
    return listing, out


def test_in_memory_transport():
    assert asyncio.run(call_all(served(Tool))) == asyncio.run(call_all(served(FunctionTool)))


SERVE = textwrap.dedent(
    """
    import sys
    sys.path[:0] = sys.argv[3:]
    import parleykit.cython as pc
    from fastmcp.tools import FunctionTool
    import test_tool_differential as t
    t.served(pc.CythonFunctionTool if sys.argv[1] == "ours" else FunctionTool).run(
        transport="http", host="127.0.0.1", port=int(sys.argv[2]), show_banner=False)
    """
)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def over_http(which):
    port = free_port()
    here = os.path.dirname(__file__)
    paths = [here, *[p for p in sys.path if p]]
    proc = subprocess.Popen([sys.executable, "-c", SERVE, which, str(port), *paths],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 60
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError(proc.stderr.read().decode() if proc.poll() is not None else "no server")
                time.sleep(0.2)
        return asyncio.run(call_all(f"http://127.0.0.1:{port}/mcp"))
    finally:
        proc.terminate()
        proc.wait(10)


def test_http_transport_from_a_server_process():
    assert over_http("ours") == over_http("theirs")
