"""Command line of parleykit: `python -m parleykit tour` shows the client at work."""

from __future__ import annotations

import argparse
import sys


def tour(args: argparse.Namespace) -> int:
    from parleykit.modal import LLModal, LLMResult, LLMStatus

    client = LLModal()
    print("A new LLModal and its defaults:")
    for name, value in client.model_dump().items():
        print(f"  {name} = {value!r}")
    print(f"  _tool_calls_count = {client._tool_calls_count!r}, _close = {client._close!r}")
    print(f"  _default = {client._default!r}")
    first = LLMResult(content="Hello, ", status=LLMStatus.answer)
    second = LLMResult(content="world.", status=LLMStatus.answer)
    print("Two results added:", first + second)
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m parleykit")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("tour", help="a short tour of the conversation client")
    args = parser.parse_args(argv)
    return tour(args)


if __name__ == "__main__":
    sys.exit(main())
