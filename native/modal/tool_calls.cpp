// The tool-call cycle of LLModal: collecting the calls of a reply (joining streamed fragments),
// summarising calls and results as ToolContent maps, and running one iteration within the limit.
#include "modal/parts.hpp"

namespace pkmodal {
namespace {

pk::name n_assistant{"assistant"}, n_index{"index"}, n_function{"function"}, n_arguments{"arguments"},
    n_id{"id"}, n_name{"name"}, n_loads{"loads"}, n_decoder{"decoder"}, n_JSONDecodeError{"JSONDecodeError"},
    n_ToolContent{"ToolContent"}, n_tool_call_id{"tool_call_id"}, n_contents{"contents"}, n_tools{"tools"},
    n_tool_calls_limit{"tool_calls_limit"}, n_append{"append"}, n_extend{"extend"}, n_reset{"_reset"},
    n_empty{""}, n_retry{"retry"}, n_tool{"tool"};

// Calls `fn(item)` for each item of a list, reading the list afresh at every step as a Python
// `for` loop does.
template <class Fn>
void for_each_in_list(PyObject* list, Fn&& fn) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        pk::ref item = pk::ref::borrow(PyList_GET_ITEM(list, i));
        fn(item.get());
    }
}

// json.loads(text) when that gives a mapping or a text, else the text itself: not JSON
// (json.decoder.JSONDecodeError only), or JSON that ToolContent cannot hold, such as a number or a
// list, which tools return often and which must not break the cycle.
pk::ref decoded(PyObject* text) {
    pk::ref json = pk::global(globals(), n_json);
    pk::ref loads = pk::getattr(json.get(), n_loads);
    pk::ref value = pk::ref::steal_or_null(PyObject_CallOneArg(loads.get(), text));
    if (value) return PyDict_Check(value.get()) || PyUnicode_Check(value.get()) ? value : pk::ref::borrow(text);
    // Text too deep for the decoder, or holding a number longer than the interpreter converts,
    // is text too: one call's odd arguments or result must not end the turn.
    if (PyUnicode_Check(text) && (PyErr_ExceptionMatches(PyExc_RecursionError) || PyErr_ExceptionMatches(PyExc_ValueError))) {
        PyErr_Clear();
        return pk::ref::borrow(text);
    }
    pk::ref exc = pk::fetch_error();
    pk::ref json_again = pk::global(globals(), n_json);
    pk::ref decoder = pk::getattr(json_again.get(), n_decoder);
    pk::ref error_type = pk::getattr(decoder.get(), n_JSONDecodeError);
    if (PyErr_GivenExceptionMatches(exc.get(), error_type.get())) return pk::ref::borrow(text);
    pk::raise_object(std::move(exc));
}

// ToolContent(name=name, content=content)
pk::ref tool_content(PyObject* name, PyObject* content) {
    pk::ref cls = pk::global(globals(), n_ToolContent);
    return pk::call(cls, pk::kw(n_name, name), pk::kw(n_content, content));
}

// mapping[key], or null when the key is absent.
pk::ref lookup(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        pk::ref v = pk::ref::borrow(PyDict_GetItemWithError(mapping, key));
        if (!v && PyErr_Occurred()) throw pk::python_error{};
        return v;
    }
    pk::ref v = pk::ref::steal_or_null(PyObject_GetItem(mapping, key));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw pk::python_error{};
        PyErr_Clear();
    }
    return v;
}

bool has_id(PyObject* id) { return id && id != Py_None && pk::truthy(id); }

// mapping[key] where an explicit null counts as absent: servers that serialise every field of
// their models write the keys they have no value for as null.
pk::ref lookup_present(PyObject* mapping, PyObject* key) {
    pk::ref v = lookup(mapping, key);
    return v.get() == Py_None ? pk::ref{} : v;
}

// The newest stored call whose id is `id`, or null.
pk::ref call_with_id(PyObject* stored, Py_ssize_t size, PyObject* id) {
    for (Py_ssize_t at = size - 1; at >= 0; --at) {
        pk::ref call = pk::ref::steal(PySequence_GetItem(stored, at));
        pk::ref call_id = lookup(call.get(), n_id);
        if (call_id && pk::check(PyObject_RichCompareBool(call_id.get(), id, Py_EQ))) return call;
    }
    return {};
}

