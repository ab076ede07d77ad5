"""Mutated reply bodies (truncated, flipped, invalid UTF-8, wrong JSON types at every key the client
reads, huge lines, thousands of tool-call fragments) read by the plain and streaming readers over a
real loopback server: no crash, no hang, failures only through the reported failure path, a history
that stays well formed, and no objects left behind."""

import gc
import io
import json
import random
import sys
import threading
import zlib
from collections import Counter
from dataclasses import dataclass, field
from typing import Any

import pytest

import corpus
from loopback import Loopback, chunk, completion, sse
from parleykit.message import Message, MessageRole
from parleykit.modal import LLModal, LLMResult, LLMStatus
from parleykit.tools import Tools

BUSY = "The server is busy. Please try again later."
CASE_TIMEOUT = 20.0  # seconds one case may take before it counts as a hang


class AnsweringTools(Tools):
    """A registry that answers every call, whatever it names, so tool rounds always go on."""

    def __init__(self):
        super().__init__()
        self.seen: list[Any] = []

    def __bool__(self):
        return True

    def __call__(self, tool_calls):
        self.seen.extend(tool_calls)
        return [
            Message(role=MessageRole.tool, contents=["ok"],
                    tool_call_id=c.get("id") if isinstance(c, dict) and isinstance(c.get("id"), str) else None)
            for c in tool_calls
        ]


class Server(Loopback):
    def __init__(self) -> None:
        super().__init__()
        # A reader that stops early leaves the rest of the body unread, and the client's socket is
        # reset when the response is freed; the server need not print that for every case.
        self._server.handle_error = lambda request, address: None

    def discard_pending(self) -> None:
        """Forget scripted replies that the case did not ask for."""
        with self._arrived:
            self._replies.clear()


@pytest.fixture
def server():
    s = Server()
    try:
        yield s
    finally:
        s.close()


# ---- bodies ---------------------------------------------------------------------------------


def call(call_id, name, arguments):
    return {"id": call_id, "type": "function", "function": {"name": name, "arguments": arguments}}


def fragment(index, call_id=None, name=None, arguments=None):
    f: dict[str, Any] = {"index": index}
    if call_id:
        f.update(id=call_id, type="function")
    function = {k: v for k, v in (("name", name), ("arguments", arguments)) if v is not None}
    if function:
        f["function"] = function
    return f


# Bodies of our own, so the fuzzing means something without the corpus: (name, streamed, body).
BUILT_IN = [
    ("plain-answer", False, completion("Hello there", reasoning_content="thinking")),
    ("plain-tools", False, completion(None, tool_calls=[call("c1", "add", '{"a": 1}'), call("c2", "mul", "{}")])),
    ("plain-tools-and-text", False, completion("let me see", tool_calls=[call("c1", "add", '{"a": 1}')])),
    ("stream-answer", True, sse([chunk({"reasoning_content": "hm"}), chunk({"content": "Hel"}),
                                 chunk({"content": "lo"}), chunk({}, "stop")])),
    ("stream-tools", True, sse([
        chunk({"tool_calls": [fragment(0, "c1", "add", "")]}),
        chunk({"tool_calls": [fragment(0, arguments='{"a":')]}),
        chunk({"tool_calls": [fragment(0, arguments=" 1}")]}),
        chunk({"tool_calls": [fragment(1, "c2", "mul", "{}")]}),
        chunk({}, "tool_calls"),
    ])),
    ("stream-text-then-error", True, sse([chunk({"content": "par"}),
                                          {"error": {"message": "overloaded", "type": "server_error"}}], done=False)),
]


def bodies():
    """Every body to mutate: ours, then the corpus's when it is there."""
    out = list(BUILT_IN)
    for name in corpus.names():
        sample = corpus.load(name)
        out.append((sample.name, sample.streamed, sample.body))
    return out


# ---- mutations ------------------------------------------------------------------------------

# Values of the wrong type (or the right type at the wrong place) for a key the client reads.
WRONG = [None, True, False, 0, -1, 7, 10**30, 1.5, "", "text", [], [1, "a"], [{"x": 1}], {}, {"a": 1},
         {"content": "x"}, [None], "data: [DONE]"]
DEEP = "[" * 100_000 + "]" * 100_000  # deeper than any decoder recursion limit


