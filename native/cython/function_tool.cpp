// CythonFunctionTool: a fastmcp FunctionTool whose asynchronous run takes the steps of fastmcp's
// own run on the installed release (injected parameters, validation, worker thread or inline call,
// timeout, generators consumed, errors classified, the result converted by the tool), preparing each
// function once instead of on every run; and from_function, which describes a native function to
// fastmcp through its Python twin.
#include "cython/parts.hpp"

namespace pkcy {
namespace {

PyObject* globals = nullptr;     // the module dict
PyObject* tool_class = nullptr;  // CythonFunctionTool, for super() in from_function
PyObject* std_isawaitable = nullptr;  // inspect.isawaitable and the ABC it tests last, as loaded
PyObject* awaitable_abc = nullptr;

// What the installed fastmcp release does around the call, told by what it offers.
bool tags_body_errors = false;  // pydantic errors of the tool's body are told apart from bad arguments
bool newer_run = false;         // FunctionTool._run_body: body errors stay tagged; the deadline is rechecked

pk::name n_fn{"fn"}, n_run_in_thread{"run_in_thread"}, n_timeout{"timeout"}, n_name{"name"},
    n_inspect{"inspect"}, n_isawaitable{"isawaitable"}, n_validate_python{"validate_python"}, n_strict{"strict"},
    n_convert_result{"convert_result"}, n_materialize{"_materialize_generator"}, n_fail_after{"fail_after"},
    n_enter{"__enter__"}, n_exit{"__exit__"}, n_current_time{"current_time"}, n_deadline{"deadline"},
    n_cancelled_caught{"cancelled_caught"}, n_warning{"warning"}, n_log_level{"log_level"}, n_WARNING{"WARNING"},
    n_code{"code"}, n_message{"message"}, n_InputRequiredResult{"InputRequiredResult"}, n_cause{"__cause__"},
    n_run{"run"}, n_run_qualname{"CythonFunctionTool.run"}, n_is_coroutine{"_is_coroutine"},
    n_from_function{"from_function"}, n_co_flags{"co_flags"}, n_gi_code{"gi_code"}, n_Awaitable{"Awaitable"},
    n_run_body{"_run_body"}, n_CythonBaseModel{"CythonBaseModel"}, n_FunctionTool{"FunctionTool"};

enum slot { s_self, s_arguments, s_plan, s_result, s_cm, s_scope, s_strict };

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

// The function fastmcp is handed: a native function's Python twin, any other callable itself.
pk::ref described(PyObject* fn) { return is_native_routine(fn) ? twin_of(fn) : pk::ref::borrow(fn); }

// The remembered preparation, and the strictness the running server asks for (releases that have one).
void prepare(pk::genobj* g) {
    PyObject* self = g->local(s_self);
    pk::ref fn = described(pk::getattr(self, n_fn).get());
    pk::ref thread = pk::getattr(self, n_run_in_thread);
    g->set_local(s_plan, run_plan(fn.get(), thread.get()));
    if (pk::ref strict = tool_global_opt("_strict_input_validation")) g->set_local(s_strict, pk::call(strict));
}

PyObject* plan_adapter(pk::genobj* g) { return PyTuple_GET_ITEM(g->local(s_plan), 0); }
bool plan_is_async(pk::genobj* g) { return PyTuple_GET_ITEM(g->local(s_plan), 1) == Py_True; }

// type_adapter.validate_python(arguments), through the release's _validate_input where it has one.
// Validating also calls the function: the adapter validates a call of fastmcp's wrapper.
pk::ref validate(pk::genobj* g) {
    if (g->local(s_strict))
        return pk::call(tool_global("_validate_input"), plan_adapter(g), g->local(s_arguments),
                        pk::kw(n_strict, g->local(s_strict)));
    return pk::call_method(plan_adapter(g), n_validate_python, g->local(s_arguments));
}

// The same in a worker thread: what fastmcp's call_sync_fn_in_threadpool returns, to be awaited.
pk::ref validate_in_thread(pk::genobj* g) {
    pk::ref in_thread = tool_global("call_sync_fn_in_threadpool");
    if (g->local(s_strict))
        return pk::call(in_thread, tool_global("_validate_input"), plan_adapter(g), g->local(s_arguments),
                        pk::kw(n_strict, g->local(s_strict)));
    pk::ref bound = pk::getattr(plan_adapter(g), n_validate_python);
    return pk::call(in_thread, bound, g->local(s_arguments));
}

bool is_generator(PyObject* result) { return PyGen_Check(result) || PyAsyncGen_CheckExact(result); }

// raise `exc` from `cause` while `context` is being handled (cause null: `from None`).
pk::ref chained(pk::ref exc, PyObject* cause, PyObject* context) {
    PyException_SetCause(exc.get(), cause ? Py_NewRef(cause) : nullptr);  // sets __suppress_context__
    if (context && context != exc.get()) PyException_SetContext(exc.get(), Py_NewRef(context));
    return exc;
}

pk::ref exception_type(PyObject* exc) { return pk::ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc))); }