// The stored call that a streamed fragment continues, or null when it starts a new call.
// Servers differ in how they number fragments: some leave "index" out or null, some send every
// call under index 0, some start at 1. So a call is found by the index it was first stored
// under (the newest such call), a non-empty id that differs from that call's id starts a new
// one, and a fragment without index continues the call its id names, or the newest call when
// it has no id.
pk::ref call_continued(PyObject* stored, PyObject* fragment, PyObject* index) {
    pk::ref id = lookup(fragment, n_id);
    Py_ssize_t size = pk::check(PyObject_Length(stored));
    if (!index) {
        if (size == 0) return {};
        if (has_id(id.get())) return call_with_id(stored, size, id.get());
        return pk::getitem(stored, pk::integer(-1).get());
    }
    pk::ref found;
    for (Py_ssize_t at = size - 1; at >= 0 && !found; --at) {
        pk::ref call = pk::ref::steal(PySequence_GetItem(stored, at));
        pk::ref call_index = lookup(call.get(), n_index);
        if (call_index && pk::check(PyObject_RichCompareBool(call_index.get(), index, Py_EQ))) found = call;
    }
    if (found && has_id(id.get())) {
        pk::ref found_id = lookup(found.get(), n_id);
        if (!found_id || pk::check(PyObject_RichCompareBool(found_id.get(), id.get(), Py_NE))) return {};
    }
    return found;
}

// def _add_tool_calls(self, message: dict[str, Any]) -> None: the tool calls of a reply message,
// or the fragments of a streamed delta joined into the calls they continue.
pk::ref add_tool_calls(PyObject* const* a) {
    PyObject *self = a[0], *message = a[1];
    pk::check_exact(message, &PyDict_Type, "message");
    pk::ref calls = lookup_present(message, n_tool_calls);
    if (!calls) calls = pk::new_list();
    pk::ref stream = pk::getattr(self, n_stream);
    if (!pk::truthy(stream.get())) {
        pk::ref stored = pk::getattr(self, n_tool_calls);
        pk::call_method(stored.get(), n_extend, calls);
        // A whole call without arguments text (missing or null) is a call with no arguments.
        if (PyList_Check(calls.get())) for_each_in_list(calls.get(), [](PyObject* call) {
            pk::ref function = PyDict_Check(call) ? lookup_present(call, n_function) : pk::ref{};
            if (function && PyDict_Check(function.get()) && !lookup_present(function.get(), n_arguments))
                pk::check(PyDict_SetItem(function.get(), n_arguments, n_empty));
        });
        return pk::none();
    }

    pk::ref it = pk::ref::steal(PyObject_GetIter(calls.get()));
    while (pk::ref fragment = pk::ref::steal_or_null(PyIter_Next(it.get()))) {
        pk::ref index = lookup(fragment.get(), n_index);
        if (index && index.get() != Py_None) pk::expect_exact(index.get(), &PyLong_Type);
        pk::ref stored = pk::getattr(self, n_tool_calls);
        pk::ref target = call_continued(stored.get(), fragment.get(), index.get() == Py_None ? nullptr : index.get());
        if (!target) {
            // The first fragment of a call: make sure it carries arguments text (null counts as
            // none), then keep it.
            pk::ref function = lookup_present(fragment.get(), n_function);
            if (!function) {
                PyErr_SetObject(PyExc_KeyError, n_function);
                throw pk::python_error{};
            }
            pk::ref arguments = pk::call_method(function.get(), n_get, n_arguments, n_empty);
            pk::ref update = pk::new_dict();
            pk::check(PyDict_SetItem(update.get(), n_arguments, arguments.get() == Py_None ? n_empty.get() : arguments.get()));
            pk::call_method(function.get(), n_update, update);
            pk::call_method(stored.get(), n_append, fragment);
            continue;
        }
        // A later fragment adds only its arguments text; its other keys are not merged, and one
        // that carries no function (or a null one) has nothing to add.
        pk::ref function = lookup_present(fragment.get(), n_function);
        if (!function || !pk::check(PySequence_Contains(function.get(), n_arguments))) continue;
        pk::ref piece = pk::getitem(function.get(), n_arguments);
        if (piece.get() == Py_None) continue;
        pk::ref target_function = pk::getitem(target.get(), n_function);
        pk::ref current = pk::getitem(target_function.get(), n_arguments);
        pk::ref joined = pk::ref::steal(PyNumber_InPlaceAdd(current.get(), piece.get()));
        current = nullptr;
        pk::setitem(target_function.get(), n_arguments, joined.get());
    }
    if (PyErr_Occurred()) throw pk::python_error{};
    return pk::none();
}

