"""Command line of parleykit: `parleykit tour` (or `python -m parleykit tour`) holds a short
conversation with tools, and `parleykit chat` an interactive one; `parleykit --version` says which
version is installed.

Without --endpoint both talk to a scripted stand-in endpoint started on 127.0.0.1 (see
parleykit._demo_server: not a model, a fixed script). With --endpoint URL (and --model NAME) they
run against any OpenAI-compatible chat-completions server; its API key is read by Configurator
from the "llm" section (for example the environment variable PARLEYKIT_LLM_API_KEY).

At a terminal the chat reads lines with prompt_toolkit (history on the arrow keys, a paste is one
message, Ctrl-C clears the line, Ctrl-D quits); with input from a pipe or file it reads plain lines,
one message each, and Ctrl-C (SIGINT) at the prompt ends it. Colour is used only on a terminal and
never when NO_COLOR is set.
"""

from __future__ import annotations

import argparse
import base64
import contextlib
import json
import os
import signal
import socket
import sys
import termios
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from parleykit.modal import LLModal

CHAT_TIMEOUT = "10,600"  # seconds to connect, seconds to wait for each read
REASON = "\033[2m"  # reasoning is shown dim, the answer plain
PLAIN = "\033[0m"
SYSTEM_PROMPT = "You are a concise assistant. Use the tools when they help."


def make_tools() -> Any:
    from parleykit.tools import Tools

    tools = Tools()

    @tools.register
    def get_weather(city: str) -> dict[str, Any]:
        """Current weather in a city."""
        forecasts = {"oslo": ("snow", -3), "lisbon": ("sun", 19), "paris": ("rain", 9)}
        sky, temperature = forecasts.get(city.lower(), ("clouds", 12))
        return {"city": city, "sky": sky, "temperature_c": temperature}

    return tools


def show_stream(pieces: Any, colour: bool) -> None:
    """Prints streamed pieces as they arrive: reasoning dim (or marked), answers plain, tool steps named."""
    try:
        _print_pieces(pieces, colour)
    finally:
        print(PLAIN if colour else "", flush=True)


def _print_pieces(pieces: Any, colour: bool) -> None:
    from parleykit.modal import LLMStatus

    mode = None
    for piece in pieces:
        if piece.status is LLMStatus.reason:
            if mode != "reason":
                print("\n  (thinking) " if not colour else "\n  " + REASON, end="")
                mode = "reason"
            print(piece.reasoning_content, end="", flush=True)
        # A reasoning piece may also carry the first answer text (a chunk with both texts).
        if piece.status is LLMStatus.answer or (piece.status is LLMStatus.reason and piece.content):
            if mode != "answer":
                print((PLAIN if colour else "") + "\n  ", end="")
                mode = "answer"
            print(piece.content, end="", flush=True)
        elif piece.status is LLMStatus.tool_calls:
            for call in piece.tool_calls.values():
                print(f"{PLAIN if colour else ''}\n  -> calls {call.name}({shown(call.content)})", end="")
            mode = None
        elif piece.status is LLMStatus.tool_results:
            for result in piece.tool_results.values():
                print(f"\n  <- {result.name} answered {shown(result.content)}", end="")
            mode = None


def shown(value: Any) -> str:
    """A tool call's arguments or a tool's result as printed: a text as it is, anything else as JSON."""
    return value if isinstance(value, str) else json.dumps(value, ensure_ascii=False, default=str)


def use_colour() -> bool:
    """Colour on a terminal, unless NO_COLOR is set (https://no-color.org)."""
    return sys.stdout.isatty() and not os.environ.get("NO_COLOR")


def key_state() -> str:
    """Whether an API key is configured, never the key itself (raises ConfigError for a broken file)."""
    from parleykit.config import Configurator

    return "configured" if Configurator.has_option("llm", "api_key") else "not configured"


