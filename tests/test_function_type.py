"""The native function type against Python functions: introspection, binding, wrapping, copying and
the interpreter's argument errors."""

import copy
import functools
import inspect
import pickle
import types
import typing

import pytest

from parleykit import _selftest as st
import parleykit.cython as cy
import parleykit.modal as modal


# Python twins of the self-test functions, with the same names and qualified names.
def echo(a: "int", b: "str | None" = None, **kwargs) -> "tuple":
    return (a, b, kwargs)


def counter(n):
    yield n


def raise_stop():
    yield 1


class Holder:
    def who(self, x):
        return (self, x)


class CythonModelMeta:
    def __new__(cls, name, bases, namespace):
        return None


class LLModal:
    def _reset(self):
        return None


def outcome(f, args, kwargs):
    try:
        result = f(*args, **kwargs)
    except TypeError as e:
        return ("TypeError", str(e))
    if hasattr(result, "send") and hasattr(result, "close"):
        result.close()
        return ("generator",)
    return ("value", result)


CALLS = [
    # (native, twin, args, kwargs)
    (st.echo, echo, (), {}),
    (st.echo, echo, (1,), {}),
    (st.echo, echo, (1, 2), {}),
    (st.echo, echo, (), {"b": 2, "a": 1}),
    (st.echo, echo, (1,), {"c": 3, "d": 4}),
    (st.echo, echo, (1,), {"kwargs": 5}),
    (st.echo, echo, (1, 2, 3), {}),
    (st.echo, echo, (1, 2, 3, 4), {}),
    (st.echo, echo, (1,), {"a": 2}),
    (st.echo, echo, (1, 2, 3), {"a": 1}),
    (st.echo, echo, (1, 2, 3), {"zz": 1}),
    (st.echo, echo, (), {"b": 1}),
    (st.Holder.who, Holder.who, (), {}),
    (st.Holder.who, Holder.who, (1,), {}),
    (st.Holder.who, Holder.who, (1, 2), {}),
    (st.Holder.who, Holder.who, (1, 2, 3), {}),
    (st.Holder.who, Holder.who, (1,), {"x": 2}),
    (st.Holder.who, Holder.who, (1, 2), {"x": 2}),
    (st.Holder.who, Holder.who, (1, 2), {"y": 2}),
    (st.Holder.who, Holder.who, (1, 2, 3), {"y": 2}),
    (st.Holder.who, Holder.who, (1, 2, 3), {"x": 2}),
    (st.Holder.who, Holder.who, (), {"x": 2, "self": 1}),
    (st.counter, counter, (), {}),
    (st.counter, counter, (1, 2), {}),
    (st.counter, counter, (), {"m": 1}),
    (st.raise_stop, raise_stop, (1,), {}),
    (st.raise_stop, raise_stop, (), {"x": 1}),
    (cy.CythonModelMeta.__new__, CythonModelMeta.__new__, (), {}),
    (cy.CythonModelMeta.__new__, CythonModelMeta.__new__, (1,), {}),
    (cy.CythonModelMeta.__new__, CythonModelMeta.__new__, (1,), {"bases": 3}),
    (cy.CythonModelMeta.__new__, CythonModelMeta.__new__, (1, 2, 3, 4, 5), {}),
    (modal.LLModal._reset, LLModal._reset, (), {}),
    (modal.LLModal._reset, LLModal._reset, (1, 2), {}),
]


@pytest.mark.parametrize("native, twin, args, kwargs", CALLS,
                         ids=[f"{t.__qualname__}{a}{k}" for _, t, a, k in CALLS])
def test_calls_bind_and_fail_like_python(native, twin, args, kwargs):
    assert outcome(native, args, kwargs) == outcome(twin, args, kwargs)


def test_bound_method_errors_count_self():
    assert outcome(st.Holder().who, (1, 2), {}) == outcome(Holder().who, (1, 2), {})
    assert outcome(modal.LLModal()._reset, (1,), {}) == outcome(LLModal()._reset, (1,), {})


def test_keyword_dict_is_fresh_per_call():
    first, second = st.echo(1, k=1)[2], st.echo(1, k=1)[2]
    assert first == second == {"k": 1} and first is not second
    assert st.echo(1)[2] == {} and st.echo(1)[2] is not st.echo(1)[2]


