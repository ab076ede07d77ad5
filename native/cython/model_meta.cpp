// CythonModelMeta and CythonBaseModel: pydantic models whose callable class attributes (native
// methods included) are kept out of the fields through the "ignored_types" configuration.
#include "cython/parts.hpp"

namespace pkcy {
namespace {

pk::name n_get{"get"}, n_items{"items"}, n_update{"update"}, n_startswith{"startswith"}, n_model_config{"model_config"},
    n_ignored_types{"ignored_types"}, n_dunder{"__"}, n_new{"__new__"};

PyObject* meta_class = nullptr;  // CythonModelMeta, for the zero-argument super() of __new__

bool is_builtin_wrapper(PyObject* attr) {
    return PyObject_TypeCheck(attr, &PyProperty_Type) || PyObject_TypeCheck(attr, &PyClassMethod_Type) ||
           PyObject_TypeCheck(attr, &PyStaticMethod_Type);
}

// def __new__(cls, name, bases, namespace) -> "type(BaseModel)"
pk::ref meta_new(PyObject* const* a) {
    PyObject *cls = a[0], *name = a[1], *bases = a[2], *namespace_ = a[3];
    pk::ref empty = pk::new_dict();
    pk::ref model_config = pk::call_method(namespace_, n_get, n_model_config, empty);
    pk::ref no_types = pk::tuple({});
    pk::ref configured = pk::call_method(model_config.get(), n_get, n_ignored_types, no_types);
    pk::ref ignored = pk::ref::steal(PySet_New(configured.get()));
    pk::ref items = pk::call_method(namespace_, n_items);
    pk::ref it = pk::ref::steal(PyObject_GetIter(items.get()));
    while (pk::ref pair = pk::ref::steal_or_null(PyIter_Next(it.get()))) {
        pk::ref attr_name = pk::getitem(pair.get(), pk::integer(0).get());
        pk::ref attr = pk::getitem(pair.get(), pk::integer(1).get());
        if (!PyCallable_Check(attr.get()) || is_builtin_wrapper(attr.get())) continue;
        if (pk::truthy(pk::call_method(attr_name.get(), n_startswith, n_dunder).get())) continue;
        pk::check(PySet_Add(ignored.get(), reinterpret_cast<PyObject*>(Py_TYPE(attr.get()))));
    }
    if (PyErr_Occurred()) throw pk::python_error{};
    pk::ref update = pk::new_dict();
    pk::check(PyDict_SetItem(update.get(), n_ignored_types, pk::ref::steal(PySequence_Tuple(ignored.get())).get()));
    pk::call_method(model_config.get(), n_update, update);
    pk::ref ns_update = pk::new_dict();
    pk::check(PyDict_SetItem(ns_update.get(), n_model_config, model_config.get()));
    pk::call_method(namespace_, n_update, ns_update);
    // super().__new__(cls, name, bases, namespace)
    pk::ref sup = pk::call(reinterpret_cast<PyObject*>(&PySuper_Type), meta_class, cls);
    pk::ref next_new = pk::getattr(sup.get(), n_new);
    return pk::call(next_new, cls, name, bases, namespace_);
}

const pk::fn_def meta_new_def{
    .name = "__new__", .qualname = "CythonModelMeta.__new__", .impl = meta_new,
    .params = {{"cls"}, {"name"}, {"bases"}, {"namespace"}}, .returns = "type(BaseModel)",
    .doc = "Create a model class whose callable class attributes are not taken for fields.",
};

pk::name n_BaseModel{"BaseModel"};

}  // namespace

void define_model_base(PyObject* m) {
    PyObject* globals = pk::globals_of(m);
    pk::ref base_model = pk::global(globals, n_BaseModel);
    pk::ref model_meta = pk::ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base_model.get())));

    pk::ref meta_bases = pk::tuple({model_meta.get()});
    pk::class_builder meta(globals, "CythonModelMeta", "CythonModelMeta", meta_bases.get());
    meta.set("__doc__", pk::str("Metaclass of CythonBaseModel: keeps callable class attributes, native methods\n"
                                "included, out of the model's fields."));
    meta.static_method(meta_new_def);
    pk::ref meta_cls = meta.create();
    meta_class = meta_cls.new_ref();  // kept for the life of the process, like the module
    pk::bind(m, "CythonModelMeta", meta_cls.get());

    pk::ref bases = pk::tuple({base_model.get()});
    pk::class_builder base(globals, "CythonBaseModel", "CythonBaseModel", bases.get(), meta_cls.get());
    base.set("__doc__", pk::str("A pydantic model whose methods may be native functions: they are not taken for fields."));
    pk::bind(m, "CythonBaseModel", base.create().get());
}

}  // namespace pkcy
