import asyncio
import functools
import json
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

    assert asyncio.run(main())[0].contents == ["2"]


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
