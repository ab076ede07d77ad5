// What the server said about a request cycle: the token counts of its replies summed (`usage`)
// and why its last reply ended (`finish_reason`), kept in private attributes of the client.
#include "modal/parts.hpp"

namespace pkmodal {
namespace {

pk::name n_usage_attr{"_usage"}, n_finish_reason_attr{"_finish_reason"}, n_usage{"usage"};

// Exact types only: adding them runs no Python code.
bool is_number(PyObject* v) { return PyLong_CheckExact(v) || PyFloat_CheckExact(v); }

// `base` (a dict or null) with the numbers of `add` added: numbers summed key by key, nested
// documents (such as prompt_tokens_details) summed the same way, anything else left out. A new
// dict every time, so a figure handed out earlier never changes.
pk::ref summed(PyObject* base, PyObject* add) {
    pk::ref out = base ? pk::ref::steal(PyDict_Copy(base)) : pk::new_dict();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(add, &pos, &key, &value)) {
        PyObject* before = PyDict_GetItemWithError(out.get(), key);
        if (!before && PyErr_Occurred()) throw pk::python_error{};
        if (is_number(value)) {
            pk::ref total = before && is_number(before) ? pk::ref::steal(PyNumber_Add(before, value))
                                                        : pk::ref::borrow(value);
            pk::check(PyDict_SetItem(out.get(), key, total.get()));
        } else if (PyDict_Check(value)) {
            pk::ref inner = summed(before && PyDict_Check(before) ? before : nullptr, value);
            if (PyDict_GET_SIZE(inner.get()) != 0) pk::check(PyDict_SetItem(out.get(), key, inner.get()));
        }
    }
    return out;
}

// @property def usage(self) -> dict[str, Any] | None
pk::ref usage(PyObject* const* a) { return private_attr(a[0], n_usage_attr); }

// @property def finish_reason(self) -> str | None
pk::ref finish_reason(PyObject* const* a) { return private_attr(a[0], n_finish_reason_attr); }

}  // namespace

namespace {

// self.<attr> = value, skipped when it holds that object already (a private attribute's
// assignment goes through pydantic's __setattr__, and most turns change nothing here).
void set_figure(PyObject* self, const pk::name& attr, PyObject* value) {
    if (private_attr(self, attr).get() != value) pk::setattr(self, attr, value);
}

}  // namespace

void begin_cycle_figures(PyObject* self) {
    set_figure(self, n_usage_attr, Py_None);
    set_figure(self, n_finish_reason_attr, Py_None);
}

pk::ref cycle_usage(PyObject* self) { return private_attr(self, n_usage_attr); }

void note_usage(PyObject* self, PyObject* document, PyObject* base) {
    if (!PyDict_Check(document)) return;
    pk::ref figures = pk::ref::borrow(PyDict_GetItemWithError(document, n_usage));
    if (!figures) {
        if (PyErr_Occurred()) throw pk::python_error{};
        return;
    }
    if (!PyDict_Check(figures.get())) return;
    pk::ref before = base ? pk::ref::borrow(base) : cycle_usage(self);
    pk::ref total = summed(PyDict_Check(before.get()) ? before.get() : nullptr, figures.get());
    if (PyDict_GET_SIZE(total.get()) != 0) pk::setattr(self, n_usage_attr, total.get());
}

void note_finish_reason(PyObject* self, PyObject* reason) { set_figure(self, n_finish_reason_attr, reason); }

const pk::fn_def usage_def{
    .name = "usage", .qualname = "LLModal.usage", .impl = usage, .params = {{"self"}},
    .returns = "dict[str, Any] | None",
    .doc = "Token counts the server reported for the last request cycle, summed over its requests\n"
           "(a dict of the numeric fields of each reply's \"usage\"), or None when it reported none.",
};
const pk::fn_def finish_reason_def{
    .name = "finish_reason", .qualname = "LLModal.finish_reason", .impl = finish_reason, .params = {{"self"}},
    .returns = "str | None",
    .doc = "Why the last reply of the last request cycle ended (\"stop\", \"length\", \"tool_calls\", ...),\n"
           "or None when the server did not say.",
};

}  // namespace pkmodal
