"""`python -m parleykit chat` run as a program: stdin fed by the test, replies from the loopback server."""

import base64
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import parleykit
import openai_replies as oa
from loopback import chunk, completion, sse_events

PACKAGE_ROOT = Path(parleykit.__file__).resolve().parent.parent
SECRET = "sk-test-4f1d9c"


def environment() -> dict[str, str]:
    env = dict(os.environ, PYTHONUNBUFFERED="1", PARLEYKIT_LLM_API_KEY=SECRET)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_ROOT), os.environ.get("PYTHONPATH")]))
    return env


# Ctrl-C must reach the chat even where the suite itself ignores SIGINT (under nohup, or a CI
# runner that starts jobs so): an ignored signal stays ignored across fork and exec, so the child
# is started through a one-line launcher that puts back the default disposition before the exec.
DEFAULT_SIGINT = "import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.execv(sys.argv[1], sys.argv[1:])"


def command(*args: str) -> list[str]:
    return [sys.executable, "-c", DEFAULT_SIGINT, sys.executable, "-m", "parleykit", "chat", *args]


def run_chat(url: str, stdin: str, *args: str) -> subprocess.CompletedProcess[str]:
    """The whole session at once: the lines of ``stdin``, then end of input."""
    return subprocess.run(
        command("--endpoint", url, *args), input=stdin, env=environment(), capture_output=True, text=True, timeout=60
    )