def read_paths(doc):
    """Paths (tuples of keys and indices) to every value the client reads in a decoded reply or
    chunk, including keys that are absent and would be read if present."""
    paths = [("error",)]
    if not isinstance(doc, dict) or "choices" not in doc:
        return paths
    paths.append(("choices",))
    choices = doc["choices"]
    if not isinstance(choices, list) or not choices:
        return paths
    paths.append(("choices", 0))
    choice = choices[0]
    if not isinstance(choice, dict):
        return paths
    base = ("choices", 0)
    paths.append(base + ("finish_reason",))
    for key in ("message", "delta"):
        if key not in choice:
            continue
        paths.append(base + (key,))
        message = choice[key]
        if not isinstance(message, dict):
            continue
        m = base + (key,)
        paths += [m + ("content",), m + ("reasoning_content",), m + ("tool_calls",)]
        calls = message.get("tool_calls")
        if not isinstance(calls, list):
            continue
        for i, c in enumerate(calls[:3]):
            paths.append(m + ("tool_calls", i))
            if not isinstance(c, dict):
                continue
            paths += [m + ("tool_calls", i, k) for k in ("index", "id", "function")]
            if isinstance(c.get("function"), dict):
                paths += [m + ("tool_calls", i, "function", k) for k in ("name", "arguments")]
    return paths


def replaced(doc, path, value):
    """A deep copy of `doc` with `value` at `path` (a missing last key is added)."""
    doc = json.loads(json.dumps(doc))
    target = doc
    for key in path[:-1]:
        target = target[key]
    target[path[-1]] = value
    return doc


def encode(value):
    """JSON text of a mutated document; the marker string DEEP is spliced in raw."""
    return json.dumps(value).replace(json.dumps(DEEP), DEEP).encode()


def data_lines(body: bytes):
    """(line index, decoded chunk) for every data line of an event stream that holds a JSON object."""
    out = []
    for at, line in enumerate(body.split(b"\n")):
        if line.startswith(b"data:"):
            try:
                doc = json.loads(line[5:])
            except ValueError:
                continue
            if isinstance(doc, dict):
                out.append((at, doc))
    return out


def type_mutations(rnd, streamed, body):
    """For every key the client reads: the body with that value replaced by two wrong ones."""
    out = []
    if streamed:
        lines = body.split(b"\n")
        for at, doc in data_lines(body):
            for path in read_paths(doc):
                for value in rnd.sample(WRONG + [DEEP], 2):
                    # Each path is mutated in one chunk only, picked at random among those holding it.
                    if rnd.random() < 0.35:
                        changed = list(lines)
                        changed[at] = b"data: " + encode(replaced(doc, path, value))
                        out.append((f"type {path} line {at}", b"\n".join(changed)))
    else:
        try:
            doc = json.loads(body)
        except ValueError:
            return out
        for path in read_paths(doc):
            for value in rnd.sample(WRONG + [DEEP], 2):
                out.append((f"type {path}", encode(replaced(doc, path, value))))
    return out


