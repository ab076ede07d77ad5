// Python twins of native functions: real Python functions that forward every call to a native
// function and carry its signature, resolved annotations, names, docstring and attributes. pydantic
// validates calls only against Python functions, and fastmcp tells generators and async generators
// apart only by Python's own types, so a native function reaches both through its twin.
#include "cython/parts.hpp"

namespace pkcy {
namespace {

PyObject* globals = nullptr;   // the module dict
PyObject* forwarders = nullptr;  // the namespace of the forwarder factories below
PyObject* twins = nullptr;     // native function -> its twin (the twin fastmcp described)
constexpr Py_ssize_t max_twins = 5000;

// One factory per kind of function: the twin must be what the native function is (a coroutine
// function, a generator function, an async generator function), so that what calling it returns
// is what fastmcp knows how to await or consume.
const char* forwarder_source = R"(
def plain(fn):
    def forward(*args, **kwargs):
        return fn(*args, **kwargs)
    return forward

def coroutine(fn):
    async def forward(*args, **kwargs):
        return await fn(*args, **kwargs)
    return forward

def generator(fn):
    def forward(*args, **kwargs):
        return (yield from fn(*args, **kwargs))
    return forward

def async_generator(fn):
    async def forward(*args, **kwargs):
        async for item in fn(*args, **kwargs):
            yield item
    return forward
)";

pk::name n_inspect{"inspect"}, n_signature{"signature"}, n_get_type_hints{"get_type_hints"},
    n_include_extras{"include_extras"}, n_annotations{"__annotations__"}, n_dunder_name{"__name__"},
    n_qualname{"__qualname__"}, n_module{"__module__"}, n_doc{"__doc__"}, n_dict{"__dict__"},
    n_dunder_signature{"__signature__"}, n_isroutine{"isroutine"}, n_iscoroutinefunction{"iscoroutinefunction"},
    n_isasyncgenfunction{"isasyncgenfunction"}, n_isgeneratorfunction{"isgeneratorfunction"},
    n_plain{"plain"}, n_coroutine{"coroutine"}, n_generator{"generator"}, n_async_generator{"async_generator"},
    n_parameters{"parameters"}, n_values{"values"}, n_replace{"replace"}, n_annotation{"annotation"},
    n_return_annotation{"return_annotation"}, n_name{"name"}, n_return{"return"};

bool ask(PyObject* inspect, const pk::name& test, PyObject* fn) {
    return pk::truthy(pk::call(pk::getattr(inspect, test), fn).get());
}

// The function's annotations resolved as typing.get_type_hints resolves them, or its raw ones.
pk::ref hints_of(PyObject* fn) {
    try {
        return pk::call(pk::global(globals, n_get_type_hints), fn, pk::kw(n_include_extras, Py_True));
    } catch (pk::python_error&) {
        if (!pk::error_is_exception()) throw;
        PyErr_Clear();
        pk::ref hints = pk::new_dict();
        if (pk::ref raw = pk::getattr_opt(fn, n_annotations)) pk::check(PyDict_Merge(hints.get(), raw.get(), 1));
        return hints;
    }
}

// A resolved hint as a Python function's signature shows it: `-> None` is None there, where
// get_type_hints says NoneType (and compiled code keeps the text 'None').
PyObject* as_written(PyObject* hint) {
    return hint == reinterpret_cast<PyObject*>(Py_TYPE(Py_None)) ? Py_None : hint;
}

// The native function's signature with its annotations resolved.
pk::ref resolved_signature(PyObject* fn, PyObject* hints) {
    pk::ref sig = pk::call(pk::getattr(pk::global(globals, n_inspect).get(), n_signature), fn);
    pk::ref params = pk::ref::steal(PySequence_List(pk::call_method(pk::getattr(sig.get(), n_parameters).get(), n_values).get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(params.get()); ++i) {
        pk::ref p = pk::ref::borrow(PyList_GET_ITEM(params.get(), i));
        pk::ref hint = pk::ref::borrow(PyDict_GetItemWithError(hints, pk::getattr(p.get(), n_name).get()));
        if (!hint) {
            if (PyErr_Occurred()) throw pk::python_error{};
            continue;
        }
        pk::ref replaced = pk::call(pk::getattr(p.get(), n_replace), pk::kw(n_annotation, as_written(hint.get())));
        pk::check(PyList_SetItem(params.get(), i, replaced.release()));
    }
    pk::ref ret = pk::ref::borrow(PyDict_GetItemWithError(hints, n_return));
    if (!ret && PyErr_Occurred()) throw pk::python_error{};
    if (ret) return pk::call(pk::getattr(sig.get(), n_replace), pk::kw(n_parameters, params),
                             pk::kw(n_return_annotation, as_written(ret.get())));
    return pk::call(pk::getattr(sig.get(), n_replace), pk::kw(n_parameters, params));
}

pk::ref make_twin(PyObject* fn) {
    pk::ref inspect = pk::global(globals, n_inspect);
    const pk::name& kind = ask(inspect.get(), n_isasyncgenfunction, fn)    ? n_async_generator
                           : ask(inspect.get(), n_iscoroutinefunction, fn) ? n_coroutine
                           : ask(inspect.get(), n_isgeneratorfunction, fn) ? n_generator
                                                                          : n_plain;
    pk::ref factory = pk::ref::borrow(PyDict_GetItemWithError(forwarders, kind));
    if (!factory) throw pk::python_error{};
    pk::ref twin = pk::call(factory, fn);
    // Attributes first (fastmcp's @tool metadata among them); what describes the call comes after.
    if (pk::ref attrs = pk::getattr_opt(fn, n_dict); attrs && PyDict_Check(attrs.get()))
        pk::check(PyDict_Update(pk::getattr(twin.get(), n_dict).get(), attrs.get()));
    pk::ref hints = hints_of(fn);
    pk::ref sig = resolved_signature(fn, hints.get());
    pk::ref annotations = pk::new_dict();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(hints.get(), &pos, &key, &value)) pk::check(PyDict_SetItem(annotations.get(), key, as_written(value)));
    pk::ref name = pk::getattr(fn, n_dunder_name);
    pk::ref qualname = pk::getattr_opt(fn, n_qualname);
    pk::setattr(twin.get(), n_dunder_name, name.get());
    pk::setattr(twin.get(), n_qualname, qualname ? qualname.get() : name.get());
    if (pk::ref module = pk::getattr_opt(fn, n_module)) pk::setattr(twin.get(), n_module, module.get());
    pk::ref doc = pk::getattr_opt(fn, n_doc);
    pk::setattr(twin.get(), n_doc, doc ? doc.get() : Py_None);
    pk::setattr(twin.get(), n_annotations, annotations.get());
    pk::setattr(twin.get(), n_dunder_signature, sig.get());
    return twin;
}

}  // namespace

