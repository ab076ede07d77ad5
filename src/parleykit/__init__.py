"""parleykit: a chat-completions conversation client and pydantic/fastmcp support for native functions.

The client lives in ``parleykit.modal`` (``LLModal``, ``LLMResult``) and the native-function layer in
``parleykit.cython``; both are compiled extension modules and are imported by their own names, so
importing the package itself stays cheap and works without them. The plain-Python modules beside them
hold what the client builds on: ``parleykit.message`` (history entries), ``parleykit.tools`` (the tool
registry) and ``parleykit.config`` (settings such as the API key).
"""

__version__ = "0.1.0"
