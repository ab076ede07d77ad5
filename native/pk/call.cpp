// Out-of-line object helpers: `from x import y` and the flushed print.
#include "pk/call.hpp"

namespace pk {

static name n_flush{"flush"};
static name n_print{"print"};
static name n_dunder_name{"__name__"};
static name n_import{"__import__"};

ref import_name(PyObject* modname, PyObject* globals, PyObject* fromlist) {
    PyObject* found = PyDict_GetItemWithError(PyEval_GetBuiltins(), n_import);
    if (!found) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw python_error{};
    }
    ref import = ref::borrow(found);
    ref level = integer(0);
    PyObject* args[] = {modname, globals, Py_None, fromlist, level.get()};
    return ref::steal(PyObject_Vectorcall(import.get(), args, 5, nullptr));
}

ref import_from(PyObject* module, PyObject* attr) {
    PyObject* out = nullptr;
    check(compat::get_optional_attr(module, attr, &out));
    if (out) return ref::steal(out);
    // The same message as the import statement gives for a missing name.
    ref modname = getattr_opt(module, n_dunder_name);
    PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%S'", attr,
                 modname ? modname.get() : Py_None);
    throw python_error{};
}

void print_flush(PyObject* text) {
    // Looked up in builtins on each call, as a Python-level `print` would be.
    PyObject* builtins = PyEval_GetBuiltins();
    // Held for the call: the printing itself may rebind or delete builtins.print.
    ref print = ref::borrow(PyDict_GetItemWithError(builtins, n_print));
    if (!print) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", n_print.get());
        throw python_error{};
    }
    call(print, text, kw(n_flush, Py_True));
}

}  // namespace pk

namespace pk {

static name n_keys{"keys"};

ref call_kwargs(PyObject* callable, PyObject* mapping, std::initializer_list<kw> first) {
    ref kwargs = new_dict();
    for (const kw& k : first) check(PyDict_SetItem(kwargs.get(), k.key, k.value));
    if (!PyDict_CheckExact(mapping) && !getattr_opt(mapping, n_keys)) {
        ref fs = ref::steal(compat::function_str(callable));
        raise(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", fs.get(),
              Py_TYPE(mapping)->tp_name);
    }
    if (first.size() == 0 && PyDict_CheckExact(mapping)) {
        check(PyDict_Update(kwargs.get(), mapping));
    } else {
        ref items = ref::steal(PyDict_New());
        check(PyDict_Merge(items.get(), mapping, 1));
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(items.get(), &pos, &key, &value)) {
            int present = check(PyDict_Contains(kwargs.get(), key));
            if (present) {
                ref fs = ref::steal(compat::function_str(callable));
                raise(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", fs.get(), key);
            }
            check(PyDict_SetItem(kwargs.get(), key, value));
        }
    }
    ref args = ref::steal(PyTuple_New(0));
    return ref::steal(PyObject_Call(callable, args.get(), kwargs.get()));
}

}  // namespace pk
