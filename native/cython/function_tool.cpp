// CythonFunctionTool: a fastmcp FunctionTool whose asynchronous run validates through the cached
// parameter adapter, injects the request context and calls native functions; and from_function,
// which lets fastmcp's own parser describe a native function.
#include "cython/parts.hpp"

namespace pkcy {
namespace {

PyObject* globals = nullptr;     // the module dict: every module-level name is read per run
PyObject* tool_class = nullptr;  // CythonFunctionTool, for super() in from_function
PyObject* base_model_iter = nullptr;  // pydantic's BaseModel.__iter__, as the module body imported it
PyObject* context_fromlist = nullptr; // ("Context",): what run imports from fastmcp.server.context
PyObject* std_isawaitable = nullptr;  // inspect.isawaitable and the ABC it tests last, as loaded
PyObject* awaitable_abc = nullptr;

pk::name n_fn{"fn"}, n_Context{"Context"},
    n_get_context{"get_context"}, n_get_cached_typeadapter{"get_cached_typeadapter"},
    n_validate_python{"validate_python"}, n_model_dump{"model_dump"}, n_BaseModel{"BaseModel"},
    n_inspect{"inspect"}, n_isawaitable{"isawaitable"}, n_ToolResult{"ToolResult"},
    n_convert{"_convert_to_content"}, n_serializer{"serializer"}, n_output_schema{"output_schema"},
    n_get{"get"}, n_wrap_result{"x-fastmcp-wrap-result"}, n_result{"result"}, n_pydantic_core{"pydantic_core"},
    n_to_jsonable_python{"to_jsonable_python"}, n_content{"content"}, n_structured_content{"structured_content"},
    n_run{"run"}, n_run_qualname{"CythonFunctionTool.run"}, n_is_coroutine{"_is_coroutine"},
    n_from_function{"from_function"}, n_signature{"signature"}, n_dunder_signature{"__signature__"},
    n_get_type_hints{"get_type_hints"}, n_include_extras{"include_extras"}, n_annotations{"__annotations__"},
    n_dunder_name{"__name__"}, n_qualname{"__qualname__"}, n_module{"__module__"}, n_doc{"__doc__"},
    n_globals{"__globals__"}, n_isroutine{"isroutine"}, n_iscoroutinefunction{"iscoroutinefunction"},
    n_replace{"replace"}, n_co_qualname{"co_qualname"}, n_co_flags{"co_flags"}, n_iter{"__iter__"},
    n_dict{"__dict__"}, n_pydantic_extra{"__pydantic_extra__"}, n_context_module{"fastmcp.server.context"},
    n_gi_code{"gi_code"}, n_Awaitable{"Awaitable"};

enum slot { s_self, s_arguments, s_validated, s_result };

// iter(model) while the model's class keeps BaseModel's own __iter__, which yields the public
// entries of the instance dict, then the extra fields: the same pairs, put into `kwargs` without
// running that generator. False (and `kwargs` untouched) for anything it is not sure of, which then
// goes through the class's own iteration.
bool model_items_into(PyObject* kwargs, PyObject* model) {
    pk::ref iter = pk::getattr(reinterpret_cast<PyObject*>(Py_TYPE(model)), n_iter);
    if (iter.get() != base_model_iter) return false;
    pk::ref fields = pk::getattr_opt(model, n_dict);
    pk::ref extra = pk::getattr_opt(model, n_pydantic_extra);
    if (!fields || !PyDict_CheckExact(fields.get()) || !extra) return false;
    if (extra.get() != Py_None && !PyDict_CheckExact(extra.get())) return false;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(fields.get(), &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;  // str.startswith decides for str keys only
    pos = 0;
    while (PyDict_Next(fields.get(), &pos, &key, &value)) {
        if (PyUnicode_GET_LENGTH(key) > 0 && PyUnicode_READ_CHAR(key, 0) == '_') continue;
        pk::check(PyDict_SetItem(kwargs, key, value));
    }
    if (extra.get() != Py_None) pk::check(PyDict_Update(kwargs, extra.get()));
    return true;
}

// The validated arguments as keywords for the call. A model gives its fields and extra keys with
// their validated values as they are (the injected Context and model- or dataclass-typed
// arguments stay objects; model_dump would turn them into dicts). Anything else that offers
// model_dump is dumped; other values are used as they are.
pk::ref call_arguments(PyObject* validated) {
    if (pk::isinstance(validated, pk::global(globals, n_BaseModel).get())) {
        pk::ref kwargs = pk::new_dict();
        if (!model_items_into(kwargs.get(), validated))
            pk::check(PyDict_MergeFromSeq2(kwargs.get(), validated, 1));  // iter(model): (name, value) pairs
        return kwargs;
    }
    pk::ref dump;
    try {
        dump = pk::getattr_opt(validated, n_model_dump);
    } catch (pk::python_error&) {
        // A lookup that fails with an Exception counts as absent; KeyboardInterrupt and the like,
        // and MemoryError (the process is failing, not the attribute), propagate.
        if (!pk::error_is_exception() || PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
        PyErr_Clear();
    }
    if (!dump) return pk::ref::borrow(validated);
    return pk::call(dump);
}

// The tool's structured content: the result (wrapped when the output schema asks for it), or
// for a tool without one, the JSON form of a dict-like result.
pk::ref structured_output(PyObject* self, PyObject* result) {
    pk::ref structured = pk::none();
    pk::ref schema = pk::getattr(self, n_output_schema);
    if (schema.get() != Py_None) {
        pk::ref schema_again = pk::getattr(self, n_output_schema);
        pk::ref wrap = pk::call_method(schema_again.get(), n_get, n_wrap_result);
        if (pk::truthy(wrap.get())) {
            structured = pk::new_dict();
            pk::check(PyDict_SetItem(structured.get(), n_result, result));
        } else {
            structured = pk::ref::borrow(result);
        }
    }
    if (structured.get() != Py_None) return structured;
    try {
        pk::ref to_jsonable = pk::getattr(pk::global(globals, n_pydantic_core).get(), n_to_jsonable_python);
        structured = pk::call(to_jsonable, result);
    } catch (pk::python_error&) {
        if (!pk::error_is_exception()) throw;
        PyErr_Clear();
        return pk::none();
    }
    return PyDict_Check(structured.get()) ? structured : pk::none();
}

// The steps of run up to the call of the function: copy the arguments, inject the context,
// validate, call. Kept out of the coroutine frame so that no reference outlives them there.
void call_tool_function(pk::genobj* g) {
    PyObject* self = g->local(s_self);
    // from fastmcp.server.context import Context
    pk::ref context_module = pk::import_name(n_context_module, globals, context_fromlist);
    pk::ref context_type = pk::import_from(context_module.get(), n_Context);
    // The caller's dictionary is never modified.
    g->set_local(s_arguments, pk::ref::steal(PyDict_Copy(g->local(s_arguments))));
    PyObject* arguments = g->local(s_arguments);

    pk::ref fn = pk::getattr(self, n_fn);
    pk::ref context_kwarg = pkcy::context_kwarg(fn.get(), context_type.get());
    if (pk::truthy(context_kwarg.get()) && !pk::check(PyDict_Contains(arguments, context_kwarg.get()))) {
        pk::ref context = pk::call(pk::global(globals, n_get_context));
        pk::check(PyDict_SetItem(arguments, context_kwarg.get(), context.get()));
    }

    fn = pk::getattr(self, n_fn);
    pk::ref type_adapter = pk::call(pk::global(globals, n_get_cached_typeadapter), fn);
    g->set_local(s_validated, pk::call_method(type_adapter.get(), n_validate_python, arguments));
    g->set_local(s_validated, call_arguments(g->local(s_validated)));

    fn = pk::getattr(self, n_fn);
    g->set_local(s_result, pk::call_kwargs(fn.get(), g->local(s_validated)));
}

// inspect.isawaitable(result). While that is the standard function, its three isinstance tests
// run here without a Python frame: a coroutine; a generator whose code is flagged as an iterable
// coroutine (types.coroutine); an instance of collections.abc.Awaitable.
bool is_awaitable(PyObject* result) {
    pk::ref isawaitable = pk::getattr(pk::global(globals, n_inspect).get(), n_isawaitable);
    if (isawaitable.get() != std_isawaitable) return pk::truthy(pk::call(isawaitable, result).get());
    if (pk::isinstance(result, reinterpret_cast<PyObject*>(&PyCoro_Type))) return true;
    if (pk::isinstance(result, reinterpret_cast<PyObject*>(&PyGen_Type))) {
        pk::ref code = pk::getattr(result, n_gi_code);
        pk::ref flags = pk::getattr(code.get(), n_co_flags);
        pk::ref flag = pk::integer(CO_ITERABLE_COROUTINE);
        if (pk::truthy(pk::ref::steal(PyNumber_And(flags.get(), flag.get())).get())) return true;
    }
    return pk::isinstance(result, awaitable_abc);
}

// The tool's result from the function's (awaited) result.
pk::ref tool_result(PyObject* self, PyObject* result) {
    if (pk::isinstance(result, pk::global(globals, n_ToolResult).get())) return pk::ref::borrow(result);
    pk::ref tool_serializer = pk::getattr(self, n_serializer);
    pk::ref unstructured = pk::call(pk::global(globals, n_convert), result, pk::kw(n_serializer, tool_serializer));
    pk::ref structured = structured_output(self, result);
    return pk::call(pk::global(globals, n_ToolResult), pk::kw(n_content, unstructured),
                    pk::kw(n_structured_content, structured));
}

// async def run(self, arguments: dict[str, Any]) -> ToolResult, from its first step on. It
// suspends only while it awaits the function's awaitable.
pk::body run_body(pk::genobj* g) {
    call_tool_function(g);
    if (is_awaitable(g->local(s_result))) {
        pk::ref awaited = co_await pk::await_(g->local(s_result));
        g->set_local(s_result, awaited);
    }
    co_return tool_result(g->local(s_self), g->local(s_result));
}

// The argument check happens at the call, before any coroutine exists.
pk::ref run(PyObject* const* a) {
    pk::check_exact(a[1], &PyDict_Type, "arguments");
    return pk::make_generator(pk::gen_kind::coroutine, run_body, {a[0], a[1]}, n_run, n_run_qualname);
}

const pk::fn_def run_def{
    .name = "run", .qualname = "CythonFunctionTool.run", .impl = run,
    .params = {{"self"}, {"arguments", "dict[str, Any]"}}, .returns = "ToolResult",
    .doc = "Run the tool with arguments.", .kind = pk::fn_kind::coroutine,
};

// A Python function that carries a native function's signature, resolved type hints, names and
// docstring, for fastmcp's parser, which builds its schemas only from Python functions. Its body
// (an empty code object) is never run: the tool calls the native function.
pk::ref python_stand_in(PyObject* fn) {
    pk::ref inspect = pk::global(globals, n_inspect);
    pk::ref sig = pk::call(pk::getattr(inspect.get(), n_signature), fn);
    pk::ref hints;
    try {
        hints = pk::call(pk::global(globals, n_get_type_hints), fn, pk::kw(n_include_extras, Py_True));
    } catch (pk::python_error&) {
        if (!pk::error_is_exception()) throw;
        PyErr_Clear();
        hints = pk::new_dict();
        if (pk::ref raw = pk::getattr_opt(fn, n_annotations)) pk::check(PyDict_Merge(hints.get(), raw.get(), 1));
    }
    pk::ref name = pk::getattr(fn, n_dunder_name);
    pk::ref qualname = pk::getattr_opt(fn, n_qualname);
    if (!qualname) qualname = name;
    const char* name_utf8 = PyUnicode_AsUTF8(name.get());
    if (!name_utf8) throw pk::python_error{};
    pk::ref empty = pk::ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("<native>", name_utf8, 0)));
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (pk::truthy(pk::call(pk::getattr(inspect.get(), n_iscoroutinefunction), fn).get())) flags |= CO_COROUTINE;
    pk::ref co_flags = pk::integer(flags);
    pk::ref code = pk::call(pk::getattr(empty.get(), n_replace), pk::kw(n_co_qualname, qualname),
                            pk::kw(n_co_flags, co_flags));
    pk::ref fn_globals = pk::getattr_opt(fn, n_globals);
    if (!fn_globals || !PyDict_Check(fn_globals.get())) fn_globals = pk::new_dict();
    pk::ref stand_in = pk::ref::steal(PyFunction_New(code.get(), fn_globals.get()));
    pk::setattr(stand_in.get(), n_dunder_name, name.get());
    pk::setattr(stand_in.get(), n_qualname, qualname.get());
    if (pk::ref module = pk::getattr_opt(fn, n_module)) pk::setattr(stand_in.get(), n_module, module.get());
    pk::ref doc = pk::getattr_opt(fn, n_doc);
    pk::setattr(stand_in.get(), n_doc, doc ? doc.get() : Py_None);
    pk::setattr(stand_in.get(), n_annotations, hints.get());
    pk::setattr(stand_in.get(), n_dunder_signature, sig.get());
    return stand_in;
}

// A function or method whose code is native (not a Python function): fastmcp cannot build a
// schema for it. Callable objects and partials keep fastmcp's own handling.
bool is_native_routine(PyObject* fn) {
    PyObject* target = PyMethod_Check(fn) ? PyMethod_GET_FUNCTION(fn) : fn;
    if (PyFunction_Check(target)) return false;
    pk::ref isroutine = pk::getattr(pk::global(globals, n_inspect).get(), n_isroutine);
    return pk::truthy(pk::call(isroutine, fn).get());
}

// @classmethod def from_function(cls, fn, **kwargs) -> FunctionTool
pk::ref from_function(PyObject* const* a) {
    PyObject *cls = a[0], *fn = a[1], *kwargs = a[2];
    pk::ref sup = pk::call(reinterpret_cast<PyObject*>(&PySuper_Type), tool_class, cls);
    pk::ref inherited = pk::getattr(sup.get(), n_from_function);
    bool native = is_native_routine(fn);
    pk::ref described = native ? python_stand_in(fn) : pk::ref::borrow(fn);
    pk::ref args = pk::tuple({described.get()});
    pk::ref tool = pk::ref::steal(PyObject_Call(inherited.get(), args.get(), kwargs));
    if (native) pk::setattr(tool.get(), n_fn, fn);
    return tool;
}

const pk::fn_def from_function_def{
    .name = "from_function", .qualname = "CythonFunctionTool.from_function", .impl = from_function,
    .params = {{"cls"}, {"fn", "Callable[..., Any]"}, {"kwargs", "Any"}}, .returns = "FunctionTool",
    .doc = "Create a tool from a function.\n\nA native function is described to fastmcp by its signature and type "
           "hints, and the tool calls the native function itself.",
    .var_keywords = true,
};

pk::name n_CythonBaseModel{"CythonBaseModel"}, n_FunctionTool{"FunctionTool"};

}  // namespace

void define_function_tool(PyObject* m) {
    globals = pk::globals_of(m);
    base_model_iter = pk::getattr(pk::global(globals, n_BaseModel).get(), n_iter).release();
    context_fromlist = pk::tuple({n_Context.get()}).release();
    std_isawaitable = pk::getattr(pk::global(globals, n_inspect).get(), n_isawaitable).release();
    awaitable_abc = pk::getattr(pk::import("collections.abc").get(), n_Awaitable).release();
    pk::ref bases =
        pk::tuple({pk::global(globals, n_CythonBaseModel).get(), pk::global(globals, n_FunctionTool).get()});
    pk::class_builder c(globals, "CythonFunctionTool", "CythonFunctionTool", bases.get());

    c.set("__doc__", pk::str("A fastmcp FunctionTool for functions without Python source, such as compiled ones:\n"
                             "described by their signature and type hints, run by calling them directly."));
    pk::ref run_fn = pk::make_function(run_def, globals);
    // asyncio's coroutine-function test looks for this marker (as it does on Cython's functions).
    pk::ref coroutines = pk::import("asyncio.coroutines");
    pk::ref marker = pk::getattr_opt(coroutines.get(), n_is_coroutine);
    pk::check(PyDict_SetItem(pk::function_dict(run_fn.get()), n_is_coroutine, marker ? marker.get() : Py_True));
    c.set("run", run_fn);

    pk::ref from_fn = pk::make_function(from_function_def, globals);
    // classmethod(fn), as the decorator makes it (with the function's __doc__ and __wrapped__).
    c.set("from_function", pk::call(reinterpret_cast<PyObject*>(&PyClassMethod_Type), from_fn));

    pk::ref cls = c.create();
    tool_class = cls.new_ref();  // kept for the life of the process, like the module
    pk::bind(m, "CythonFunctionTool", cls.get());
}

}  // namespace pkcy
