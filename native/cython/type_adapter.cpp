// get_cached_typeadapter: a pydantic TypeAdapter for a function's parameters, built from
// inspect.signature and typing.get_type_hints alone (so native functions work), behind lru_cache.
#include "cython/parts.hpp"

namespace pkcy {
namespace {

PyObject* globals = nullptr;  // the module dict: every name below is looked up there per call

pk::name n_TypeAdapter{"TypeAdapter"}, n_ConfigDict{"ConfigDict"}, n_inspect{"inspect"}, n_signature{"signature"},
    n_parameters{"parameters"}, n_values{"values"}, n_kind{"kind"}, n_Parameter{"Parameter"},
    n_VAR_KEYWORD{"VAR_KEYWORD"}, n_empty{"empty"}, n_name{"name"}, n_default{"default"},
    n_get_type_hints{"get_type_hints"}, n_include_extras{"include_extras"}, n_annotations{"__annotations__"},
    n_dunder_name{"__name__"}, n_get_origin{"get_origin"}, n_get_args{"get_args"}, n_Annotated{"Annotated"},
    n_Field{"Field"}, n_description{"description"}, n_create_model{"create_model"}, n_config_kw{"__config__"},
    n_arbitrary_types_allowed{"arbitrary_types_allowed"}, n_extra{"extra"}, n_config{"config"}, n_items{"items"},
    n_return{"return"}, n_allow{"allow"}, n_ignore{"ignore"}, n_lru_cache{"lru_cache"}, n_maxsize{"maxsize"},
    n_Params{"Params"}, n_AnonymousFn{"AnonymousFn"};

// Runs `body`; an error derived from Exception is discarded (false), anything else propagates.
template <class F>
bool absorb_exception(F&& body) {
    try {
        body();
        return true;
    } catch (pk::python_error&) {
        if (!pk::error_is_exception()) throw;
        PyErr_Clear();
        return false;
    }
}

// f"{getattr(fn, '__name__', 'AnonymousFn')}Params"
pk::ref model_name(PyObject* fn) {
    pk::ref name = pk::getattr_opt(fn, n_dunder_name);
    pk::ref text = pk::fstring_field(name ? name.get() : n_AnonymousFn.get());
    return pk::ref::steal(PyUnicode_Concat(text.get(), n_Params));
}

// ConfigDict(arbitrary_types_allowed=True[, extra=extra])
pk::ref config_dict(PyObject* extra) {
    pk::ref cd = pk::global(globals, n_ConfigDict);
    if (!extra) return pk::call(cd, pk::kw(n_arbitrary_types_allowed, Py_True));
    return pk::call(cd, pk::kw(n_arbitrary_types_allowed, Py_True), pk::kw(n_extra, extra));
}

bool is_var_keyword(PyObject* param) {
    pk::ref inspect = pk::global(globals, n_inspect);
    pk::ref parameter = pk::getattr(inspect.get(), n_Parameter);
    pk::ref var_keyword = pk::getattr(parameter.get(), n_VAR_KEYWORD);
    pk::ref kind = pk::getattr(param, n_kind);
    return pk::truthy(pk::ref::steal(PyObject_RichCompare(kind.get(), var_keyword.get(), Py_EQ)).get());
}

// for k, v in iterable_of_pairs: (k, v) unpacked as a for statement does.
template <class F>
void for_pairs(PyObject* iterable, F&& each) {
    pk::ref it = pk::ref::steal(PyObject_GetIter(iterable));
    while (pk::ref pair = pk::ref::steal_or_null(PyIter_Next(it.get()))) {
        pk::ref seq = pk::ref::steal(PySequence_Fast(pair.get(), "cannot unpack non-iterable object"));
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        if (n != 2)
            pk::raise(PyExc_ValueError, n < 2 ? "not enough values to unpack (expected 2, got %zd)"
                                              : "too many values to unpack (expected 2)", n);
        // Held strongly: `each` runs Python code, which may change a list pair under it.
        pk::ref key = pk::ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), 0));
        pk::ref value = pk::ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), 1));
        each(key.get(), value.get());
    }
    if (PyErr_Occurred()) throw pk::python_error{};
}

// The signature's defaults by parameter name (parameters without one are absent), so that a
// parameter the caller may leave out stays optional in the model.
pk::ref signature_defaults(PyObject* params) {
    pk::ref defaults = pk::new_dict();
    if (PyList_GET_SIZE(params) == 0) return defaults;
    pk::ref inspect = pk::global(globals, n_inspect);
    pk::ref parameter = pk::getattr(inspect.get(), n_Parameter);
    pk::ref empty = pk::getattr(parameter.get(), n_empty);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(params); ++i) {
        pk::ref p = pk::ref::borrow(PyList_GET_ITEM(params, i));
        pk::ref value = pk::getattr(p.get(), n_default);
        if (value.get() == empty.get()) continue;
        pk::setitem(defaults.get(), pk::getattr(p.get(), n_name).get(), value.get());
    }
    return defaults;
}

// create_model(name, __config__=config, **fields), with the interpreter's error when a field is
// itself named "__config__".
pk::ref create_model(PyObject* name, PyObject* config, PyObject* fields) {
    pk::ref cm = pk::global(globals, n_create_model);
    pk::ref kwargs = pk::new_dict();
    pk::check(PyDict_SetItem(kwargs.get(), n_config_kw, config));
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(fields, &pos, &key, &value)) {
        if (pk::check(PyDict_Contains(kwargs.get(), key))) {
            pk::ref fs = pk::ref::steal(pk::compat::function_str(cm.get()));
            pk::raise(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", fs.get(), key);
        }
        pk::check(PyDict_SetItem(kwargs.get(), key, value));
    }
    pk::ref args = pk::tuple({name});
    return pk::ref::steal(PyObject_Call(cm.get(), args.get(), kwargs.get()));
}

