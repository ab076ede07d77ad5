"""_convert_to_content: tool results as MCP content blocks."""

import inspect
import logging

import pydantic
import pytest
from fastmcp.tools.base import default_serializer
from fastmcp.utilities.types import Image
from mcp.types import ImageContent, TextContent

import parleykit.cython as pc

PNG = b"\x89PNG\r\n\x1a\n0000"


def text(t):
    return TextContent(type="text", text=t)


class Items(list):
    pass


TC = text("kept")
IMG = Image(data=PNG, format="png")


@pytest.mark.parametrize(
    "result, kwargs, expected",
    [
        (None, {}, []),
        ("hi", {}, [text("hi")]),
        (42, {}, [text("42")]),
        ({"a": 1}, {}, [text('{"a":1}')]),
        ([1, "a", TC], {}, [text('[1,"a"]'), TC]),  # plain values first, as one block
        ([TC, IMG, 2], {}, [text("[2]"), TC, IMG.to_image_content()]),
        ([TC, IMG], {}, [TC, IMG.to_image_content()]),
        ([], {}, []),
        ((1, 2), {}, [text("[1,2]")]),
        (Items([1, TC]), {}, [text("[1]"), TC]),
        ([1, TC], {"_process_as_single_item": True}, None),  # serialised whole: checked below
        ((1, 2), {"_process_as_single_item": 1}, [text("[1,2]")]),
        ([3], {"serializer": lambda v: f"<{v!r}>"}, [text("<[3]>")]),
        (7, {"serializer": lambda v: "seven"}, [text("seven")]),
    ],
)
def test_conversion(result, kwargs, expected):
    got = pc._convert_to_content(result, **kwargs)
    assert type(got) is list
    if expected is None:
        expected = [text(default_serializer([1, TC]))]
    assert got == expected


def test_content_items_are_the_same_objects():
    assert pc._convert_to_content(TC)[0] is TC
    assert pc._convert_to_content([1, TC])[1] is TC
    assert pc._convert_to_content(IMG) == [IMG.to_image_content()]
    assert isinstance(pc._convert_to_content(IMG)[0], ImageContent)


def test_a_string_never_reaches_the_serializer():
    seen = []
    assert pc._convert_to_content("s", serializer=seen.append) == [text("s")]
    assert seen == []


def reaches(logger, handler):
    """Whether records of `logger` reach `handler` through the logger hierarchy."""
    while logger:
        if handler in logger.handlers:
            return True
        if not logger.propagate:
            return False
        logger = logger.parent
    return False


@pytest.fixture
def warnings_of_logger(caplog):
    # fastmcp's loggers do not propagate to the root logger (unless fastmcp wired pytest's
    # handler in itself), so listen on the module's logger when needed.
    added = not reaches(pc.logger, caplog.handler)
    if added:
        pc.logger.addHandler(caplog.handler)
    caplog.set_level(logging.WARNING, logger=pc.logger.name)
    try:
        yield caplog
    finally:
        if added:
            pc.logger.removeHandler(caplog.handler)


def test_failing_serializer_is_logged_and_replaced(warnings_of_logger):
    boom = ValueError("boom")

    def serializer(value):
        raise boom

    assert pc._convert_to_content({"k": 1}, serializer=serializer) == [text('{"k":1}')]
    (record,) = warnings_of_logger.records
    assert record.levelno == logging.WARNING
    assert record.msg == "Error serializing tool result: %s" and record.args == (boom,)
    assert record.getMessage() == "Error serializing tool result: boom"
    assert record.exc_info[1] is boom  # the traceback of the serializer's failure is attached


def test_failure_of_the_fallback_propagates_with_context(monkeypatch, warnings_of_logger):
    first = ValueError("serializer")
    second = RuntimeError("fallback")

    def serializer(value):
        raise first

    def fallback(value):
        raise second

    monkeypatch.setattr(pc, "default_serializer", fallback)
    with pytest.raises(RuntimeError) as info:
        pc._convert_to_content(1, serializer=serializer)
    assert info.value is second and second.__context__ is first
    assert len(warnings_of_logger.records) == 1


def test_base_exceptions_from_the_serializer_propagate(warnings_of_logger):
    class Stop(BaseException):
        pass

    def serializer(value):
        raise Stop

    with pytest.raises(Stop):
        pc._convert_to_content(1, serializer=serializer)
    assert warnings_of_logger.records == []


def test_serializer_returning_non_string_fails_in_text_content():
    with pytest.raises(pydantic.ValidationError):
        pc._convert_to_content(1, serializer=lambda v: 5)


def test_module_names_are_read_at_each_call(monkeypatch):
    monkeypatch.setattr(pc, "default_serializer", lambda v: f"patched {v}")
    assert pc._convert_to_content(3) == [text("patched 3")]
    calls = []
    original = pc._convert_to_content

    def spy(*args, **kwargs):
        calls.append((args, kwargs))
        return original(*args, **kwargs)

    monkeypatch.setattr(pc, "_convert_to_content", spy)
    original([TC, 1])
    assert calls == [((TC,), {}), (([1],), {"serializer": None, "_process_as_single_item": True})]


def test_surface():
    fn = pc._convert_to_content
    assert fn.__doc__ == "Convert a result to a sequence of content objects."
    assert str(inspect.signature(fn)) == (
        "(result: 'Any', serializer: 'Callable[[Any], str] | None' = None, "
        "_process_as_single_item: 'bool' = False) -> 'list[ContentBlock]'"
    )
    with pytest.raises(TypeError):
        fn()