def failure(exc: BaseException, endpoint: str) -> str:
    """A failed request in a few words: a connection that could not be made is named with its
    endpoint and reason; anything else by its type, since the client has printed the details."""
    import requests

    from parleykit.config import ConfigError

    from parleykit.modal import APIStatusError

    if isinstance(exc, ConfigError):
        return str(exc)
    if isinstance(exc, APIStatusError):
        return status_failure(exc)
    if not isinstance(exc, requests.ConnectionError):
        return type(exc).__name__
    seen: list[BaseException] = []
    todo: list[Any] = [exc]
    while todo:  # the socket error lies a few wrappers deep, in arguments, reasons or causes
        item = todo.pop()
        if isinstance(item, BaseException) and not any(item is s for s in seen):
            seen.append(item)
            todo += [*item.args, getattr(item, "reason", None), item.__cause__, item.__context__]
    if any(isinstance(e, socket.gaierror) for e in seen):  # urllib3 raises its resolution error from it
        reason = "host name not found"
    elif any(isinstance(e, ConnectionRefusedError) for e in seen):
        reason = "connection refused"
    elif any(isinstance(e, (TimeoutError, requests.Timeout)) for e in seen):
        reason = "timed out"
    else:
        reason = "connection failed"
    return f"cannot connect to {endpoint} ({reason})"


def status_failure(exc: Any) -> str:
    """A refused request in a few words: the status with its reason phrase, and the wait asked for."""
    from http import HTTPStatus

    try:
        phrase = f" ({HTTPStatus(exc.status_code).phrase})"
    except ValueError:
        phrase = ""
    text = f"the server answered {exc.status_code}{phrase}"
    if exc.retry_after is not None:
        text += f", asking to retry after {exc.retry_after:g} s"
    return text


def tour(args: argparse.Namespace) -> int:
    from parleykit.modal import LLModal, LLMResult

    key_state()  # a broken configuration file stops here, in one line
    server = None
    endpoint = args.endpoint
    if endpoint is None:
        from parleykit import _demo_server

        server, endpoint = _demo_server.serve()
        print(f"Scripted stand-in endpoint (not a model) at {endpoint}")
    extra: dict[str, Any] = {"model": args.model} if args.model else {}
    colour = use_colour()
    try:
        client = LLModal(endpoint_url=endpoint, system_prompt=SYSTEM_PROMPT, tools=make_tools(), extra_body=extra)
        print("\n1. A plain turn:")
        print("  you: Hello! Who are you?")
        result = client.invoke("Hello! Who are you?")
        assert isinstance(result, LLMResult)  # a plain reply: "stream" is not set yet
        print(f"  model: {result.content}")

        print("\n2. The same conversation, streamed piece by piece:")
        client.extra_body["stream"] = True
        print("  you: Tell me something about streaming.", end="")
        show_stream(client.invoke("Tell me something about streaming."), colour)

        print("\n3. A turn where the model calls a registered tool:")
        print("  you: What is the weather in Oslo?", end="")
        show_stream(client.invoke("What is the weather in Oslo?"), colour)

        print(f"\nThe history now holds {len(client.messages)} messages:")
        for message in client.messages:
            latest = message.latest
            text = latest.get("content") or ", ".join(c["function"]["name"] for c in latest.get("tool_calls", []))
            print(f"  {latest['role']:>9}: {str(text)[:70]}")
    except BrokenPipeError:
        raise  # nobody reads the output any more: main ends quietly
    except Exception as exc:  # the client has printed its report; the tour ends in one line
        from parleykit.modal import APIStatusError

        detail = failure(exc, endpoint)
        said = exc.body.decode("utf-8", "replace") if isinstance(exc, APIStatusError) and exc.body else str(exc)
        if (detail == type(exc).__name__ or isinstance(exc, APIStatusError)) and said:
            detail += ": " + " ".join(said.split())[:200]
        print(f"parleykit tour stopped: {detail}", file=sys.stderr)
        return 1
    finally:
        if server is not None:
            server.shutdown()
    return 0

