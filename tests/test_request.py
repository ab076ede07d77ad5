"""What LLModal sends: headers with the configured API key, and the JSON body built from the history,
the extra body keys and the tool declarations, checked as a real loopback server received them."""

import pytest

import parleykit.modal as modal
from client_support import Probe, isolated_config  # noqa: F401  (fixture)
from loopback import completion
from parleykit.config import Configurator
from parleykit.message import MessageRole
from parleykit.tools import Tools

S, U, A = MessageRole.system, MessageRole.user, MessageRole.assistant
OWN_HEADERS = ("content-type", "authorization")


def turn(client, loopback, prompt):
    """One invoke answered with 200; returns the request as the server received it."""
    loopback.push(completion("unread"))
    assert client.invoke(prompt)[0] == "plain"
    return loopback.requests[-1]


def own_headers(request):
    return [(k, v) for k, v in request.headers if k.lower() in OWN_HEADERS]


def weather_tools():
    tools = Tools()

    @tools.register
    def get_weather(city: str) -> str:
        """Weather of a city."""
        return city

    return tools


def test_first_and_second_turn(loopback, isolated_config):
    client = Probe(endpoint_url=loopback.url, system_prompt="be brief", extra_body={"model": "m", "temperature": 0})
    first = turn(client, loopback, "hi")
    assert (first.method, first.path) == ("POST", "/v1/chat/completions")
    assert own_headers(first) == [("Content-Type", "application/json")]
    assert list(first.json) == ["messages", "model", "temperature"]
    assert first.json == {
        "messages": [{"role": "system", "content": "be brief"}, {"role": "user", "content": "hi"}],
        "model": "m",
        "temperature": 0,
    }

    client.add_message(A, "hello")
    second = turn(client, loopback, "more")
    assert [(m["role"], m["content"]) for m in second.json["messages"]] == [
        ("system", "be brief"), ("user", "hi"), ("assistant", "hello"), ("user", "more"),
    ]


def test_images_and_video_travel_with_the_user_text(loopback, isolated_config):
    client = Probe(endpoint_url=loopback.url)
    client.images, client.video = ["SU1H"], ["RjE=", "RjI="]
    sent = turn(client, loopback, "what is this?")
    assert sent.json["messages"] == [
        {
            "role": "user",
            "content": [
                {"type": "image_url", "image_url": {"url": "data:image/jpeg;base64,SU1H"}},
                {"type": "image_url", "image_url": {"url": "data:image/jpeg;base64,RjE="}},
                {"type": "image_url", "image_url": {"url": "data:image/jpeg;base64,RjI="}},
                {"type": "text", "text": "what is this?"},
            ],
        }
    ]
    assert client.images == [] and client.video == []
    assert turn(client, loopback, "and now?").json["messages"][-1] == {"role": "user", "content": "and now?"}


def test_retry_sends_the_new_alternative_without_the_old_answer(loopback, isolated_config):
    client = Probe(endpoint_url=loopback.url, system_prompt="s")
    turn(client, loopback, "Q")
    client.add_message(A, "bad answer")
    client.retry = True
    sent = turn(client, loopback, "Q, better phrased")
    assert sent.json["messages"] == [{"role": "system", "content": "s"}, {"role": "user", "content": "Q, better phrased"}]
    assert [m.contents for m in client.messages] == [["s"], ["Q", "Q, better phrased"], ["bad answer"]]


EXTRA = {
    "client's switch replaces the caller's, in the caller's place": (
        {"parallel_tool_calls": False, "model": "m"},
        ["messages", "parallel_tool_calls", "model", "tools"],
        {"parallel_tool_calls": True, "model": "m"},
    ),
    "registry schemas replace caller tools": (
        {"tools": ["mine"], "model": "m"},
        ["messages", "tools", "model", "parallel_tool_calls"],
        {"parallel_tool_calls": True},
    ),
    "caller messages replace the history and stay first": (
        {"model": "m", "messages": [{"role": "user", "content": "replaced"}]},
        ["messages", "model", "tools", "parallel_tool_calls"],
        {"messages": [{"role": "user", "content": "replaced"}]},
    ),
}


