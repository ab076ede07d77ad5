"""parleykit benchmarks: each figure measured side by side with its peers in one run.

Times are the client process's own CPU time (time.process_time; the endpoint runs in another
process), medians of several repetitions. Usage: python bench/run.py [--quick] [--only NAME ...]
"""

from __future__ import annotations

import argparse
import asyncio
import functools
import gc
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import requests

HERE = Path(__file__).resolve().parent


class Endpoint:
    def __enter__(self):
        self.proc = subprocess.Popen([sys.executable, str(HERE / "server.py")], stdout=subprocess.PIPE, text=True)
        self.base = f"http://127.0.0.1:{self.proc.stdout.readline().strip()}"
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(10)


def cpu(fn, reps: int) -> float:
    """Median CPU seconds of `fn()` over `reps` runs (after one warm-up run)."""
    fn()
    times = []
    for _ in range(reps):
        gc.collect()
        start = time.process_time()
        fn()
        times.append(time.process_time() - start)
    return statistics.median(times)


def side_by_side(fns, reps: int) -> list[float]:
    """Median CPU seconds of each of `fns`, their runs taken in turns (after one warm-up run each),
    so that a change in the machine's load weighs on every figure alike."""
    for fn in fns:
        fn()
    times: list[list[float]] = [[] for _ in fns]
    for _ in range(reps):
        for fn, taken in zip(fns, times):
            gc.collect()
            start = time.process_time()
            fn()
            taken.append(time.process_time() - start)
    return [statistics.median(taken) for taken in times]


def row(label: str, value: str, note: str = "") -> None:
    print(f"  {label:<46} {value:>16}  {note}")


def verdict(ratio: float, target: float) -> str:
    return f"target <= {target:g}x: {'met' if ratio <= target else 'MISSED'}"


# ---- 1. stream consumption -------------------------------------------------------------------

def floor_stream(url: str) -> int:
    """The least any client must do: lines, JSON, one LLMResult per chunk."""
    from parleykit.modal import LLMResult, LLMStatus

    count = 0
    with requests.post(url, json={"messages": [{"role": "user", "content": "hi"}], "stream": True}, stream=True) as r:
        for line in r.iter_lines():
            if not line:
                continue
            payload = line[6:] if line.startswith(b"data: ") else line
            if payload == b"[DONE]":
                break
            choice = json.loads(payload)["choices"][0]
            delta = choice["delta"]
            reasoning, content = delta.get("reasoning_content") or "", delta.get("content") or ""
            if reasoning or content:
                LLMResult(reasoning_content=reasoning, content=content,
                          status=LLMStatus.reason if reasoning else LLMStatus.answer)
                count += 1
            if choice.get("finish_reason") is not None:
                break
    return count


def parleykit_stream(client, history) -> int:
    client.messages[:] = history
    return sum(1 for _ in client.invoke("hi"))


def sdk_stream(sdk, model="bench") -> int:
    stream = sdk.chat.completions.create(model=model, messages=[{"role": "user", "content": "hi"}], stream=True)
    return sum(1 for _ in stream)


def make_client(url: str, stream: bool):
    from parleykit.modal import LLModal
    from parleykit.tools import Tools

    tools = Tools()

    @tools.register
    def echo(text: str) -> str:
        """Echo a text."""
        return text[:10]

    return LLModal(endpoint_url=url, extra_body={"stream": stream}, tools=tools)


def history_of(length: int):
    from parleykit.message import Message, MessageRole

    roles = [MessageRole.user, MessageRole.assistant]
    return [Message(role=roles[i % 2], contents=[f"earlier message {i}"]) for i in range(length)]


