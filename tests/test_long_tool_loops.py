"""A model that keeps asking for tools: no depth of tool loop crashes the process, and a turn holds
one connection at a time however many rounds it runs."""

import os
import threading

import pytest

from client_support import BUSY, make_tools, reports  # noqa: F401  (a fixture)
from loopback import chunk, completion, sse
from parleykit.modal import LLModal

CALL = {"id": "c1", "type": "function", "function": {"name": "add", "arguments": '{"a": 1, "b": 2}'}}


def push_rounds(loopback, streamed, rounds):
    for _ in range(rounds):
        if streamed:
            loopback.push(sse([chunk({"tool_calls": [dict(CALL, index=0)]}), chunk({}, "tool_calls")]))
        else:
            loopback.push(completion(None, tool_calls=[CALL]))


def in_thread(stack_size, fn):
    """Runs ``fn`` in a thread with a stack of ``stack_size`` bytes; returns what it returned or raised."""
    outcome = []
    previous = threading.stack_size(stack_size)
    try:
        thread = threading.Thread(target=lambda: outcome.append(fn()))
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join(120)
    assert not thread.is_alive() and outcome
    return outcome[0]


@pytest.mark.parametrize("streamed", [False, True], ids=["plain", "streamed"])
def test_runaway_tool_loop_ends_in_recursion_error(loopback, reports, streamed):
    # A small thread stack: the loop reaches its end within a few hundred rounds.
    push_rounds(loopback, streamed, 3000)
    client = LLModal(endpoint_url=loopback.url, tools=make_tools(), extra_body={"stream": streamed},
                     tool_calls_limit=10**6)

    def turn():
        try:
            result = client.invoke("go")
            for _ in result if streamed else ():
                pass
        except RecursionError as exc:
            return exc

    # Nested streams cost less stack a round than nested plain readings (and a sanitizer build's
    # frames are larger): each gets a stack that ends the loop within a few hundred rounds.
    caught = in_thread((96 if streamed else 256) * 1024, turn)
    assert isinstance(caught, RecursionError)
    assert 1 < len(loopback.requests) < 3000
    # Reported once, by the reading that could not go deeper; the history ends with one default.
    assert [(text, exc) for text, exc in reports] == [(f"Error parsing LLM response: {caught}", caught)]
    assert [t for m in client.messages for t in m.contents].count(BUSY) == 1
    assert (client.tool_calls, client._tool_calls_count) == ([], 0)


def client_connections(port):
    """This process's TCP sockets connected to ``port`` (the server's ends are left out)."""
    inodes = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            inodes.add(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:  # closed meanwhile by the server's thread
            pass
    with open("/proc/self/net/tcp") as table:
        rows = [line.split() for line in table.readlines()[1:]]
    return sum(1 for row in rows if int(row[2].split(":")[1], 16) == port and f"socket:[{row[9]}]" in inodes)


@pytest.mark.skipif(not os.path.exists("/proc/self/net/tcp"), reason="needs /proc")
@pytest.mark.parametrize("streamed", [False, True], ids=["plain", "streamed"])
def test_a_long_tool_loop_holds_one_connection(loopback, streamed):
    rounds = 40
    push_rounds(loopback, streamed, rounds)
    loopback.push(sse([chunk({"content": "done"}, "stop")]) if streamed else completion("done"))
    seen = []
    tools = make_tools()
    run = tools.__call__

    class Counting(type(tools)):
        def __call__(self, tool_calls):
            seen.append(client_connections(port))
            return run(tool_calls)

    tools.__class__ = Counting
    client = LLModal(endpoint_url=loopback.url, tools=tools, extra_body={"stream": streamed}, tool_calls_limit=rounds)
    port = int(loopback.url.split(":")[2].split("/")[0])
    result = client.invoke("go")
    if streamed:
        assert [p.content for p in result][-1] == "done"
    else:
        assert result.content == "done"
    assert len(seen) == rounds
    # Each reply let go of its connection before its tool round.
    assert seen == [0] * rounds



DEEP_STREAM_SCRIPT = """
import builtins, sys, threading
sys.path.insert(0, {tests!r})
from client_support import make_tools
from loopback import Loopback, chunk, sse
from parleykit.modal import LLModal

CALL = {call!r}
server = Loopback()

def deep_stream(rounds):
    for _ in range(rounds):
        server.push(sse([chunk({{"tool_calls": [dict(CALL, index=0)]}}), chunk({{}}, "tool_calls")]))
    client = LLModal(endpoint_url=server.url, tools=make_tools(), extra_body={{"stream": True}}, tool_calls_limit=10**6)
    stream = client.invoke("go")
    results = 0
    for piece in stream:
        results += piece.status == "tool_results"
        if results == rounds:
            return stream

def on_small_stack(fn):
    out = []
    previous = threading.stack_size({stack})
    t = threading.Thread(target=lambda: out.append(fn()))
    t.start()
    threading.stack_size(previous)
    t.join()
    return out[0]

def outcome(fn):
    try:
        fn()
        return "done"
    except (KeyError, RecursionError) as e:
        return type(e).__name__

sys.unraisablehook = lambda u: None
quiet = lambda *a, **k: None
for action in ("throw", "close", "drop"):
    box = [deep_stream({rounds})]
    builtins.print, real_print = quiet, builtins.print
    if action == "throw":
        result = on_small_stack(lambda: outcome(lambda: box[0].throw(KeyError("k"))))
    elif action == "close":
        result = on_small_stack(lambda: outcome(box[0].close))
    else:
        result = on_small_stack(lambda: outcome(box.clear))
    builtins.print = real_print
    print(action, result)
server.close()
print("survived")
"""


def test_a_deep_stream_thrown_into_closed_or_dropped_on_a_small_stack_survives():
    # Each tool round nests one more reading; the stream is built on the main thread, then thrown
    # into, closed or dropped on a thread whose stack holds far fewer levels than the stream has.
    import subprocess
    import sys

    script = DEEP_STREAM_SCRIPT.format(tests=os.path.dirname(__file__), call=CALL, rounds=300, stack=64 * 1024)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    outcomes = dict(line.split() for line in proc.stdout.splitlines()[:-1])
    assert proc.stdout.splitlines()[-1] == "survived"
    assert outcomes.keys() == {"throw", "close", "drop"}
    assert outcomes["throw"] in {"KeyError", "RecursionError"} and outcomes["drop"] == "done"
    assert outcomes["close"] in {"done", "RecursionError"}
