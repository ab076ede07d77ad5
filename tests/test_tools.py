import asyncio
import enum
import functools
import json
import warnings
from typing import Annotated

import pytest
from pydantic import BaseModel, Field, ValidationError

from parleykit.message import MessageRole
from parleykit.tools import Tools


class Forecast(BaseModel):
    city: str
    celsius: float


class Opaque:
    def __str__(self):
        return "opaque thing"


@pytest.fixture
def tools():
    tools = Tools()

    @tools.register
    def get_weather(city: Annotated[str, Field(description="A city name")], days: int = 1) -> Forecast:
        """Forecast for a city.

        Days ahead are counted from today."""
        if city == "Atlantis":
            raise LookupError("no such city")
        return Forecast(city=city, celsius=20.5 + days)

    @tools.register(name="shout", description="Upper-cases a text.")
    def upper(text: str) -> str:
        return text.upper()

    async def slow_sum(a: int, b: int) -> int:
        await asyncio.sleep(0)
        if a < 0:
            raise ValueError("negative")
        return a + b

    tools.add(slow_sum)
    tools.add(lambda: Opaque(), name="odd_result")
    return tools


def call(name, arguments, call_id="c1"):
    return {"id": call_id, "type": "function", "function": {"name": name, "arguments": arguments}}


def test_schemas_in_chat_completions_form(tools):
    schemas = {s["function"]["name"]: s for s in tools.schemas}
    assert list(schemas) == ["get_weather", "shout", "slow_sum", "odd_result"]
    weather = schemas["get_weather"]
    assert weather["type"] == "function"
    assert weather["function"]["description"] == "Forecast for a city.\n\nDays ahead are counted from today."
    parameters = weather["function"]["parameters"]
    assert parameters["type"] == "object"
    assert parameters["required"] == ["city"]
    assert parameters["properties"]["city"]["description"] == "A city name"
    assert parameters["properties"]["days"]["default"] == 1
    assert schemas["shout"]["function"]["description"] == "Upper-cases a text."
    json.dumps(tools.schemas)


def test_size_truth_and_membership(tools):
    assert not Tools() and len(Tools()) == 0
    assert tools and len(tools) == 4
    assert "shout" in tools and "upper" not in tools


@pytest.mark.parametrize("name", ["", "has space", "x" * 65, "dotted.name"])
def test_names_services_refuse_are_refused_at_registration(name):
    with pytest.raises(ValueError, match="tool name"):
        Tools().add(lambda: None, name=name)


@pytest.mark.parametrize(
    ("tool_call", "text"),
    [
        (call("get_weather", '{"city": "Oslo"}'), '{"city": "Oslo", "celsius": 21.5}'),
        (call("get_weather", '{"city": "Oslo", "days": "2"}'), '{"city": "Oslo", "celsius": 22.5}'),
        (call("shout", '{"text": "hi"}') | {"index": 3}, "HI"),
        (call("slow_sum", '{"a": 2, "b": 3}'), "5"),
        # A result that JSON cannot hold is sent as its text.
        (call("odd_result", ""), "opaque thing"),
        (call("nowhere", "{}"), "Error: unknown tool 'nowhere'"),
        (call("shout", '{"text": '), "Error: arguments of tool 'shout' are not valid JSON"),
        (call("shout", '["hi"]'), "Error: arguments of tool 'shout' must be a JSON object, got list"),
        (call("shout", ""), "Error: invalid arguments for tool 'shout': text: Missing required argument"),
        (call("shout", '{"text": 1, "loud": true}'), "Error: invalid arguments for tool 'shout': text: Input should be a valid string; loud: Unexpected keyword argument"),
        (call("get_weather", '{"city": "Atlantis"}'), "Error: tool 'get_weather' raised LookupError: no such city"),
        (call("slow_sum", '{"a": -1, "b": 0}'), "Error: tool 'slow_sum' raised ValueError: negative"),
        ({"id": "c1"}, "Error: malformed tool call"),
    ],
)
def test_each_call_is_answered_by_a_tool_message(tools, tool_call, text):
    [message] = tools([tool_call])
    assert message.role == MessageRole.tool
    assert message.tool_call_id == "c1"
    assert message.contents[-1].startswith(text)


