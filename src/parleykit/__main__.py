"""Command line of parleykit: `python -m parleykit tour` holds a short conversation with tools.

Without --endpoint the tour talks to a scripted stand-in endpoint started on 127.0.0.1 (see
parleykit._demo_server: not a model, a fixed script). With --endpoint URL (and --model NAME) the
same tour runs against any OpenAI-compatible chat-completions server; its API key is read by
Configurator from the "llm" section (for example the environment variable PARLEYKIT_LLM_API_KEY).
"""

from __future__ import annotations

import argparse
import sys
from typing import Any

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
    print(PLAIN if colour else "")


def tour(args: argparse.Namespace) -> int:
    from parleykit.modal import LLModal

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


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m parleykit")
    sub = parser.add_subparsers(dest="command", required=True)
    tour_cmd = sub.add_parser("tour", help="a short conversation with tools, plain and streamed")
    tour_cmd.add_argument("--endpoint", help="chat-completions URL of a real server (default: a scripted local one)")
    tour_cmd.add_argument("--model", help="model name sent in the request body")
    args = parser.parse_args(argv)
    return tour(args)


if __name__ == "__main__":
    sys.exit(main())
