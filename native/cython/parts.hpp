// The pieces of parleykit.cython, each defined in its own file and bound by the module body.
#pragma once
#include "pk/coro.hpp"
#include "pk/klass.hpp"
#include "pk/module.hpp"

namespace pkcy {
void define_model_base(PyObject* module);  // CythonModelMeta, CythonBaseModel
}  // namespace pkcy
