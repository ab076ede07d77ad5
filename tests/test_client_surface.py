"""The client surface of parleykit.modal: LLMStatus, LLMResult and its `+`, LLModal's defaults,
_reset and stream."""

import pytest

import parleykit.modal as modal
from parleykit.modal import LLMResult, LLMStatus, LLModal, ToolContent
from parleykit.tools import Tools


def test_status_members():
    assert [m.name for m in LLMStatus] == ["idle", "answer", "reason", "tool_calls", "tool_results"]
    assert all(m.value == m.name for m in LLMStatus)
    assert str(LLMStatus.tool_calls) == "tool_calls" and LLMStatus.tool_calls == "tool_calls"
    assert f"{LLMStatus.answer}" == "answer" and LLMStatus("reason") is LLMStatus.reason
    assert LLMStatus.__module__ == "parleykit.modal"


def test_llmodal_defaults_including_private_state():
    llm = LLModal()
    assert (llm.section, llm.endpoint_url, llm.system_prompt) == ("llm", "", "")
    assert (llm.images, llm.video, llm.messages, llm.extra_body, llm.tool_calls) == ([], [], [], {}, [])
    assert type(llm.tools) is Tools
    assert llm.retry is False and llm.tool_calls_limit == 3
    assert llm._tool_calls_count == 0 and llm._close is False
    assert llm._default == "The server is busy. Please try again later."
    assert list(LLModal.model_fields) == ["section", "endpoint_url", "system_prompt", "images", "video", "tools",
                                          "messages", "extra_body", "retry", "tool_calls", "tool_calls_limit"]
    # _usage and _finish_reason hold what the properties usage and finish_reason report;
    # _tool_call_reasoning the reasoning sent back with a cycle's tool-call requests.
    assert set(LLModal.__private_attributes__) == {"_tool_calls_count", "_close", "_default", "_usage",
                                                   "_finish_reason", "_tool_call_reasoning"}
    assert (llm.usage, llm.finish_reason) == (None, None)


@pytest.mark.parametrize(
    "keywords, said",
    [
        ({"model": "gpt-x"}, ["an unexpected keyword argument 'model'", 'extra_body={"model": ...}']),
        ({"api_key": "k", "timeout": 30},
         ["unexpected keyword arguments 'api_key', 'timeout'",
          "the API key is the option api_key of the configuration section 'llm' (or the environment variable "
          "PARLEYKIT_LLM_API_KEY)", "the request timeout is the option timeout of the configuration section 'llm'"]),
        ({"section": "work", "api_key": "k"}, ["section 'work' (or the environment variable PARLEYKIT_WORK_API_KEY)"]),
        ({"endpoint": "u", "system": "s"}, ["'endpoint', 'system'. Its fields are section, endpoint_url,"]),
        ({"_close": True}, ["'_close'"]),
    ],
)
def test_keywords_that_name_no_field_are_refused(keywords, said):
    with pytest.raises(TypeError) as caught:
        LLModal(**keywords)
    assert all(text in str(caught.value) for text in said), str(caught.value)
    # Validation from a mapping refuses them too, the pydantic way.
    with pytest.raises(ValueError, match="Extra inputs are not permitted"):
        LLModal.model_validate(keywords)


def test_subclasses_keep_their_own_fields_aliases_and_extra_policy():
    from pydantic import ConfigDict, Field

    class Named(LLModal):
        label: str = Field("", alias="name")

    class Open(LLModal):
        model_config = ConfigDict(extra="allow")

    assert Named(name="n", endpoint_url="u").label == "n"
    with pytest.raises(TypeError, match="'nmae'"):
        Named(nmae="n")
    assert Open(model="m").model_extra == {"model": "m"}


def test_instances_share_no_mutable_defaults():
    a, b = LLModal(), LLModal()
    for field in ("images", "video", "messages", "extra_body", "tool_calls", "tools"):
        assert getattr(a, field) is not getattr(b, field), field


@pytest.mark.parametrize("extra, expected", [({}, False), ({"stream": True}, True), ({"stream": 1}, 1),
                                             ({"stream": 0}, 0), ({"stream": "yes"}, "yes"),
                                             ({"other": 1}, False)])
def test_stream_is_the_stored_value_unconverted(extra, expected):
    value = LLModal(extra_body=extra).stream
    assert value == expected and type(value) is type(expected)


def test_stream_is_read_on_every_access_and_read_only():
    llm = LLModal()
    llm.extra_body["stream"] = 1
    assert llm.stream == 1
    llm.extra_body = object()  # no validation on assignment; the property reports what `get` raises
    with pytest.raises(AttributeError):
        llm.stream
    with pytest.raises(AttributeError):
        LLModal().stream = True


def test_reset_gives_a_new_list_and_zero_count():
    llm = LLModal()
    held = llm.tool_calls
    held.append({"id": "1"})
    llm._tool_calls_count = 2
    assert llm._reset() is None
    assert llm.tool_calls == [] and llm.tool_calls is not held
    assert held == [{"id": "1"}]
    assert llm._tool_calls_count == 0


def tc(name, content="c"):
    return ToolContent(name=name, content=content)


def test_sum_of_empty_results():
    a, b = LLMResult(), LLMResult()
    s = a + b
    assert type(s) is LLMResult and s is not a and s is not b
    assert (s.tool_calls, s.tool_results, s.reasoning_content, s.content, s.status) == ({}, {}, "", "", "idle")
    assert s.status is LLMStatus.idle


def test_sum_semantics():
    shared = tc("right")
    a = LLMResult(content="x", reasoning_content="r1", status=LLMStatus.answer,
                  tool_calls={"1": tc("left"), "2": tc("keep")}, tool_results={"9": tc("res")})
    b = LLMResult(content="y", reasoning_content="r2", tool_calls={"1": shared}, tool_results={"8": tc("res2")})
    before = (a.model_dump(), b.model_dump())
    s = a + b
    assert (s.content, s.reasoning_content) == ("xy", "r1r2")
    assert s.status is LLMStatus.idle  # the right operand's status wins
    assert s.tool_calls["1"] is shared  # inserted as it is, not copied
    assert s.tool_calls["2"] == a.tool_calls["2"] and s.tool_calls["2"] is not a.tool_calls["2"]
    assert list(s.tool_calls) == ["1", "2"] and list(s.tool_results) == ["9", "8"]
    assert (a.model_dump(), b.model_dump()) == before
    assert s.tool_calls is not a.tool_calls and s.tool_results is not b.tool_results
    assert (b + a).status is LLMStatus.answer


def test_sum_of_subclass_is_a_plain_result_and_module_lookup_is_live(monkeypatch):
    class Piece(LLMResult):
        pass

    assert type(Piece(content="a") + LLMResult()) is LLMResult

    class Other(LLMResult):
        pass

    monkeypatch.setattr(modal, "LLMResult", Other)
    assert type(LLMResult() + LLMResult()) is Other


def test_sum_failures():
    class NoDump(LLMResult):
        def model_dump(self, *args, **kwargs):
            return None

    with pytest.raises(TypeError, match=r"argument after \*\* must be a mapping, not NoneType"):
        NoDump() + LLMResult()

    class Partial:
        tool_calls = {}

    with pytest.raises(AttributeError, match="tool_results"):
        LLMResult() + Partial()