def bench_stream(ep: Endpoint, quick: bool) -> None:
    from openai import OpenAI

    n = 2000 if quick else 20000
    reps = 3 if quick else 5
    print(f"\n1. Stream consumption ({n} chunks; CPU per chunk, median of {reps}, taken in turns)")
    for kind in ("answer", "reason_tool"):
        url = f"{ep.base}/stream?n={n}&kind={kind}"
        # The SDK posts to {base_url}/chat/completions: the same body through the query.
        sdk = OpenAI(base_url=f"{ep.base}/stream", api_key="bench", max_retries=0,
                     default_query={"n": str(n), "kind": kind})
        client = make_client(url, True)
        floor, ours, theirs = (t / n for t in side_by_side(
            [lambda: floor_stream(url), lambda: parleykit_stream(client, []), lambda: sdk_stream(sdk)], reps))
        print(f" {kind} stream:")
        row("floor (requests iter_lines + json + LLMResult)", f"{floor * 1e6:8.2f} us/chunk")
        row("parleykit invoke(stream)", f"{ours * 1e6:8.2f} us/chunk", f"{ours / floor:.2f}x floor, {verdict(ours / floor, 1.10)}")
        row("openai SDK stream", f"{theirs * 1e6:8.2f} us/chunk", f"parleykit/SDK {ours / theirs:.2f}x, {verdict(ours / theirs, 0.5)}")
    # A body ended by closing the connection (no chunked framing): read as it arrives.
    url = f"{ep.base}/stream?n={n}&kind=answer&close=1"
    client = make_client(url, True)
    floor, ours = (t / n for t in side_by_side([lambda: floor_stream(url), lambda: parleykit_stream(client, [])], reps))
    print(" answer stream without chunked encoding (ends when the connection closes):")
    row("floor (requests iter_lines + json + LLMResult)", f"{floor * 1e6:8.2f} us/chunk")
    row("parleykit invoke(stream)", f"{ours * 1e6:8.2f} us/chunk", f"{ours / floor:.2f}x floor, {verdict(ours / floor, 1.10)}")
    url = f"{ep.base}/stream?n={n}&kind=answer"
    client = make_client(url, True)
    print(" history length (answer stream; per-chunk cost must stay flat):")
    base = None
    for length in (10, 100, 1000):
        history = history_of(length)
        per = cpu(lambda: parleykit_stream(client, history), reps) / n
        base = base or per
        row(f"history of {length} entries", f"{per * 1e6:8.2f} us/chunk", f"{per / base:.2f}x the 10-entry cost")


# ---- 2. plain turns --------------------------------------------------------------------------

def bench_plain(ep: Endpoint, quick: bool) -> None:
    from openai import OpenAI

    turns = 50 if quick else 2000
    url = f"{ep.base}/plain"
    client = make_client(url, False)
    session_free = {"messages": [{"role": "user", "content": "hi"}]}

    def bare():
        for _ in range(turns):
            requests.post(url, json=session_free).json()

    def ours():
        for _ in range(turns):
            client.messages.clear()
            client.invoke("hi")

    sdk = OpenAI(base_url=f"{ep.base}/plain", api_key="bench", max_retries=0)

    def theirs():
        for _ in range(turns):
            sdk.chat.completions.create(model="bench", messages=[{"role": "user", "content": "hi"}])

    reps = 5
    print(f"\n2. Plain turns ({turns} short replies; CPU per turn, median of {reps}, taken in turns)")
    b, o, t = (x / turns for x in side_by_side([bare, ours, theirs], reps))
    row("requests.post + json()", f"{b * 1e6:8.1f} us/turn")
    row("parleykit invoke", f"{o * 1e6:8.1f} us/turn", f"{o / b:.2f}x bare requests, {verdict(o / b, 1.1)}")
    row("openai SDK create", f"{t * 1e6:8.1f} us/turn", f"parleykit/SDK {o / t:.2f}x")


# ---- 3. tool runs ----------------------------------------------------------------------------

