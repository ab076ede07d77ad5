"""LLModal's conversation history: entries and alternatives, retry, streamed pieces, pending media,
the request list, and reading the two texts of a reply message."""

import time
from collections import OrderedDict

import pytest

from parleykit.message import Message, MessageRole
from parleykit.modal import LLModal

S, U, A, T = MessageRole.system, MessageRole.user, MessageRole.assistant, MessageRole.tool


def entries(client):
    return [(m.role, m.contents) for m in client.messages]


def image(data):
    return {"type": "image_url", "image_url": "data:image;base64," + data}


def video(*frames):
    return {"type": "video", "video": ["data:image;base64," + f for f in frames]}


def text(t):
    return {"type": "text", "text": t}


def test_each_role_gets_its_own_entry():
    client = LLModal()
    client.add_message(S, "rules")
    client.add_message(role=U, content="hi")
    client.add_message(A, "hello")
    client.add_message(T, "out")
    assert entries(client) == [(S, ["rules"]), (U, ["hi"]), (A, ["hello"]), (T, ["out"])]


MEDIA = {
    "images": (["A", "B"], [], "T", [image("A"), image("B"), text("T")]),
    "video": ([], ["F", "G"], "T", [video("F", "G"), text("T")]),
    "images then video": (["A"], ["F"], "T", [image("A"), video("F"), text("T")]),
    "no text part for empty text": (["A"], [], "", [image("A")]),
    "elements formatted like f-string fields": ([5], [b"x"], "", [image("5"), video("b'x'")]),
}


@pytest.mark.parametrize("images, frames, content, parts", MEDIA.values(), ids=MEDIA.keys())
def test_pending_media_become_parts_of_the_next_user_message(images, frames, content, parts):
    client = LLModal()
    # Assigned after construction: the fields validate str items, the parts builder must not care.
    client.images, client.video = list(images), list(frames)
    held_images, held_video = client.images, client.video
    client.add_message(A, "answer first")
    assert client.images == images and client.video == frames

    client.add_message(U, content)
    assert entries(client)[-1] == (U, [parts])
    assert client.images is held_images and client.images == []
    assert client.video is held_video and client.video == []


def test_streamed_assistant_pieces_join_the_entry_that_ends_the_history():
    client = LLModal()
    client.add_message(U, "q")
    for piece in ["Hel", "lo", "!"]:
        client.add_message(A, piece)
    assert entries(client) == [(U, ["q"]), (A, ["Hello!"])]
    # Once another entry follows, the next assistant text starts a new entry.
    client.add_message(T, "tool output")
    client.add_message(A, "again")
    assert entries(client)[-2:] == [(T, ["tool output"]), (A, ["again"])]


def test_retry_cycle():
    client = LLModal()
    for role, content in [(S, "s"), (U, "Q"), (A, "A")]:
        client.add_message(role, content)
    client.retry = True
    assert client.messages_latest == [{"role": "system", "content": "s"}, {"role": "user", "content": "Q"}]

    client.add_message(U, "Q2")
    assert entries(client) == [(S, ["s"]), (U, ["Q", "Q2"]), (A, ["A"])]
    assert client.retry is True
    assert client.messages_latest[-1] == {"role": "user", "content": "Q2"}

    client.add_message(A, "B")
    assert entries(client) == [(S, ["s"]), (U, ["Q", "Q2"]), (A, ["A", "B"])]
    assert client.retry is False
    assert [m["content"] for m in client.messages_latest] == ["s", "Q2", "B"]


def test_retry_cuts_the_request_after_the_newest_user_entry_only():
    client = LLModal()
    for role, content in [(U, "1"), (A, "2"), (U, "3"), (A, "4"), (T, "5")]:
        client.add_message(role, content)
    client.retry = True
    assert [m["content"] for m in client.messages_latest] == ["1", "2", "3"]
    assert len(client.messages) == 5


def test_retry_with_media_adds_a_part_list_alternative_and_keeps_retry():
    client = LLModal()
    client.add_message(U, "Q")
    client.retry = True
    client.images = ["A"]
    client.add_message(U, "Q2")
    assert entries(client) == [(U, ["Q", [image("A"), text("Q2")]])]
    assert client.retry is True


def test_retry_without_an_assistant_entry():
    client = LLModal(retry=True)
    client.add_message(U, "Q")
    client.add_message(A, "first")
    assert client.retry is True
    client.add_message(A, "second")
    assert entries(client) == [(U, ["Q"]), (A, ["first", "second"])]
    assert client.retry is False


@pytest.mark.parametrize(
    "history, expected",
    [([], []), ([(S, "s"), (A, "a")], [{"role": "system", "content": "s"}, {"role": "assistant", "content": "a"}])],
)
def test_retry_without_a_user_entry_sends_everything(history, expected):
    client = LLModal()
    for role, content in history:
        client.add_message(role, content)
    client.retry = True
    assert client.messages_latest == expected


