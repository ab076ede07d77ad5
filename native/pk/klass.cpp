// Class creation through the metaclass, as a class statement performs it.
#include "pk/klass.hpp"

namespace pk {
namespace {

name n_prepare{"__prepare__"}, n_module{"__module__"}, n_qualname{"__qualname__"},
    n_annotations{"__annotations__"}, n_dunder_name{"__name__"};

// The most derived metaclass of `start` and the bases' metaclasses (a conflict is a TypeError).
PyObject* calculate_meta(PyObject* start, PyObject* bases) {
    PyObject* winner = start;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, i)));
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(winner), reinterpret_cast<PyTypeObject*>(t))) continue;
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(t), reinterpret_cast<PyTypeObject*>(winner))) {
            winner = t;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
              "metaclasses of all its bases");
    }
    return winner;
}

}  // namespace

class_builder::class_builder(PyObject* globals, const char* name, const char* qualname, PyObject* bases,
                             PyObject* meta)
    : globals_(globals), name_(str(name)), bases_(ref::borrow(bases)) {
    PyObject* start = meta;
    if (!start) {
        start = PyTuple_GET_SIZE(bases) ? reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, 0)))
                                        : reinterpret_cast<PyObject*>(&PyType_Type);
    }
    meta_ = ref::borrow(PyType_Check(start) ? calculate_meta(start, bases) : start);
    ref prepare = getattr_opt(meta_.get(), n_prepare);
    ns_ = prepare ? call(prepare, name_, bases_) : new_dict();
    PyObject* modname = check(PyDict_GetItemWithError(globals, n_dunder_name));
    setitem(ns_.get(), n_module, modname);
    setitem(ns_.get(), n_qualname, str(qualname).get());
}

class_builder& class_builder::set(const char* name, PyObject* value) {
    setitem(ns_.get(), str(name).get(), value);
    return *this;
}

class_builder& class_builder::annotate(const char* name, const char* text) {
    if (!annotations_) {
        annotations_ = new_dict();
        setitem(ns_.get(), n_annotations, annotations_.get());
    }
    check(PyDict_SetItemString(annotations_.get(), name, str(text).get()));
    return *this;
}

class_builder& class_builder::method(const fn_def& def, PyObject* defaults) {
    return set(def.name, make_function(def, globals_, defaults));
}

class_builder& class_builder::static_method(const fn_def& def) {
    ref fn = make_function(def, globals_);
    // staticmethod(fn), as the decorator makes it: the wrapper takes the function's __doc__,
    // __name__ and the rest, and __wrapped__ (PyStaticMethod_New copies none of them).
    return set(def.name, call(reinterpret_cast<PyObject*>(&PyStaticMethod_Type), fn));
}

class_builder& class_builder::property(const fn_def& getter) {
    ref fn = make_function(getter, globals_);
    return set(getter.name, call(reinterpret_cast<PyObject*>(&PyProperty_Type), fn));
}

ref class_builder::create() { return call(meta_, name_, bases_, ns_); }

}  // namespace pk