def test_calls_are_answered_in_order_and_a_failure_does_not_stop_the_rest(tools):
    answers = tools([call("shout", "{}", "a"), call("shout", '{"text": "b"}', "b"), call("x", "", "c")])
    assert type(answers) is list
    assert [m.tool_call_id for m in answers] == ["a", "b", "c"]
    assert answers[1].contents == ["B"]


def test_async_tool_runs_inside_a_running_event_loop(tools):
    async def main():
        return tools([call("slow_sum", '{"a": 1, "b": 1}')])

    # It runs, but the caller's loop stands still meanwhile, and that is said.
    with pytest.warns(RuntimeWarning, match="acall"):
        assert asyncio.run(main())[0].contents == ["2"]

    async def awaited():
        return await tools.acall([call("slow_sum", '{"a": 2, "b": 2}')])

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert asyncio.run(awaited())[0].contents == ["4"]


def test_registry_is_a_pydantic_field_of_a_strict_model(tools):
    class Client(BaseModel):
        tools: Tools = Field(default_factory=Tools)

    assert Client(tools=tools).tools is tools
    assert Client().tools is not Client().tools
    assert Client(tools=tools).model_dump()["tools"] == tools.schemas
    assert Client.model_json_schema()["properties"]["tools"]["type"] == "array"
    with pytest.raises(ValidationError):
        Client(tools=tools.schemas)


class Scaler:
    """Scales a number."""

    def __init__(self, factor):
        self.factor = factor

    def __call__(self, x: "int") -> int:
        return x * self.factor

    def halve(self, x: float) -> float:
        """Halves a number."""
        return x / 2


def repeat(text: str, times: int) -> str:
    """Repeats a text."""
    return text * times


@pytest.mark.parametrize(
    ("fn", "given_name", "name", "description", "arguments", "text"),
    [
        # A callable object has no name of its own; its class docstring describes it.
        (Scaler(3), "scaler", "scaler", "Scales a number.", '{"x": "2"}', "6"),
        (Scaler(3).halve, None, "halve", "Halves a number.", '{"x": 3}', "1.5"),
        (functools.partial(repeat, times=2), None, "repeat", "Repeats a text.", '{"text": "ab"}', "abab"),
    ],
)
def test_any_kind_of_callable_is_a_tool(fn, given_name, name, description, arguments, text):
    tools = Tools()
    tools.add(fn, name=given_name)
    [schema] = tools.schemas
    assert schema["function"]["name"] == name and schema["function"]["description"] == description
    assert schema["function"]["parameters"]["required"] == list(json.loads(arguments))
    assert tools([call(name, arguments)])[0].contents == [text]


def base(user: str, a: int, b: int = 0) -> str:
    return f"{user}:{a + b}"


def positional(a: int, /, b: int) -> int:
    return a - b


def positional_defaults(a: int = 1, /, b: int = 2) -> int:
    return a * 10 + b


def extra(a: int, **more: int) -> dict:
    return {"a": a, **more}


# The tool, the properties offered to the model, then (arguments, result text) pairs.
SIGNATURES = [
    (positional, ["a", "b"], [('{"a": 5, "b": 2}', "3"), ('{"b": 2}', "Error: invalid arguments for tool 'positional': a: Missing")]),
    (positional_defaults, ["a", "b"], [('{"b": 5}', "15"), ('{"a": 3}', "32")]),
    # Arguments bound by a partial are neither offered nor taken from the model.
    (functools.partial(base, b=1), ["user", "a"], [('{"user": "u", "a": 10}', "u:11"), ('{"user": "u", "a": 10, "b": 100}', "Error: invalid arguments for tool 'base': b: Unexpected")]),
    (functools.partial(base, "alice"), ["a", "b"], [('{"a": 1}', "alice:1"), ('{"user": "mallory", "a": 1}', "Error: invalid arguments for tool 'base': user: Unexpected")]),
    (functools.partial(positional, 7), ["b"], [('{"b": 2}', "5")]),
    (functools.partial(extra, z=1), ["a"], [('{"a": 1, "y": 2}', '{"a": 1, "z": 1, "y": 2}'), ('{"a": 1, "z": 5}', "Error: invalid arguments for tool 'extra': z: Unexpected")]),
    (len, ["obj"], [('{"obj": [1, 2, 3]}', "3")]),
    (extra, ["a"], [('{"a": 1, "z": 2}', '{"a": 1, "z": 2}'), ('{"a": 1, "z": "x"}', "Error: invalid arguments for tool 'extra': z: Input should be a valid integer")]),
]


