// The conversation client LLModal: its fields, private state and methods in declaration order,
// plus the members that belong to the client surface itself (_reset, stream).
#include "modal/parts.hpp"

namespace pkmodal {
namespace {

pk::name n_Field{"Field"}, n_default_factory{"default_factory"}, n_CythonBaseModel{"CythonBaseModel"},
    n_Tools{"Tools"};

// def _reset(self) -> None: a new cycle's tool-call state.
pk::ref reset(PyObject* const* a) {
    PyObject* self = a[0];
    pk::setattr(self, n_tool_calls, pk::new_list().get());
    pk::setattr(self, n_tool_calls_count, pk::integer(0).get());
    return pk::none();
}

// @property def stream(self) -> bool: extra_body's "stream", unconverted, False when absent.
pk::ref stream(PyObject* const* a) {
    pk::ref extra = pk::getattr(a[0], n_extra_body);
    return pk::call_method(extra.get(), n_get, n_stream, Py_False);
}

pk::name n_private{"__pydantic_private__"}, n_getattribute{"__getattribute__"}, n_getattr{"__getattr__"};

// pydantic's BaseModel.__getattr__ as LLModal's class held it when made, and object.__getattribute__:
// strong references, so that no other object can take either address while the client compares
// what a class holds now against them.
PyObject* base_model_getattr = nullptr;
PyObject* object_getattribute = nullptr;

}  // namespace

pk::ref private_attr(PyObject* self, const pk::name& attr) {
    PyTypeObject* tp = Py_TYPE(self);
    // Exactly pydantic's own route, without first failing a generic lookup (an exception and a
    // Python frame per read): only when the class neither intercepts attribute access nor holds
    // the name itself, and the instance dict does not shadow it.
    if (pk::compat::type_lookup(tp, n_getattribute) == object_getattribute && pk::compat::type_lookup(tp, n_getattr) == base_model_getattr &&
        !pk::compat::type_lookup(tp, attr)) {
        PyObject** dictptr = pk::compat::instance_dict_slot(self);
        PyObject* own = dictptr && *dictptr ? PyDict_GetItemWithError(*dictptr, attr) : nullptr;
        if (!own && !PyErr_Occurred()) {
            pk::ref values = pk::getattr(self, n_private);
            if (PyDict_CheckExact(values.get())) {
                PyObject* v = PyDict_GetItemWithError(values.get(), attr);
                if (v) return pk::ref::borrow(v);
            }
        }
        if (PyErr_Occurred()) throw pk::python_error{};
    }
    return pk::getattr(self, attr);
}

const pk::fn_def reset_def{.name = "_reset", .qualname = "LLModal._reset", .impl = reset, .params = {{"self"}},
                           .returns = "None"};
const pk::fn_def stream_def{.name = "stream", .qualname = "LLModal.stream", .impl = stream, .params = {{"self"}},
                            .returns = "bool"};

void define_client(PyObject* m) {
    PyObject* g = globals();
    pk::ref field = pk::global(g, n_Field);
    auto factory = [&](PyObject* f) { return pk::call(field, pk::kw(n_default_factory, f)); };
    PyObject* list = reinterpret_cast<PyObject*>(&PyList_Type);
    PyObject* dict = reinterpret_cast<PyObject*>(&PyDict_Type);

    pk::ref base = pk::global(g, n_CythonBaseModel);
    pk::ref bases = pk::tuple({base.get()});
    pk::class_builder c(g, "LLModal", "LLModal", bases.get());
    c.annotate("section", "str").set("section", pk::str("llm"));
    c.annotate("endpoint_url", "str").set("endpoint_url", pk::str(""));
    c.annotate("system_prompt", "str").set("system_prompt", pk::str(""));
    c.annotate("images", "list[str]").set("images", factory(list));
    c.annotate("video", "list[str]").set("video", factory(list));
    c.annotate("tools", "Tools").set("tools", factory(pk::global(g, n_Tools).get()));
    c.annotate("messages", "list[Message]").set("messages", factory(list));
    c.annotate("extra_body", "dict[str, Any]").set("extra_body", factory(dict));
    c.annotate("retry", "bool").set("retry", Py_False);
    c.annotate("tool_calls", "list[dict[str, Any]]").set("tool_calls", factory(list));
    c.annotate("tool_calls_limit", "int").set("tool_calls_limit", pk::integer(3));
    c.annotate("_tool_calls_count", "int").set("_tool_calls_count", pk::integer(0));
    c.annotate("_close", "bool").set("_close", Py_False);
    c.annotate("_default", "str").set("_default", pk::str("The server is busy. Please try again later."));

    c.method(reset_def);
    c.property(stream_def);
    c.property(extra_body_def);
    c.property(headers_def);
    c.property(body_def);
    c.property(messages_latest_def);
    c.method(message_latest_def);
    c.method(add_message_def);
    c.method(add_tool_calls_def);
    c.method(message_process_def);
    c.static_method(t_calls_beautify_def);
    c.static_method(t_results_beautify_def);
    c.method(response_def);
    c.method(stream_response_def);
    c.method(tool_calls_def);
    c.method(core_call_def);
    c.method(invoke_def);
    pk::ref cls = c.create();
    Py_XSETREF(base_model_getattr, Py_XNewRef(pk::compat::type_lookup(reinterpret_cast<PyTypeObject*>(cls.get()), n_getattr)));
    Py_XSETREF(object_getattribute, Py_XNewRef(pk::compat::type_lookup(&PyBaseObject_Type, n_getattribute)));
    pk::bind(m, "LLModal", cls.get());
}

}  // namespace pkmodal