// @staticmethod def _t_calls_beautify(tool_calls: list[dict[str, Any]]) -> dict[str, ToolContent]
pk::ref t_calls_beautify(PyObject* const* a) {
    PyObject* calls = a[0];
    pk::check_exact(calls, &PyList_Type, "tool_calls");
    pk::ref out = pk::new_dict();
    for_each_in_list(calls, [&](PyObject* call) {
        pk::ref function = pk::getitem(call, n_function);
        pk::ref arguments = pk::getitem(function.get(), n_arguments);
        pk::ref content = decoded(arguments.get());
        pk::ref id = pk::getitem(call, n_id);
        pk::ref function_again = pk::getitem(call, n_function);
        pk::ref name = pk::getitem(function_again.get(), n_name);
        pk::ref entry = tool_content(name.get(), content.get());
        pk::check(PyDict_SetItem(out.get(), id.get(), entry.get()));
    });
    return out;
}

// @staticmethod def _t_results_beautify(tool_calls: dict[str, ToolContent],
//                                       tool_results: list[Message]) -> dict[str, ToolContent]
pk::ref t_results_beautify(PyObject* const* a) {
    PyObject *calls = a[0], *results = a[1];
    pk::check_exact(calls, &PyDict_Type, "tool_calls");
    pk::check_exact(results, &PyList_Type, "tool_results");
    pk::ref out = pk::new_dict();
    for_each_in_list(results, [&](PyObject* message) {
        pk::ref tid = pk::getattr(message, n_tool_call_id);
        if (!pk::check(PyDict_Contains(calls, tid.get()))) return;
        pk::ref contents = pk::getattr(message, n_contents);
        pk::ref last = pk::getitem(contents.get(), pk::integer(-1).get());
        pk::ref content = decoded(last.get());
        pk::ref call = pk::getitem(calls, tid.get());
        pk::ref name = pk::getattr(call.get(), n_name);
        pk::ref entry = tool_content(name.get(), content.get());
        pk::check(PyDict_SetItem(out.get(), tid.get(), entry.get()));
    });
    return out;
}

// Refuses a registry answer that would leave the history invalid: not a list, an item that is not
// a tool message, an answer to a call this round did not make, a call answered twice or not at all.
void check_answers(PyObject* results, PyObject* calls) {
    pk::expect_exact(results, &PyList_Type);
    pk::ref asked = pk::ref::steal(PySet_New(nullptr));
    for_each_in_list(calls, [&](PyObject* call) {
        pk::ref id = PyDict_Check(call) ? lookup(call, n_id) : pk::ref{};
        if (id && id.get() != Py_None) pk::check(PySet_Add(asked.get(), pk::str_of(id.get()).get()));
    });
    pk::ref tool = role_of(n_tool);
    pk::ref answered = pk::ref::steal(PySet_New(nullptr));
    // An answer is judged by what it is, not by its class: registries may build their own
    // message objects, which need a role and a tool_call_id like the package's own.
    for_each_in_list(results, [&](PyObject* message) {
        pk::ref role = pk::getattr_opt(message, n_role);
        pk::ref id = role ? pk::getattr_opt(message, n_tool_call_id) : pk::ref{};
        if (!role || !id)
            pk::raise(PyExc_TypeError, "the tool registry answered with %.200s, not a tool message", Py_TYPE(message)->tp_name);
        if (!pk::check(PyObject_RichCompareBool(role.get(), tool.get(), Py_EQ)))
            pk::raise(PyExc_TypeError, "the tool registry answered with a %S message, not a tool message", role.get());
        if (!PyUnicode_Check(id.get()) && id.get() != Py_None)
            pk::raise(PyExc_TypeError, "the tool registry answered call %R, which this round did not make", id.get());
        if (!pk::check(PySet_Contains(asked.get(), id.get())))
            pk::raise(PyExc_TypeError, "the tool registry answered call %R, which this round did not make", id.get());
        if (pk::check(PySet_Contains(answered.get(), id.get())))
            pk::raise(PyExc_TypeError, "the tool registry answered call %R twice", id.get());
        pk::check(PySet_Add(answered.get(), id.get()));
    });
    pk::ref missing = pk::ref::steal(PyNumber_Subtract(asked.get(), answered.get()));
    if (PySet_GET_SIZE(missing.get()) != 0) {
        pk::ref sorted = pk::ref::steal(PySequence_List(missing.get()));
        pk::check(PyList_Sort(sorted.get()));
        pk::raise(PyExc_TypeError, "the tool registry left call %R unanswered", PyList_GET_ITEM(sorted.get(), 0));
    }
}

