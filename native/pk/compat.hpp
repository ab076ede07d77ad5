// The C-API calls whose spelling differs between the CPython versions the modules build for (3.12
// and 3.13): one name each for the runtime and the modules, public API wherever a version has it.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pk::compat {

// getattr(o, name) that reports a missing attribute as 0 with *out null and no error set (1 and a
// new reference when found, -1 on any other error). 3.13 made it public; 3.12 has only the private
// spelling of the same function.
inline int get_optional_attr(PyObject* o, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(o, name, out);
#else
    return _PyObject_LookupAttr(o, name, out);
#endif
}

// The attribute `name` as the class's MRO holds it (borrowed, null when absent; no error set, no
// descriptor called). Neither version has a public counterpart; both export this one with the type
// attribute cache behind it, which a walk over PyType_GetDict of each base would lose.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// Where the instance dict of `o` lives (its slot; the dict itself may still be null), or null when
// its type gives instances none. No public call reads the slot without making a dict in it;
// both versions export this one.
inline PyObject** instance_dict_slot(PyObject* o) { return _PyObject_GetDictPtr(o); }

// "module.qualname()" (just "qualname()" for builtins or without a module; str(o) without a
// qualname): how the interpreter names a callable in its call errors. Written with public calls,
// as CPython's private _PyObject_FunctionStr does it.
PyObject* function_str(PyObject* callable);

}  // namespace pk::compat
