"""Random conversations against the loopback server: plain and streamed turns with tool rounds and
retries, server faults (a dropped connection, a 500, bad JSON, a stall past the timeout) and
interruptions (KeyboardInterrupt from a tool, close(), throw(), the _close flag, and Ctrl-C at a
random Python call of a turn, retried or not). After every turn:
each request sent was a valid conversation, no text holds the default answer twice, the tool state
is reset, and no reply or connection is left behind.

PARLEYKIT_LONG_RUN=N runs N examples instead of the suite's small, derandomised budget."""

import gc
import os
import sys

import requests
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, precondition, rule

from client_support import BUSY
from loopback import DROP, Loopback, chunk, completion, sse
from parleykit.config import Configurator
from parleykit.message import MessageRole
from parleykit.modal import LLModal
from parleykit.tools import Tools
from test_long_tool_loops import client_connections
from test_openai_replies import assert_valid

LONG_RUN = int(os.environ.get("PARLEYKIT_LONG_RUN", "0"))
TIMEOUT = "5,0.25"


class Registry(Tools):
    """add(a, b), or a KeyboardInterrupt while ``interrupt`` is set."""

    interrupt = False

    def __init__(self) -> None:
        super().__init__()

        @self.register
        def add(a: int, b: int) -> int:
            return a + b

    def __call__(self, tool_calls):
        if self.interrupt:
            raise KeyboardInterrupt
        return super().__call__(tool_calls)


def reply(streamed: bool, round_: int | None, fault: str | None):
    """The body of one scripted reply: a tool call (round_ given) or a text, or a fault."""
    if fault == "500":
        return dict(body=b"overloaded", status=500)
    if fault == "bad-json":
        return dict(body=b"data: {not json\n\n" if streamed else b"{not json")
    if fault == "stall":
        return dict(body=[30.0])  # longer than the read timeout; the server gives up at teardown
    if round_ is not None:
        call = {"id": f"c{round_}", "type": "function", "function": {"name": "add", "arguments": '{"a": 1, "b": 2}'}}
        body = sse([chunk({"tool_calls": [dict(call, index=0)]}), chunk({}, "tool_calls")]) if streamed \
            else completion(None, tool_calls=[call])
    else:
        body = sse([chunk({"content": "an "}), chunk({"content": "answer"}, "stop")]) if streamed \
            else completion("an answer")
    if fault == "drop":
        return dict(body=[body[: len(body) // 2], DROP])
    return dict(body=body)


class Conversation(RuleBasedStateMachine):
    def __init__(self) -> None:
        super().__init__()
        self.loopback = Loopback()
        self.port = int(self.loopback.url.split(":")[2].split("/")[0])
        Configurator.clear()
        Configurator.set("llm", "timeout", TIMEOUT)
        self.registry = Registry()
        self.client = LLModal(endpoint_url=self.loopback.url, tools=self.registry, tool_calls_limit=2)
        self.turns = 0

    @rule(
        streamed=st.booleans(),
        rounds=st.integers(0, 3),
        fault=st.sampled_from([None, None, "drop", "500", "bad-json", "stall"]),
        fault_at=st.integers(0, 3),
        interrupt=st.sampled_from([None, None, "tool", "close", "throw-interrupt", "throw-error", "close-flag"]),
        interrupt_after=st.integers(0, 3),
    )
    def turn(self, streamed, rounds, fault, fault_at, interrupt, interrupt_after):
        self.send(f"question {self.turns}", streamed, rounds, fault, fault_at, interrupt, interrupt_after)

    @rule(streamed=st.booleans(), rounds=st.integers(0, 2), retried=st.booleans(), calls=st.integers(1, 4000))
    def interrupted_anywhere(self, streamed, rounds, retried, calls):
        # Ctrl-C at the calls-th Python call of the turn: inside a tool round, a read, a retry.
        retried = retried and self.client.message_latest(MessageRole.user) is not None
        self.client.retry = retried
        prompt = self.client.message_latest(MessageRole.user).contents[-1] if retried else f"question {self.turns}"
        self.send(prompt, streamed, rounds, None, 0, ("random", calls), 0)
        self.client.retry = False

    @precondition(lambda self: self.client.message_latest(MessageRole.user) is not None)
    @rule(streamed=st.booleans(), rounds=st.integers(0, 2), fault=st.sampled_from([None, "500", "stall"]))
    def retry(self, streamed, rounds, fault):
        self.client.retry = True
        latest = self.client.message_latest(MessageRole.user).contents[-1]
        self.send(latest, streamed, rounds, fault, rounds, None, 0)
        self.client.retry = False  # as the chat does: an unanswered retry must not capture the next turn

    def send(self, prompt, streamed, rounds, fault, fault_at, interrupt, interrupt_after):
        client, loopback = self.client, self.loopback
        client.extra_body = {"stream": streamed}
        for at in range(rounds + 1):
            kind = (at if at < rounds else None)
            loopback.push(**reply(streamed, kind, fault if at == min(fault_at, rounds) else None))
        before = len(loopback.requests)
        self.registry.interrupt = interrupt == "tool"
        interrupted = False
        if isinstance(interrupt, tuple):
            left = [interrupt[1]]

            def profile(frame, event, arg):
                if event == "call":
                    left[0] -= 1
                    if left[0] == 0:
                        sys.setprofile(None)
                        raise KeyboardInterrupt

            sys.setprofile(profile)
        try:
            result = client.invoke(prompt)
            if streamed:
                for number, _ in enumerate(result):
                    if number == interrupt_after and interrupt not in (None, "tool"):
                        if interrupt == "close":
                            result.close()
                        elif interrupt == "throw-interrupt":
                            result.throw(KeyboardInterrupt)
                        elif interrupt == "throw-error":
                            result.throw(RuntimeError("consumer gave up"))
                        else:
                            client._close = True
                        if interrupt == "close":
                            interrupted = True
                            break
            del result
        except KeyboardInterrupt:
            interrupted = True
        except (ValueError, TypeError, RuntimeError, requests.exceptions.RequestException):
            pass  # reported and recorded by the client
        finally:
            sys.setprofile(None)
            self.registry.interrupt = False
            self.turns += 1
            with loopback._arrived:
                loopback._replies.clear()  # what this turn did not ask for is not the next turn's

        for request in loopback.requests[before:]:
            assert_valid(request.json["messages"])
        for message in client.messages:
            assert all(str(text).count(BUSY) <= 1 for text in message.contents)
        if isinstance(interrupt, tuple):
            gc.collect()  # a reply held by the interrupted frames goes with them
        elif not interrupted:
            assert (client.tool_calls, client._tool_calls_count) == ([], 0)
        assert client_connections(self.port) == 0

    def teardown(self):
        # Nothing of the conversation's replies outlives it (one scan an example: scans are slow).
        gc.collect()
        assert not [o for o in gc.get_objects() if isinstance(o, requests.Response)]
        self.loopback.close()
        Configurator.clear()


Conversation.TestCase.settings = settings(
    max_examples=LONG_RUN or 12,
    stateful_step_count=8,
    derandomize=not LONG_RUN,
    deadline=None,
    database=None,
)
test_conversation = Conversation.TestCase