bool is_native_routine(PyObject* fn) {
    PyObject* target = PyMethod_Check(fn) ? PyMethod_GET_FUNCTION(fn) : fn;
    if (PyFunction_Check(target)) return false;
    return ask(pk::global(globals, n_inspect).get(), n_isroutine, target);
}

pk::ref twin_of(PyObject* fn) {
    if (PyMethod_Check(fn)) {
        pk::ref func = twin_of(PyMethod_GET_FUNCTION(fn));
        return pk::ref::steal(PyMethod_New(func.get(), PyMethod_GET_SELF(fn)));
    }
    PyObject* found = PyDict_GetItemWithError(twins, fn);
    if (found) return pk::ref::borrow(found);
    if (PyErr_Occurred()) throw pk::python_error{};
    pk::ref twin = make_twin(fn);
    // The oldest twin makes room, so the memory held stays bounded however many tools come and go.
    if (PyDict_GET_SIZE(twins) >= max_twins) {
        Py_ssize_t first = 0;
        PyObject *oldest, *unused;
        if (PyDict_Next(twins, &first, &oldest, &unused)) {
            pk::ref held = pk::ref::borrow(oldest);
            pk::check(PyDict_DelItem(twins, oldest));
        }
    }
    pk::check(PyDict_SetItem(twins, fn, twin.get()));
    return twin;
}

void define_twins(PyObject* m) {
    globals = pk::globals_of(m);
    twins = pk::new_dict().release();  // kept for the life of the process, like the module
    forwarders = pk::new_dict().release();
    pk::check(PyDict_SetItemString(forwarders, "__builtins__", PyEval_GetBuiltins()));
    pk::ref code = pk::ref::steal(Py_CompileString(forwarder_source, "<parleykit.cython forwarders>", Py_file_input));
    pk::ref done = pk::ref::steal(PyEval_EvalCode(code.get(), forwarders, forwarders));
}

}  // namespace pkcy
