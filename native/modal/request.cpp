// The pieces of one chat-completions request: extra body keys with the tool declarations, the
// headers with the configured API key (and the masking of that key in printed reports), and the JSON
// body. Rebuilt on every read, nothing cached.
#include "modal/parts.hpp"

#include <vector>

namespace pkmodal {
namespace {

pk::name n_tools{"tools"}, n_schemas{"schemas"}, n_parallel_tool_calls{"parallel_tool_calls"}, n_section{"section"},
    n_has_option{"has_option"}, n_api_key{"api_key"}, n_content_type{"Content-Type"},
    n_application_json{"application/json"}, n_authorization{"Authorization"}, n_bearer{"Bearer "},
    n_messages_latest{"messages_latest"}, n_extra_body_prop{"_extra_body"}, n_api_key_mask{"[api key]"},
    n_setting{"setting"}, n_dumps{"dumps"}, n_ensure_ascii{"ensure_ascii"}, n_replace{"replace"}, n_safe{"safe"},
    n_lower{"lower"}, n_sort{"sort"}, n_key{"key"}, n_reverse{"reverse"};

// Configurator.<method>(self.section, option), with Configurator read from the module namespace.
pk::ref ask_configurator(PyObject* self, const pk::name& method, const pk::name& option = n_api_key) {
    pk::ref configurator = pk::global(globals(), n_Configurator);
    pk::ref fn = pk::getattr(configurator.get(), method);
    pk::ref section = pk::getattr(self, n_section);
    return pk::call(fn, section, option);
}

}  // namespace

pk::ref request_setting(PyObject* self, const char* option) {
    pk::ref configurator = pk::global(globals(), n_Configurator);
    pk::ref setting = pk::getattr_opt(configurator.get(), n_setting);
    // A stand-in configuration without checked settings configures none of them.
    if (!setting) return {};
    pk::ref section = pk::getattr(self, n_section);
    pk::ref name = pk::str(option);
    pk::ref value = pk::call(setting, section, name);
    if (value.get() == Py_None) return {};
    return value;
}

pk::ref request_timeout(PyObject* self) { return request_setting(self, "timeout"); }

namespace {

// Keys this process has sent, newest last, each with the texts it can take in an error message
// (computed when first needed). A key rotated while a request was under way is still masked in
// that request's report. Bounded: the oldest goes first.
struct sent_key {
    pk::ref key;
    pk::ref forms;
};
constexpr size_t kept_keys = 32;
std::vector<sent_key>& sent_keys() {
    static auto* keys = new std::vector<sent_key>();
    return *keys;
}

void remember_key(PyObject* key) {
    auto& keys = sent_keys();
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) {
        if (it->key.get() == key) return;
        int same = PyObject_RichCompareBool(it->key.get(), key, Py_EQ);
        if (same < 0) throw pk::python_error{};
        if (same) return;
    }
    if (keys.size() >= kept_keys) keys.erase(keys.begin());
    keys.push_back({pk::ref::borrow(key), {}});
}

pk::ref slice(PyObject* text, Py_ssize_t from, Py_ssize_t drop_end) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    return pk::ref::steal(PyUnicode_Substring(text, from, n - drop_end));
}

void append(PyObject* list, PyObject* item) { pk::check(PyList_Append(list, item)); }

// How `text` reads inside a str's repr and inside a bytes repr of its UTF-8, with either quote
// the repr may have chosen for the whole message it is part of.
void add_repr_forms(PyObject* forms, PyObject* text) {
    pk::ref both = pk::ref::steal(PyUnicode_FromFormat("%U'\"", text));
    pk::ref single = pk::ref::steal(PyUnicode_FromFormat("%U'", text));
    bool has_double = PyUnicode_FindChar(text, '"', 0, PyUnicode_GET_LENGTH(text), 1) >= 0;
    pk::ref r = pk::ref::steal(PyObject_Repr(both.get()));
    append(forms, slice(r.get(), 1, 4).get());
    if (!has_double) {
        r = pk::ref::steal(PyObject_Repr(single.get()));
        append(forms, slice(r.get(), 1, 2).get());
    }
    pk::ref both_bytes = pk::ref::steal(PyUnicode_AsUTF8String(both.get()));
    r = pk::ref::steal(PyObject_Repr(both_bytes.get()));
    append(forms, slice(r.get(), 2, 4).get());
    if (!has_double) {
        pk::ref single_bytes = pk::ref::steal(PyUnicode_AsUTF8String(single.get()));
        r = pk::ref::steal(PyObject_Repr(single_bytes.get()));
        append(forms, slice(r.get(), 2, 2).get());
    }
}

