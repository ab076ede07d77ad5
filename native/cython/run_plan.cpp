// What a tool run prepares before it validates: fastmcp's wrapper of the function without its
// injected parameters (Context, Depends), the type adapter that validates calls of it, and whether
// it is awaited. fastmcp works this out on every run; here it is remembered per function while the
// function keeps the code, annotations, signature and defaults it came from, its module namespace
// has not changed since (a string annotation names a module global), and fastmcp's own
// preparation is the one that made it.
#include "cython/parts.hpp"

#include <unordered_map>

namespace pkcy {
namespace {

PyObject* dependency_module = nullptr;  // fastmcp.server.dependencies (where run finds the wrapper maker)
PyObject* dependencies = nullptr;       // and its namespace
PyObject* tool_module = nullptr;   // fastmcp.tools.function_tool's namespace: the release's helpers
PyObject* plans = nullptr;         // function -> its entry (see `field`)
bool wrap_takes_materialize = false;  // the release's _wrap_body_errors consumes generators itself
constexpr Py_ssize_t max_plans = 5000;  // as many functions as fastmcp's type adapter cache keeps

pk::name n_without_injected_parameters{"without_injected_parameters"}, n_run_in_thread{"run_in_thread"},
    n_wrap_body_errors{"_wrap_body_errors"}, n_materialize_generators{"materialize_generators"},
    n_get_cached_typeadapter{"get_cached_typeadapter"}, n_is_coroutine_function{"is_coroutine_function"},
    n_code{"__code__"}, n_annotations{"__annotations__"}, n_signature{"__signature__"}, n_wrapped{"__wrapped__"},
    n_defaults{"__defaults__"}, n_kwdefaults{"__kwdefaults__"}, n_globals{"__globals__"}, n_parameters{"parameters"},
    n_signature_of{"signature"};

// ---- module namespaces: a version that changes with every change of the dict -----------------------

int watcher = -1;
std::unordered_map<PyObject*, unsigned long long>* versions = nullptr;
unsigned long long last_version = 0;

int namespace_changed(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) noexcept {
    try {
        if (event == PyDict_EVENT_DEALLOCATED) versions->erase(dict);
        else (*versions)[dict] = ++last_version;
    } catch (...) {
        versions->clear();  // out of memory: every namespace counts as changed
    }
    return 0;
}

// The dict's current version; a dict seen for the first time is watched from now on.
unsigned long long version_of(PyObject* dict) {
    auto found = versions->find(dict);
    if (found != versions->end()) return found->second;
    pk::check(PyDict_Watch(watcher, dict));
    return (*versions)[dict] = ++last_version;
}

// ---- entries -------------------------------------------------------------------------------------

// An entry, one tuple: run_in_thread, the wrapper maker used, the function's code object, its
// annotations dict, that dict's keys and values (compared by identity, in order), its
// __signature__, __defaults__ and __kwdefaults__ (None when absent), its namespace's version, then
// the plan.
enum field { f_thread, f_maker, f_code, f_annotations, f_keys, f_values, f_signature, f_defaults,
             f_kwdefaults, f_version, f_plan, f_count };

// The function whose signature fastmcp inspects: a bound method's own function.
PyObject* inspected(PyObject* fn) { return PyMethod_Check(fn) ? PyMethod_GET_FUNCTION(fn) : fn; }

// What the plan for `fn` depends on, read from the function now; a null code when the plan cannot
// be told from these (no code object, no annotations dict, no namespace, a __wrapped__ function).
struct parts {
    pk::ref code, annotations, signature, defaults, kwdefaults;
    unsigned long long version = 0;
};

// A Python function's parts straight from the function object: what its attributes would give,
// without a lookup for each. Null when its annotations are not a dict yet (they become one on the
// first read of __annotations__, which the attribute path below makes).
bool read_function_parts(PyObject* fn, parts& p) {
    PyObject* annotations = PyFunction_GET_ANNOTATIONS(fn);
    if (!annotations || !PyDict_CheckExact(annotations)) return false;
    PyObject* globals = PyFunction_GET_GLOBALS(fn);
    if (!PyDict_Check(globals)) return false;
    PyObject* attrs = reinterpret_cast<PyFunctionObject*>(fn)->func_dict;
    PyObject* signature = nullptr;
    if (attrs) {
        if (PyDict_GetItemWithError(attrs, n_wrapped)) return true;  // p.code stays null: not remembered
        if (PyErr_Occurred()) throw pk::python_error{};
        signature = PyDict_GetItemWithError(attrs, n_signature);
        if (!signature && PyErr_Occurred()) throw pk::python_error{};
    }
    PyObject *defaults = PyFunction_GET_DEFAULTS(fn), *kwdefaults = PyFunction_GET_KW_DEFAULTS(fn);
    p.code = pk::ref::borrow(PyFunction_GET_CODE(fn));
    p.annotations = pk::ref::borrow(annotations);
    p.signature = pk::ref::borrow(signature ? signature : Py_None);
    p.defaults = pk::ref::borrow(defaults ? defaults : Py_None);
    p.kwdefaults = pk::ref::borrow(kwdefaults ? kwdefaults : Py_None);
    p.version = version_of(globals);
    return true;
}

parts read_parts(PyObject* fn) {
    if (parts p; PyFunction_Check(fn) && read_function_parts(fn, p)) return p;
    // A type that binds as a method descriptor: Python, Cython and our own functions.
    if (!PyType_HasFeature(Py_TYPE(fn), Py_TPFLAGS_METHOD_DESCRIPTOR)) return {};
    parts p{pk::getattr_opt(fn, n_code), pk::getattr_opt(fn, n_annotations), pk::getattr_opt(fn, n_signature),
            pk::getattr_opt(fn, n_defaults), pk::getattr_opt(fn, n_kwdefaults)};
    pk::ref globals = pk::getattr_opt(fn, n_globals);
    if (!p.code || !PyCode_Check(p.code.get()) || !p.annotations || !PyDict_CheckExact(p.annotations.get()) ||
        !globals || !PyDict_Check(globals.get()) || pk::getattr_opt(fn, n_wrapped))
        return {};
    for (pk::ref* r : {&p.signature, &p.defaults, &p.kwdefaults})
        if (!*r) *r = pk::none();
    p.version = version_of(globals.get());
    return p;
}

pk::ref snapshot(const parts& p, PyObject* thread, PyObject* maker) {
    Py_ssize_t n = PyDict_GET_SIZE(p.annotations.get());
    pk::ref keys = pk::ref::steal(PyTuple_New(n)), values = pk::ref::steal(PyTuple_New(n));
    PyObject *key, *value;
    Py_ssize_t pos = 0, i = 0;
    while (PyDict_Next(p.annotations.get(), &pos, &key, &value)) {
        PyTuple_SET_ITEM(keys.get(), i, Py_NewRef(key));
        PyTuple_SET_ITEM(values.get(), i, Py_NewRef(value));
        ++i;
    }
    pk::ref version = pk::ref::steal(PyLong_FromUnsignedLongLong(p.version));
    return pk::tuple({thread, maker, p.code.get(), p.annotations.get(), keys.get(), values.get(), p.signature.get(),
                      p.defaults.get(), p.kwdefaults.get(), version.get(), Py_None});
}

// Whether `fn` still has what `entry` recorded (by identity: an equal replacement counts as a change).
bool unchanged(PyObject* entry, PyObject* fn, PyObject* thread, PyObject* maker) {
    if (PyTuple_GET_ITEM(entry, f_thread) != thread || PyTuple_GET_ITEM(entry, f_maker) != maker) return false;
    parts now = read_parts(fn);
    if (!now.code || now.code.get() != PyTuple_GET_ITEM(entry, f_code) ||
        now.annotations.get() != PyTuple_GET_ITEM(entry, f_annotations) ||
        now.signature.get() != PyTuple_GET_ITEM(entry, f_signature) ||
        now.defaults.get() != PyTuple_GET_ITEM(entry, f_defaults) ||
        now.kwdefaults.get() != PyTuple_GET_ITEM(entry, f_kwdefaults) ||
        now.version != PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(entry, f_version)))
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


// fastmcp's own preparation, step by step as its FunctionTool.run takes it on this release.
pk::ref make_plan(PyObject* fn, PyObject* thread, PyObject* maker) {
    PyObject* wrap = PyDict_GetItemWithError(tool_module, n_wrap_body_errors);
    if (!wrap && PyErr_Occurred()) throw pk::python_error{};
    pk::ref wrap_ref = pk::ref::borrow(wrap);
    pk::ref body = wrap && wrap_takes_materialize ? pk::call(wrap_ref, fn, pk::kw(n_materialize_generators, Py_True))
                                                  : pk::ref::borrow(fn);
    pk::ref wrapper = pk::call(maker, body, pk::kw(n_run_in_thread, thread));
    pk::ref exec = wrap ? pk::call(wrap_ref, wrapper) : wrapper;
    pk::ref adapter = pk::call(tool_global("get_cached_typeadapter"), exec);
    pk::ref is_async = pk::call(tool_global("is_coroutine_function"), wrapper);
    return pk::tuple({adapter.get(), pk::truthy(is_async.get()) ? Py_True : Py_False});
}

void remember(PyObject* key, PyObject* entry, PyObject* plan) {
    // The entry is new and held only here: its plan slot is filled in place.
    PyObject* placeholder = PyTuple_GET_ITEM(entry, f_plan);
    PyTuple_SET_ITEM(entry, f_plan, Py_NewRef(plan));
    Py_DECREF(placeholder);
    if (PyDict_GET_SIZE(plans) >= max_plans && !pk::check(PyDict_Contains(plans, key))) {
        Py_ssize_t first = 0;
        PyObject *oldest, *unused;
        if (PyDict_Next(plans, &first, &oldest, &unused)) {
            pk::ref held = pk::ref::borrow(oldest);
            pk::check(PyDict_DelItem(plans, oldest));
        }
    }
    pk::check(PyDict_SetItem(plans, key, entry));
}

}  // namespace

pk::ref tool_global_opt(const char* key) {
    // The keys are the callers' literals: each is interned once, by its address.
    static std::unordered_map<const char*, PyObject*> interned;
    PyObject*& name = interned[key];
    if (!name) name = pk::check(PyUnicode_InternFromString(key));
    return pk::ref::borrow(PyDict_GetItemWithError(tool_module, name));  // str keys: cannot raise
}

pk::ref tool_global(const char* key) {
    pk::ref found = tool_global_opt(key);
    if (!found) pk::raise(PyExc_ImportError, "cannot import name '%s' from 'fastmcp.tools.function_tool'", key);
    return found;
}

pk::ref run_plan(PyObject* fn, PyObject* run_in_thread) {
    pk::ref maker = pk::ref::borrow(PyDict_GetItemWithError(dependencies, n_without_injected_parameters));
    if (!maker) {
        if (PyErr_Occurred()) throw pk::python_error{};
        maker = pk::getattr(dependency_module, n_without_injected_parameters);  // raises the AttributeError
    }
    pk::ref thread = pk::boolean(pk::truthy(run_in_thread));
    pk::ref target = pk::ref::borrow(inspected(fn));
    // A bound method is its own key (equal for the same function and the same instance).
    PyObject* found = PyDict_GetItemWithError(plans, fn);
    if (!found && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw pk::python_error{};
        PyErr_Clear();  // an unhashable callable: prepared on every run, as fastmcp does
        return make_plan(fn, thread.get(), maker.get());
    }
    if (found) {
        pk::ref entry = pk::ref::borrow(found);  // the attribute reads below may run Python code
        if (unchanged(entry.get(), target.get(), thread.get(), maker.get()))
            return pk::ref::borrow(PyTuple_GET_ITEM(entry.get(), f_plan));
    }
    parts p = read_parts(target.get());
    pk::ref before = p.code ? snapshot(p, thread.get(), maker.get()) : nullptr;
    pk::ref plan = make_plan(fn, thread.get(), maker.get());
    // Remembered only when the function is the same before and after its preparation.
    if (before && unchanged(before.get(), target.get(), thread.get(), maker.get()))
        remember(fn, before.get(), plan.get());
    return plan;
}

void define_run_plans(PyObject*) {
    versions = new std::unordered_map<PyObject*, unsigned long long>();  // for the life of the process
    watcher = pk::check(PyDict_AddWatcher(namespace_changed));
    dependency_module = pk::import("fastmcp.server.dependencies").release();
    dependencies = pk::ref::borrow(PyModule_GetDict(dependency_module)).release();
    pk::ref ft = pk::import("fastmcp.tools.function_tool");
    tool_module = pk::ref::borrow(PyModule_GetDict(ft.get())).release();
    plans = pk::new_dict().release();
    if (PyObject* wrap = PyDict_GetItemWithError(tool_module, n_wrap_body_errors)) {
        pk::ref sig = pk::call(pk::getattr(pk::import("inspect").get(), n_signature_of.get()), wrap);
        wrap_takes_materialize = pk::check(PySequence_Contains(pk::getattr(sig.get(), n_parameters).get(),
                                                               n_materialize_generators));
    } else if (PyErr_Occurred()) {
        throw pk::python_error{};
    }
}

}  // namespace pkcy
