"""Misuses of the typed API that mypy must reject; each line marked `# error: [<code>]` is one.

tests/test_typing.py checks that mypy reports exactly these, so the stubs cannot pass vacuously.
"""

from parleykit.cython import CythonFunctionTool, get_cached_typeadapter
from parleykit.message import MessageRole
from parleykit.modal import LLModal, LLMResult


async def misuse(client: LLModal, tool: CythonFunctionTool) -> None:
    client.invoke(5)  # error: [arg-type]
    LLMResult() + 1  # error: [operator]
    client.stream = True  # error: [misc]
    client.messages.append("text")  # error: [arg-type]
    client.add_message("user", "text")  # error: [arg-type]
    client.message_latest(MessageRole.user).contents  # error: [union-attr]
    client.invoke("text").content  # error: [union-attr]  (a stream has no content: narrow first)
    get_cached_typeadapter([])  # error: [arg-type]
    await tool.run(None)  # error: [arg-type]
    tool.run({}).content  # error: [attr-defined]
    client._close = "yes"  # error: [assignment]