def bench_tools(quick: bool) -> None:
    from importlib.metadata import version

    from fastmcp import FastMCP
    from fastmcp.server.context import Context
    from fastmcp.tools import FunctionTool

    from parleykit.cython import CythonFunctionTool, get_cached_typeadapter

    def add(a: int, b: int = 2) -> int:
        """Add two numbers."""
        return a + b

    async def add_async(a: int, b: int = 2) -> int:
        """Add two numbers."""
        return a + b

    def greet(name: str, ctx) -> str:
        """Greet from the server."""
        return f"{name} from {ctx.fastmcp.name}"

    greet.__annotations__["ctx"] = Context  # this file's annotations are texts; the name is local

    runs = 1000 if quick else 5000
    server = FastMCP("bench")

    def drive(tool, arguments):
        async def many():
            async with Context(fastmcp=server):
                for _ in range(runs):
                    await tool.run(dict(arguments))

        return lambda: asyncio.run(many())

    turns = 9
    print(f"\n3. Tool runs ({runs} runs of one tool; CPU per run, all threads, median of {turns} taken in turns; "
          f"fastmcp {version('fastmcp')}, pydantic {version('pydantic')})")
    modes = [
        ("sync function, worker thread", add, {}, {"a": 1, "b": 2}),
        ("sync function, inline", add, {"run_in_thread": False}, {"a": 1, "b": 2}),
        ("async function", add_async, {}, {"a": 1, "b": 2}),
        ("sync function with Context, inline", greet, {"run_in_thread": False}, {"name": "ann"}),
    ]
    for kind, fn, options, arguments in modes:
        their_tool = FunctionTool.from_function(fn, **options)
        ours_tool = CythonFunctionTool.from_function(fn, **options)
        t, o = (v / runs for v in side_by_side([drive(their_tool, arguments), drive(ours_tool, arguments)], turns))
        row(f"{kind}: fastmcp FunctionTool.run", f"{t * 1e6:8.2f} us/run")
        row(f"{kind}: CythonFunctionTool.run", f"{o * 1e6:8.2f} us/run",
            f"{o / t:.2f}x fastmcp, {verdict(o / t, 1.0)}")

    plain = functools.lru_cache(maxsize=5000)(lambda fn: fn)
    get_cached_typeadapter(add)
    hits = 200000

    def hit(f):
        def loop():
            for _ in range(hits):
                f(add)
        return loop

    p = cpu(hit(plain), 5) / hits
    g = cpu(hit(get_cached_typeadapter), 5) / hits
    row("functools.lru_cache hit", f"{p * 1e9:8.1f} ns/hit")
    row("get_cached_typeadapter hit", f"{g * 1e9:8.1f} ns/hit", f"{g / p:.2f}x, {verdict(g / p, 2.0)}")


# ---- 4. long lines ---------------------------------------------------------------------------

def bench_long_lines(ep: Endpoint, quick: bool) -> None:
    sizes = [1] if quick else [1, 5, 20]
    print("\n4. One streamed line of N MB (CPU seconds to read it; median of 3)")
    for mb in sizes:
        url = f"{ep.base}/longline?bytes={mb * 1024 * 1024}"
        client = make_client(url, True)
        ours = cpu(lambda: parleykit_stream(client, []), 3)

        def lines_only():
            with requests.post(url, json={}, stream=True) as r:
                for _ in r.iter_lines():
                    pass

        note = ""
        if mb <= 5:
            theirs = cpu(lines_only, 1)
            note = f"requests iter_lines alone: {theirs:.2f} s ({theirs / ours:.0f}x)"
        else:
            note = "iter_lines alone not run (quadratic: minutes)"
        row(f"{mb} MB line, parleykit", f"{ours:8.3f} s", note)


# ---- 5. start-up -----------------------------------------------------------------------------

def bench_startup(quick: bool) -> None:
    reps = 3 if quick else 9
    # Exactly the dependency modules the two module bodies import.
    deps_code = ("import json, enum, typing, inspect, functools, requests, pydantic, pydantic_core, mcp.types, "
                 "fastmcp.server.dependencies, fastmcp.tools, fastmcp.tools.base, fastmcp.utilities.types")
    codes = {"bare": "pass", "deps": deps_code, "ours": "import parleykit.modal"}
    times: dict[str, list[float]] = {k: [] for k in codes}
    for _ in range(reps):  # interleaved, so load from elsewhere falls on all three alike
        for key, code in codes.items():
            start = time.perf_counter()
            subprocess.run([sys.executable, "-c", code], check=True)
            times[key].append(time.perf_counter() - start)
    bare, deps, ours = (statistics.median(times[k]) for k in codes)

    # The modules' own import work, from the interpreter's import timer: the self time of every
    # parleykit module (their bodies: imports resolved, classes and pydantic models built).
    own = []
    for _ in range(1 if quick else reps):
        out = subprocess.run([sys.executable, "-X", "importtime", "-c", "import parleykit.modal"],
                             capture_output=True, text=True, check=True).stderr
        own.append(sum(int(line.split("|")[0].split(":")[1]) for line in out.splitlines()
                       if line.rstrip().split("|")[-1].strip().startswith("parleykit")) / 1e6)

    print(f"\n5. Start-up (fresh interpreter, wall time, median of {reps}, interleaved)")
    row("interpreter alone", f"{bare * 1e3:8.1f} ms")
    row("dependencies alone (the modules they import)", f"{deps * 1e3:8.1f} ms")
    row("import parleykit.modal (with its dependencies)", f"{ours * 1e3:8.1f} ms", f"difference {(ours - deps) * 1e3:.1f} ms")
    row("parleykit modules' own import time (-X importtime)", f"{statistics.median(own) * 1e3:8.1f} ms")


