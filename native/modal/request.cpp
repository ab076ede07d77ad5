// The pieces of one chat-completions request: extra body keys with the tool declarations, the
// headers with the configured API key (and the masking of that key in printed reports), and the JSON
// body. Rebuilt on every read, nothing cached.
#include "modal/parts.hpp"

namespace pkmodal {
namespace {

pk::name n_tools{"tools"}, n_schemas{"schemas"}, n_parallel_tool_calls{"parallel_tool_calls"}, n_section{"section"},
    n_has_option{"has_option"}, n_api_key{"api_key"}, n_content_type{"Content-Type"},
    n_application_json{"application/json"}, n_authorization{"Authorization"}, n_bearer{"Bearer "},
    n_messages_latest{"messages_latest"}, n_extra_body_prop{"_extra_body"}, n_api_key_mask{"[api key]"},
    n_timeout{"timeout"}, n_strip{"strip"}, n_split{"split"}, n_comma{","};

// Configurator.<method>(self.section, option), with Configurator read from the module namespace.
pk::ref ask_configurator(PyObject* self, const pk::name& method, const pk::name& option = n_api_key) {
    pk::ref configurator = pk::global(globals(), n_Configurator);
    pk::ref fn = pk::getattr(configurator.get(), method);
    pk::ref section = pk::getattr(self, n_section);
    return pk::call(fn, section, option);
}

// A number of seconds, more than zero and finite, from a number or its text.
pk::ref seconds(PyObject* value) {
    pk::ref number = PyUnicode_Check(value) ? pk::ref::steal(PyFloat_FromString(value))
                                            : pk::ref::steal(PyNumber_Float(value));
    double v = PyFloat_AsDouble(number.get());
    if (v == -1.0 && PyErr_Occurred()) throw pk::python_error{};
    if (!(v > 0.0) || v == Py_HUGE_VAL) pk::raise(PyExc_ValueError, "not a positive number of seconds");
    return number;
}

}  // namespace

pk::ref request_timeout(PyObject* self) {
    pk::ref has = ask_configurator(self, n_has_option, n_timeout);
    if (!pk::truthy(has.get())) return {};
    pk::ref value = ask_configurator(self, n_get, n_timeout);
    if (PyBool_Check(value.get())) value = pk::str_of(value.get());
    pk::ref parts;
    if (PyUnicode_Check(value.get())) {
        pk::ref text = pk::call_method(value.get(), n_strip);
        if (PyUnicode_GET_LENGTH(text.get()) == 0) return {};
        parts = pk::call_method(text.get(), n_split, n_comma);
    } else {
        parts = pk::tuple({value.get()});
    }
    Py_ssize_t n = PySequence_Size(parts.get());
    try {
        if (n != 1 && n != 2) pk::raise(PyExc_ValueError, "more than two numbers");
        pk::ref first = pk::ref::steal(PySequence_GetItem(parts.get(), 0));
        pk::ref connect = seconds(first.get());
        if (n == 1) return connect;
        pk::ref second = pk::ref::steal(PySequence_GetItem(parts.get(), 1));
        pk::ref read = seconds(second.get());
        return pk::tuple({connect.get(), read.get()});
    } catch (pk::python_error&) {
        if (!pk::error_is_exception()) throw;
        PyErr_Clear();
    }
    pk::ref section = pk::getattr(self, n_section);
    pk::raise(PyExc_ValueError, "the timeout of section %R must be seconds, or connect,read seconds, not %R",
              section.get(), value.get());
}

pk::ref without_api_key(PyObject* self, PyObject* text) {
    pk::ref key;
    try {
        pk::ref has = ask_configurator(self, n_has_option);
        if (!pk::truthy(has.get())) return pk::ref::borrow(text);
        pk::ref value = ask_configurator(self, n_get);
        key = pk::fstring_field(value.get());
    } catch (pk::python_error&) {
        // A configuration that cannot be read now gave no key to the request's headers either;
        // the report goes on with the error it is reporting.
        if (!pk::error_is_exception()) throw;
        PyErr_Clear();
        return pk::ref::borrow(text);
    }
    if (PyUnicode_GET_LENGTH(key.get()) == 0) return pk::ref::borrow(text);
    return pk::ref::steal(PyUnicode_Replace(text, key.get(), n_api_key_mask, -1));
}

namespace {

// @property def _extra_body(self) -> dict[str, Any]: a copy of extra_body, plus the tool schemas and
// parallel tool calls when the registry has tools.
pk::ref extra_body(PyObject* const* a) {
    PyObject* self = a[0];
    pk::ref given = pk::getattr(self, n_extra_body);
    if (given.get() == Py_None) pk::raise(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
    pk::ref out = PyDict_CheckExact(given.get())
                      ? pk::ref::steal(PyDict_Copy(given.get()))
                      : pk::call(reinterpret_cast<PyObject*>(&PyDict_Type), given);
    given = nullptr;

    pk::ref tools = pk::getattr(self, n_tools);
    if (!pk::truthy(tools.get())) return out;
    tools = pk::getattr(self, n_tools);
    pk::ref schemas = pk::getattr(tools.get(), n_schemas);
    pk::ref declared = pk::new_dict();
    pk::check(PyDict_SetItem(declared.get(), n_tools, schemas.get()));
    pk::check(PyDict_SetItem(declared.get(), n_parallel_tool_calls, Py_True));
    pk::check(PyDict_Update(out.get(), declared.get()));
    return out;
}

// @property def _headers(self) -> dict[str, str]: JSON content type, and the bearer key when the
// configuration has one for this client's section.
pk::ref headers(PyObject* const* a) {
    PyObject* self = a[0];
    pk::ref out = pk::new_dict();
    pk::check(PyDict_SetItem(out.get(), n_content_type, n_application_json));
    pk::ref has = ask_configurator(self, n_has_option);
    if (!pk::truthy(has.get())) return out;
    pk::ref auth = pk::new_dict();
    pk::ref key = ask_configurator(self, n_get);
    pk::ref text = pk::fstring_field(key.get());
    pk::ref value = pk::ref::steal(PyUnicode_Concat(n_bearer, text.get()));
    pk::check(PyDict_SetItem(auth.get(), n_authorization, value.get()));
    pk::check(PyDict_Update(out.get(), auth.get()));
    return out;
}

// @property def _body(self) -> dict[str, Any]: {"messages": self.messages_latest, **self._extra_body}
pk::ref body(PyObject* const* a) {
    PyObject* self = a[0];
    pk::ref out = pk::new_dict();
    pk::ref messages = pk::getattr(self, n_messages_latest);
    pk::check(PyDict_SetItem(out.get(), n_messages, messages.get()));
    pk::ref extra = pk::getattr(self, n_extra_body_prop);
    if (PyDict_Update(out.get(), extra.get()) < 0) {
        // The interpreter's wording for a non-mapping unpacked into a dict display.
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            pk::raise(PyExc_TypeError, "'%.200s' object is not a mapping", Py_TYPE(extra.get())->tp_name);
        }
        throw pk::python_error{};
    }
    return out;
}

}  // namespace

const pk::fn_def extra_body_def{.name = "_extra_body", .qualname = "LLModal._extra_body", .impl = extra_body,
                                .params = {{"self"}}, .returns = "dict[str, Any]",
    .doc = "The request body's keys besides the messages: extra_body, and the tool schemas if any."};
const pk::fn_def headers_def{.name = "_headers", .qualname = "LLModal._headers", .impl = headers,
                             .params = {{"self"}}, .returns = "dict[str, str]",
    .doc = "The request headers: the JSON content type, and the bearer API key when one is configured."};
const pk::fn_def body_def{.name = "_body", .qualname = "LLModal._body", .impl = body, .params = {{"self"}},
                          .returns = "dict[str, Any]",
    .doc = "The JSON body of the next request: the messages as sent, then the extra body keys."};

}  // namespace pkmodal