// def _tool_calls(self) -> list[Message]: one tool-call iteration, refused past the limit.
pk::ref tool_calls(PyObject* const* a) {
    PyObject* self = a[0];
    {
        pk::ref count = pk::getattr(self, n_tool_calls_count);
        pk::ref limit = pk::getattr(self, n_tool_calls_limit);
        pk::ref reached = pk::ref::steal(PyObject_RichCompare(count.get(), limit.get(), Py_GE));
        if (pk::truthy(reached.get())) {
            add_message_as(self, n_assistant, nullptr, &n_default);
            pk::call_method(self, n_reset);
            pk::ref text = pk::getattr(self, n_default);
            pk::raise_object(pk::call(PyExc_ValueError, text));
        }
    }
    // The assistant's request enters the history before any tool runs.
    pk::ref messages = pk::getattr(self, n_messages);
    pk::ref request;
    pk::ref superseded;
    {
        pk::ref append = pk::getattr(messages.get(), n_append);
        pk::ref message_cls = pk::global(globals(), n_Message);
        pk::ref role = role_of(n_assistant);
        pk::ref calls = pk::getattr(self, n_tool_calls);
        request = pk::call(message_cls, pk::kw(n_role, role), pk::kw(n_tool_calls, calls));
        note_tool_request(self, request.get());
        // The first tool round of a retried turn replaces the earlier answer: from here on the
        // requests carry this turn's own calls and results, not a history cut at the user entry.
        // It is replaced before the tools run, so an interrupted round leaves one chain, this one;
        // and the replacing goes together with the request's entry, or neither happens.
        pk::ref retry = pk::getattr(self, n_retry);
        if (pk::truthy(retry.get())) superseded = supersede_answer(self);
        try {
            if (superseded) pk::setattr(self, n_retry, Py_False);
            pk::call(append, request);
        } catch (pk::python_error&) {
            if (!superseded) throw;
            pk::ref exc = pk::fetch_error();
            {
                handling scope(exc.get());
                restore_answer(superseded.get());
                pk::setattr(self, n_retry, Py_True);
            }
            pk::raise_object(std::move(exc));
        }
    }
    pk::ref calls = pk::getattr(self, n_tool_calls);
    pk::ref results;
    {
        pk::ref registry = pk::getattr(self, n_tools);
        results = pk::call(registry, calls);
    }
    try {
        check_answers(results.get(), calls.get());
    } catch (pk::python_error&) {
        // Nothing of this round enters the history: the request is taken back out, and a retried
        // turn's earlier answer is current again.
        pk::ref exc = pk::fetch_error();
        {
            handling scope(exc.get());
            if (PyList_CheckExact(messages.get()) && PyList_GET_SIZE(messages.get()) > 0 &&
                PyList_GET_ITEM(messages.get(), PyList_GET_SIZE(messages.get()) - 1) == request.get())
                pk::check(PyList_SetSlice(messages.get(), PyList_GET_SIZE(messages.get()) - 1, PyList_GET_SIZE(messages.get()), nullptr));
            if (superseded) {
                restore_answer(superseded.get());
                pk::setattr(self, n_retry, Py_True);
            }
        }
        pk::raise_object(std::move(exc));
    }
    pk::call_method(messages.get(), n_extend, results);
    pk::setattr(self, n_tool_calls, pk::new_list().get());
    pk::ref count = pk::getattr(self, n_tool_calls_count);
    pk::ref one = pk::integer(1);
    pk::ref next = pk::ref::steal(PyNumber_InPlaceAdd(count.get(), one.get()));
    pk::setattr(self, n_tool_calls_count, next.get());
    return results;
}

}  // namespace

const pk::fn_def add_tool_calls_def{.name = "_add_tool_calls", .qualname = "LLModal._add_tool_calls",
                                    .impl = add_tool_calls, .params = {{"self"}, {"message", "dict[str, Any]"}},
                                    .returns = "None",
    .doc = "Merge the tool-call entries of a reply message or streamed fragment into tool_calls."};
const pk::fn_def t_calls_beautify_def{.name = "_t_calls_beautify", .qualname = "LLModal._t_calls_beautify",
                                      .impl = t_calls_beautify, .params = {{"tool_calls", "list[dict[str, Any]]"}},
                                      .returns = "dict[str, ToolContent]",
    .doc = "Return the tool calls as ToolContent records (name and arguments) keyed by call id."};
const pk::fn_def t_results_beautify_def{
    .name = "_t_results_beautify", .qualname = "LLModal._t_results_beautify", .impl = t_results_beautify,
    .params = {{"tool_calls", "dict[str, ToolContent]"}, {"tool_results", "list[Message]"}},
    .returns = "dict[str, ToolContent]",
    .doc = "Return the tool messages' results as ToolContent records keyed by call id."};
const pk::fn_def tool_calls_def{.name = "_tool_calls", .qualname = "LLModal._tool_calls", .impl = tool_calls,
                                .params = {{"self"}}, .returns = "list[Message]",
    .doc = "Run one tool-call round: record the calls, run them through tools and record and return\n"
              "the tool messages."};

}  // namespace pkmodal