bool is_pydantic_error(PyObject* exc) {
    pk::ref type = tool_global("PydanticValidationError");
    return pk::isinstance(exc, type.get());
}

// A pydantic error raised while awaiting the function's result or consuming its generator is the
// body's own, tagged as fastmcp tags it.
pk::ref tag_body_error(pk::ref exc) {
    pk::ref tag_type = tool_global("_ToolBodyError");
    pk::ref tag = newer_run ? pk::call(tag_type, pk::str_of(exc.get())) : pk::call(tag_type);
    return chained(std::move(tag), exc.get(), exc.get());
}

// cm.__exit__ of the timeout scope: the error that leaves the with statement (null for none).
pk::ref leave_timeout(pk::genobj* g, pk::ref exc) {
    pk::ref exit = pk::getattr(g->local(s_cm), n_exit);
    pk::ref outcome;
    try {
        if (!exc) {
            pk::call(exit, Py_None, Py_None, Py_None);
            return nullptr;
        }
        pk::ref tb = pk::ref::steal(PyException_GetTraceback(exc.get()));
        outcome = pk::call(exit, exception_type(exc.get()), exc, tb ? tb.get() : Py_None);
    } catch (pk::python_error&) {
        return pk::fetch_error();  // the scope's own TimeoutError
    }
    if (pk::truthy(outcome.get())) return nullptr;
    return exc;
}

// A TimeoutError out of the timeout scope: logged and turned into the MCP error the release raises.
pk::ref timed_out(pk::genobj* g, pk::ref exc) {
    PyObject* self = g->local(s_self);
    pk::ref scope = pk::ref::borrow(g->local(s_scope));
    if (newer_run) {
        // Only the scope's own deadline counts; a TimeoutError of the body's stays as it is.
        pk::ref now = pk::call(pk::getattr(tool_global("anyio").get(), n_current_time));
        pk::ref deadline = pk::getattr(scope.get(), n_deadline);
        bool early = pk::check(PyObject_RichCompareBool(now.get(), deadline.get(), Py_LT));
        if (!pk::truthy(pk::getattr(scope.get(), n_cancelled_caught).get()) && early) return exc;
    }
    pk::ref name = pk::fstring_field(pk::getattr(self, n_name).get());
    pk::ref timeout = pk::fstring_field(pk::getattr(self, n_timeout).get());
    pk::ref text = pk::ref::steal(PyUnicode_FromFormat(
        "Tool '%U' timed out after %Us. Consider using task=True for long-running operations. "
        "See https://gofastmcp.com/servers/tasks", name.get(), timeout.get()));
    pk::call(pk::getattr(tool_global("logger").get(), n_warning), text);
    pk::ref message = pk::ref::steal(
        PyUnicode_FromFormat("Tool '%U' execution timed out after %Us", name.get(), timeout.get()));
    pk::ref code = pk::integer(-32000);
    pk::ref error;
    if (pk::ref mcp_error = tool_global_opt("MCPError")) {
        error = pk::call(mcp_error, pk::kw(n_code, code), pk::kw(n_message, message));
    } else {
        pk::ref data = pk::call(tool_global("ErrorData"), pk::kw(n_code, code), pk::kw(n_message, message));
        error = pk::call(tool_global("McpError"), data);
    }
    return chained(std::move(error), nullptr, exc.get());
}

// What leaves run for an error of the run's steps, as the release classifies it.
pk::ref classified(pk::genobj* g, pk::ref exc) {
    bool timed = g->local(s_cm) != nullptr;
    if (timed && PyErr_GivenExceptionMatches(exc.get(), PyExc_TimeoutError)) exc = timed_out(g, std::move(exc));
    if (!tags_body_errors) return exc;
    if (is_pydantic_error(exc.get())) {
        // A bare pydantic error is a bad call: fastmcp's own ValidationError, logged as a warning.
        pk::ref level = pk::getattr(tool_global("logging").get(), n_WARNING);
        pk::ref error = pk::call(tool_global("ValidationError"), pk::str_of(exc.get()), pk::kw(n_log_level, level));
        return chained(std::move(error), exc.get(), exc.get());
    }
    if (!newer_run && pk::isinstance(exc.get(), tool_global("_ToolBodyError").get())) {
        // The body's own pydantic error surfaces as itself.
        pk::ref original = pk::getattr(exc.get(), n_cause);
        pk::ref cause = pk::getattr(original.get(), n_cause);
        return chained(std::move(original), cause.get() == Py_None ? nullptr : cause.get(), exc.get());
    }
    return exc;
}

