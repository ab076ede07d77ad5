// The native function type: a C++ body behind an object that binds, introspects and fails like a
// Python function (descriptor binding, __code__/__defaults__/__annotations__, CPython's TypeErrors).
#pragma once
#include "pk/call.hpp"

namespace pk {

// One parameter: its name and the text of its annotation (nullptr: not annotated).
struct param {
    const char* name = nullptr;
    const char* annotation = nullptr;
};

enum class fn_kind { plain, generator, coroutine };

// The body receives the bound arguments in parameter order; with `var_keywords` the last slot
// holds the dict of extra keywords. It returns a new reference or throws.
using fn_impl = ref (*)(PyObject* const* args);

inline constexpr int max_params = 8;

// Static description of one function; lives as long as the module (declare it `static const`).
struct fn_def {
    const char* name;
    const char* qualname;
    fn_impl impl;
    param params[max_params] = {};  // positional-or-keyword parameters, then **kwargs if var_keywords
    const char* returns = nullptr;  // return annotation text
    const char* doc = nullptr;
    fn_kind kind = fn_kind::plain;
    bool var_keywords = false;
};

// Creates a function object for `def` whose __globals__ is `globals` (the module dict: its
// "__name__" gives __module__) and whose __defaults__ is `defaults` (a tuple or null).
ref make_function(const fn_def& def, PyObject* globals, PyObject* defaults = nullptr);

// The function type of this module (created on first use).
PyTypeObject* function_type();

// The __dict__ of a function object made by make_function.
PyObject* function_dict(PyObject* func);

}  // namespace pk