@pytest.mark.parametrize("native, twin", [
    (st.echo, echo), (st.Holder.who, Holder.who), (st.counter, counter),
    (cy.CythonModelMeta.__new__, None), (modal.LLModal._reset, None), (modal.LLMResult.__add__, None),
])
def test_signature_matches_python(native, twin):
    sig = inspect.signature(native)
    expected = {
        cy.CythonModelMeta.__new__: "(cls, name, bases, namespace) -> 'type(BaseModel)'",
        modal.LLModal._reset: "(self) -> 'None'",
        modal.LLMResult.__add__: "(self, other: \"'LLMResult'\") -> \"'LLMResult'\"",
    }.get(native) or str(inspect.signature(twin))
    assert str(sig) == expected
    if twin is not None:
        assert [(p.name, p.kind, p.default) for p in sig.parameters.values()] == \
               [(p.name, p.kind, p.default) for p in inspect.signature(twin).parameters.values()]


def test_annotation_texts_of_the_real_modules():
    assert modal.LLMResult.__add__.__annotations__ == {"other": "'LLMResult'", "return": "'LLMResult'"}
    assert cy.CythonModelMeta.__new__.__annotations__ == {"return": "type(BaseModel)"}
    assert modal.LLModal._reset.__annotations__ == {"return": "None"}
    assert st.echo.__annotations__ == echo.__annotations__


def test_type_hints_resolve_against_module_globals(monkeypatch):
    add = modal.LLMResult.__add__
    assert typing.get_type_hints(st.echo) == typing.get_type_hints(echo)
    assert typing.get_type_hints(modal.LLModal._reset) == {"return": type(None)}
    assert typing.get_type_hints(add) == {"other": modal.LLMResult, "return": modal.LLMResult}
    assert add.__globals__ is vars(modal)
    assert cy.CythonModelMeta.__new__.__globals__ is vars(cy)

    class Other:
        pass

    # Resolution reads the module namespace as it is now, not as it was at import.
    monkeypatch.setattr(modal, "LLMResult", Other)
    assert typing.get_type_hints(add) == {"other": Other, "return": Other}


def test_introspection_attributes():
    f = st.echo
    assert f.__name__ == "echo" and f.__qualname__ == "echo"
    assert f.__module__ == "parleykit._selftest"
    assert f.__doc__ == "Return the arguments as bound."
    assert f.__defaults__ == (None,) and f.__kwdefaults__ is None
    assert isinstance(f.__code__, types.CodeType)
    assert f.__code__.co_varnames == echo.__code__.co_varnames
    assert f.__code__.co_argcount == echo.__code__.co_argcount
    assert f.__code__.co_flags & inspect.CO_VARKEYWORDS
    assert repr(f).startswith("<function echo at 0x")
    for func, module in [(modal.LLModal._reset, "parleykit.modal"), (modal.LLMResult.__add__, "parleykit.modal"),
                         (cy.CythonModelMeta.__new__, "parleykit.cython")]:
        assert func.__module__ == module
        assert func.__doc__ and func.__doc__[0].isupper()  # documented, as help() shows it
    assert modal.LLMResult.__add__.__qualname__ == "LLMResult.__add__"
    assert vars(modal.LLModal)["stream"].fget.__qualname__ == "LLModal.stream"


@pytest.mark.parametrize("kind", ["generator", "coroutine", "plain"])
def test_inspect_predicates_follow_the_code_flags(kind):
    func = {"generator": st.counter, "coroutine": st.awaiting, "plain": st.echo}[kind]
    assert inspect.isgeneratorfunction(func) is (kind == "generator")
    assert inspect.iscoroutinefunction(func) is (kind == "coroutine")
    assert inspect.isfunction(func) is False  # like Cython's functions: function-like, not FunctionType
    assert callable(func)


def test_binding_through_instance_and_class():
    h = st.Holder()
    raw = vars(st.Holder)["who"]
    bound = h.who
    assert type(bound) is types.MethodType
    assert bound.__func__ is raw and bound.__self__ is h
    assert bound(5) == (h, 5)
    assert st.Holder.who is raw
    assert raw.__get__(None, st.Holder) is raw
    assert raw.__get__(h, st.Holder).__self__ is h
    assert str(inspect.signature(bound)) == "(x)"
    # Bound methods of equal instances/functions compare equal, as for Python methods.
    assert h.who == h.who and h.who != st.Holder().who


def test_wrapping_as_used_by_the_classes():
    new = vars(cy.CythonModelMeta)["__new__"]
    assert type(new) is staticmethod and new.__func__.__qualname__ == "CythonModelMeta.__new__"
    stream = vars(modal.LLModal)["stream"]
    assert type(stream) is property and stream.fset is None
    llm = modal.LLModal()
    assert llm.stream is False
    reset = modal.LLModal._reset
    assert type(llm._reset) is types.MethodType and llm._reset.__func__ is reset


