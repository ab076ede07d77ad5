import configparser
import os
import subprocess
import sys
from pathlib import Path

import pytest

import parleykit

from parleykit.config import ConfigError, Configurator


@pytest.fixture
def config_file(tmp_path, monkeypatch):
    """An isolated configuration: no PARLEYKIT_ variables, a file path under tmp_path."""
    for name in list(os.environ):
        if name.startswith("PARLEYKIT_"):
            monkeypatch.delenv(name)
    path = tmp_path / "config.ini"
    monkeypatch.setenv("PARLEYKIT_CONFIG", str(path))
    yield path
    Configurator.clear()


def write(path, text, mtime_ns):
    path.write_text(text)
    # Explicit times: two writes within one clock tick must still count as a change.
    os.utime(path, ns=(mtime_ns, mtime_ns))


def test_missing_file_is_an_empty_configuration(config_file):
    assert not Configurator.has_option("llm", "api_key")
    with pytest.raises(configparser.NoOptionError):
        Configurator.get("llm", "api_key")


def test_file_is_read_and_read_again_when_it_changes(config_file):
    write(config_file, "[llm]\napi_key = sk-one%20\n", 1_000_000_000)
    assert Configurator.has_option("llm", "api_key")
    assert Configurator.get("llm", "API_KEY") == "sk-one%20"  # taken literally
    assert not Configurator.has_option("other", "api_key")
    write(config_file, "[llm]\napi_key = sk-two%20\n", 2_000_000_000)
    assert Configurator.get("llm", "api_key") == "sk-two%20"
    config_file.unlink()
    assert not Configurator.has_option("llm", "api_key")


def test_environment_wins_over_set_which_wins_over_the_file(config_file, monkeypatch):
    write(config_file, "[my-llm.v2]\napi_key = from-file\n", 1_000_000_000)
    Configurator.set("my-llm.v2", "api_key", 123)
    assert Configurator.get("my-llm.v2", "api_key") == 123
    monkeypatch.setenv("PARLEYKIT_MY_LLM_V2_API_KEY", "from-env")
    assert Configurator.get("my-llm.v2", "api_key") == "from-env"
    monkeypatch.delenv("PARLEYKIT_MY_LLM_V2_API_KEY")
    Configurator.clear()
    assert Configurator.get("my-llm.v2", "api_key") == "from-file"


def test_environment_alone_provides_an_option(config_file, monkeypatch):
    monkeypatch.setenv("PARLEYKIT_LLM_API_KEY", "sk-env")
    assert Configurator.has_option("llm", "api_key")
    assert Configurator.get("llm", "api_key") == "sk-env"


def test_an_empty_environment_variable_counts_as_unset(config_file, monkeypatch):
    monkeypatch.setenv("PARLEYKIT_LLM_API_KEY", "")
    assert not Configurator.has_option("llm", "api_key")
    write(config_file, "[llm]\napi_key = from-file\n", 1_000_000_000)
    assert Configurator.get("llm", "api_key") == "from-file"


@pytest.mark.parametrize(
    ("env", "expected"),
    [
        ({"PARLEYKIT_CONFIG": "{tmp}/elsewhere.ini"}, "{tmp}/elsewhere.ini"),
        ({"XDG_CONFIG_HOME": "{tmp}/xdg"}, "{tmp}/xdg/parleykit/config.ini"),
        ({"XDG_CONFIG_HOME": "", "HOME": "{tmp}/home"}, "{tmp}/home/.config/parleykit/config.ini"),
    ],
)
def test_file_location(config_file, monkeypatch, tmp_path, env, expected):
    monkeypatch.delenv("PARLEYKIT_CONFIG")
    monkeypatch.delenv("XDG_CONFIG_HOME", raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value.format(tmp=tmp_path))
    expected = Path(expected.format(tmp=tmp_path))
    expected.parent.mkdir(parents=True, exist_ok=True)
    write(expected, "[llm]\napi_key = found\n", 1_000_000_000)
    assert Configurator.path() == expected
    assert Configurator.get("llm", "api_key") == "found"


SECRET = "sk-live-7f3a9b"


@pytest.mark.parametrize(
    ("content", "problem"),
    [
        (f"api_key = {SECRET}\n".encode(), "line 1 comes before any [section] header"),
        (f"[llm]\napi_key = {SECRET}\n\xff\n".encode("latin-1"), "not UTF-8 text (byte 31)"),
        (f"[llm]\napi_key = {SECRET}\napi_key = {SECRET}\n".encode(), "line 3: option 'api_key' appears twice in [llm]"),
        (f"[llm]\napi_key = {SECRET}\n[llm]\n".encode(), "line 3: section [llm] appears twice"),
        (f"[llm]\n{SECRET}\n  \n= {SECRET}\n".encode(), "lines 2, 4 neither a [section]"),
        (None, "Is a directory"),
    ],
)
def test_an_unusable_file_is_one_line_naming_the_file_never_its_content(config_file, content, problem):
    if content is None:
        config_file.mkdir()
    else:
        config_file.write_bytes(content)
    for _ in range(2):  # also when the cached verdict is given again
        with pytest.raises(ConfigError) as caught:
            Configurator.has_option("llm", "api_key")
        message = str(caught.value)
        assert message.startswith(f"configuration file {config_file}: ") and problem in message
        assert "\n" not in message and SECRET not in message and "sk-" not in message


@pytest.mark.parametrize("bom", [b"", b"\xef\xbb\xbf"])
def test_utf8_with_or_without_a_byte_order_mark(config_file, bom):
    config_file.write_bytes(bom + "[llm]\napi_key = clé\n".encode())
    assert Configurator.get("llm", "api_key") == "clé"


def test_the_chat_refuses_an_unusable_file_in_one_line(config_file):
    config_file.write_text(f"api_key = {SECRET}\n")
    env = {k: v for k, v in os.environ.items() if not k.startswith("PARLEYKIT_")}
    env["PARLEYKIT_CONFIG"] = str(config_file)
    # The package this run imported (installed, or the work tree with its built modules).
    package_root = Path(parleykit.__file__).resolve().parent.parent
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(package_root), env.get("PYTHONPATH")]))
    for command in ("chat", "tour"):
        done = subprocess.run([sys.executable, "-m", "parleykit", command], input="", env=env, capture_output=True, text=True, timeout=60)
        assert done.returncode == 1
        assert done.stderr == f"parleykit: configuration file {config_file}: line 1 comes before any [section] header\n"
        assert SECRET not in done.stdout
