// The native function type. It binds like a Python function (a real bound method through an
// instance), carries a real __code__ so inspect and typing treat it as function-like, and reports
// bad arguments with the interpreter's own messages.
#include "pk/function.hpp"

#include <cstddef>
#include <string>

namespace pk {
namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const fn_def* def;
    Py_ssize_t nparams;  // positional-or-keyword parameters, **kwargs excluded
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* dict;
    PyObject* globals;
    PyObject* defaults;
    PyObject* code;
    PyObject* weakreflist;
};

Function* as_fn(PyObject* o) { return reinterpret_cast<Function*>(o); }

[[noreturn]] void too_many_positional(Function* f, Py_ssize_t given) {
    Py_ssize_t ndef = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    const char* was = given == 1 ? "was" : "were";
    if (ndef > 0)
        raise(PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd %s given", f->qualname,
              f->nparams - ndef, f->nparams, given, was);
    raise(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", f->qualname, f->nparams,
          f->nparams == 1 ? "" : "s", given, was);
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list of missing names.
[[noreturn]] void missing_positional(Function* f, PyObject* const* bound) {
    std::string names;
    Py_ssize_t count = 0, total = 0;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) total += bound[i] == nullptr;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        if (bound[i]) continue;
        if (count > 0) names += total == 2 ? " and " : (count == total - 1 ? ", and " : ", ");
        names += '\'';
        names += f->def->params[i].name;
        names += '\'';
        ++count;
    }
    raise(PyExc_TypeError, "%U() missing %zd required positional argument%s: %s", f->qualname, total,
          total == 1 ? "" : "s", names.c_str());
}

Py_ssize_t param_index(Function* f, PyObject* key) {
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, f->def->params[i].name) == 0) return i;
    }
    return -1;
}

PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Function* f = as_fn(self);
        const fn_def& def = *f->def;
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        // Fast path: every parameter given by position.
        if (nkw == 0 && nargs == f->nparams && !def.var_keywords) return def.impl(args).release();

        PyObject* bound[max_params + 1] = {};
        for (Py_ssize_t i = 0; i < nargs && i < f->nparams; ++i) bound[i] = args[i];
        ref extra;
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            PyObject* value = args[nargs + j];
            Py_ssize_t idx = param_index(f, key);
            if (idx < 0) {
                if (!def.var_keywords)
                    raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
                if (!extra) extra = new_dict();
                check(PyDict_SetItem(extra.get(), key, value));
                continue;
            }
            if (bound[idx]) raise(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
            bound[idx] = value;
        }
        // Checked after the keywords, as the interpreter does: f(1, 2, 3, a=1) reports the duplicate
        // (or unexpected) keyword rather than the surplus positional argument.
        if (nargs > f->nparams) too_many_positional(f, nargs);
        if (f->defaults) {
            Py_ssize_t ndef = PyTuple_GET_SIZE(f->defaults), first = f->nparams - ndef;
            for (Py_ssize_t i = first; i < f->nparams; ++i)
                if (!bound[i]) bound[i] = PyTuple_GET_ITEM(f->defaults, i - first);
        }
        for (Py_ssize_t i = 0; i < f->nparams; ++i)
            if (!bound[i]) missing_positional(f, bound);
        if (def.var_keywords) {
            if (!extra) extra = new_dict();
            bound[f->nparams] = extra.get();
        }
        return def.impl(bound).release();
    });
}

// Through an instance: a real bound method; through the class (or None): the function itself.
PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// Pickled by reference, like a Python function: the qualified name, looked up in __module__. The
// copy module takes a string from __reduce__ to mean "atomic", so copy and deepcopy return the
// function itself (pydantic deep-copies field defaults, which may hold functions).
PyObject* fn_reduce(PyObject* self, PyObject*) noexcept { return Py_NewRef(as_fn(self)->qualname); }

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {},
};

PyObject* fn_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

int fn_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function* f = as_fn(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->defaults);
    Py_VISIT(f->code);
    return 0;
}

int fn_clear(PyObject* self) noexcept {
    Function* f = as_fn(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->code);
    return 0;
}

void fn_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_fn(self)->weakreflist) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// __name__ and __qualname__ accept only str, like a Python function's.
int set_str_field(PyObject** slot, PyObject* value, const char* attr) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attr);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_fn(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) noexcept { return set_str_field(&as_fn(self)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_fn(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) noexcept {
    return set_str_field(&as_fn(self)->qualname, v, "__qualname__");
}
PyObject* get_doc(PyObject* self, void*) noexcept { return Py_NewRef(as_fn(self)->doc); }
int set_doc(PyObject* self, PyObject* v, void*) noexcept {
    Py_XSETREF(as_fn(self)->doc, Py_NewRef(v ? v : Py_None));
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) noexcept {
    PyObject* d = as_fn(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {},
};

PyMemberDef fn_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), 0, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(Function, code), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakreflist), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {},
};

