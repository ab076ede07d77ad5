"""Every public class of the native modules, and every native method and property of theirs, says
what it is in a docstring that help() shows."""

import inspect
import pydoc

import pytest

import parleykit.cython as cython
import parleykit.modal as modal

# Each module makes its own native function type.
NATIVE_FUNCTION = (type(modal.LLModal.invoke), type(cython.CythonFunctionTool.run))


def surface():
    """(owner, name, object) for each public class and function defined by the two modules and for
    each native function, property, static method and class method in those classes."""
    for module in (modal, cython):
        for name, value in vars(module).items():
            if name.startswith("_") or getattr(value, "__module__", None) != module.__name__:
                continue
            yield module.__name__, name, value
            if not isinstance(value, type):
                continue
            for attr, member in vars(value).items():
                inner = member.__func__ if isinstance(member, (staticmethod, classmethod)) else member
                inner = inner.fget if isinstance(inner, property) else inner
                if isinstance(inner, NATIVE_FUNCTION):
                    yield f"{module.__name__}.{name}", attr, member


SURFACE = list(surface())


def doc_of(member):
    return inspect.getdoc(member.fget if isinstance(member, property) else member)


def test_static_and_class_methods_wrap_their_function_as_the_decorators_do():
    for member in (vars(modal.LLModal)["_t_calls_beautify"], vars(cython.CythonFunctionTool)["from_function"]):
        assert member.__wrapped__ is member.__func__ and member.__doc__ == member.__func__.__doc__
        assert member.__name__ == member.__func__.__name__


def test_the_walk_sees_the_whole_surface():
    names = {f"{owner}.{name}" for owner, name, _ in SURFACE}
    assert {"parleykit.modal.LLModal", "parleykit.modal.APIStatusError", "parleykit.modal.LLModal.invoke",
            "parleykit.modal.LLModal.usage", "parleykit.modal.LLModal._t_calls_beautify",
            "parleykit.modal.LLMResult.__add__", "parleykit.cython.CythonFunctionTool.run",
            "parleykit.cython.CythonFunctionTool.from_function", "parleykit.cython.get_cached_typeadapter",
            "parleykit.cython.CythonModelMeta.__new__"} <= names


@pytest.mark.parametrize("owner, name, member", SURFACE, ids=[f"{o}.{n}" for o, n, _ in SURFACE])
def test_documented_and_shown_by_help(owner, name, member):
    doc = doc_of(member)
    assert doc and doc.strip(), f"{owner}.{name} has no docstring"
    first = doc.splitlines()[0]
    assert first[0].isupper() and len(first) <= 100, first  # a short summary line, as the standard library's
    if isinstance(member, type):
        shown = pydoc.plain(pydoc.render_doc(member))
        # help() on the class shows its own text and that of every method documented here.
        assert first in shown
        for o, n, m in SURFACE:
            if o == f"{owner}.{name}" and not n.startswith("_"):
                assert doc_of(m).splitlines()[0] in shown, n
