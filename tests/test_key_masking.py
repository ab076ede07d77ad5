"""The configured API key stays out of everything the client prints or shows of itself: servers echo
it in error bodies, the printed reports carry the errors' texts, and the exceptions stay untouched."""

import builtins
import json
import sys

import pytest

import parleykit.modal as modal
from client_support import BUSY, isolated_config, reports  # noqa: F401  (fixtures)
from loopback import chunk, completion, sse, sse_events
from parleykit.config import Configurator
from parleykit.modal import LLModal

KEY = "sk-proj-Zq81LmXw0Test"
MASK = "[api key]"


@pytest.fixture
def key_in_env(isolated_config, monkeypatch):
    monkeypatch.setenv("PARLEYKIT_LLM_API_KEY", KEY)
    return KEY


def echo(key):
    return json.dumps({"error": {"message": f"Incorrect API key provided: {key}. Again: {key}", "code": "invalid_api_key"}})


def run(client, streamed):
    result = client.invoke("hi")
    return list(result) if streamed else result


@pytest.mark.parametrize(
    "streamed, reply, prefix",
    [
        # The driver's report of a refused request, whose text carries the body.
        (False, lambda: (echo(KEY).encode(), 401), "LLM request error: "),
        (True, lambda: (echo(KEY).encode(), 401), "LLM request error: "),
        # The readers' reports of server errors inside a 200 reply.
        (False, lambda: (echo(KEY).encode(), 200), "Error parsing LLM response: "),
        (True, lambda: (b"data: " + echo(KEY).encode() + b"\n\n", 200), "Error parsing LLM response: "),
        (True, lambda: (b"error: bad key " + KEY.encode() + b"\n", 200), "Error parsing LLM response: "),
    ],
    ids=["refused-plain", "refused-stream", "error-reply", "error-chunk", "error-field"],
)
def test_reports_and_exceptions_mask_the_key(loopback, key_in_env, reports, streamed, reply, prefix):
    body, status = reply()
    loopback.push(body, status=status)
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": streamed})
    with pytest.raises(ValueError) as caught:
        run(client, streamed)
    # Code that logs the exception must not leak the key either.
    assert KEY not in str(caught.value) and str(caught.value).count(MASK) == 2 - (b"error: bad" in body)
    assert reports == [(prefix + str(caught.value), caught.value)]
    assert loopback.requests[0].header("Authorization") == f"Bearer {KEY}"  # still sent


def test_nested_reports_of_a_follow_up_are_masked(loopback, key_in_env, reports):
    call = {"index": 0, "id": "c1", "type": "function", "function": {"name": "f", "arguments": "{}"}}
    loopback.push(sse([chunk({"tool_calls": [call]}), chunk({}, "tool_calls")]))
    loopback.push(echo(KEY).encode(), status=401)
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": True})
    with pytest.raises(ValueError) as caught:
        list(client.invoke("hi"))
    # Reported once, where it happened; the reading that posted the follow-up passes it on.
    assert [text for text, _ in reports] == ["LLM request error: " + str(caught.value)]
    assert KEY not in str(caught.value) and MASK in str(caught.value)


@pytest.mark.parametrize(
    "configure, masked",
    [
        (lambda key: Configurator.set("llm", "api_key", key), True),  # set in this process
        (lambda key: Configurator.set("llm", "api_key", 424242), "424242"),  # not a str: its text
        (lambda key: Configurator.set("other", "api_key", key), False),  # another section's key
        (lambda key: Configurator.set("llm", "api_key", ""), False),  # empty: nothing to mask
    ],
    ids=["set", "not-a-str", "other-section", "empty"],
)
def test_whose_key_is_masked(loopback, isolated_config, reports, configure, masked, request):
    # Every key this process has sent is masked, so the unmasked cases use a key never sent.
    secret = masked if isinstance(masked, str) else f"sk-{request.node.callspec.id}-never-sent"
    configure(secret)
    loopback.push(echo(secret).encode(), status=401)
    client = LLModal(endpoint_url=loopback.url)
    with pytest.raises(ValueError) as caught:
        client.invoke("hi")
    text = str(caught.value)
    assert (secret in text) is not masked
    assert reports[0][0] == "LLM request error: " + text


def test_unreadable_configuration_is_reported_as_it_is(loopback, monkeypatch, reports):
    class Broken:
        @staticmethod
        def has_option(section, option):
            raise RuntimeError("configuration unreadable")

    monkeypatch.setattr(modal, "Configurator", Broken)
    client = LLModal(endpoint_url=loopback.url)
    with pytest.raises(RuntimeError) as caught:
        client.invoke("hi")  # building the headers fails, and so does masking its report
    assert reports == [("LLM request error: configuration unreadable", caught.value)]
    assert client.messages[-1].contents == [BUSY]
    assert loopback.requests == []


def test_the_client_never_shows_the_key(loopback, key_in_env, capsys):
    client = LLModal(endpoint_url=loopback.url, extra_body={"stream": True}, system_prompt="be brief")
    loopback.push(sse_events([chunk({"content": "fine"}, "stop")])[0])
    assert [p.content for p in client.invoke("hi")] == ["fine"]
    loopback.push(completion(None), status=401)
    with pytest.raises(ValueError):
        client.invoke("again")
    assert loopback.requests[0].header("Authorization") == f"Bearer {KEY}"
    shown = [repr(client), str(client), json.dumps(client.model_dump(), default=str), client.model_dump_json(),
             capsys.readouterr().out]
    assert all(KEY not in text for text in shown)
    assert "be brief" in shown[3]  # the dump is a real one


def test_a_key_in_a_file_that_cannot_be_parsed_is_never_shown(loopback, isolated_config, reports):
    from parleykit.config import ConfigError

    isolated_config.write_text(f"api_key = {KEY}\n")  # no [llm] header: the key was never read
    client = LLModal(endpoint_url=loopback.url)
    with pytest.raises(ConfigError) as caught:
        client.invoke("hi")
    assert reports == [(f"LLM request error: configuration file {isolated_config}: line 1 comes before any [section] header", caught.value)]
    assert not loopback.requests