// Every text in which `key` can appear in an error: as it is, JSON-escaped (ASCII or not, with
// "/" escaped or not), URL-encoded, and each of those inside a str or bytes repr.
pk::ref forms_of(PyObject* key) {
    pk::ref json = pk::global(globals(), n_json);
    pk::ref dumps = pk::getattr(json.get(), n_dumps);
    pk::ref parse = pk::import("urllib.parse");
    pk::ref base = pk::new_list();
    append(base.get(), key);
    pk::ref ascii = pk::call(dumps, key);
    pk::ref ascii_inner = slice(ascii.get(), 1, 1);
    append(base.get(), ascii_inner.get());
    pk::ref unicode = pk::call(dumps, key, pk::kw(n_ensure_ascii, Py_False));
    append(base.get(), slice(unicode.get(), 1, 1).get());
    pk::ref slashed = pk::call_method(ascii_inner.get(), n_replace, pk::str("/"), pk::str("\\/"));
    append(base.get(), slashed.get());
    pk::ref empty = pk::str("");
    for (const char* fn : {"quote", "quote_plus"}) {
        pk::ref quote = pk::ref::steal(PyObject_GetAttrString(parse.get(), fn));
        pk::ref quoted = pk::call(quote, key, pk::kw(n_safe, empty));
        append(base.get(), quoted.get());
        pk::ref lower = pk::call_method(quoted.get(), n_lower);  // percent escapes in lower case
        append(base.get(), lower.get());
    }
    pk::ref forms = pk::new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(base.get()); ++i) {
        PyObject* form = PyList_GET_ITEM(base.get(), i);
        append(forms.get(), form);
        add_repr_forms(forms.get(), form);
    }
    return forms;
}

pk::ref cached_forms(PyObject* key) {
    for (auto& sent : sent_keys())
        if (sent.key.get() == key && sent.forms) return sent.forms;
    pk::ref forms = forms_of(key);
    for (auto& sent : sent_keys())
        if (sent.key.get() == key) sent.forms = forms;
    return forms;
}

}  // namespace

pk::ref without_api_key(PyObject* self, PyObject* text) {
    pk::ref current;
    try {
        pk::ref has = ask_configurator(self, n_has_option);
        if (pk::truthy(has.get())) {
            pk::ref value = ask_configurator(self, n_get);
            current = pk::fstring_field(value.get());
        }
    } catch (pk::python_error&) {
        // A configuration that cannot be read now gave no key to the request's headers either;
        // the report goes on with the error it is reporting, masking the keys already sent.
        if (!pk::error_is_exception()) throw;
        PyErr_Clear();
    }
    std::vector<pk::ref> keys;
    if (current && PyUnicode_GET_LENGTH(current.get()) != 0) keys.push_back(current);
    for (auto& sent : sent_keys()) keys.push_back(sent.key);
    if (keys.empty()) return pk::ref::borrow(text);
    pk::ref all = pk::new_list();
    for (auto& key : keys) {
        pk::ref forms = cached_forms(key.get());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(forms.get()); ++i) append(all.get(), PyList_GET_ITEM(forms.get(), i));
    }
    // Longest first: a form that holds another is replaced whole.
    pk::ref len_fn = pk::ref::borrow(PyDict_GetItemString(PyEval_GetBuiltins(), "len"));
    pk::call(pk::getattr(all.get(), n_sort), pk::kw(n_key, len_fn), pk::kw(n_reverse, Py_True));
    pk::ref out = pk::ref::borrow(text);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.get()); ++i) {
        PyObject* form = PyList_GET_ITEM(all.get(), i);
        if (PyUnicode_GET_LENGTH(form) == 0) continue;
        out = pk::ref::steal(PyUnicode_Replace(out.get(), form, n_api_key_mask, -1));
    }
    return out;
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
    if (PyUnicode_GET_LENGTH(text.get()) != 0) remember_key(text.get());
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    if (PyUnicode_FindChar(text.get(), '\n', 0, n, 1) >= 0 || PyUnicode_FindChar(text.get(), '\r', 0, n, 1) >= 0) {
        // No header can carry a line break, and the HTTP library's refusal would quote the key.
        pk::ref section = pk::getattr(self, n_section);
        pk::raise(PyExc_ValueError, "the api_key of section %R holds a line break, which no header can carry",
                  section.get());
    }
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
