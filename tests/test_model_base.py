"""CythonModelMeta and CythonBaseModel: which class attributes become ignored types, the body's own
configuration kept in place, and the refusal of class keywords; compared with a Python twin."""

import types

import pytest
from pydantic import BaseModel, ConfigDict, Field, PrivateAttr

from parleykit import _selftest as st
from parleykit.cython import CythonBaseModel, CythonModelMeta

NATIVE = type(st.echo)


class TwinMeta(type(BaseModel)):
    """The metaclass's algorithm written in Python."""

    def __new__(cls, name, bases, namespace) -> "type(BaseModel)":
        model_config = namespace.get("model_config", {})
        ignored = set(model_config.get("ignored_types", ()))
        for attr_name, attr in namespace.items():
            if callable(attr) and not isinstance(attr, (property, classmethod, staticmethod)) \
                    and not attr_name.startswith("__"):
                ignored.add(type(attr))
        model_config.update({"ignored_types": tuple(ignored)})
        namespace.update({"model_config": model_config})
        return super().__new__(cls, name, bases, namespace)


class TwinBase(BaseModel, metaclass=TwinMeta):
    pass


class Nested:
    pass


class CallableThing:
    def __call__(self):
        return "called"


def body_native_method(ns):
    ns["run"] = st.fresh_echo()


def body_python_and_native(ns):
    ns["run"] = st.fresh_echo()
    ns["other"] = st.fresh_echo()
    ns["py"] = lambda self: None
    ns["helper"] = lambda self: 1


def body_wrappers_and_dunders(ns):
    ns["prop"] = property(lambda self: 1)
    ns["cm"] = classmethod(lambda cls: 1)
    ns["sm"] = staticmethod(lambda: 1)
    ns["__custom__"] = lambda self: 1
    ns["__call__"] = st.fresh_echo()
    ns["_private"] = PrivateAttr(default=3)


def body_nested_class_and_callable_instance(ns):
    ns["Nested"] = Nested
    ns["thing"] = CallableThing()
    ns["__annotations__"] = {"x": "int"}
    ns["x"] = Field(default=1)


BODIES = [body_native_method, body_python_and_native, body_wrappers_and_dunders,
          body_nested_class_and_callable_instance]


def make(base, body, name="Model"):
    def fill(ns):  # what a class statement puts first
        ns["__module__"], ns["__qualname__"] = __name__, name
        body(ns)

    return types.new_class(name, (base,), exec_body=fill)


@pytest.mark.parametrize("body", BODIES, ids=lambda b: b.__name__)
def test_ignored_types_match_the_python_algorithm(body):
    native, twin = make(CythonBaseModel, body), make(TwinBase, body)
    assert set(native.model_config["ignored_types"]) == set(twin.model_config["ignored_types"])
    assert len(native.model_config["ignored_types"]) == len(set(native.model_config["ignored_types"]))
    assert list(native.model_fields) == list(twin.model_fields)
    assert set(native.__private_attributes__) == set(twin.__private_attributes__)


def test_native_methods_stay_methods_not_fields():
    Model = make(CythonBaseModel, body_native_method)
    assert NATIVE in Model.model_config["ignored_types"]
    assert "run" not in Model.model_fields
    m = Model()
    assert type(m.run) is types.MethodType and m.run.__self__ is m
    assert m.run(1) == (m, 1, {})


def test_expected_ignored_types_per_body():
    got = {b.__name__: set(make(CythonBaseModel, b).model_config["ignored_types"]) for b in BODIES}
    assert got == {
        "body_native_method": {NATIVE},
        "body_python_and_native": {NATIVE, types.FunctionType},
        "body_wrappers_and_dunders": set(),
        "body_nested_class_and_callable_instance": {type, CallableThing},
    }


def test_base_model_itself():
    assert type(CythonBaseModel) is CythonModelMeta
    assert CythonModelMeta.__bases__ == (type(BaseModel),)
    assert CythonBaseModel.__bases__ == (BaseModel,)
    assert CythonBaseModel.model_config["ignored_types"] == ()
    assert CythonBaseModel.model_fields == {}
    assert CythonModelMeta.__module__ == CythonBaseModel.__module__ == "parleykit.cython"
    assert CythonModelMeta.__doc__ and CythonBaseModel.__doc__
    # (__annotations__ appears, empty, once anything such as help() has read it, as on any class.)
    assert set(vars(CythonModelMeta)) - {"__module__", "__doc__", "__dict__", "__weakref__", "__annotations__"} == {"__new__"}


def test_body_config_dict_is_updated_in_place():
    cfg = ConfigDict(ignored_types=(CallableThing,), extra="ignore")

    def body(ns):
        ns["model_config"] = cfg
        ns["run"] = st.fresh_echo()

    Model = make(CythonBaseModel, body)
    assert set(cfg["ignored_types"]) == {CallableThing, NATIVE}
    assert cfg["extra"] == "ignore"
    assert Model.model_config["extra"] == "ignore"
    assert set(Model.model_config["ignored_types"]) == {CallableThing, NATIVE}
    assert Model(unknown=1).model_dump() == {}


@pytest.mark.parametrize("config, error", [(5, AttributeError), ({"ignored_types": 3}, TypeError)])
def test_broken_body_config_propagates(config, error):
    def body(ns):
        ns["model_config"] = config

    for base in (CythonBaseModel, TwinBase):
        with pytest.raises(error):
            make(base, body)


def test_class_keywords_are_refused():
    messages = []
    for base in (CythonBaseModel, TwinBase):
        with pytest.raises(TypeError) as info:
            types.new_class("Model", (base,), {"extra": "forbid"})
        messages.append(str(info.value).replace("TwinMeta", "CythonModelMeta"))
    assert messages[0] == messages[1] == "CythonModelMeta.__new__() got an unexpected keyword argument 'extra'"


def test_metaclass_subclass_and_mixed_bases():
    class Logging(CythonModelMeta):
        seen = []

        def __new__(cls, name, bases, namespace):
            Logging.seen.append(name)
            return super().__new__(cls, name, bases, namespace)

    class Plain(BaseModel):
        a: int = 1

    Model = types.new_class("Mixed", (CythonBaseModel, Plain), {"metaclass": Logging},
                            exec_body=lambda ns: (ns.update(__module__=__name__), body_native_method(ns)))
    assert Logging.seen == ["Mixed"] and type(Model) is Logging
    assert NATIVE in Model.model_config["ignored_types"]
    assert Model().a == 1 and list(Model.model_fields) == ["a"]