CHAT_HELP = """Type a message and press Enter (a pasted text is one message). To send a message that
starts with "/", type it with one more: "//etc/hosts: what is it?" sends "/etc/hosts: what is it?". Commands:
  /retry        ask the last message again; both answers stay in the history as alternatives
  /image PATH   attach a PNG, JPEG, GIF or WebP image to your next message
  /image clear  detach the images waiting for your next message
  /history      show the conversation, with every alternative of each message
  /help         show this text
  /quit         leave (so does Ctrl-D; Ctrl-C clears the line)
Ctrl-C while an answer streams stops it; what arrived so far stays in the history."""
COMMANDS = "/retry, /image, /history, /help, /quit"

MEDIA_PREFIX = "data:image;base64,"  # how the client embeds images and video frames in a message


def image_kind(data: bytes) -> str | None:
    """The image format of a file's bytes, by their signature: the formats vision models take."""
    if data.startswith(b"\x89PNG\r\n\x1a\n"):
        return "PNG"
    if data.startswith(b"\xff\xd8\xff"):
        return "JPEG"
    if data.startswith((b"GIF87a", b"GIF89a")):
        return "GIF"
    if data[:4] == b"RIFF" and data[8:12] == b"WEBP":
        return "WebP"
    return None


def line_reader(interactive: bool) -> Callable[[str], str]:
    """How the chat reads a message: prompt_toolkit at a terminal, plain lines otherwise."""
    if not interactive:
        return input
    from prompt_toolkit import PromptSession
    from prompt_toolkit.history import InMemoryHistory

    session: PromptSession[str] = PromptSession(history=InMemoryHistory())
    return session.prompt


def chat(args: argparse.Namespace) -> int:
    from parleykit.config import Configurator
    from parleykit.modal import LLModal

    # Whether a key is configured, never the key itself; a broken file stops here, in one line.
    key = key_state()
    server = None
    endpoint = args.endpoint
    if endpoint is None:
        from parleykit import _demo_server

        # The server's threads inherit a blocked Ctrl-C, so the signal always reaches the main
        # thread and interrupts its wait at the prompt instead of waking a server thread.
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            server, endpoint = _demo_server.serve()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        print(f"No --endpoint given: talking to the scripted stand-in endpoint (not a model) at {endpoint}")
    # A person at the prompt waits for an answer, not forever: connect and read timeouts unless
    # the configuration gives its own.
    if not Configurator.has_option("llm", "timeout"):
        Configurator.set("llm", "timeout", CHAT_TIMEOUT)
    print(f"Endpoint {endpoint}; API key (section 'llm'): {key}")
    extra: dict[str, Any] = {"stream": True}
    if args.model:
        extra["model"] = args.model
    client = LLModal(endpoint_url=endpoint, system_prompt=args.system, tools=make_tools(), extra_body=extra)
    interactive = sys.stdin.isatty() and sys.stdout.isatty()
    try:
        return Chat(client, colour=use_colour(), interactive=interactive).run()
    finally:
        if server is not None:
            server.shutdown()


