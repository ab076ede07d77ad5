"""Module start-up of the native modules: namespaces, once-per-process rules, load-time errors and
warnings. Each case runs in its own interpreter, since a module initialises once per process."""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import parleykit

# The folder the package under test was imported from (site-packages, or src/ in a work tree).
PACKAGE_ROOT = Path(parleykit.__file__).resolve().parent.parent

MODAL_NAMES = [
    "json", "StrEnum", "Any", "Iterator", "requests", "BaseModel", "Field", "Configurator",
    "CythonBaseModel", "Message", "MessageRole", "Tools", "LLMStatus", "ToolContent", "LLMResult", "APIStatusError",
    "LLModal",
]
CYTHON_NAMES = [
    "inspect", "lru_cache", "Any", "get_type_hints", "get_origin", "Annotated", "get_args", "Callable",
    "pydantic_core", "get_context", "FunctionTool", "ToolResult", "default_serializer", "logger",
    "find_kwarg_by_type", "Image", "Audio", "File", "ContentBlock", "TextContent",
    "BaseModel", "Field", "ConfigDict", "TypeAdapter", "create_model", "CythonModelMeta", "CythonBaseModel",
    "get_cached_typeadapter", "_convert_to_content", "CythonFunctionTool",
]


def run(code: str) -> dict:
    """Runs `code` in a fresh interpreter; the script prints one JSON document as its last line."""
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def public(names):
    return [n for n in names if not (n.startswith("__") and n.endswith("__"))]


def test_namespaces_bind_their_names_in_source_order():
    out = run("""
        import json, parleykit.modal as m, parleykit.cython as c
        print(json.dumps({"modal": list(vars(m)), "cython": list(vars(c)),
                          "names": [m.__name__, c.__name__]}))
    """)
    assert public(out["modal"]) == MODAL_NAMES
    cy = public(out["cython"])
    assert cy == CYTHON_NAMES
    assert out["names"] == ["parleykit.modal", "parleykit.cython"]


def test_bindings_are_the_imported_objects():
    out = run("""
        import json, enum, typing, functools, inspect, requests, pydantic, pydantic_core
        import parleykit.modal as m, parleykit.cython as c, parleykit.config, parleykit.tools
        from fastmcp.tools.base import default_serializer, ToolResult
        checks = [m.json is json, m.StrEnum is enum.StrEnum, m.Any is typing.Any, m.Iterator is typing.Iterator,
                  m.requests is requests, m.BaseModel is pydantic.BaseModel, m.Tools is parleykit.tools.Tools,
                  m.Configurator is parleykit.config.Configurator, m.CythonBaseModel is c.CythonBaseModel,
                  c.inspect is inspect, c.lru_cache is functools.lru_cache, c.pydantic_core is pydantic_core,
                  c.default_serializer is default_serializer, c.ToolResult is ToolResult,
                  c.ConfigDict is pydantic.ConfigDict]
        print(json.dumps(checks))
    """)
    assert out == [True] * len(out)


def test_reimport_after_removal_gives_the_same_module():
    out = run("""
        import json, sys, importlib
        import parleykit.modal as m1, parleykit.cython as c1
        meta = c1.CythonModelMeta
        del sys.modules["parleykit.modal"], sys.modules["parleykit.cython"]
        m2 = importlib.import_module("parleykit.modal")
        c2 = importlib.import_module("parleykit.cython")
        print(json.dumps([m2 is m1, c2 is c1, c2.CythonModelMeta is meta, m2.CythonBaseModel is c1.CythonBaseModel]))
    """)
    assert out == [True, True, True, True]


@pytest.mark.parametrize("short", ["modal", "cython"])
def test_second_initialisation_is_refused(short):
    out = run(f"""
        import ctypes, json, types, importlib
        mod = importlib.import_module("parleykit.{short}")
        lib = ctypes.PyDLL(mod.__file__)
        init = lib.PyInit_{short}
        init.restype = ctypes.c_void_p
        moddef = init()
        api = ctypes.pythonapi
        api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
        api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        api.PyModule_ExecDef.restype = ctypes.c_int
        # Creating from the definition again hands out the one initialised module; executing it is a no-op.
        again = api.PyModule_FromDefAndSpec2(moddef, mod.__spec__, 1013)
        same = again is mod and api.PyModule_ExecDef(again, moddef) == 0
        try:
            api.PyModule_ExecDef(types.ModuleType(mod.__name__), moddef)
            error = None
        except BaseException as e:
            error = [type(e).__name__, str(e)]
        print(json.dumps({{"same": same, "error": error, "intact": mod.__name__}}))
    """)
    assert out["same"] is True
    assert out["error"] == ["RuntimeError",
                            f"Module '{short}' has already been imported. Re-initialisation is not supported."]
    assert out["intact"] == f"parleykit.{short}"


