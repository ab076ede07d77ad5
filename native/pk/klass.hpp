// Class creation the way a class statement does it: metaclass from the bases, __prepare__, the
// namespace filled in source order, then metaclass(name, bases, namespace).
#pragma once
#include "pk/function.hpp"

namespace pk {

class class_builder {
public:
    // `globals` is the module dict (its "__name__" becomes __module__); `meta` may be null, in
    // which case the metaclass is derived from `bases` as the interpreter does.
    class_builder(PyObject* globals, const char* name, const char* qualname, PyObject* bases,
                  PyObject* meta = nullptr);

    // ns[name] = value (through the namespace's own __setitem__, which enum relies on).
    class_builder& set(const char* name, PyObject* value);
    class_builder& set(const char* name, const ref& value) { return set(name, value.get()); }
    // An annotation text, kept in the namespace's __annotations__ in declaration order.
    class_builder& annotate(const char* name, const char* text);
    // A native method (a function object with this module's globals).
    class_builder& method(const fn_def& def, PyObject* defaults = nullptr);
    class_builder& static_method(const fn_def& def);
    class_builder& property(const fn_def& getter);

    PyObject* globals() const { return globals_; }
    PyObject* ns() const { return ns_.get(); }
    ref create();

private:
    PyObject* globals_;
    ref name_, bases_, meta_, ns_, annotations_;
};

}  // namespace pk