@pytest.mark.parametrize(("fn", "offered", "runs"), SIGNATURES)
def test_every_signature_registers_to_a_callable_tool(fn, offered, runs):
    tools = Tools()
    tools.add(fn)
    [schema] = tools.schemas
    assert list(schema["function"]["parameters"]["properties"]) == offered
    for arguments, text in runs:
        assert tools([call(schema["function"]["name"], arguments)])[0].contents[-1].startswith(text)


LOCAL_TOOLS = """
def register(tools):
    class Point(BaseModel):
        x: int
        y: int

    @tools.register
    def norm(p: Point) -> int:
        return abs(p.x) + abs(p.y)

def register_unknown(tools):
    @tools.register
    def lost(p: Nowhere) -> int:
        return 0
"""


def test_local_classes_resolve_under_postponed_annotations():
    import __future__

    namespace = {"BaseModel": BaseModel}
    exec(compile(LOCAL_TOOLS, "local_tools", "exec", flags=__future__.annotations.compiler_flag, dont_inherit=True), namespace)
    tools = Tools()
    namespace["register"](tools)
    assert tools([call("norm", '{"p": {"x": -2, "y": 3}}')])[0].contents == ["5"]
    with pytest.raises(TypeError, match="'Nowhere' of parameter 'p' cannot be resolved"):
        namespace["register_unknown"](tools)


@pytest.mark.parametrize(
    ("fn", "name", "error"),
    [
        (lambda *values: sum(values), "total", r"tool 'total': parameter \*values"),
        (print, None, r"tool 'print': parameter \*args"),
        (lambda: None, None, r"tool name '<lambda>' .* name=\.\.\."),
        (base, "", r"tool name '' must be"),
    ],
)
def test_signatures_a_model_cannot_fill_are_refused_at_registration(fn, name, error):
    with pytest.raises((TypeError, ValueError), match=error):
        Tools().add(fn, name=name)


def test_a_type_pydantic_cannot_describe_is_refused_naming_the_parameter():
    import threading

    def guarded(when: int, lock: threading.Lock) -> None: ...

    with pytest.raises(TypeError, match="tool 'guarded': parameter 'lock' has a type pydantic cannot describe"):
        Tools().add(guarded)


class Colour(enum.Enum):
    red = "red"
    blue = "blue"


class Book(BaseModel):
    """A book."""

    title: str  # a property called "title" is a property, not noise
    colour: Colour = Colour.red


class Tree(BaseModel):
    value: int
    children: list["Tree"] = []


def google(city: str, days: int = 1) -> str:
    """Forecast for a city.

    Days count from today.

    Args:
        city: The city name.
        days: Days ahead.

    Returns:
        The forecast.
    """


def numpy_style(book: Book, colour: Colour) -> str:
    """Paint a book.

    Parameters
    ----------
    book : Book
        Which book.
    colour : Colour
        Which colour.
    """


def sphinx(tree: Tree, limit: Annotated[int, Field(description="At most this many", ge=1)] = 5) -> int:
    """Count nodes.

    :param tree: The tree.
    :param limit: Overridden by the field's own description.
    """


