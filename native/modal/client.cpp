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
    forget_round_reasoning(self);
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
PyObject* llmodal_type = nullptr;

pk::name n_init{"__init__"}, n_pydantic_fields{"__pydantic_fields__"}, n_model_config{"model_config"},
    n_extra{"extra"}, n_allow{"allow"}, n_alias{"alias"}, n_validation_alias{"validation_alias"},
    n_section_kw{"section"}, n_env_name{"env_name"}, n_name{"__name__"}, n_join{"join"}, n_comma_space{", "},
    n_llm{"llm"}, n_pydantic_base_init{"__pydantic_base_init__"};

// Whether `key` names a field of `fields` (a dict of FieldInfo) by its name or its alias.
bool names_a_field(PyObject* fields, PyObject* key) {
    if (PyDict_Contains(fields, key) == 1) return true;
    if (PyErr_Occurred()) throw pk::python_error{};
    PyObject *name, *info;
    Py_ssize_t pos = 0;
    while (PyDict_Next(fields, &pos, &name, &info)) {
        pk::ref held = pk::ref::borrow(info);
        for (const pk::name* attr : {&n_alias, &n_validation_alias}) {
            pk::ref alias = pk::getattr_opt(info, *attr);
            if (alias && PyUnicode_Check(alias.get()) && PyUnicode_Compare(alias.get(), key) == 0) return true;
            if (PyErr_Occurred()) throw pk::python_error{};
        }
    }
    return false;
}

// Where a keyword that is not a field belongs, for the ones that other clients take.
pk::ref hint_for(PyObject* key, PyObject* section) {
    auto is = [&](const char* text) { return PyUnicode_CompareWithASCIIString(key, text) == 0; };
    if (is("model")) return pk::str("the model name goes in the request body: extra_body={\"model\": ...}");
    const char* option = is("api_key") ? "api_key" : is("timeout") ? "timeout" : nullptr;
    if (!option) return {};
    pk::ref configurator = pk::global(globals(), n_Configurator);
    pk::ref env_name = pk::getattr_opt(configurator.get(), n_env_name);
    pk::ref variable = env_name ? pk::call(env_name, section, pk::str(option)) : pk::ref{};
    const char* what = is("api_key") ? "the API key" : "the request timeout";
    if (variable)
        return pk::ref::steal(PyUnicode_FromFormat("%s is the option %s of the configuration section %R (or the "
                                                   "environment variable %S)", what, option, section, variable.get()));
    return pk::ref::steal(PyUnicode_FromFormat("%s is the option %s of the configuration section %R", what, option,
                                               section));
}

// Refuses keywords that are not fields (by name or alias) of the client's class, unless the
// class allows extra keys: a misspelt or foreign keyword would otherwise be dropped silently.
void refuse_unknown(PyObject* self, PyObject* data) {
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
    pk::ref fields = pk::getattr(cls, n_pydantic_fields);
    if (!PyDict_Check(fields.get())) return;
    pk::ref unknown = pk::new_list();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(data, &pos, &key, &value)) {
        pk::ref held = pk::ref::borrow(key);
        if (!names_a_field(fields.get(), key)) pk::check(PyList_Append(unknown.get(), key));
    }
    Py_ssize_t n = PyList_GET_SIZE(unknown.get());
    if (n == 0) return;
    pk::ref config = pk::getattr(cls, n_model_config);
    if (PyDict_Check(config.get())) {
        PyObject* extra = PyDict_GetItemWithError(config.get(), n_extra);
        if (!extra && PyErr_Occurred()) throw pk::python_error{};
        if (extra && PyUnicode_Check(extra) && PyUnicode_Compare(extra, n_allow) == 0) return;
    }
    PyObject* given_section = PyDict_GetItemWithError(data, n_section_kw);
    if (!given_section && PyErr_Occurred()) throw pk::python_error{};
    pk::ref section = pk::ref::borrow(given_section && PyUnicode_Check(given_section) ? given_section : n_llm.get());
    pk::ref names = pk::new_list(), hints = pk::new_list();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyList_GET_ITEM(unknown.get(), i);
        pk::check(PyList_Append(names.get(), pk::ref::steal(PyObject_Repr(name)).get()));
        if (pk::ref hint = hint_for(name, section.get())) pk::check(PyList_Append(hints.get(), hint.get()));
    }
    pk::ref field_names = pk::ref::steal(PySequence_List(fields.get()));
    pk::ref class_name = pk::getattr(cls, n_name);
    pk::ref listed = pk::ref::steal(PyUnicode_Join(n_comma_space, names.get()));
    pk::ref known = pk::ref::steal(PyUnicode_Join(n_comma_space, field_names.get()));
    pk::ref hinted = pk::ref::steal(PyUnicode_Join(pk::str("; ").get(), hints.get()));
    pk::raise(PyExc_TypeError, "%S() got %s %S%s%S. Its fields are %S; other request body keys go in extra_body.",
              class_name.get(), n == 1 ? "an unexpected keyword argument" : "unexpected keyword arguments",
              listed.get(), PyList_GET_SIZE(hints.get()) ? ": " : "", hinted.get(), known.get());
}

