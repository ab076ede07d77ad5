"""get_cached_typeadapter: parameter models built from signatures and type hints, and the cache."""

import inspect
from typing import Annotated, Optional

import pydantic
import pytest

import parleykit._selftest as selftest
import parleykit.cython as pc


@pytest.fixture(autouse=True)
def fresh_cache():
    pc.get_cached_typeadapter.cache_clear()
    yield
    pc.get_cached_typeadapter.cache_clear()


def model_of(adapter):
    """The model class a TypeAdapter adapts (pydantic keeps it as the adapter's type)."""
    return adapter._type


def fields(adapter):
    model = model_of(adapter)
    return {
        name: (f.annotation, f.is_required(), f.default if not f.is_required() else ..., f.description, f.metadata)
        for name, f in model.model_fields.items()
    }


def f(a: int, b: str = "x", c=3) -> bool: ...
def lone_kwargs(**kw: int): ...
def mixed(a: int, **kwargs: str): ...
def mixed_plain(a: int, **extra): ...
def described(x: Annotated[int, "the x"], y: Annotated[int, "y"] = 5): ...
def two_meta(x: Annotated[int, "a", "b"]): ...
def non_str_meta(x: Annotated[int, 5]): ...


class Unreadable:
    """Callable whose signature cannot be read; its hints come from the class annotations."""

    __signature__ = "not a signature"
    __annotations__ = {"a": int}

    def __call__(self, **kw): ...


class Nameless:
    def __call__(self, a: int): ...


TABLE = [
    # function, model name, extra, {field: (annotation, required, default, description, metadata)}
    (f, "fParams", "ignore", {"a": (int, True, ..., None, []), "b": (str, False, "x", None, [])}),
    (lone_kwargs, "lone_kwargsParams", "allow", {}),
    (mixed, "mixedParams", "allow", {"a": (int, True, ..., None, []), "kwargs": (str, True, ..., None, [])}),
    (mixed_plain, "mixed_plainParams", "allow", {"a": (int, True, ..., None, [])}),
    (described, "describedParams", "ignore", {"x": (int, True, ..., "the x", []), "y": (int, False, 5, "y", [])}),
    (two_meta, "two_metaParams", "ignore", {"x": (int, True, ..., None, ["a", "b"])}),
    (non_str_meta, "non_str_metaParams", "ignore", {"x": (int, True, ..., None, [5])}),
    (Unreadable(), "AnonymousFnParams", "ignore", {"a": (int, True, ..., None, [])}),
    # A native function: parleykit's own function type, echo(a: int, b: "str | None" = None, **kwargs).
    (selftest.echo, "echoParams", "allow", {"a": (int, True, ..., None, []), "b": (Optional[str], False, None, None, [])}),
]


@pytest.mark.parametrize("fn, name, extra, expected", TABLE, ids=lambda v: getattr(v, "__name__", None))
def test_parameter_model(fn, name, extra, expected):
    adapter = pc.get_cached_typeadapter(fn)
    assert isinstance(adapter, pydantic.TypeAdapter)
    model = model_of(adapter)
    assert model.__name__ == name
    assert model.model_config["extra"] == extra
    assert model.model_config["arbitrary_types_allowed"] is True
    got = fields(adapter)
    # pydantic splits an Annotated form kept whole into its type and its metadata.
    assert got == expected


def test_model_name_without_dunder_name():
    assert model_of(pc.get_cached_typeadapter(Nameless())).__name__ == "AnonymousFnParams"


@pytest.mark.parametrize(
    "fn, data, expected",
    [
        (f, {"a": "1", "zz": 9}, {"a": 1, "b": "x"}),  # default carried over, unknown key dropped
        (f, {"a": 1, "c": 7}, {"a": 1, "b": "x"}),  # unannotated parameter dropped
        (lone_kwargs, {"q": "not an int"}, {"q": "not an int"}),  # kept, unvalidated
        (mixed, {"a": "2", "kwargs": "s", "z": 1}, {"a": 2, "kwargs": "s", "z": 1}),
        (selftest.echo, {"a": "3", "z": 1}, {"a": 3, "b": None, "z": 1}),
    ],
)
def test_validation(fn, data, expected):
    assert dict(pc.get_cached_typeadapter(fn).validate_python(data)) == expected