// def get_cached_typeadapter(fn: Any) -> TypeAdapter
pk::ref get_cached_typeadapter(PyObject* const* a) {
    PyObject* fn = a[0];
    pk::ref type_adapter = pk::global(globals, n_TypeAdapter);
    if (!PyCallable_Check(fn)) {
        pk::ref config = config_dict(nullptr);
        return pk::call(type_adapter, fn, pk::kw(n_config, config));
    }

    pk::ref params;
    if (!absorb_exception([&] {
            pk::ref inspect = pk::global(globals, n_inspect);
            pk::ref sig = pk::call(pk::getattr(inspect.get(), n_signature), fn);
            pk::ref values = pk::call_method(pk::getattr(sig.get(), n_parameters).get(), n_values);
            params = pk::ref::steal(PySequence_List(values.get()));
        }))
        params = pk::new_list();

    // A lone **kwargs accepts anything: no fields, every key kept.
    if (PyList_GET_SIZE(params.get()) == 1 && is_var_keyword(pk::ref::borrow(PyList_GET_ITEM(params.get(), 0)).get())) {
        pk::ref name = model_name(fn);
        pk::ref config = config_dict(n_allow);
        pk::ref no_fields = pk::new_dict();
        pk::ref param_model = create_model(name.get(), config.get(), no_fields.get());
        return pk::call(type_adapter, param_model);
    }

    pk::ref hints;
    if (!absorb_exception([&] {
            hints = pk::call(pk::global(globals, n_get_type_hints), fn, pk::kw(n_include_extras, Py_True));
        })) {
        pk::ref raw = pk::getattr_opt(fn, n_annotations);  // getattr(fn, "__annotations__", {})
        if (!raw) raw = pk::new_dict();
        // Raw annotations may be texts; they are used as they are.
        hints = pk::truthy(raw.get()) ? raw : pk::new_dict();
    }

    pk::ref without_return = pk::new_dict();
    for_pairs(pk::call_method(hints.get(), n_items).get(), [&](PyObject* k, PyObject* v) {
        if (pk::truthy(pk::ref::steal(PyObject_RichCompare(k, n_return, Py_NE)).get()))
            pk::check(PyDict_SetItem(without_return.get(), k, v));
    });

    pk::ref defaults = signature_defaults(params.get());
    pk::ref processed_fields = pk::new_dict();
    pk::ref items = pk::ref::steal(PyDict_Items(without_return.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        // The pair keeps name and annotation alive (a tuple of a list only this call holds); the
        // default is held strongly across the Python code below.
        pk::ref pair = pk::ref::borrow(PyList_GET_ITEM(items.get(), i));
        PyObject* name = PyTuple_GET_ITEM(pair.get(), 0);
        PyObject* annotation = PyTuple_GET_ITEM(pair.get(), 1);
        pk::ref default_ref = pk::ref::borrow(PyDict_GetItemWithError(defaults.get(), name));  // null: required
        if (!default_ref && PyErr_Occurred()) throw pk::python_error{};
        PyObject* default_value = default_ref.get();
        pk::ref origin = pk::call(pk::global(globals, n_get_origin), annotation);
        pk::ref annotated = pk::global(globals, n_Annotated);
        pk::ref args;
        bool described = false;
        if (origin.get() == annotated.get()) {
            args = pk::call(pk::global(globals, n_get_args), annotation);
            described = PyObject_Length(args.get()) == 2;
            if (PyErr_Occurred()) throw pk::python_error{};
            if (described) {
                pk::ref metadata = pk::getitem(args.get(), pk::integer(1).get());
                described = PyUnicode_Check(metadata.get());
            }
        }
        pk::ref pair_value;
        if (described) {
            pk::ref base_type = pk::getitem(args.get(), pk::integer(0).get());
            pk::ref description = pk::getitem(args.get(), pk::integer(1).get());
            pk::ref field_fn = pk::global(globals, n_Field);
            pk::ref field = default_value
                                ? pk::call(field_fn, pk::kw(n_default, default_value), pk::kw(n_description, description))
                                : pk::call(field_fn, pk::kw(n_description, description));
            pair_value = pk::tuple({base_type.get(), field.get()});
        } else {
            pair_value = pk::tuple({annotation, default_value ? default_value : Py_Ellipsis});
        }
        pk::check(PyDict_SetItem(processed_fields.get(), name, pair_value.get()));
    }

    bool has_var_kwargs = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(params.get()) && !has_var_kwargs; ++i)
        has_var_kwargs = is_var_keyword(pk::ref::borrow(PyList_GET_ITEM(params.get(), i)).get());

    pk::ref name = model_name(fn);
    pk::ref config = config_dict(has_var_kwargs ? n_allow : n_ignore);
    pk::ref param_model = create_model(name.get(), config.get(), processed_fields.get());
    return pk::call(type_adapter, param_model);
}

const pk::fn_def get_cached_typeadapter_def{
    .name = "get_cached_typeadapter", .qualname = "get_cached_typeadapter", .impl = get_cached_typeadapter,
    .params = {{"fn", "Any"}}, .returns = "TypeAdapter",
    .doc = "Get a cached TypeAdapter for a function, compatible with Python and Cython.",
};

}  // namespace

void define_type_adapter(PyObject* m) {
    globals = pk::globals_of(m);
    pk::ref fn = pk::make_function(get_cached_typeadapter_def, globals);
    pk::ref maxsize = pk::integer(5000);
    pk::ref decorator = pk::call(pk::global(globals, n_lru_cache), pk::kw(n_maxsize, maxsize));
    pk::bind(m, "get_cached_typeadapter", pk::call(decorator, fn).get());
}

}  // namespace pkcy