@pytest.mark.parametrize("module", ["parleykit.cython", "parleykit._selftest"])
def test_second_interpreter_is_refused(module):
    out = run(f"""
        import json
        import {module}
        try:  # 3.13: failures come back as a snapshot of the exception
            import _interpreters as interpreters
            interp = interpreters.create("legacy")  # shares the GIL, as legacy embedders do
            failure = interpreters.run_string(interp, "import {module}")
            error = failure and f"<class '{{failure.type.__name__}}'>: {{failure.msg}}"
        except ImportError:  # 3.12: they are raised
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=False)
            try:
                interpreters.run_string(interp, "import {module}")
                error = None
            except interpreters.RunFailedError as e:
                error = str(e)
        interpreters.destroy(interp)
        print(json.dumps({{"error": error}}))
    """)
    assert out["error"] == ("<class 'ImportError'>: Interpreter change detected - this module can only be loaded into one "
                            "interpreter per process.")


HIDE_BY_NONE = 'sys.modules["fastmcp"] = None'
HIDE_BY_FINDER = """
class Hide:
    def find_spec(self, name, path=None, target=None):
        if name == "fastmcp" or name.startswith("fastmcp."):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
sys.meta_path.insert(0, Hide())
"""


@pytest.mark.parametrize("hide", [HIDE_BY_NONE, HIDE_BY_FINDER], ids=["none-in-sys-modules", "meta-path-finder"])
def test_absent_fastmcp_surfaces_unchanged(hide):
    out = run("""
        import json, sys
        HIDE
        def attempt(stmt):
            try:
                exec(stmt, {})
            except BaseException as e:
                return [type(e).__name__, str(e), getattr(e, "name", None)]
        expected = attempt("import fastmcp.server.dependencies")
        got = [attempt("import parleykit.cython"), attempt("import parleykit.modal")]
        left = [n for n in ("parleykit.cython", "parleykit.modal") if n in sys.modules]
        # With fastmcp back, the failed module initialises normally.
        sys.meta_path[:] = [f for f in sys.meta_path if type(f).__name__ != "Hide"]
        sys.modules.pop("fastmcp", None)
        import parleykit.modal
        print(json.dumps({"expected": expected, "got": got, "left": left,
                          "later": parleykit.modal.LLModal.__name__}))
    """.replace("HIDE", textwrap.indent(hide, " " * 8).strip()))
    assert out["expected"][0] == "ModuleNotFoundError"
    assert out["got"] == [out["expected"], out["expected"]]
    assert out["left"] == []
    assert out["later"] == "LLModal"


def test_version_mismatch_warns_and_loading_goes_on():
    out = run("""
        import json, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import parleykit._oldabi as m
        print(json.dumps({"warnings": [[w.category.__name__, str(w.message)] for w in caught],
                          "loaded": m.loaded}))
    """)
    runtime = f"{sys.version_info.major}.{sys.version_info.minor}"
    assert out["warnings"] == [["RuntimeWarning", "compile time Python version 3.11 of module 'parleykit._oldabi' "
                                                  f"does not match runtime version {runtime}"]]
    assert out["loaded"] is True


def test_version_mismatch_as_error_fails_the_import():
    out = run("""
        import json, sys, warnings
        warnings.simplefilter("error", RuntimeWarning)
        try:
            import parleykit._oldabi
            error = None
        except RuntimeWarning as e:
            error = str(e)
        print(json.dumps({"error": error, "left": "parleykit._oldabi" in sys.modules}))
    """)
    assert out["error"].startswith("compile time Python version 3.11")
    assert out["left"] is False


def test_matching_modules_load_without_warnings():
    out = run("""
        import json, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import parleykit.modal, parleykit._selftest
        print(json.dumps([str(w.message) for w in caught if "compile time" in str(w.message)]))
    """)
    assert out == []


@pytest.mark.parametrize("module", ["parleykit.cython", "parleykit.modal", "parleykit._selftest"])
def test_a_module_first_loaded_by_a_destroyed_interpreter_is_refused_cleanly(module):
    # The subinterpreter that loaded the module first is gone; what the module kept belongs to it,
    # so the main interpreter gets the one-interpreter ImportError and nothing of that state is used.
    out = run(f"""
        import gc, json
        try:  # 3.13
            import _interpreters as interpreters
            interp = interpreters.create("legacy")  # shares the GIL
            assert interpreters.run_string(interp, "import {module}") is None
        except ImportError:  # 3.12
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=False)
            interpreters.run_string(interp, "import {module}")
        interpreters.destroy(interp)
        gc.collect()
        try:
            import {module}
            error = None
        except ImportError as e:
            error = str(e)
        gc.collect()
        print(json.dumps({{"error": error}}))
    """)
    assert out["error"] == ("Interpreter change detected - this module can only be loaded into one interpreter per "
                            "process.")


@pytest.mark.parametrize("module", ["parleykit.cython", "parleykit._selftest"])
def test_runtime_types_exist_once_the_module_is_executed(module):
    # Made under the import lock, never on first use (where another thread could race to make them).
    out = run(f"""
        import gc, json
        import {module}
        names = sorted(t.__name__ for t in gc.get_objects()
                       if isinstance(t, type) and t.__module__ == "parleykit" and "." not in t.__qualname__)
        print(json.dumps({{"types": names}}))
    """)
    assert {"coroutine", "coroutine_wrapper", "generator"} <= set(out["types"])
