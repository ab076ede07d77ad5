# Tool functions for the tests, compiled by Cython; the same source also runs as plain Python.
import asyncio
from typing import Annotated

from fastmcp.server.context import Context
from fastmcp.tools import tool
from pydantic import BaseModel

from parleykit.cython import CythonBaseModel


class Point(BaseModel):
    x: int
    y: int


def add(a: int, b: int = 2) -> int:
    """Add two numbers."""
    return a + b


async def slow_add(a: int, b: int) -> int:
    """Add two numbers after yielding to the event loop."""
    await asyncio.sleep(0)
    return a + b


def greet(name: str, ctx: Context) -> str:
    """Greet from the server whose request context arrived."""
    return f"hello {name} from {ctx.fastmcp.name}"


def describe(x: Annotated[int, "the number to describe"]) -> dict:
    """Describe a number."""
    return {"x": x, "double": 2 * x}


def manhattan(p: Point, scale: int = 1) -> int:
    """Manhattan length of a point."""
    return (abs(p.x) + abs(p.y)) * scale


class Scaler(CythonBaseModel):
    factor: int = 3

    def scale(self, x: int) -> int:
        """Scale a number by the model's factor."""
        return x * self.factor


async def countdown(n: int):
    """Count down from n, yielding to the event loop between items."""
    while n > 0:
        await asyncio.sleep(0)
        yield n
        n -= 1


def squares(n: int):
    """The first n squares."""
    for i in range(n):
        yield i * i


def forget(x: int) -> None:
    """Return nothing."""


@tool(name="shout", description="Shout a word.", tags={"loud"})
def louder(word: str) -> str:
    return word.upper()


def blob(size: int) -> bytes:
    """Some bytes."""
    return bytes(range(size))


def loose(a, b=1):
    """Parameters without annotations."""
    return [a, b]