class Hidden(Message):
    """An entry that tests false."""

    def __bool__(self):
        return False


def test_message_latest_finds_the_newest_true_entry_of_a_role():
    client = LLModal()
    older = Message(role=A, contents=["old"])
    newer = Message(role=A, contents=["new"])
    client.messages.extend([older, newer, Message(role=U, contents=["u"]), Hidden(role=A, contents=["hidden"])])
    assert client.message_latest(A) is newer
    assert client.message_latest(role=S) is None
    # The hidden entry ends the history but is not found, so a piece starts a new entry.
    client.add_message(A, "piece")
    assert entries(client)[-1] == (A, ["piece"])


def test_history_that_is_not_a_list_is_walked_too():
    client = LLModal()
    client.messages = (Message(role=U, contents=["q"]), Message(role=A, contents=["a"]))
    client.retry = True
    assert client.message_latest(U) is client.messages[0]
    assert client.messages_latest == [{"role": "user", "content": "q"}]


class Text(str):
    pass


@pytest.mark.parametrize("content, type_name", [(5, "int"), (None, "NoneType"), (Text("x"), "Text"), (["x"], "list")])
def test_add_message_refuses_content_that_is_not_exactly_str(content, type_name):
    client = LLModal(images=["A"])
    client.add_message(U, "q")
    client.images = ["B"]
    before = entries(client)
    with pytest.raises(TypeError) as info:
        client.add_message(U, content)
    assert str(info.value) == f"Argument 'content' has incorrect type (expected str, got {type_name})"
    assert entries(client) == before and client.images == ["B"]


MESSAGES = {
    "empty": ({}, {"reasoning_content": "", "content": ""}),
    "nulls": ({"content": None, "reasoning_content": "R"}, {"reasoning_content": "R", "content": ""}),
    "other values unchanged": ({"content": 7, "reasoning_content": 0}, {"reasoning_content": 0, "content": 7}),
}


@pytest.mark.parametrize("message, expected", MESSAGES.values(), ids=MESSAGES.keys())
def test_message_process_reads_the_two_texts(message, expected):
    got = LLModal()._message_process(message)
    assert got == expected and list(got) == ["reasoning_content", "content"]


def test_message_process_collects_tool_calls_first():
    client = LLModal()
    call = {"id": "c", "function": {"name": "f", "arguments": "{}"}}
    assert client._message_process({"tool_calls": [call], "content": "x"})["content"] == "x"
    assert client.tool_calls == [call]


class Reply(dict):
    pass


@pytest.mark.parametrize(
    "message, type_name",
    [(Reply(), "Reply"), (OrderedDict(), "collections.OrderedDict"), (None, "NoneType"), ([], "list")],
)
def test_message_process_refuses_what_is_not_exactly_a_dict(message, type_name):
    client = LLModal()
    with pytest.raises(TypeError) as info:
        client._message_process(message)
    assert str(info.value) == f"Argument 'message' has incorrect type (expected dict, got {type_name})"


def test_streamed_piece_cost_does_not_grow_with_the_history():
    def per_piece(history_length):
        client = LLModal()
        client.messages.extend([Message(role=U, contents=["q"])] * history_length)
        client.add_message(A, "")
        pieces = 300
        start = time.perf_counter()
        for _ in range(pieces):
            client.add_message(A, "x")
        elapsed = time.perf_counter() - start
        assert client.messages[-1].contents == ["x" * pieces]
        return elapsed / pieces

    short = min(per_piece(10) for _ in range(3))
    long = min(per_piece(200_000) for _ in range(3))
    # Copying the history for every piece would make the long case a hundred times slower or more.
    assert long < short * 5 + 2e-5, (short, long)


@pytest.mark.parametrize(
    "pieces",
    [
        ["plain ", "ascii ", "text"],
        ["ascii then ", "latin-1 é ", "then wider € ", "and wider still 😀", " back to ascii"],
        ["😀 wide first ", "then ascii"],
        ["", "x", "", "y"],
    ],
)
def test_streamed_pieces_join_exactly_and_spare_held_texts(pieces):
    from parleykit.message import MessageRole
    from parleykit.modal import LLModal

    client = LLModal()
    client.add_message(role=MessageRole.user, content="q")
    held = []
    for piece in pieces:
        client.add_message(role=MessageRole.assistant, content=piece)
        held.append(client.messages[-1].contents[-1])  # someone keeps the text seen so far
    # Each text read along the way still says what it said then.
    assert held == ["".join(pieces[: i + 1]) for i in range(len(pieces))]
    assert client.messages[-1].contents == ["".join(pieces)]