@pytest.mark.parametrize(
    ("fn", "description", "properties", "kept"),
    [
        (google, "Forecast for a city.\n\nDays count from today.", {"city": {"type": "string", "description": "The city name."}, "days": {"default": 1, "type": "integer", "description": "Days ahead."}}, {}),
        (
            numpy_style,
            "Paint a book.",
            {
                # The parameter's text wins over the model's docstring; the enum is inlined.
                "book": {"description": "Which book.", "type": "object", "required": ["title"], "properties": {"title": {"type": "string"}, "colour": {"enum": ["red", "blue"], "type": "string", "default": "red"}}},
                "colour": {"enum": ["red", "blue"], "type": "string", "description": "Which colour."},
            },
            {},
        ),
        (
            sphinx,
            "Count nodes.",
            # A recursive type stays a reference to its one definition.
            {"tree": {"$ref": "#/$defs/Tree", "description": "The tree."}, "limit": {"default": 5, "description": "At most this many", "minimum": 1, "type": "integer"}},
            {"Tree": {"type": "object", "required": ["value"], "properties": {"value": {"type": "integer"}, "children": {"default": [], "type": "array", "items": {"$ref": "#/$defs/Tree"}}}}},
        ),
    ],
)
def test_schemas_carry_the_docstring_per_parameter_without_titles_or_needless_refs(fn, description, properties, kept):
    tools = Tools()
    tools.add(fn)
    [schema] = tools.schemas
    assert schema["function"]["description"] == description
    parameters = schema["function"]["parameters"]
    assert parameters["properties"] == properties
    assert parameters.get("$defs", {}) == kept


def test_async_tools_share_one_event_loop_for_the_process_s_life(loopback):
    import gc
    import threading

    import httpx

    for _ in range(4):
        loopback.push(b'"pong"')
    tools = Tools()
    client = None

    @tools.register
    async def ping() -> str:
        nonlocal client
        client = client or httpx.AsyncClient()  # bound to the loop it was first used on
        return (await client.get(loopback.url)).json()

    @tools.register
    async def hang_up() -> None:
        await client.aclose()

    answers = [tools([call("ping", "")])[0].contents for _ in range(3)]
    assert answers == [["pong"]] * 3
    # A second registry, and one made after the first is gone, run on the same loop thread.
    other = Tools()
    other.add(ping)
    assert other([call("ping", "")])[0].contents == ["pong"]
    assert tools([call("hang_up", "")])[0].contents == ["null"]
    [thread] = [t for t in threading.enumerate() if t.name == "parleykit-tools"]
    del tools, other, hang_up
    gc.collect()
    later = Tools()

    @later.register
    async def where() -> str:
        return threading.current_thread().name + str(threading.get_ident() == thread.ident)

    assert later([call("where", "")])[0].contents == ["parleykit-toolsTrue"]
    assert [t for t in threading.enumerate() if t.name == "parleykit-tools"] == [thread]


class Raising:
    pass


def fails_validation() -> None:
    Forecast(city="x", celsius="warm")


@pytest.mark.parametrize(
    ("result", "call_id", "text", "answered_id"),
    [
        (b"\x00\xff", "a", '{"note": "2 bytes of binary data, base64-encoded", "base64": "AP8="}', "a"),
        (float("nan"), 7, '"NaN"', "7"),
        ({"low": float("-inf"), "high": [float("inf"), 1.5], "raw": b"\x01"}, None, '{"low": "-Infinity", "high": ["Infinity", 1.5], "raw": "AQ=="}', ""),
        (RuntimeError(), "a", "Error: tool 'result' raised RuntimeError", "a"),
        (RuntimeError("out of paper  \n"), "a", "Error: tool 'result' raised RuntimeError: out of paper", "a"),
        (fails_validation, "a", "Error: tool 'result' raised ValidationError: celsius: Input should be a valid number, unable to parse string as a number", "a"),
    ],
)
def test_results_are_valid_json_or_plain_text(result, call_id, text, answered_id):
    def produce():
        if isinstance(result, Exception):
            raise result
        return result() if callable(result) else result

    tools = Tools()
    tools.add(produce, name="result")
    [message] = tools([{"id": call_id, "function": {"name": "result", "arguments": ""}}])
    assert message.contents == [text]
    assert message.tool_call_id == answered_id
