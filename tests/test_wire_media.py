"""Images and video on the wire, judged by each server family's own rule for content parts (a
loopback server that refuses anything else with 400, as they do); the history keeps its parts as
stored; the frame-list option."""

import base64
import binascii
import json
import re

import pytest
import requests

from client_support import isolated_config  # noqa: F401  (fixture)
from loopback import Loopback, Reply, completion
from parleykit.config import Configurator
from parleykit.message import Message, MessageRole
from parleykit.modal import LLModal

PNG, JPEG, GIF = b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR", b"\xff\xd8\xff\xe0\x00\x10JFIF", b"GIF89a\x01\x00;"
WEBP, BMP = b"RIFF\x1a\x00\x00\x00WEBPVP8L", b"BM:\x00\x00\x00\x00\x00"
MIME = {PNG: "image/png", JPEG: "image/jpeg", GIF: "image/gif", WEBP: "image/webp", BMP: "image/jpeg"}
DATA_URL = re.compile(r"data:(?P<mime>image/[a-z]+);base64,(?P<data>.*)", re.S)


def b64(data):
    return base64.b64encode(data).decode()


def family(mimes, video_list=False):
    """A family's rule: image parts are objects with a data URL of one of `mimes` (valid base64) or
    an http(s) address; a frame-list video part only where `video_list`; other parts but text refused."""

    def url_problem(url):
        match = DATA_URL.fullmatch(url) if isinstance(url, str) else None
        if isinstance(url, str) and url.startswith(("http://", "https://")):
            return None
        if not match or match["mime"] not in mimes:
            return f"invalid image URL {str(url)[:30]!r}"
        try:
            base64.b64decode(match["data"], validate=True)
        except binascii.Error:
            return "invalid base64 data"

    def problem(body):
        for part in [p for m in body["messages"] if isinstance(m["content"], list) for p in m["content"]]:
            if part["type"] == "image_url":
                inner = part["image_url"]
                if err := url_problem(inner.get("url")) if isinstance(inner, dict) else "expected an object":
                    return err
            elif part["type"] == "video" and video_list:
                if err := next(filter(None, map(url_problem, part["video"])), None):
                    return err
            elif part["type"] != "text":
                return f"Invalid value: {part['type']!r}"

    return problem


ALL = set(MIME.values())
FAMILIES = {
    "openai": family(ALL), "vllm": family(ALL), "llama.cpp": family(ALL), "sglang": family(ALL), "tgi": family(ALL),
    "ollama": family({"image/png", "image/jpeg", "image/webp"}), "dashscope": family(ALL, video_list=True),
}


class Validating(Loopback):
    def __init__(self, rule):
        super().__init__()
        self.rule = rule

    def _take(self, request):
        if (err := self.rule(request.json)) is None:
            return super()._take(request)
        with self._arrived:
            self._requests.append(request)
        return Reply(400, json.dumps({"error": {"message": err, "type": "invalid_request_error"}}).encode())


@pytest.fixture(params=FAMILIES)
def server(request):
    served = Validating(FAMILIES[request.param])
    served.family = request.param
    yield served
    served.close()


def stored(data):
    return {"type": "image_url", "image_url": "data:image;base64," + b64(data)}


def test_each_family_accepts_the_request_and_refuses_the_stored_form(server, isolated_config):
    for part in (stored(PNG), {"type": "image_url", "image_url": {"url": "data:image;base64," + b64(PNG)}}):
        sent = requests.post(server.url, json={"messages": [{"role": "user", "content": [part]}]}, timeout=10)
        assert sent.status_code == 400, part
    images = [PNG, JPEG, WEBP] + ([] if server.family == "ollama" else [GIF])
    client = LLModal(endpoint_url=server.url, images=[b64(i) for i in images], video=[b64(JPEG), b64(PNG)])
    server.push(completion("Seen."))
    assert client.invoke("What?").content == "Seen."
    # Images, then one image per frame in order, then the text.
    content = server.requests[-1].json["messages"][-1]["content"]
    assert [p["image_url"]["url"] for p in content[:-1]] == [f"data:{MIME[d]};base64,{b64(d)}" for d in images + [JPEG, PNG]]
    assert content[-1] == {"type": "text", "text": "What?"}
    expected = [stored(i) for i in images] + [{"type": "video", "video": ["data:image;base64," + b64(f) for f in (JPEG, PNG)]}]
    expected += [{"type": "text", "text": "What?"}]
    assert client.messages[0].contents == [expected] and client.messages[0].latest["content"] == expected


@pytest.mark.parametrize("value, as_list", [("true", True), (" Yes ", True), ("on", True), (True, True),
                                            ("0", False), ("off", False), ("maybe", None)])
def test_frame_list_option(loopback, isolated_config, capsys, value, as_list):
    Configurator.set("llm", "video_frame_list", value)
    client = LLModal(endpoint_url=loopback.url, video=[b64(JPEG), b64(GIF)])
    urls = [f"data:image/jpeg;base64,{b64(JPEG)}", f"data:image/gif;base64,{b64(GIF)}"]
    if as_list is None:
        with pytest.raises(ValueError, match="video_frame_list of section 'llm' must be true or false, not 'maybe'"):
            client.invoke("clip")
        assert loopback.requests == [] and capsys.readouterr().out.startswith("LLM request error: the video")
        return
    parts = [{"type": "video", "video": urls}] if as_list else [{"type": "image_url", "image_url": {"url": u}} for u in urls]
    client.add_message(MessageRole.user, "clip")
    assert client.messages_latest[0]["content"] == parts + [{"type": "text", "text": "clip"}]


IMAGE = "data:image/jpeg;base64,"
CALLER_BUILT = [{"type": "image_url", "image_url": {"url": "https://x/y.png"}}, {"type": "video", "video": ["x", 3]},
                {"type": "input_audio"}]


@pytest.mark.parametrize(
    "parts, sent",
    [([stored(BMP)], [IMAGE + b64(BMP)]), ([stored(b"RIFF\0\0\0\0WAVE")], [IMAGE + "UklGRgAAAABXQVZF"]),
     ([stored(b"")], [IMAGE]), ([{"type": "image_url", "image_url": "data:image;base64,\n" + b64(PNG)}],
                                ["data:image/png;base64,\n" + b64(PNG)]),
     ([{"type": "image_url", "image_url": "data:image;base64,data:image/png;base64,AA"}], ["data:image/png;base64,AA"]),
     ([{"type": "image_url", "image_url": "data:image;base64,https://x/c.webp"}], ["https://x/c.webp"]),
     (CALLER_BUILT, CALLER_BUILT)],
    ids=["unknown", "riff-not-webp", "empty", "wrapped-lines", "data-url", "address", "caller-built"],
)
def test_request_parts(parts, sent):
    client = LLModal(messages=[Message(role=MessageRole.user, contents=[parts])])
    wire = [{"type": "image_url", "image_url": {"url": u}} if isinstance(u, str) else u for u in sent]
    assert client.messages_latest == [{"role": "user", "content": wire}]
