# Type stubs of the compiled module parleykit.cython: pydantic and fastmcp support for native functions.
import functools
from collections.abc import Callable
from typing import Any

from fastmcp.tools import FunctionTool
from fastmcp.tools.base import ToolResult
from mcp.types import ContentBlock
from pydantic import BaseModel, TypeAdapter
from pydantic._internal._model_construction import ModelMetaclass

class CythonModelMeta(ModelMetaclass):
    # Returns the new model class (an instance of the metaclass).
    def __new__(cls, name: str, bases: tuple[type, ...], namespace: dict[str, Any]) -> type[BaseModel]: ...

class CythonBaseModel(BaseModel, metaclass=CythonModelMeta): ...

# functools.lru_cache(maxsize=5000) around get_cached_typeadapter(fn: Any) -> TypeAdapter.
get_cached_typeadapter: functools._lru_cache_wrapper[TypeAdapter[Any]]

def _convert_to_content(
    result: Any,
    serializer: Callable[[Any], str] | None = None,
    _process_as_single_item: bool = False,
) -> list[ContentBlock]: ...

class CythonFunctionTool(CythonBaseModel, FunctionTool):
    async def run(self, arguments: dict[str, Any]) -> ToolResult: ...
    @classmethod
    def from_function(cls, fn: Callable[..., Any], **kwargs: Any) -> FunctionTool: ...