# ---- 6. memory -------------------------------------------------------------------------------

def rss_mib() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def bench_memory(ep: Endpoint, quick: bool) -> None:
    from parleykit.cython import CythonFunctionTool

    turns = 2000 if quick else 100000
    print(f"\n6. Memory ({turns} streamed turns on one client, history trimmed; {turns} tool runs)")
    client = make_client(f"{ep.base}/stream?n=3&kind=answer", True)

    def run_turns(count):
        for _ in range(count):
            client.messages.clear()
            for _ in client.invoke("hi"):
                pass

    run_turns(1000)
    gc.collect()
    rss0, objs0 = rss_mib(), len(gc.get_objects())
    run_turns(turns)
    gc.collect()
    rss1, objs1 = rss_mib(), len(gc.get_objects())
    row("streamed turns: RSS after warm-up -> end", f"{rss0:.1f} -> {rss1:.1f} MiB", f"live objects {objs0} -> {objs1}")

    def add(a: int, b: int = 2) -> int:
        return a + b

    tool = CythonFunctionTool.from_function(add)

    async def runs(count):
        for _ in range(count):
            await tool.run({"a": 1})

    asyncio.run(runs(1000))
    gc.collect()
    rss0, objs0 = rss_mib(), len(gc.get_objects())
    asyncio.run(runs(turns))
    gc.collect()
    rss1, objs1 = rss_mib(), len(gc.get_objects())
    row("tool runs: RSS after warm-up -> end", f"{rss0:.1f} -> {rss1:.1f} MiB", f"live objects {objs0} -> {objs1}")


# ---- 7. replies over the size cap ----------------------------------------------------------------

CAPPED_TURN = """
import resource, sys
from parleykit.config import Configurator
from parleykit.modal import LLModal
Configurator.set("llm", "max_reply_bytes", int(sys.argv[2]))
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    LLModal(endpoint_url=sys.argv[1]).invoke("hi")
except ValueError as exc:
    assert "larger than its cap" in str(exc), exc
print(before / 1024, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)
"""


def bench_capped(ep: Endpoint, quick: bool) -> None:
    cap = 8 * 1024 * 1024
    size = 64 * 1024 * 1024 if quick else 128 * 1024 * 1024
    print(f"\n7. A {size >> 20} MiB whole reply against a cap of {cap >> 20} MiB (peak RSS of a fresh client process)")
    for compressed in (False, True):
        url = f"{ep.base}/big?bytes={size}&gzip={int(compressed)}"
        out = subprocess.run([sys.executable, "-c", CAPPED_TURN, url, str(cap)], capture_output=True, text=True, check=True)
        before, peak = (float(x) for x in out.stdout.split()[-2:])
        grown = peak - before
        label = "gzip body (" + ("%.1f MiB on the wire" % (len(__import__("gzip").compress(b"A" * size, 6)) / 2**20)) + ")" if compressed else "plain body"
        row(f"{label}", f"+{grown:7.1f} MiB", f"{grown / (cap / 2**20):.2f}x the cap, {verdict(grown / (cap / 2**20), 3.0)}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a smoke run")
    parser.add_argument("--only", nargs="*", default=None,
                        choices=["stream", "plain", "tools", "longlines", "startup", "memory", "capped"])
    args = parser.parse_args()
    only = set(args.only or ["stream", "plain", "tools", "longlines", "startup", "memory", "capped"])
    print(f"parleykit benchmarks on {os.cpu_count()} cores, Python {sys.version.split()[0]}")
    with Endpoint() as ep:
        if "stream" in only:
            bench_stream(ep, args.quick)
        if "plain" in only:
            bench_plain(ep, args.quick)
        if "tools" in only:
            bench_tools(args.quick)
        if "longlines" in only:
            bench_long_lines(ep, args.quick)
        if "startup" in only:
            bench_startup(args.quick)
        if "memory" in only:
            bench_memory(ep, args.quick)
        if "capped" in only:
            bench_capped(ep, args.quick)


if __name__ == "__main__":
    main()
