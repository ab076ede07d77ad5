// Module creation and execution with the once-per-process rules of the extension modules.
#include "pk/module.hpp"

#include "pk/coro.hpp"
#include "pk/function.hpp"

namespace pk {

static name n_name{"name"}, n_builtins{"__builtins__"};

PyObject* module_create(module_entry& e, PyObject* spec) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (current == -1) throw python_error{};
        if (e.interpreter == -1) {
            e.interpreter = current;
        } else if (e.interpreter != current) {
            raise(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        }
        // A repeated import (after removal from sys.modules) gets the one initialised module.
        if (e.module) return Py_NewRef(e.module);
        ref modname = getattr(spec, n_name);
        return check(PyModule_NewObject(modname.get()));
    });
}

int module_exec(module_entry& e, PyObject* module) noexcept {
    if (e.module) {
        if (e.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", e.short_name);
        return -1;
    }
    e.module = Py_NewRef(module);
    int rc = guard<int>(-1, [&] {
        constexpr unsigned long major_minor = 0xFFFF0000UL;
        unsigned long compiled = e.compiled_version, runtime = Py_Version;
        if ((compiled & major_minor) != (runtime & major_minor)) {
            char message[200];
            PyOS_snprintf(message, sizeof message,
                          "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                          static_cast<int>(compiled >> 24), static_cast<int>((compiled >> 16) & 0xFF),
                          PyModule_GetName(module), "does not match", static_cast<int>(runtime >> 24),
                          static_cast<int>((runtime >> 16) & 0xFF));
            check(PyErr_WarnEx(nullptr, message, 1));
        }
        // Python modules carry __builtins__ from the start; binding it first keeps the namespace's
        // order independent of whoever evaluates an annotation against it first.
        PyObject* dict = PyModule_GetDict(module);
        if (!check(PyDict_Contains(dict, n_builtins))) check(PyDict_SetItem(dict, n_builtins, PyEval_GetBuiltins()));
        // The runtime's types exist before the body runs, made under the import lock rather than on
        // first use, where another thread could find them half made.
        function_type();
        ready_coro_types();
        e.body(module);
        return 0;
    });
    if (rc < 0) {
        // A failed body leaves no initialised module behind; the original error propagates.
        Py_CLEAR(e.module);
    }
    return rc;
}

ref global(PyObject* globals, const name& key) {
    PyObject* v = PyDict_GetItemWithError(globals, key);
    if (v) return ref::borrow(v);
    if (!PyErr_Occurred()) {
        // Like LOAD_GLOBAL: fall back to builtins before NameError.
        v = PyDict_GetItemWithError(PyEval_GetBuiltins(), key);
        if (v) return ref::borrow(v);
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
    }
    throw python_error{};
}

}  // namespace pk

namespace pk {

void import_module(PyObject* module, const char* name) { bind(module, name, import(name).get()); }

void import_from_into(PyObject* module, const char* source, std::initializer_list<const char*> names) {
    ref src = import(source);
    for (const char* n : names) bind(module, n, import_from(src.get(), str(n).get()).get());
}

}  // namespace pk
