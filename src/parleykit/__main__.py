"""Command line of parleykit: `python -m parleykit tour` holds a short conversation with tools, and
`python -m parleykit chat` an interactive one.

Without --endpoint both talk to a scripted stand-in endpoint started on 127.0.0.1 (see
parleykit._demo_server: not a model, a fixed script). With --endpoint URL (and --model NAME) they
run against any OpenAI-compatible chat-completions server; its API key is read by Configurator
from the "llm" section (for example the environment variable PARLEYKIT_LLM_API_KEY).
"""

from __future__ import annotations

import argparse
import base64
import os
import signal
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from parleykit.modal import LLModal

CHAT_TIMEOUT = "10,600"  # seconds to connect, seconds to wait for each read
REASON = "\033[2m"  # reasoning is shown dim, the answer plain
PLAIN = "\033[0m"


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
        elif piece.status is LLMStatus.answer:
            if mode != "answer":
                print((PLAIN if colour else "") + "\n  ", end="")
                mode = "answer"
            print(piece.content, end="", flush=True)
        elif piece.status is LLMStatus.tool_calls:
            for call in piece.tool_calls.values():
                print(f"{PLAIN if colour else ''}\n  -> calls {call.name}({call.content})", end="")
            mode = None
        elif piece.status is LLMStatus.tool_results:
            for result in piece.tool_results.values():
                print(f"\n  <- {result.name} answered {result.content}", end="")
            mode = None


def tour(args: argparse.Namespace) -> int:
    from parleykit.modal import LLModal, LLMResult

    server = None
    endpoint = args.endpoint
    if endpoint is None:
        from parleykit import _demo_server

        server, endpoint = _demo_server.serve()
        print(f"Scripted stand-in endpoint (not a model) at {endpoint}")
    extra: dict[str, Any] = {"model": args.model} if args.model else {}
    colour = sys.stdout.isatty()
    try:
        client = LLModal(
            endpoint_url=endpoint,
            system_prompt="You are a concise assistant. Use the tools when they help.",
            tools=make_tools(),
            extra_body=extra,
        )
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
    finally:
        if server is not None:
            server.shutdown()
    return 0

CHAT_HELP = """Type a message and press Enter. Commands:
  /retry        ask the last message again; both answers stay in the history as alternatives
  /image PATH   attach an image file to your next message
  /history      show the conversation, with every alternative of each message
  /quit         leave (so do Ctrl-D, and Ctrl-C at the prompt)
Ctrl-C while an answer streams stops it; what arrived so far stays in the history."""

MEDIA_PREFIX = "data:image;base64,"  # how the client embeds images and video frames in a message


def chat(args: argparse.Namespace) -> int:
    from parleykit.config import Configurator
    from parleykit.modal import LLModal

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
    # Whether a key is configured, never the key itself.
    key = "configured" if Configurator.has_option("llm", "api_key") else "not configured"
    print(f"Endpoint {endpoint}; API key (section 'llm'): {key}")
    extra: dict[str, Any] = {"stream": True}
    if args.model:
        extra["model"] = args.model
    client = LLModal(endpoint_url=endpoint, system_prompt=args.system, tools=make_tools(), extra_body=extra)
    if sys.stdin.isatty():
        try:
            import readline  # noqa: F401  (line editing and history for input())
        except ImportError:
            pass
    try:
        return Chat(client, colour=sys.stdout.isatty()).run()
    finally:
        if server is not None:
            server.shutdown()


class Chat:
    """The interactive loop around one client: reads lines, runs commands, streams the answers."""

    def __init__(self, client: LLModal, colour: bool) -> None:
        self.client = client
        self.colour = colour

    def run(self) -> int:
        print(CHAT_HELP)
        while True:
            try:
                line = input("\nyou> ")
            except (EOFError, KeyboardInterrupt):  # Ctrl-D, end of input, or Ctrl-C at the prompt
                print()
                return 0
            text = line.strip()
            if not text:
                continue
            if not text.startswith("/"):
                self.turn(text)
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
            else:
                print(CHAT_HELP)

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
            pieces = client.invoke(prompt)  # a stream: the chat sets "stream" in the request body
            show_stream(pieces, self.colour)
            if stopping:
                print("  [stopped; the partial answer stays in the history]")
        except KeyboardInterrupt:
            if pieces is not None and hasattr(pieces, "close"):
                pieces.close()
            client._reset()  # tool calls half received belong to no request any more
            print("  [abandoned; the partial answer stays in the history]")
        except Exception as exc:  # the client has printed the reason and recorded its default answer
            print(f"  [no answer: {type(exc).__name__}]")
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
        if not argument:
            print("  usage: /image PATH")
            return
        path = Path(argument).expanduser()
        try:
            data = path.read_bytes()
        except OSError as exc:
            print(f"  cannot read {argument}: {exc.strerror or exc}")
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


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m parleykit")
    sub = parser.add_subparsers(dest="command", required=True)
    tour_cmd = sub.add_parser("tour", help="a short conversation with tools, plain and streamed")
    tour_cmd.add_argument("--endpoint", help="chat-completions URL of a real server (default: a scripted local one)")
    tour_cmd.add_argument("--model", help="model name sent in the request body")
    chat_cmd = sub.add_parser("chat", help="an interactive conversation, streamed, with the demo tools")
    chat_cmd.add_argument("--endpoint", help="chat-completions URL of a real server (default: a scripted local one)")
    chat_cmd.add_argument("--model", help="model name sent in the request body")
    chat_cmd.add_argument(
        "--system", default="You are a concise assistant. Use the tools when they help.", help="the system prompt"
    )
    args = parser.parse_args(argv)
    return chat(args) if args.command == "chat" else tour(args)


if __name__ == "__main__":
    sys.exit(main())
