// The name of a tool function's Context parameter: find_kwarg_by_type's answer, remembered per
// function while that name is still fastmcp's own function and the function keeps the code,
// annotations and signature that the answer came from.
#include "cython/parts.hpp"

namespace pkcy {
namespace {

PyObject* globals = nullptr;         // the module dict: find_kwarg_by_type is read there per run
PyObject* fastmcp_find = nullptr;    // fastmcp's own find_kwarg_by_type, as the module body imported it
PyObject* answers = nullptr;         // function -> its entry (see `field`)
constexpr Py_ssize_t max_answers = 5000;  // as many functions as the type adapter cache keeps

pk::name n_find_kwarg_by_type{"find_kwarg_by_type"}, n_kwarg_type{"kwarg_type"}, n_code{"__code__"},
    n_annotations{"__annotations__"}, n_signature{"__signature__"}, n_wrapped{"__wrapped__"},
    n_get_type_hints{"get_type_hints"}, n_include_extras{"include_extras"};

// An entry, one tuple: the Context type asked about, the function's code object, its annotations
// dict, that dict's keys and values (compared by identity, in order), its __signature__ (None when
// absent), then the answer.
enum field { f_context, f_code, f_annotations, f_keys, f_values, f_signature, f_answer, f_count };

// The function whose signature find_kwarg_by_type inspects: a bound method's own function.
PyObject* inspected(PyObject* fn) { return PyMethod_Check(fn) ? PyMethod_GET_FUNCTION(fn) : fn; }

// A function object: a type that binds as a method descriptor (Python, Cython and our own
// functions; a flag that types written in C set and Python classes never inherit). Two such
// objects that compare equal share an entry harmlessly: an answer is used only once the function's
// own attributes match it.
bool is_function_object(PyObject* fn) { return PyType_HasFeature(Py_TYPE(fn), Py_TPFLAGS_METHOD_DESCRIPTOR); }

// What the answer for `fn` depends on, read from the function now.
struct parts {
    pk::ref code, annotations, signature;
};

// Null members when the answer cannot be told from these parts: no code object, no annotations
// dict, or a __wrapped__ function (whose own signature would be inspected).
parts read_parts(PyObject* fn) {
    parts p{pk::getattr_opt(fn, n_code), pk::getattr_opt(fn, n_annotations), pk::getattr_opt(fn, n_signature)};
    if (!p.code || !PyCode_Check(p.code.get()) || !p.annotations || !PyDict_CheckExact(p.annotations.get()) ||
        pk::getattr_opt(fn, n_wrapped))
        return {};
    if (!p.signature) p.signature = pk::none();
    return p;
}

// The parts as an entry's leading fields (the answer slot left empty), with the annotations'
// keys and values copied, so that changes made inside the same dict are seen too.
pk::ref snapshot(const parts& p, PyObject* context_type) {
    Py_ssize_t n = PyDict_GET_SIZE(p.annotations.get());
    pk::ref keys = pk::ref::steal(PyTuple_New(n)), values = pk::ref::steal(PyTuple_New(n));
    PyObject *key, *value;
    Py_ssize_t pos = 0, i = 0;
    while (PyDict_Next(p.annotations.get(), &pos, &key, &value)) {
        PyTuple_SET_ITEM(keys.get(), i, Py_NewRef(key));
        PyTuple_SET_ITEM(values.get(), i, Py_NewRef(value));
        ++i;
    }
    return pk::tuple({context_type, p.code.get(), p.annotations.get(), keys.get(), values.get(), p.signature.get(),
                      Py_None});
}

// Whether `fn` still has what `entry` recorded (by identity: an equal replacement counts as a change).
bool unchanged(PyObject* entry, PyObject* fn, PyObject* context_type) {
    if (PyTuple_GET_ITEM(entry, f_context) != context_type) return false;
    parts now = read_parts(fn);
    if (!now.code || now.code.get() != PyTuple_GET_ITEM(entry, f_code) ||
        now.annotations.get() != PyTuple_GET_ITEM(entry, f_annotations) ||
        now.signature.get() != PyTuple_GET_ITEM(entry, f_signature))
        return false;
    PyObject *keys = PyTuple_GET_ITEM(entry, f_keys), *values = PyTuple_GET_ITEM(entry, f_values);
    if (PyDict_GET_SIZE(now.annotations.get()) != PyTuple_GET_SIZE(keys)) return false;
    PyObject *key, *value;
    Py_ssize_t pos = 0, i = 0;
    while (PyDict_Next(now.annotations.get(), &pos, &key, &value)) {
        if (key != PyTuple_GET_ITEM(keys, i) || value != PyTuple_GET_ITEM(values, i)) return false;
        ++i;
    }
    return true;
}

// The remembered answer for `fn`, or null when there is none or the function has changed since.
pk::ref remembered(PyObject* fn, PyObject* context_type) {
    PyObject* found = PyDict_GetItemWithError(answers, fn);
    if (!found) {
        if (PyErr_Occurred()) throw pk::python_error{};
        return nullptr;
    }
    pk::ref entry = pk::ref::borrow(found);  // the attribute lookups below may run Python code
    if (!unchanged(entry.get(), fn, context_type)) return nullptr;
    return pk::ref::borrow(PyTuple_GET_ITEM(entry.get(), f_answer));
}

// Whether the annotations resolve now: one that names something not yet defined may resolve to
// something else later, so its answer is not remembered.
bool hints_resolve(PyObject* fn) {
    try {
        pk::call(pk::global(globals, n_get_type_hints), fn, pk::kw(n_include_extras, Py_True));
        return true;
    } catch (pk::python_error&) {
        if (!pk::error_is_exception()) throw;
        PyErr_Clear();
        return false;
    }
}

void remember(PyObject* fn, PyObject* entry, PyObject* answer) {
    // The entry is new and held only here: its answer slot is filled in place.
    PyObject* placeholder = PyTuple_GET_ITEM(entry, f_answer);
    PyTuple_SET_ITEM(entry, f_answer, Py_NewRef(answer));
    Py_DECREF(placeholder);
    // The oldest entry makes room, so the memory held stays bounded however many tools come and go.
    if (PyDict_GET_SIZE(answers) >= max_answers && !pk::check(PyDict_Contains(answers, fn))) {
        Py_ssize_t first = 0;
        PyObject *oldest, *unused;
        if (PyDict_Next(answers, &first, &oldest, &unused)) {
            pk::ref held = pk::ref::borrow(oldest);
            pk::check(PyDict_DelItem(answers, oldest));
        }
    }
    pk::check(PyDict_SetItem(answers, fn, entry));
}

}  // namespace

pk::ref context_kwarg(PyObject* fn, PyObject* context_type) {
    pk::ref find = pk::global(globals, n_find_kwarg_by_type);
    pk::ref target = pk::ref::borrow(inspected(fn));
    if (find.get() != fastmcp_find || !is_function_object(target.get()))
        return pk::call(find, fn, pk::kw(n_kwarg_type, context_type));
    if (pk::ref answer = remembered(target.get(), context_type)) return answer;
    // The answer is remembered only when the function is the same before and after finding it.
    parts p = read_parts(target.get());
    pk::ref before = p.code ? snapshot(p, context_type) : nullptr;
    pk::ref answer = pk::call(find, fn, pk::kw(n_kwarg_type, context_type));
    if (before && hints_resolve(target.get()) && unchanged(before.get(), target.get(), context_type))
        remember(target.get(), before.get(), answer.get());
    return answer;
}

void define_context_kwarg(PyObject* m) {
    globals = pk::globals_of(m);
    fastmcp_find = pk::global(globals, n_find_kwarg_by_type).release();  // kept for the life of the process
    answers = pk::new_dict().release();
}

}  // namespace pkcy