// def __init__(self, **data): pydantic's own, after refusing keywords that name no field.
pk::ref init(PyObject* const* a) {
    PyObject *self = a[0], *data = a[1];
    refuse_unknown(self, data);
    pk::ref parent = pk::call(reinterpret_cast<PyObject*>(&PySuper_Type), llmodal_type, self);
    pk::ref base_init = pk::getattr(parent.get(), n_init);
    pk::ref done = pk::call_kwargs(base_init.get(), data);
    return pk::none();
}

const pk::fn_def init_def{.name = "__init__", .qualname = "LLModal.__init__", .impl = init,
                          .params = {{"self"}, {"data"}}, .returns = "None",
    .doc = "Create a client from its fields, given as keywords.\n"
              "\n"
              "A keyword that names no field raises TypeError, which says where it belongs.", .var_keywords = true};

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
                           .returns = "None",
    .doc = "End the tool-call state of the current request cycle: no pending tool calls, no rounds counted."};
const pk::fn_def stream_def{.name = "stream", .qualname = "LLModal.stream", .impl = stream, .params = {{"self"}},
                            .returns = "bool",
    .doc = "Whether requests are sent and read as streams: extra_body's \"stream\" as stored, False when absent."};

void define_client(PyObject* m) {
    PyObject* g = globals();
    pk::ref field = pk::global(g, n_Field);
    auto factory = [&](PyObject* f) { return pk::call(field, pk::kw(n_default_factory, f)); };
    PyObject* list = reinterpret_cast<PyObject*>(&PyList_Type);
    PyObject* dict = reinterpret_cast<PyObject*>(&PyDict_Type);

    pk::ref base = pk::global(g, n_CythonBaseModel);
    pk::ref bases = pk::tuple({base.get()});
    pk::class_builder c(g, "LLModal", "LLModal", bases.get());
    c.set("__doc__", pk::str(
        "One conversation with a chat-completions endpoint.\n\n"
        "invoke(prompt) sends a user turn: the history (messages), the pending images and video, the\n"
        "extra_body keys and the schemas of the registered tools are posted to endpoint_url, with the\n"
        "API key of the configuration section `section`. Tool calls the model asks for are run through\n"
        "`tools` and answered, up to tool_calls_limit rounds per turn. The result is an LLMResult, or\n"
        "with extra_body[\"stream\"] true an iterator of LLMResult pieces. A refused request raises\n"
        "APIStatusError; usage and finish_reason tell what the server said about the last turn."));
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
    // The reasoning that came with this cycle's tool-call requests, sent back with them until the
    // cycle ends (an empty default is copied for each instance).
    c.annotate("_tool_call_reasoning", "list[tuple[Message, str]]").set("_tool_call_reasoning", pk::new_list());
    c.annotate("_usage", "dict[str, Any] | None").set("_usage", Py_None);
    c.annotate("_finish_reason", "str | None").set("_finish_reason", Py_None);
    {
        // Keys that are not fields are refused, also when a model is validated from a mapping.
        pk::ref config = pk::new_dict();
        pk::check(PyDict_SetItem(config.get(), n_extra, pk::str("forbid").get()));
        c.set("model_config", config);
    }
    {
        // pydantic's validation from a mapping goes on calling its own __init__: the extra="forbid"
        // above refuses unknown keys there.
        pk::ref fn = pk::make_function(init_def, g);
        pk::setattr(fn.get(), n_pydantic_base_init, Py_True);
        c.set("__init__", fn);
    }

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
    c.property(usage_def);
    c.property(finish_reason_def);
    pk::ref cls = c.create();
    Py_XSETREF(llmodal_type, Py_NewRef(cls.get()));
    Py_XSETREF(base_model_getattr, Py_XNewRef(pk::compat::type_lookup(reinterpret_cast<PyTypeObject*>(cls.get()), n_getattr)));
    Py_XSETREF(object_getattribute, Py_XNewRef(pk::compat::type_lookup(&PyBaseObject_Type, n_getattribute)));
    pk::bind(m, "LLModal", cls.get());
}

}  // namespace pkmodal
