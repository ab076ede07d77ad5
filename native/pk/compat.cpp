// Out-of-line parts of the version compatibility layer.
#include "pk/compat.hpp"

namespace pk::compat {

PyObject* function_str(PyObject* callable) {
    static PyObject* qualname_name = PyUnicode_InternFromString("__qualname__");
    static PyObject* module_name = PyUnicode_InternFromString("__module__");
    static PyObject* builtins_name = PyUnicode_InternFromString("builtins");
    if (!qualname_name || !module_name || !builtins_name) return nullptr;
    PyObject* qualname = nullptr;
    if (get_optional_attr(callable, qualname_name, &qualname) < 0) return nullptr;
    if (!qualname) return PyObject_Str(callable);
    PyObject* module = nullptr;
    PyObject* result = nullptr;
    int found = get_optional_attr(callable, module_name, &module);
    if (found > 0 && module != Py_None) {
        int other = PyObject_RichCompareBool(module, builtins_name, Py_NE);
        if (other > 0) result = PyUnicode_FromFormat("%S.%S()", module, qualname);
        else if (other == 0) result = PyUnicode_FromFormat("%S()", qualname);
    } else if (found >= 0) {
        result = PyUnicode_FromFormat("%S()", qualname);
    }
    Py_XDECREF(module);
    Py_DECREF(qualname);
    return result;
}

}  // namespace pk::compat