class Session:
    """A chat process driven line by line, its output collected as it arrives."""

    def __init__(self, *args: str) -> None:
        self.process = subprocess.Popen(
            command(*args), env=environment(), stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        self._output = b""
        self._changed = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        while data := self.process.stdout.read1(4096):
            with self._changed:
                self._output += data
                self._changed.notify_all()

    @property
    def output(self) -> str:
        with self._changed:
            return self._output.decode()

    def wait_for(self, text: str, count: int = 1, timeout: float = 15.0) -> None:
        """Until ``text`` has appeared ``count`` times in the output."""
        with self._changed:
            if not self._changed.wait_for(lambda: self._output.decode().count(text) >= count, timeout):
                self.process.kill()
                pytest.fail(f"no {count}x {text!r} in the output:\n{self._output.decode()}")

    def send(self, line: str) -> None:
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()

    def interrupt(self) -> None:
        """Ctrl-C, once the program waits in a read: CPython runs a signal's handler at its next
        bytecode, so a signal that lands between the last check and a blocking read (at the
        prompt, just after it was printed) would only be handled after the read returns."""
        stat = Path(f"/proc/{self.process.pid}/stat")
        deadline = time.monotonic() + 5
        sleeping = 0
        while stat.exists() and sleeping < 3 and time.monotonic() < deadline:
            # The state follows the parenthesised command name; S is an interruptible wait.
            sleeping = sleeping + 1 if stat.read_text().rpartition(")")[2].split()[0] == "S" else 0
            time.sleep(0.02)
        if not stat.exists():
            time.sleep(0.3)
        self.process.send_signal(signal.SIGINT)

    def end(self, close_stdin: bool = True) -> tuple[int, str, str]:
        if close_stdin:
            self.process.stdin.close()
        code = self.process.wait(30)
        time.sleep(0.05)  # the reader thread takes the last bytes
        return code, self.output, self.process.stderr.read().decode()


def streamed(reasoning: str = "", *answer: str) -> list[bytes]:
    chunks = [chunk({"role": "assistant", "content": ""})]
    chunks += [chunk({"reasoning_content": reasoning})] if reasoning else []
    chunks += [chunk({"content": piece}) for piece in answer]
    return sse_events([*chunks, chunk(finish_reason="stop")])


def test_streamed_turn_retry_and_history(loopback):
    loopback.push(streamed("Let me think.", "First ", "answer."))
    loopback.push(streamed("", "Second ", "answer."))
    loopback.push(b"overloaded", status=503)
    done = run_chat(loopback.url, "Hello\n/retry\n/history\nAre you there?\n", "--model", "m-1")

    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert "(thinking) Let me think." in out and "First answer." in out
    assert "(answer 2 of 2" in out
    history = out[out.index("system:") :]
    assert "user: 2 alternatives\n      1. Hello\n    * 2. Hello\n" in history
    assert "assistant: 2 alternatives\n      1. First answer.\n    * 2. Second answer.\n" in history
    # A failed request is reported and the conversation goes on to the end of input.
    assert "LLM request error: code: 503" in out and "[no answer: the server answered 503 (Service Unavailable)]" in out

    first, second, third = (r.json for r in loopback.wait_for(3))
    assert first["stream"] is True and first["model"] == "m-1"
    assert [m["role"] for m in first["messages"]] == ["system", "user"]
    # The retry sends the history up to the user message again, without the first answer.
    assert second["messages"] == first["messages"]
    assert [m["content"] for m in third["messages"]][1:] == ["Hello", "Second answer.", "Are you there?"]
    # The key goes to the endpoint only.
    assert {r.header("Authorization") for r in loopback.requests} == {f"Bearer {SECRET}"}
    assert SECRET not in out + done.stderr


def test_retry_after_a_tool_turn(loopback):
    weather = [("w1", "get_weather", '{"city": "Oslo"}'), ("w2", "get_weather", '{"city": "Paris"}')]
    for call, answer in zip(weather, ["Snow in Oslo.", "Rain in Paris."]):
        loopback.push(oa.stream(calls=[call]))
        loopback.push(oa.stream(content=answer))
    loopback.push(oa.stream(content="Bye."))
    done = run_chat(loopback.url, "Weather?\n/retry\n/history\nThanks\n")

    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert "Rain in Paris." in out and "busy" not in out and "Error" not in out
    # The first answer stays in the history, marked as replaced.
    assert "assistant (replaced by a retry): Snow in Oslo." in out
    requests = [r.json["messages"] for r in loopback.wait_for(5)]
    # Each turn ran its tool once: the retry's follow-up carries its own round, not the first one.
    assert [m["role"] for m in requests[3]] == ["system", "user", "assistant", "tool"]
    assert requests[3][2]["tool_calls"][0]["id"] == "w2"
    assert [(m["role"], m.get("tool_call_id")) for m in requests[4][1:]] == [
        ("user", None), ("assistant", None), ("tool", "w2"), ("assistant", None), ("user", None)]
    assert requests[4][-2]["content"] == "Rain in Paris."


def test_image_goes_with_the_next_message_and_with_its_retry(loopback, tmp_path):
    image = tmp_path / "dot.png"
    image.write_bytes(b"\x89PNG\r\n\x1a\n\x00\x00 a tiny image")
    loopback.push(streamed("", "A dot."))
    loopback.push(streamed("", "Still a dot."))
    loopback.push(streamed("", "Plain."))
    stdin = f"/image {tmp_path / 'missing.png'}\n/image {image}\nWhat is this?\n/retry\nAnd now?\n/history\n"
    done = run_chat(loopback.url, stdin)

    assert done.returncode == 0, done.stderr
    assert "cannot read" in done.stdout and f"attached dot.png ({image.stat().st_size} bytes)" in done.stdout
    parts = [
        {"type": "image_url", "image_url": {"url": "data:image/png;base64," + base64.b64encode(image.read_bytes()).decode()}},
        {"type": "text", "text": "What is this?"},
    ]
    first, retried, later = (r.json["messages"][-1]["content"] for r in loopback.wait_for(3))
    assert first == parts and retried == parts
    assert later == "And now?"  # the image was used up by its message
    assert "user: 2 alternatives\n      1. [image] What is this?\n    * 2. [image] What is this?\n" in done.stdout


def test_ctrl_c_stops_the_stream_and_keeps_the_partial_answer(loopback):
    gate = threading.Event()
    loopback.push(
        [
            *streamed("", "Partial ")[:2],
            gate,
            *sse_events([chunk({"content": "never shown"}), chunk(finish_reason="stop")]),
        ]
    )
    loopback.push(streamed("", "Next answer."))
    stalled = threading.Event()  # opened only at the end: a connection that has gone quiet
    loopback.push([*streamed("", "Half ")[:2], stalled, *streamed("", "lost")[1:]])
    chat = Session("--endpoint", loopback.url)
    try:
        chat.wait_for("you> ")
        chat.send("Tell me a long story")
        chat.wait_for("Partial")
        chat.interrupt()
        chat.wait_for("[stopping")  # the stream is still open: the gate holds the rest back
        gate.set()
        chat.wait_for("[stopped; the partial answer stays")
        chat.wait_for("you> ", count=2)
        chat.send("/history")
        chat.send("Go on")  # the stop must not carry over to the next stream
        chat.wait_for("Next answer.")
        chat.send("And then?")
        chat.wait_for("Half")
        chat.interrupt()
        chat.wait_for("[stopping", count=2)
        chat.interrupt()  # the second Ctrl-C does not wait for a line that may never come
        chat.wait_for("[abandoned; the partial answer stays")
        chat.wait_for("you> ", count=4)
        chat.send("/history")
    finally:
        gate.set()
        code, out, err = chat.end()
        stalled.set()

    assert code == 0, err
    assert "Traceback" not in err
    assert "never shown" not in out
    assert "  assistant: Partial\n" in out and "  assistant: Half\n" in out and "lost" not in out
    follow_up = loopback.wait_for(2)[1].json["messages"]
    assert [m["content"] for m in follow_up][1:] == ["Tell me a long story", "Partial ", "Go on"]


def test_demo_endpoint_tools_and_ctrl_c_at_the_prompt():
    chat = Session()
    try:
        chat.wait_for("you> ")
        chat.send("What is the weather in Lisbon?")
        chat.wait_for("According to get_weather")
        chat.wait_for("you> ", count=2)
        chat.interrupt()
        code, out, err = chat.end(close_stdin=False)
    finally:
        if chat.process.poll() is None:
            chat.process.kill()

    assert code == 0, err
    assert "Traceback" not in err
    assert "scripted stand-in endpoint (not a model)" in out
    # Arguments and results are shown alike, as JSON.
    assert '-> calls get_weather({"city": "Lisbon"})' in out
    assert '<- get_weather answered {"city": "Lisbon", "sky": "sun", "temperature_c": 19}' in out


def test_a_silent_server_times_out_and_the_chat_goes_on(loopback, monkeypatch):
    loopback.push([30.0])  # headers, then nothing
    loopback.push(streamed("", "Back again."))
    monkeypatch.setenv("PARLEYKIT_LLM_TIMEOUT", "5,0.5")
    done = run_chat(loopback.url, "Hello\nStill there?\n")
    assert done.returncode == 0, done.stderr
    # One readable line (the prompt before it is not followed by a newline when not at a terminal).
    assert any("Error parsing LLM response: " in line and line.endswith("Read timed out.")
               for line in done.stdout.splitlines())
    assert "Back again." in done.stdout


def closed_port_url() -> str:
    import socket

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    return f"http://127.0.0.1:{port}/v1/chat/completions"


@pytest.mark.parametrize(
    ("head", "attached"),
    [
        (b"\x89PNG\r\n\x1a\n", True),
        (b"\xff\xd8\xff\xe0", True),
        (b"GIF89a", True),
        (b"RIFF\x10\x00\x00\x00WEBPVP8 ", True),
        (b"RIFF\x10\x00\x00\x00WAVEfmt ", False),
        (b"parleykit-host\n", False),
    ],
)
def test_image_accepts_only_image_bytes(head, attached):
    from parleykit.__main__ import image_kind

    assert (image_kind(head + b"\x00" * 16) is not None) == attached


def test_commands_images_and_a_refused_connection(loopback, tmp_path):
    text, image = tmp_path / "hostname", tmp_path / "dot.gif"
    text.write_text("parleykit-host\n")
    image.write_bytes(b"GIF89a tiny")
    loopback.push(streamed("", "Plain."))
    done = run_chat(loopback.url, f"/bogus\n/image {text}\n/image {image}\n/image clear\nHi\n")
    assert done.returncode == 0, done.stderr
    assert "unknown command /bogus; the commands are /retry" in done.stdout
    assert "not attached: hostname is not a PNG, JPEG, GIF or WebP image" in done.stdout
    assert "attached dot.gif (11 bytes)" in done.stdout and "detached 1 image\n" in done.stdout
    assert loopback.wait_for(1)[0].json["messages"][-1]["content"] == "Hi"

    url = closed_port_url()
    done = run_chat(url, "Hi\n")
    assert done.returncode == 0, done.stderr
    assert "LLM request error: " in done.stdout  # the client's own report, as it is
    assert f"  [no answer: cannot connect to {url} (connection refused)]\n" in done.stdout


def test_tour_failures_are_one_line(loopback):
    loopback.push(b'{"error": {"message": "bad key"}}', status=401)
    refused = closed_port_url()
    for url, line in [
        (loopback.url, 'parleykit tour stopped: the server answered 401 (Unauthorized): {"error": {"message": "bad key"}}\n'),
        (refused, f"parleykit tour stopped: cannot connect to {refused} (connection refused)\n"),
    ]:
        done = subprocess.run(
            [sys.executable, "-m", "parleykit", "tour", "--endpoint", url], env=environment(), capture_output=True, text=True, timeout=60
        )
        assert done.returncode == 1
        assert done.stderr == line


def test_a_closed_pipe_ends_the_chat_quietly():
    chat = subprocess.Popen(command(), env=environment(), stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    chat.stdout.readline()
    chat.stdout.close()  # `chat | head -1`
    _, err = chat.communicate(b"What is the weather in Oslo?\nHello\n", timeout=30)
    assert chat.returncode == 0
    assert err == b""


def test_at_a_terminal_paste_is_one_message_ctrl_c_clears_arrows_recall_ctrl_d_quits(loopback):
    import pty

    for _ in range(3):
        loopback.push(streamed("Hmm.", "Fine."))
    master, slave = pty.openpty()
    env = environment() | {"TERM": "xterm", "NO_COLOR": "1", "PROMPT_TOOLKIT_NO_CPR": "1"}
    process = subprocess.Popen(command("--endpoint", loopback.url), stdin=slave, stdout=slave, stderr=slave, env=env)
    os.close(slave)
    output = bytearray()
    changed = threading.Condition()

    def read() -> None:
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:  # the terminal closed with the process
                data = b""
            with changed:
                output.extend(data)
                changed.notify_all()
            if not data:
                return

    threading.Thread(target=read, daemon=True).start()
    def at_prompt(answers: int, prompts: int = 0) -> None:
        """Until the answers so far have arrived and a prompt (more than ``prompts``) follows them."""
        with changed:
            assert changed.wait_for(
                lambda: output.count(b"Fine.") >= answers
                and output.rfind(b"you>") > output.rfind(b"Fine.")
                and output.count(b"you>") > prompts,
                15,
            ), bytes(output)
        time.sleep(0.3)  # the prompt is drawn; the terminal is in raw mode by now

    try:
        at_prompt(0)
        os.write(master, b"\x1b[200~first line\nsecond line\x1b[201~\r")
        at_prompt(1)
        os.write(master, b"thrown away")
        time.sleep(0.2)
        prompts = output.count(b"you>")
        os.write(master, b"\x03")  # Ctrl-C clears the line, the chat goes on
        at_prompt(1, prompts)
        os.write(master, b"kept\r")
        at_prompt(2)
        os.write(master, b"\x1b[A\r")  # the arrow brings the last message back
        at_prompt(3)
        os.write(master, b"\x04")  # Ctrl-D
        assert process.wait(15) == 0
    finally:
        if process.poll() is None:
            process.kill()
        os.close(master)
    sent = [r.json["messages"][-1]["content"] for r in loopback.requests]
    assert sent == ["first line\nsecond line", "kept", "kept"]
    assert b"(thinking) Hmm." in output and b"\x1b[2m" not in output  # NO_COLOR: reasoning marked, not dimmed
    assert b"Traceback" not in output


def test_a_host_name_that_cannot_be_resolved_is_said_so(monkeypatch):
    import socket

    import requests

    from parleykit.__main__ import failure

    def unresolvable(*args, **kwargs):
        raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")

    monkeypatch.setattr(socket, "getaddrinfo", unresolvable)  # no lookup leaves the machine
    url = "http://llm.example/v1/chat/completions"
    with pytest.raises(requests.ConnectionError) as caught:
        requests.post(url, json={}, timeout=5)
    assert failure(caught.value, url) == f"cannot connect to {url} (host name not found)"


def test_answer_text_of_a_reasoning_piece_is_shown(capsys):
    from parleykit.__main__ import show_stream
    from parleykit.modal import LLMResult, LLMStatus

    show_stream([LLMResult(reasoning_content="hm", status=LLMStatus.reason),
                 LLMResult(reasoning_content=" ok", content="Hel", status=LLMStatus.reason),
                 LLMResult(content="lo", status=LLMStatus.answer)], colour=False)
    assert capsys.readouterr().out == "\n  (thinking) hm ok\n  Hello\n"


@pytest.mark.parametrize(
    "args, stdin",
    [(["tour"], b""), (["chat"], b"What is the weather in Oslo?\n"), (["--help"], b""), (["--version"], b"")],
)
def test_output_into_a_closed_pipe_ends_quietly(args, stdin):
    # The reader is gone before the first write (`parleykit tour | true`): every write fails.
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        done = subprocess.run([sys.executable, "-m", "parleykit", *args], input=stdin, stdout=write_end,
                              stderr=subprocess.PIPE, env=environment(), timeout=60)
    finally:
        os.close(write_end)
    assert (done.returncode, done.stderr) == (0, b"")


@pytest.mark.parametrize(
    "argv0, shown",
    [("/opt/venv/bin/parleykit", "usage: parleykit "), (str(PACKAGE_ROOT / "parleykit" / "__main__.py"),
                                                          "usage: python -m parleykit ")],
)
def test_usage_is_named_after_how_the_program_was_started(monkeypatch, capsys, argv0, shown):
    from parleykit.__main__ import main

    monkeypatch.setattr(sys, "argv", [argv0])
    with pytest.raises(SystemExit) as exited:
        main(["--no-such-option"])
    assert exited.value.code == 2 and capsys.readouterr().err.startswith(shown)


def test_version_is_the_package_version():
    import tomllib

    done = subprocess.run([sys.executable, "-m", "parleykit", "--version"], env=environment(), capture_output=True,
                          text=True, timeout=60)
    project = tomllib.loads((Path(__file__).parent.parent / "pyproject.toml").read_text())["project"]
    assert done.stdout == f"parleykit {project['version']}\n" == f"parleykit {parleykit.__version__}\n"


def test_a_message_that_starts_with_a_slash(loopback):
    loopback.push(streamed("", "A hosts file."))
    done = run_chat(loopback.url, "/help\n//etc/hosts: what is it?\n")
    assert done.returncode == 0, done.stderr
    assert '"//etc/hosts: what is it?" sends "/etc/hosts: what is it?"' in done.stdout
    assert loopback.wait_for(1)[0].json["messages"][-1]["content"] == "/etc/hosts: what is it?"


def test_typed_keys_are_not_echoed_while_an_answer_streams():
    import pty
    import termios

    from parleykit.__main__ import keys_not_echoed

    master, slave = pty.openpty()
    try:
        with open(slave, closefd=False) as terminal:
            before = termios.tcgetattr(slave)
            with keys_not_echoed(terminal):
                during = termios.tcgetattr(slave)
            after = termios.tcgetattr(slave)
        assert before[3] & termios.ECHO and not during[3] & termios.ECHO
        assert during[3] & termios.ISIG  # Ctrl-C still interrupts the stream
        assert after == before
        with keys_not_echoed(None), keys_not_echoed(sys.stdin):  # no terminal: nothing to change
            pass
    finally:
        os.close(master)
        os.close(slave)