@pytest.mark.parametrize("extra, keys, values", EXTRA.values(), ids=EXTRA.keys())
def test_extra_body_and_tool_declarations(loopback, isolated_config, extra, keys, values):
    client = Probe(endpoint_url=loopback.url, extra_body=extra, tools=weather_tools())
    given = {k: (list(v) if isinstance(v, list) else v) for k, v in extra.items()}
    sent = turn(client, loopback, "hi")
    assert list(sent.json) == keys
    assert sent.json["tools"] == client.tools.schemas
    assert sent.json["tools"][0]["function"]["name"] == "get_weather"
    for key, value in values.items():
        assert sent.json[key] == value
    assert client.extra_body == given


def test_empty_registry_adds_nothing(loopback, isolated_config):
    client = Probe(endpoint_url=loopback.url, extra_body={"tools": "kept", "model": "m"})
    sent = turn(client, loopback, "hi")
    assert sent.json == {"messages": [{"role": "user", "content": "hi"}], "tools": "kept", "model": "m"}


KEYS = {
    "file": ("[llm]\napi_key = sk-file%x\n", {}, None, "llm", "Bearer sk-file%x"),
    "environment over file": ("[llm]\napi_key = sk-file\n", {"PARLEYKIT_LLM_API_KEY": "sk-env"}, None, "llm", "Bearer sk-env"),
    "number set in process": ("", {}, 123, "llm", "Bearer 123"),
    "own section": ("[llm]\napi_key = no\n[other-svc]\napi_key = yes\n", {}, None, "other-svc", "Bearer yes"),
    "no key": ("[llm]\nmodel = m\n", {}, None, "llm", None),
    "key of another section only": ("[other]\napi_key = no\n", {}, None, "llm", None),
}


@pytest.mark.parametrize("ini, env, stored, section, auth", KEYS.values(), ids=KEYS.keys())
def test_api_key_from_the_configuration(loopback, isolated_config, monkeypatch, ini, env, stored, section, auth):
    isolated_config.write_text(ini)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    if stored is not None:
        Configurator.set(section, "api_key", stored)
    client = Probe(endpoint_url=loopback.url, section=section)
    expected = [("Content-Type", "application/json")] + ([("Authorization", auth)] if auth else [])
    assert own_headers(turn(client, loopback, "hi")) == expected
    assert list(client._headers.items()) == expected


class Recording:
    """Stands in for the configuration in the module namespace and records what it is asked."""

    def __init__(self, has, value=None):
        self.has, self.value, self.asked = has, value, []

    def has_option(self, section, option):
        self.asked.append(("has_option", section, option))
        return self.has

    def get(self, section, option):
        self.asked.append(("get", section, option))
        return self.value


@pytest.mark.parametrize(
    "has, value, headers, asked",
    [
        ([], None, {"Content-Type": "application/json"}, ["has_option"]),
        ([1], None, {"Content-Type": "application/json", "Authorization": "Bearer None"}, ["has_option", "get"]),
    ],
)
def test_configuration_is_looked_up_when_headers_are_built(monkeypatch, has, value, headers, asked):
    client = Probe(section="sec")
    recording = Recording(has, value)
    monkeypatch.setattr(modal, "Configurator", recording)
    assert client._headers == headers
    assert recording.asked == [(name, "sec", "api_key") for name in asked]


def test_request_pieces_are_new_each_time():
    nested = {"deep": [1]}
    client = Probe(extra_body={"model": "m", "opts": nested})
    first, second = client._body, client._body
    assert first == second and first is not second
    first["model"] = "changed"
    first.pop("opts")
    extra = client._extra_body
    extra["new"] = 1
    assert client.extra_body == {"model": "m", "opts": nested}
    assert client._extra_body["opts"] is nested  # a shallow copy
    assert client._headers is not client._headers


def test_extra_body_that_is_not_a_dict():
    client = Probe()
    client.extra_body = [("model", "m")]
    assert client._body == {"messages": [], "model": "m"}
    client.extra_body = None
    with pytest.raises(TypeError, match=r"^argument after \*\* must be a mapping, not NoneType$"):
        client._body


class ListExtra(Probe):
    @property
    def _extra_body(self):
        return ["not", "a", "mapping"]


def test_body_refuses_extra_that_is_not_a_mapping():
    with pytest.raises(TypeError, match=r"^'list' object is not a mapping$"):
        ListExtra()._body