PyType_Slot fn_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
    {Py_tp_getset, fn_getset},
    {Py_tp_members, fn_members},
    {Py_tp_methods, fn_methods},
    {0, nullptr},
};

PyType_Spec fn_spec = {
    "parleykit.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    fn_slots,
};

PyTypeObject* the_type = nullptr;

name n_replace{"replace"}, n_co_argcount{"co_argcount"}, n_co_varnames{"co_varnames"},
    n_co_nlocals{"co_nlocals"}, n_co_flags{"co_flags"}, n_co_name{"co_name"}, n_co_qualname{"co_qualname"},
    n_annotations{"__annotations__"}, n_module_name{"__name__"}, n_file{"__file__"};

// A real code object describing the parameters, so inspect.signature, inspect.iscoroutinefunction
// and friends read this object as they read a Python function.
ref make_code(const fn_def& def, Py_ssize_t nparams, PyObject* globals) {
    PyObject* file = PyDict_GetItemWithError(globals, n_file);
    if (!file && PyErr_Occurred()) throw python_error{};
    ref filename = file && PyUnicode_Check(file) ? ref::borrow(file) : str("<native>");
    const char* filename_utf8 = PyUnicode_AsUTF8(filename.get());
    if (!filename_utf8) throw python_error{};
    ref empty = ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename_utf8, def.name, 0)));
    Py_ssize_t nvars = nparams + (def.var_keywords ? 1 : 0);
    ref varnames = ref::steal(PyTuple_New(nvars));
    for (Py_ssize_t i = 0; i < nvars; ++i) PyTuple_SET_ITEM(varnames.get(), i, check(PyUnicode_InternFromString(def.params[i].name)));
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (def.var_keywords) flags |= CO_VARKEYWORDS;
    if (def.kind == fn_kind::generator) flags |= CO_GENERATOR;
    if (def.kind == fn_kind::coroutine) flags |= CO_COROUTINE;
    ref replace = getattr(empty.get(), n_replace);
    ref argcount = integer(static_cast<long>(nparams)), nlocals = integer(static_cast<long>(nvars)),
        co_flags = integer(flags), co_name = str(def.name), co_qualname = str(def.qualname);
    return call(replace, kw(n_co_argcount, argcount), kw(n_co_varnames, varnames), kw(n_co_nlocals, nlocals),
                kw(n_co_flags, co_flags), kw(n_co_name, co_name), kw(n_co_qualname, co_qualname));
}

}  // namespace

PyTypeObject* function_type() {
    if (!the_type) the_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&fn_spec)));
    return the_type;
}

PyObject* function_dict(PyObject* func) { return as_fn(func)->dict; }

ref make_function(const fn_def& def, PyObject* globals, PyObject* defaults) {
    PyTypeObject* tp = function_type();
    Py_ssize_t nparams = 0;
    while (nparams < max_params && def.params[nparams].name) ++nparams;
    if (def.var_keywords) --nparams;

    ref name = str(def.name), qualname = str(def.qualname);
    ref doc = def.doc ? str(def.doc) : none();
    PyObject* modname = PyDict_GetItemWithError(globals, n_module_name);
    if (!modname && PyErr_Occurred()) throw python_error{};
    ref module = ref::borrow(modname ? modname : Py_None);
    ref dict = new_dict();
    // Annotations are kept as their source texts; pydantic and typing resolve them against
    // __globals__ when they need the objects.
    ref annotations = new_dict();
    for (Py_ssize_t i = 0; i < max_params && def.params[i].name; ++i) {
        if (def.params[i].annotation) check(PyDict_SetItemString(annotations.get(), def.params[i].name, str(def.params[i].annotation).get()));
    }
    if (def.returns) check(PyDict_SetItemString(annotations.get(), "return", str(def.returns).get()));
    check(PyDict_SetItem(dict.get(), n_annotations, annotations.get()));
    ref code = make_code(def, nparams, globals);

    Function* f = PyObject_GC_New(Function, tp);
    if (!f) throw python_error{};
    f->vectorcall = fn_vectorcall;
    f->def = &def;
    f->nparams = nparams;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module.release();
    f->doc = doc.release();
    f->dict = dict.release();
    f->globals = Py_NewRef(globals);
    f->defaults = Py_XNewRef(defaults);
    f->code = code.release();
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace pk