class Chat:
    """The interactive loop around one client: reads lines, runs commands, streams the answers."""

    def __init__(self, client: LLModal, colour: bool, interactive: bool = False) -> None:
        self.client = client
        self.colour = colour
        self.interactive = interactive
        self.read = line_reader(interactive)

    def run(self) -> int:
        print(CHAT_HELP)
        while True:
            print()
            try:
                line = self.read("you> ")
            except KeyboardInterrupt:
                if self.interactive:
                    continue  # Ctrl-C at a terminal clears the line
                print()
                return 0  # SIGINT to a chat reading a pipe ends it
            except EOFError:  # Ctrl-D or end of input
                print()
                return 0
            text = line.strip()
            if not text:
                continue
            if not text.startswith("/") or "\n" in text:
                self.turn(text)
                continue
            if text.startswith("//"):  # a message that itself starts with "/"
                self.turn(text[1:])
                continue
            command, _, argument = text.partition(" ")
            if command in ("/quit", "/exit"):
                return 0
            elif command == "/retry":
                self.retry()
            elif command == "/image":
                self.attach(argument.strip().strip("'\""))
            elif command == "/history":
                self.history()
            elif command == "/help":
                print(CHAT_HELP)
            else:
                print(f"  unknown command {command}; the commands are {COMMANDS} (start a message with // to send it")
                print("  with a leading /)")

    def turn(self, prompt: str, retry: bool = False) -> None:
        """Sends one user turn and prints its streamed answer.

        While the answer is read, Ctrl-C asks the client to stop the stream at the next line it
        receives (the part already received stays in the history); a second Ctrl-C abandons the
        stream at once, for a connection that has gone quiet.
        """
        client = self.client
        stopping = False

        def on_interrupt(signum: int, frame: Any) -> None:
            nonlocal stopping
            if stopping:
                raise KeyboardInterrupt
            stopping = True
            client._close = True
            # Written past Python's buffered stdout, which the interrupted code may be inside.
            os.write(sys.stdout.fileno(), b"\n  [stopping at the next piece; Ctrl-C again to abandon the answer]")

        pieces: Any = None
        previous = signal.signal(signal.SIGINT, on_interrupt)
        try:
            client.retry = retry
            with keys_not_echoed(sys.stdin if self.interactive else None):
                pieces = client.invoke(prompt)  # a stream: the chat sets "stream" in the request body
                show_stream(pieces, self.colour)
            if stopping:
                print("  [stopped; the partial answer stays in the history]")
        except KeyboardInterrupt:
            if pieces is not None and hasattr(pieces, "close"):
                pieces.close()
            client._reset()  # tool calls half received belong to no request any more
            print("  [abandoned; the partial answer stays in the history]")
        except BrokenPipeError:
            raise  # nobody reads the output any more
        except Exception as exc:  # the client has printed the reason and recorded its default answer
            print(f"  [no answer: {failure(exc, client.endpoint_url)}]")
        finally:
            signal.signal(signal.SIGINT, previous)
            # A stop that came too late for the stream must not stop the next one; a retry that
            # got no answer must not turn the next message into an alternative.
            client._close = False
            client.retry = False
        if retry:
            self.show_alternatives()

    def retry(self) -> None:
        """Sends the latest user message again, with its images and video, as a retry."""
        from parleykit.message import MessageRole

        client = self.client
        message = client.message_latest(MessageRole.user)
        if message is None or not message.contents:
            print("  nothing to retry yet")
            return
        text, images, video = split_content(message.contents[-1])
        # Images attached since then wait for the next new message.
        waiting = list(client.images)
        client.images[:] = images
        client.video[:] = video
        try:
            self.turn(text, retry=True)
        finally:
            client.images.extend(waiting)

    def show_alternatives(self) -> None:
        from parleykit.message import MessageRole

        answer = self.client.message_latest(MessageRole.assistant)
        if answer is not None and len(answer.contents) > 1:
            print(f"  (answer {len(answer.contents)} of {len(answer.contents)}; /history shows them all)")

    def attach(self, argument: str) -> None:
        images = self.client.images
        if not argument:
            print("  usage: /image PATH, or /image clear")
            return
        if argument == "clear":
            print(f"  detached {len(images)} image{'s' if len(images) != 1 else ''}")
            images.clear()
            return
        path = Path(argument).expanduser()
        try:
            data = path.read_bytes()
        except OSError as exc:
            print(f"  cannot read {argument}: {exc.strerror or exc}")
            return
        if image_kind(data) is None:
            print(f"  not attached: {path.name} is not a PNG, JPEG, GIF or WebP image")
            return
        self.client.images.append(base64.b64encode(data).decode("ascii"))
        waiting = len(self.client.images)
        print(f"  attached {path.name} ({len(data)} bytes); images waiting for your next message: {waiting}")

    def history(self) -> None:
        messages = self.client.messages
        if not messages:
            print("  (empty)")
        for message in messages:
            role = message.role.value
            if message.tool_call_id is not None:
                role += f" {message.tool_call_id}"
            calls = "".join(
                f" -> {call.get('function', {}).get('name')}({call.get('function', {}).get('arguments') or ''})"
                for call in message.tool_calls or []
            )
            if message.superseded:
                role += " (replaced by a retry)"
            contents = [describe_content(c) for c in message.contents]
            if len(contents) <= 1:
                print(f"  {role}:{calls} {contents[0] if contents else ''}".rstrip())
                continue
            print(f"  {role}:{calls} {len(contents)} alternatives")
            for number, text in enumerate(contents, 1):
                print(f"    {'*' if number == len(contents) else ' '} {number}. {text}")


