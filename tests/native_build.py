"""Builds tests/native_tools.pyx with Cython into a directory and loads it, or loads the same
source as a plain Python module, so tests can compare compiled and interpreted tool functions."""

import importlib.machinery
import importlib.util
import pathlib
import subprocess
import sys
import textwrap

SOURCE = pathlib.Path(__file__).with_name("native_tools.pyx")

_SETUP = textwrap.dedent(
    """
    from Cython.Build import cythonize
    from setuptools import Extension, setup

    setup(
        ext_modules=cythonize([Extension("native_tools", ["native_tools.pyx"])], quiet=True),
        script_args=["build_ext", "--inplace", "--build-temp", "build"],
    )
    """
)


def build_compiled(directory: pathlib.Path):
    """Compile the source in `directory` (a fresh one) and import the extension module."""
    (directory / "native_tools.pyx").write_text(SOURCE.read_text())
    done = subprocess.run([sys.executable, "-c", _SETUP], cwd=directory, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"Cython build failed:\n{done.stdout}\n{done.stderr}")
    (so,) = directory.glob("native_tools*.so")
    spec = importlib.util.spec_from_file_location("native_tools", so)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def load_interpreted():
    """The same source, run by the interpreter as a Python module."""
    loader = importlib.machinery.SourceFileLoader("native_tools_py", str(SOURCE))
    spec = importlib.util.spec_from_loader("native_tools_py", loader)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # pydantic resolves the models' annotations through it
    loader.exec_module(module)
    return module
