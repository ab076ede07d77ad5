"""Every Python and INI block of the README, run as printed against the scripted demo endpoint."""

import re
from pathlib import Path

import pytest

from client_support import isolated_config  # noqa: F401  (fixture)
from parleykit import _demo_server
from parleykit.config import Configurator
from parleykit.modal import LLModal

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"^```(\w+)\n(.*?)^```$", README.read_text(), re.M | re.S)


@pytest.fixture(scope="module")
def demo_url():
    server, url = _demo_server.serve()
    yield url
    server.shutdown()


def test_the_readme_has_the_blocks_it_documents_with():
    assert {kind for kind, _ in BLOCKS} == {"python", "ini"}
    assert sum(kind == "python" for kind, _ in BLOCKS) >= 6


PYTHON = [code for kind, code in BLOCKS if kind == "python"]


@pytest.mark.parametrize("code", PYTHON, ids=lambda code: code.splitlines()[0][:40])
def test_python_block_runs(isolated_config, demo_url, capsys, code):
    exec(compile(code, str(README), "exec"), {"URL": demo_url, "__name__": "readme"})
    assert capsys.readouterr().out.strip()  # every block shows something


@pytest.mark.parametrize("code", [code for code in PYTHON if "except APIStatusError" in code])
def test_the_error_example_against_a_refusing_server(isolated_config, loopback, capsys, code):
    from parleykit.modal import APIStatusError

    loopback.push(b'{"error": "slow down"}', status=429, headers=[("Retry-After", "3")])
    with pytest.raises(APIStatusError):
        exec(compile(code, str(README), "exec"), {"URL": loopback.url, "__name__": "readme"})
    assert "the server asks to wait 3.0 s" in capsys.readouterr().out


@pytest.mark.parametrize("text", [code for kind, code in BLOCKS if kind == "ini"])
def test_ini_block_is_a_configuration_the_client_takes(isolated_config, demo_url, text):
    isolated_config.write_text(text)
    section = re.search(r"^\[(\w+)\]", text, re.M).group(1)
    options = re.findall(r"^(\w+) = (.+)$", text, re.M)
    assert options and all(Configurator.get(section, name) == value for name, value in options)
    # Each value is one the client accepts: a turn with this configuration goes through.
    assert LLModal(endpoint_url=demo_url, section=section).invoke("Hello!").content