INVALID_UTF8 = [b"\xff", b"\xc3", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82"]


def byte_mutations(rnd, body, count):
    out = []
    for i in range(count):
        at = rnd.randrange(len(body) + 1)
        kind = i % 4
        if kind == 0:
            out.append((f"truncate at {at}", body[:at]))
        elif kind == 1:
            changed = bytearray(body)
            for _ in range(rnd.randint(1, 4)):
                changed[rnd.randrange(len(changed))] = rnd.randrange(256)
            out.append(("flip bytes", bytes(changed)))
        elif kind == 2:
            junk = bytes(rnd.randrange(256) for _ in range(rnd.randint(1, 8)))
            out.append((f"insert {junk!r} at {at}", body[:at] + junk + body[at:]))
        else:
            bad = rnd.choice(INVALID_UTF8)
            # Inside a string value where possible, where only the decoder can notice.
            quote = body.find(b'"', at)
            at = quote + 1 if quote >= 0 else at
            out.append((f"invalid UTF-8 {bad!r} at {at}", body[:at] + bad + body[at:]))
    return out


def cases_for(name, streamed, body, rounds=1):
    """The mutated bodies of one base body, the same on every call (seeded by its name)."""
    rnd = random.Random(zlib.crc32(name.encode()))
    out = [("unchanged", streamed, body)]
    out += [(label, streamed, b) for label, b in byte_mutations(rnd, body, 12 * rounds)]
    out += [(label, streamed, b) for label, b in type_mutations(rnd, streamed, body)]
    # Each reader is also handed the other kind of body.
    out.append(("read as the other kind", not streamed, body))
    return out


# ---- running one case -----------------------------------------------------------------------


@dataclass
class Outcome:
    pieces: list = field(default_factory=list)
    error: BaseException | None = None
    printed: str = ""
    answered: bool = False  # the first reading recorded an answer text of its own
    tool_round: bool = False  # a tool-calls or tool-results piece came out
    finished: bool = True  # a failed generator refuses to go on


def pieces_from(body: bytes, rnd: random.Random):
    """A streamed body cut into a few pieces at random points, each written and flushed alone."""
    cuts = sorted(rnd.sample(range(1, len(body)), min(len(body) - 1, rnd.randint(0, 5)))) if len(body) > 1 else []
    edges = [0, *cuts, len(body)]
    return [body[a:b] for a, b in zip(edges, edges[1:])] or [b""]


def drive(client: LLModal, streamed: bool, out: Outcome) -> None:
    gen = None
    own = True
    try:
        if not streamed:
            out.pieces.append(client.invoke("hello"))
            return
        gen = client.invoke("hello")
        for piece in gen:
            out.pieces.append(piece)
            if piece.status in (LLMStatus.tool_calls, LLMStatus.tool_results):
                own = False
                out.tool_round = True
            elif own and piece.status is LLMStatus.answer:
                out.answered = True
    except BaseException as exc:  # judged by the test: only Exception may come out
        out.error = exc
        if gen is not None:
            try:
                next(gen)
                out.finished = False
            except StopIteration:
                pass
            except BaseException:
                out.finished = False


def run_case(server: Server, streamed: bool, body: bytes, rnd: random.Random, follow_ups: list[bytes]):
    tools = AnsweringTools()
    client = LLModal(endpoint_url=server.url, tools=tools, extra_body={"stream": streamed})
    server.push(pieces_from(body, rnd) if streamed else body)
    for f in follow_ups:
        server.push(f)
    out = Outcome()
    captured = io.StringIO()
    saved, sys.stdout = sys.stdout, captured
    try:
        worker = threading.Thread(target=drive, args=(client, streamed, out), daemon=True)
        worker.start()
        worker.join(CASE_TIMEOUT)
        assert not worker.is_alive(), "the reader hangs"
    finally:
        sys.stdout = saved
        server.discard_pending()
    out.printed = captured.getvalue()
    if not streamed:
        m = client.messages
        out.answered = (len(m) > 1 and m[1].role == MessageRole.assistant and not m[1].tool_calls
                        and m[1].contents != [BUSY])
    return client, out


def follow_ups_for(rnd, streamed, body):
    answer = sse([chunk({"content": "after tools"}, "stop")]) if streamed else completion("after tools")
    if rnd.random() < 0.25:
        # The same reply again and again: tool rounds run into the limit.
        return [body] * 4
    return [answer] * 4


def check_history(client: LLModal) -> None:
    assert isinstance(client.messages, list)
    for m in client.messages:
        assert type(m) is Message
        assert m.role in tuple(MessageRole)
        assert isinstance(m.contents, list)
        for c in m.contents:
            assert isinstance(c, str) or (isinstance(c, list) and all(isinstance(p, dict) for p in c)), c
        assert m.tool_calls is None or all(isinstance(c, dict) for c in m.tool_calls)
    assert client.messages[0].role == MessageRole.user and client.messages[0].contents == ["hello"]


def check_outcome(client: LLModal, streamed: bool, out: Outcome, label: str) -> str:
    """Asserts the rules every case obeys; returns the outcome's name for the tally."""
    where = f"case {label!r}"
    check_history(client)
    assert client.tool_calls == [] and client._tool_calls_count == 0, where
    if out.error is None:
        assert all(type(p) is LLMResult for p in out.pieces), where
        assert streamed or len(out.pieces) == 1, where
        assert "Error parsing LLM response: " not in out.printed, where
        return "ok"
    assert isinstance(out.error, Exception), f"{where}: {type(out.error).__name__} escaped"
    assert out.printed.endswith(f"Error parsing LLM response: {out.error}\n"), (where, out.printed[-300:])
    assert out.finished, where
    if not out.answered:
        last = client.messages[-1]
        assert last.role == MessageRole.assistant, where
        # A streamed answer text is recorded before its piece is made; when making the piece fails
        # (a reasoning text of the wrong type), the reading has recorded an answer after all.
        recorded_unseen = streamed and not out.tool_round and len(client.messages) == 2 and not last.tool_calls
        assert last.contents[-1].endswith(BUSY) or recorded_unseen, (where, last)
    return type(out.error).__name__


def run_all(server: Server, cases, seed: int) -> Counter:
    rnd = random.Random(seed)
    tally: Counter = Counter()
    for label, streamed, body in cases:
        client, out = run_case(server, streamed, body, rnd, follow_ups_for(rnd, streamed, body))
        tally[check_outcome(client, streamed, out, label)] += 1
    return tally


# ---- tests ----------------------------------------------------------------------------------


@pytest.mark.parametrize("name, streamed, body", bodies(), ids=[b[0] for b in bodies()])
def test_mutated_bodies_fail_only_through_the_failure_path(server, name, streamed, body):
    tally = run_all(server, cases_for(name, streamed, body), zlib.crc32(name.encode()))
    assert sum(tally.values()) > 12
    assert sum(n for outcome, n in tally.items() if outcome != "ok") > 0  # the mutations did bite


def test_fuzz_rounds_leave_no_objects_behind(server):
    cases = [c for name, streamed, body in BUILT_IN for c in cases_for(name, streamed, body)[:16]]

    def census():
        gc.collect()
        counts = Counter(type(o).__name__ for o in gc.get_objects())
        return {n: counts[n] for n in ("LLMResult", "Message", "generator", "LLModal", "Response")}

    run_all(server, cases, 1)
    before = census()
    for _ in range(3):
        run_all(server, cases, 1)
    assert census() == before


def test_huge_lines(server):
    text = "x" * 3_000_000
    for streamed, body in [
        (True, sse([chunk({"content": text}), chunk({}, "stop")])),
        (False, completion(text)),
    ]:
        client, out = run_case(server, streamed, body, random.Random(0), [])
        assert check_outcome(client, streamed, out, "huge") == "ok"
        assert "".join(p.content for p in out.pieces) == text
        assert client.messages[-1].contents == [text]
    # A huge line that is no JSON, without any line end, and one of invalid UTF-8.
    for body, error in [(b"data: {" + b"a" * 3_000_000, "JSONDecodeError"),
                        (b"data: {" + b"\xff" * 3_000_000 + b"\n", "UnicodeDecodeError")]:
        client, out = run_case(server, True, body, random.Random(0), [])
        assert check_outcome(client, True, out, "huge garbage") == error


def test_thousands_of_tool_call_fragments(server):
    # One call whose arguments come in 3000 pieces, then 1500 calls of one fragment each.
    pieces = [f'"k{i}": {i}, ' for i in range(3000)]
    first = [chunk({"tool_calls": [fragment(0, "c0", "f", "{")]})]
    rest = [chunk({"tool_calls": [fragment(0, arguments=p)]}) for p in pieces]
    last = [chunk({"tool_calls": [fragment(0, arguments='"end": 0}')]}), chunk({}, "tool_calls")]
    many = [chunk({"tool_calls": [fragment(i, f"id{i}", "g", "{}")]}) for i in range(1500)] + [chunk({}, "tool_calls")]
    plain = completion(None, tool_calls=[call(f"p{i}", "h", "{}") for i in range(2000)])
    expected_args = "{" + "".join(pieces) + '"end": 0}'
    for streamed, body, expected in [
        (True, sse(first + rest + last), [("c0", "f", expected_args)]),
        (True, sse(many), [(f"id{i}", "g", "{}") for i in range(1500)]),
        (False, plain, [(f"p{i}", "h", "{}") for i in range(2000)]),
    ]:
        answer = sse([chunk({"content": "done"}, "stop")]) if streamed else completion("done")
        client, out = run_case(server, streamed, body, random.Random(0), [answer])
        assert check_outcome(client, streamed, out, "fragments") == "ok"
        seen = [(c["id"], c["function"]["name"], c["function"]["arguments"]) for c in client.tools.seen]
        assert seen == expected
        results = out.pieces[1].tool_results if streamed else out.pieces[0].tool_results
        assert set(results) == {e[0] for e in expected}
        assert client.messages[-1].contents == ["done"]