@contextlib.contextmanager
def keys_not_echoed(stream: Any) -> Iterator[None]:
    """While an answer streams, keys typed at the terminal ``stream`` are not echoed into it; they
    wait, unread, for the next prompt. Ctrl-C still interrupts. Nothing changes for a pipe or file."""
    try:
        fd = stream.fileno() if stream is not None else -1
        saved = termios.tcgetattr(fd) if fd >= 0 and os.isatty(fd) else None
    except (OSError, ValueError, termios.error):
        saved = None
    if saved is None:
        yield
        return
    quiet = list(saved)
    quiet[3] = saved[3] & ~(termios.ECHO | termios.ECHONL)  # the local modes
    termios.tcsetattr(fd, termios.TCSANOW, quiet)
    try:
        yield
    finally:
        try:
            termios.tcsetattr(fd, termios.TCSANOW, saved)
        except termios.error:
            pass  # the terminal has gone away


def split_content(content: Any) -> tuple[str, list[str], list[str]]:
    """A user message's alternative as (text, base64 images, base64 video frames)."""
    if isinstance(content, str):
        return content, [], []
    texts: list[str] = []
    images: list[str] = []
    video: list[str] = []
    for part in content:
        if part.get("type") == "text":
            texts.append(part.get("text", ""))
        elif part.get("type") == "image_url":
            url = part.get("image_url")
            url = url.get("url", "") if isinstance(url, dict) else str(url)
            images.append(url.removeprefix(MEDIA_PREFIX))
        elif part.get("type") == "video":
            video.extend(str(frame).removeprefix(MEDIA_PREFIX) for frame in part.get("video", []))
    return " ".join(texts), images, video


def describe_content(content: Any) -> str:
    """One alternative of a message as a line of text: media parts are named, not dumped."""
    text, images, video = split_content(content)
    marks = ["[image]"] * len(images) + ([f"[video, {len(video)} frames]"] if video else [])
    return " ".join([*marks, text.replace("\n", " ")]).strip()


def program_name() -> str:
    """How the program was started, for its usage text: `parleykit` (the console script, or whatever
    name it was started by) or `python -m parleykit`."""
    name = Path(sys.argv[0]).name if sys.argv and sys.argv[0] else ""
    if name in ("", "-c", "__main__.py") or name.startswith("python"):
        return "python -m parleykit"
    return name


def main(argv: list[str] | None = None) -> int:
    from parleykit import __version__
    from parleykit.config import ConfigError

    parser = argparse.ArgumentParser(prog=program_name())
    parser.add_argument("--version", action="version", version=f"parleykit {__version__}")
    server = argparse.ArgumentParser(add_help=False)
    server.add_argument("--endpoint", help="chat-completions URL of a real server (default: a scripted local one)")
    server.add_argument("--model", help="model name sent in the request body")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("tour", parents=[server], help="a short conversation with tools, plain and streamed")
    chat_cmd = sub.add_parser("chat", parents=[server], help="an interactive conversation, streamed, with the demo tools")
    chat_cmd.add_argument("--system", default=SYSTEM_PROMPT, help="the system prompt")
    try:
        args = parser.parse_args(argv)  # --help and --version print too, and may meet a closed pipe
        return chat(args) if args.command == "chat" else tour(args)
    except ConfigError as exc:
        print(f"parleykit: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`tour | head -3`): end quietly.
        _discard_output()
        return 0
    finally:
        # What is still buffered goes out now, where a closed pipe can be told apart from other
        # failures (argparse's own printing swallows the error, the flush at exit would not).
        try:
            sys.stdout.flush()
        except BrokenPipeError:
            _discard_output()


def _discard_output() -> None:
    """Points standard output at /dev/null: what is still buffered for it goes nowhere, so the flush
    at exit does not fail once more."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


if __name__ == "__main__":
    sys.exit(main())