def test_functools_wraps_a_native_function():
    f = st.fresh_echo()
    f.marker = "kept"

    @functools.wraps(f)
    def wrapper(*args, **kwargs):
        return ("wrapped", f(*args, **kwargs))

    assert wrapper.__name__ == "echo" and wrapper.__qualname__ == "echo"
    assert wrapper.__module__ == "parleykit._selftest" and wrapper.__doc__ == f.__doc__
    assert wrapper.__annotations__ == f.__annotations__
    assert wrapper.__wrapped__ is f and wrapper.marker == "kept"
    assert str(inspect.signature(wrapper)) == str(inspect.signature(echo))
    assert typing.get_type_hints(wrapper) == typing.get_type_hints(echo)
    assert wrapper(1) == ("wrapped", (1, None, {}))


def test_native_function_as_the_wrapper():
    f = st.fresh_echo()

    def original(x: "Holder") -> "int":
        """Original doc."""

    original.extra = 1
    assert functools.update_wrapper(f, original) is f
    assert (f.__name__, f.__qualname__, f.__doc__) == ("original", original.__qualname__, "Original doc.")
    assert f.__module__ == __name__
    assert f.__annotations__ == {"x": "Holder", "return": "int"}
    assert f.__wrapped__ is original and f.extra == 1
    # The renamed function reports errors under its new name, as a Python function does.
    with pytest.raises(TypeError, match=r"^test_native_function_as_the_wrapper.<locals>.original\(\) missing"):
        f()


def test_lru_cache_over_a_native_function():
    f = st.fresh_echo()
    cached = functools.lru_cache(maxsize=None)(f)
    assert cached(1, 2) is cached(1, 2)
    assert cached.cache_info().hits == 1 and cached.cache_info().misses == 1
    assert cached.__wrapped__ is f and cached.__name__ == "echo"
    assert str(inspect.signature(cached)) == str(inspect.signature(echo))


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_names_are_settable_strings_only(attr):
    f, twin = st.fresh_echo(), echo
    setattr(f, attr, "renamed")
    assert getattr(f, attr) == "renamed"
    with pytest.raises(TypeError) as native_err:
        setattr(f, attr, 3)
    with pytest.raises(TypeError) as py_err:
        setattr(twin, attr, 3)
    assert str(native_err.value) == str(py_err.value)
    with pytest.raises(TypeError):
        delattr(f, attr)
    assert getattr(f, attr) == "renamed"


def test_qualname_rename_changes_error_texts_and_repr():
    f = st.fresh_echo()
    f.__qualname__ = "Outer.renamed"
    with pytest.raises(TypeError, match=r"^Outer\.renamed\(\) missing 1 required positional argument: 'a'$"):
        f()
    assert repr(f).startswith("<function Outer.renamed at")


def test_signature_assignment_and_dict():
    f = st.fresh_echo()
    sig = inspect.Signature([inspect.Parameter("ctx", inspect.Parameter.POSITIONAL_OR_KEYWORD)])
    f.__signature__ = sig
    assert inspect.signature(f) is sig
    assert f.__dict__["__signature__"] is sig
    f.note = [1]
    assert vars(f)["note"] == [1]
    assert set(vars(f)) == {"__annotations__", "__signature__", "note"}
    del f.note
    assert not hasattr(f, "note")
    f.__annotations__ = {"a": "str"}
    assert typing.get_type_hints(f) == {"a": str}
    f.__doc__ = "new"
    assert f.__doc__ == "new"
    f.__module__ = "elsewhere"
    assert f.__module__ == "elsewhere"


@pytest.mark.parametrize("func", [st.echo, st.Holder.who, modal.LLModal._reset, modal.LLMResult.__add__,
                                  cy.CythonModelMeta.__new__], ids=lambda f: f.__qualname__)
def test_copy_and_pickle_keep_the_function(func):
    # Python functions are atomic for copy and pickle by reference; the native ones must match, or
    # a model holding one (for instance as a field default) cannot be copied.
    assert copy.copy(func) is func
    assert copy.deepcopy(func) is func
    assert copy.deepcopy({"f": [func]})["f"][0] is func
    assert pickle.loads(pickle.dumps(func)) is func


def test_model_with_native_function_default_and_deepcopy():
    from typing import Any

    from pydantic import BaseModel

    class Holds(BaseModel):
        funcs: Any = [st.echo]

    made = Holds()
    assert made.funcs == [st.echo] and made.funcs[0] is st.echo
    assert copy.deepcopy(made).funcs[0] is st.echo
