// The pieces of parleykit.cython, each defined in its own file and bound by the module body.
#pragma once
#include "pk/coro.hpp"
#include "pk/klass.hpp"
#include "pk/module.hpp"

namespace pkcy {
void define_model_base(PyObject* module);          // CythonModelMeta, CythonBaseModel
void define_type_adapter(PyObject* module);        // get_cached_typeadapter
void define_convert_to_content(PyObject* module);  // _convert_to_content
void define_context_kwarg(PyObject* module);       // the remembered find_kwarg_by_type answers
void define_function_tool(PyObject* module);       // CythonFunctionTool

// find_kwarg_by_type(fn, kwarg_type=context_type) as the module namespace names it, remembered
// per function while that is fastmcp's own function.
pk::ref context_kwarg(PyObject* fn, PyObject* context_type);
}  // namespace pkcy