@pytest.mark.parametrize("fn, data", [(f, {"b": "y"}), (f, {"a": "nope"}), (mixed, {"a": 1})])
def test_validation_refuses(fn, data):
    with pytest.raises(pydantic.ValidationError):
        pc.get_cached_typeadapter(fn).validate_python(data)


def test_non_callable_gets_plain_adapter_with_arbitrary_types():
    class Plain:
        pass

    target = Plain | None  # a union object is not callable
    with pytest.raises(pydantic.PydanticSchemaGenerationError):
        pydantic.TypeAdapter(target)  # what the configuration makes possible
    adapter = pc.get_cached_typeadapter(target)
    value = Plain()
    assert adapter.validate_python(value) is value
    assert adapter.validate_python(None) is None


def test_unresolvable_hints_fall_back_to_raw_annotations():
    def g(a: "Undefined", b: int): ...  # noqa: F821

    adapter = pc.get_cached_typeadapter(g)
    assert set(model_of(adapter).model_fields) == {"a", "b"}
    with pytest.raises(pydantic.PydanticUserError, match="not fully defined"):
        adapter.validate_python({"a": 1, "b": 2})


class Stop(BaseException):
    pass


@pytest.mark.parametrize(
    "name, error, absorbed",
    [("get_type_hints", ValueError, True), ("get_type_hints", Stop, False)],
)
def test_only_exceptions_from_type_hints_are_absorbed(monkeypatch, name, error, absorbed):
    def failing(*a, **k):
        raise error("hints")

    monkeypatch.setattr(pc, name, failing)
    if absorbed:
        # Raw annotations (objects here), "return" left out.
        assert fields(pc.get_cached_typeadapter(f)) == {"a": (int, True, ..., None, []), "b": (str, False, "x", None, [])}
    else:
        with pytest.raises(error):
            pc.get_cached_typeadapter(f)


def test_unreadable_signature_ignores_a_double_star_parameter():
    # Unreadable still has **kw on __call__, but its parameters count as none: "ignore", not "allow".
    with pytest.raises(Exception):
        inspect.signature(Unreadable())
    assert model_of(pc.get_cached_typeadapter(Unreadable())).model_config["extra"] == "ignore"


def test_config_named_hint_is_a_repeated_keyword():
    def h(**kw): ...

    h.__annotations__ = {"__config__": int, "a": int}
    h.__signature__ = inspect.Signature([inspect.Parameter("a", inspect.Parameter.KEYWORD_ONLY)])
    with pytest.raises(TypeError, match="multiple values for keyword argument '__config__'"):
        pc.get_cached_typeadapter(h)


def test_cache_identity_clearing_and_keys():
    wrapper = pc.get_cached_typeadapter
    first = wrapper(f)
    assert wrapper(f) is first
    assert wrapper.cache_info().hits == 1 and wrapper.cache_info().misses == 1
    assert wrapper(fn=f) is not first  # a keyword call is another key
    wrapper.cache_clear()
    assert wrapper.cache_info().currsize == 0
    rebuilt = wrapper(f)
    assert rebuilt is not first and model_of(rebuilt) is not model_of(first)
    assert wrapper.cache_info().maxsize == 5000


def test_unhashable_and_failed_calls_are_not_cached(monkeypatch):
    with pytest.raises(TypeError, match="unhashable"):
        pc.get_cached_typeadapter({})
    calls = []
    real = pc.create_model

    def flaky(*a, **k):
        calls.append(a[0])
        if len(calls) == 1:
            raise RuntimeError("first build fails")
        return real(*a, **k)

    monkeypatch.setattr(pc, "create_model", flaky)
    with pytest.raises(RuntimeError):
        pc.get_cached_typeadapter(f)
    assert pc.get_cached_typeadapter.cache_info().currsize == 0
    assert model_of(pc.get_cached_typeadapter(f)).__name__ == "fParams"
    assert calls == ["fParams", "fParams"]


def test_wrapper_surface():
    w = pc.get_cached_typeadapter
    assert w.__name__ == "get_cached_typeadapter"
    assert w.__doc__ == "Get a cached TypeAdapter for a function, compatible with Python and Cython."
    assert w.__annotations__ == {"fn": "Any", "return": "TypeAdapter"}
    assert str(inspect.signature(w)) == "(fn: 'Any') -> 'TypeAdapter'"
    assert type(w.__wrapped__).__name__ == "function" and type(w.__wrapped__) is not type(f)
