// The pieces of parleykit.cython, each defined in its own file and bound by the module body.
#pragma once
#include "pk/coro.hpp"
#include "pk/klass.hpp"
#include "pk/module.hpp"

namespace pkcy {
void define_model_base(PyObject* module);          // CythonModelMeta, CythonBaseModel
void define_type_adapter(PyObject* module);        // get_cached_typeadapter
void define_convert_to_content(PyObject* module);  // _convert_to_content
void define_function_tool(PyObject* module);       // CythonFunctionTool
}  // namespace pkcy