// with anyio.fail_after(self.timeout) as scope: entered when the tool has a timeout.
void start_timeout(pk::genobj* g) {
    pk::ref timeout = pk::getattr(g->local(s_self), n_timeout);
    if (timeout.get() == Py_None) return;
    g->set_local(s_cm, pk::call(pk::getattr(tool_global("anyio").get(), n_fail_after), timeout));
    g->set_local(s_scope, pk::call_method(g->local(s_cm), n_enter));
}

// async def run(self, arguments: dict[str, Any]) -> ToolResult, from its first step on.
pk::body run_body(pk::genobj* g) {
    prepare(g);
    // Every reference alive across an await lives in a slot; the refs below end before one.
    PyObject* self = g->local(s_self);
    start_timeout(g);
    bool failed = false, in_body = false;
    try {
        if (!plan_is_async(g) && pk::truthy(pk::getattr(self, n_run_in_thread).get())) {
            g->set_local(s_result, validate_in_thread(g));
            {
                pk::ref done = co_await pk::await_(g->local(s_result));
                g->set_local(s_result, std::move(done));
            }
        } else {
            g->set_local(s_result, validate(g));
        }
        in_body = true;
        if (is_awaitable(g->local(s_result))) {
            pk::ref awaited = co_await pk::await_(g->local(s_result));
            g->set_local(s_result, std::move(awaited));
        }
        if (is_generator(g->local(s_result))) {
            g->set_local(s_result, pk::call_method(self, n_materialize, g->local(s_result)));
            pk::ref items = co_await pk::await_(g->local(s_result));
            g->set_local(s_result, std::move(items));
        }
        in_body = false;
        if (g->local(s_cm) && newer_run) {
            // Worker threads shield cancellation until they finish: a result after the deadline is refused.
            pk::ref now = pk::call(pk::getattr(tool_global("anyio").get(), n_current_time));
            pk::ref deadline = pk::getattr(g->local(s_scope), n_deadline);
            if (pk::check(PyObject_RichCompareBool(now.get(), deadline.get(), Py_GE))) {
                PyErr_SetNone(PyExc_TimeoutError);
                throw pk::python_error{};
            }
        }
    } catch (pk::python_error&) {
        failed = true;
    }
    pk::ref exc = failed ? pk::fetch_error() : nullptr;
    if (exc && in_body && tags_body_errors && is_pydantic_error(exc.get())) exc = tag_body_error(std::move(exc));
    if (g->local(s_cm)) exc = leave_timeout(g, std::move(exc));
    if (exc) pk::raise_object(classified(g, std::move(exc)));

    PyObject* result = g->local(s_result) ? g->local(s_result) : Py_None;
    if (pk::ref wrap = tool_global_opt("InputRequiredToolResult")) {
        pk::ref asked = pk::getattr(tool_global("mcp_types").get(), n_InputRequiredResult);
        if (pk::isinstance(result, asked.get())) co_return pk::call(wrap, result);
    }
    co_return pk::call_method(self, n_convert_result, result);
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

// @classmethod def from_function(cls, fn, **kwargs) -> FunctionTool
pk::ref from_function(PyObject* const* a) {
    PyObject *cls = a[0], *fn = a[1], *kwargs = a[2];
    pk::ref sup = pk::call(reinterpret_cast<PyObject*>(&PySuper_Type), tool_class, cls);
    pk::ref inherited = pk::getattr(sup.get(), n_from_function);
    bool native = is_native_routine(fn);
    pk::ref args = pk::tuple({described(fn).get()});
    pk::ref tool = pk::ref::steal(PyObject_Call(inherited.get(), args.get(), kwargs));
    if (native) pk::setattr(tool.get(), n_fn, fn);
    return tool;
}

const pk::fn_def from_function_def{
    .name = "from_function", .qualname = "CythonFunctionTool.from_function", .impl = from_function,
    .params = {{"cls"}, {"fn", "Callable[..., Any]"}, {"kwargs", "Any"}}, .returns = "FunctionTool",
    .doc = "Create a tool from a function.\n\nA native function is described to fastmcp by its Python twin (the same "
           "signature, type hints and kind), and the tool calls the native function itself.",
    .var_keywords = true,
};

}  // namespace

void define_function_tool(PyObject* m) {
    globals = pk::globals_of(m);
    tags_body_errors = static_cast<bool>(tool_global_opt("_ToolBodyError"));
    newer_run = static_cast<bool>(pk::getattr_opt(pk::global(globals, n_FunctionTool).get(), n_run_body));
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
