// The pieces of parleykit.cython, each defined in its own file and bound by the module body.
#pragma once
#include "pk/coro.hpp"
#include "pk/klass.hpp"
#include "pk/module.hpp"

namespace pkcy {
void define_model_base(PyObject* module);          // CythonModelMeta, CythonBaseModel
void define_type_adapter(PyObject* module);        // get_cached_typeadapter
void define_convert_to_content(PyObject* module);  // _convert_to_content
void define_twins(PyObject* module);              // Python twins of native functions
void define_run_plans(PyObject* module);          // the remembered preparations of tool runs
void define_function_tool(PyObject* module);       // CythonFunctionTool

// Whether `fn` (or a bound method's function) is a native routine rather than a Python function.
bool is_native_routine(PyObject* fn);
// The Python twin of a native function (a bound method's twin is bound to the same instance).
pk::ref twin_of(PyObject* fn);

// (type adapter, is async) for running `fn` as fastmcp's FunctionTool.run prepares it.
pk::ref run_plan(PyObject* fn, PyObject* run_in_thread);
// A name of fastmcp.tools.function_tool's namespace as it is now (null or ImportError when absent).
pk::ref tool_global_opt(const char* key);
pk::ref tool_global(const char* key);
}  // namespace pkcy
