// Object helpers that read like Python: interned names, attribute access, vectorcall with keywords.
#pragma once
#include "pk/error.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>
#include <type_traits>

namespace pk {

// An interned Python string made on first use and kept for the life of the process.
// Declare them `static` at namespace scope: `static pk::name n_role{"role"};`.
class name {
public:
    constexpr explicit name(const char* text) : text_(text) {}
    PyObject* get() const {
        if (!obj_) obj_ = check(PyUnicode_InternFromString(text_));
        return obj_;
    }
    operator PyObject*() const { return get(); }
    const char* text() const { return text_; }

private:
    const char* text_;
    mutable PyObject* obj_ = nullptr;
};

inline PyObject* raw(PyObject* p) { return p; }
inline PyObject* raw(const ref& r) { return r.get(); }
inline PyObject* raw(const name& n) { return n.get(); }

// One keyword argument of a call: pk::kw(n_role, value).
struct kw {
    const name& key;
    PyObject* value;
    kw(const name& k, PyObject* v) : key(k), value(v) {}
    kw(const name& k, const ref& v) : key(k), value(v.get()) {}
};

namespace detail {
template <class T>
constexpr bool is_kw = std::is_same_v<std::remove_cvref_t<T>, kw>;

template <std::size_t N>
struct kwnames_cache {
    std::array<const name*, N> keys{};
    PyObject* tuple = nullptr;
};
}  // namespace detail

// callable(*positional, **keywords) through vectorcall; keywords must follow positionals.
template <class... A>
ref call(PyObject* callable, A&&... args) {
    constexpr std::size_t nkw = (0 + ... + (detail::is_kw<A> ? 1 : 0));
    constexpr std::size_t n = sizeof...(A);
    // Slot 0 is scratch space so callees may use PY_VECTORCALL_ARGUMENTS_OFFSET.
    std::array<PyObject*, n + 1> stack{};
    std::size_t i = 1;
    std::array<const name*, nkw> keys{};
    std::size_t k = 0;
    auto put = [&](auto&& a) {
        if constexpr (detail::is_kw<decltype(a)>) {
            stack[i++] = a.value;
            keys[k++] = &a.key;
        } else {
            stack[i++] = raw(a);
        }
    };
    (put(std::forward<A>(args)), ...);
    (void)put;
    ref kwnames;
    if constexpr (nkw > 0) {
        // The names of a call site rarely change: its kwnames tuple is kept and reused while the
        // same (static, interned) names come back.
        static detail::kwnames_cache<nkw> cache;
        if (!cache.tuple || cache.keys != keys) {
            ref fresh = ref::steal(PyTuple_New(nkw));
            for (std::size_t j = 0; j < nkw; ++j) PyTuple_SET_ITEM(fresh.get(), j, Py_NewRef(keys[j]->get()));
            Py_XSETREF(cache.tuple, fresh.release());
            cache.keys = keys;
        }
        kwnames = ref::borrow(cache.tuple);  // held for the call, whatever re-entrant calls do
    }
    return ref::steal(PyObject_Vectorcall(callable, stack.data() + 1, (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          kwnames.get()));
}
template <class... A>
ref call(const ref& callable, A&&... args) {
    return call(callable.get(), std::forward<A>(args)...);
}

// obj.method(*positional) through the method-call fast path (no bound method is made).
template <class... A>
ref call_method(PyObject* obj, const name& method, A&&... args) {
    constexpr std::size_t n = sizeof...(A);
    std::array<PyObject*, n + 1> stack{obj, raw(args)...};
    return ref::steal(PyObject_VectorcallMethod(method.get(), stack.data(), (n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
}

inline ref getattr(PyObject* o, PyObject* attr) { return ref::steal(PyObject_GetAttr(o, attr)); }
// Attribute lookup that reports absence (AttributeError) as null instead of raising.
inline ref getattr_opt(PyObject* o, PyObject* attr) {
    PyObject* out = nullptr;
    check(compat::get_optional_attr(o, attr, &out));
    return ref::steal_or_null(out);
}
inline void setattr(PyObject* o, PyObject* attr, PyObject* v) { check(PyObject_SetAttr(o, attr, v)); }
inline ref getitem(PyObject* o, PyObject* key) { return ref::steal(PyObject_GetItem(o, key)); }
inline void setitem(PyObject* o, PyObject* key, PyObject* v) { check(PyObject_SetItem(o, key, v)); }
inline bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }
inline bool isinstance(PyObject* o, PyObject* cls) { return check(PyObject_IsInstance(o, cls)) != 0; }
inline ref str(const char* s) { return ref::steal(PyUnicode_FromString(s)); }
inline ref str_of(PyObject* o) { return ref::steal(PyObject_Str(o)); }
inline ref integer(long v) { return ref::steal(PyLong_FromLong(v)); }
inline ref new_dict() { return ref::steal(PyDict_New()); }
inline ref new_list(Py_ssize_t n = 0) { return ref::steal(PyList_New(n)); }

// A tuple of the given objects (each borrowed; the tuple takes its own references).
inline ref tuple(std::initializer_list<PyObject*> items) {
    ref t = ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* o : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
    return t;
}

// Format a value as an f-string replacement field does: str unchanged, else format(v, "").
inline ref fstring_field(PyObject* v) {
    if (PyUnicode_CheckExact(v)) return ref::borrow(v);
    return ref::steal(PyObject_Format(v, nullptr));
}

// Imports `module` (absolute) and returns it.
inline ref import(const char* module) { return ref::steal(PyImport_ImportModule(module)); }
// The import statement's own call: builtins.__import__(name, globals, None, fromlist, 0), with
// __import__ looked up when it runs (a replaced one is honoured). The interpreter's own __import__
// answers from sys.modules at once for a module already imported.
ref import_name(PyObject* name, PyObject* globals, PyObject* fromlist);
// `from module import attr`: an absent attribute is an ImportError, as for the statement.
ref import_from(PyObject* module, PyObject* attr);

// The built-in print(text, flush=True).
void print_flush(PyObject* text);

}  // namespace pk

namespace pk {
// callable(**mapping) or callable(key=value, ..., **mapping), with the interpreter's errors for a
// non-mapping and for a keyword given twice.
ref call_kwargs(PyObject* callable, PyObject* mapping, std::initializer_list<kw> first = {});
}  // namespace pk
