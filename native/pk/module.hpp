// Module entry shared by the extension modules: multi-phase initialisation that refuses a second
// interpreter and a second initialisation, and warns on a Python version mismatch.
#pragma once
#include "pk/call.hpp"

// The Python version the module is built for; a build may override it to exercise the check.
#ifndef PK_COMPILED_PY_VERSION_HEX
#define PK_COMPILED_PY_VERSION_HEX PY_VERSION_HEX
#endif

namespace pk {

struct module_entry {
    const char* short_name;            // "modal": used in the re-initialisation message
    void (*body)(PyObject* module);    // runs the module body: imports, classes, functions
    // PK_COMPILED_PY_VERSION_HEX as the module's own translation unit saw it: the runtime is a
    // static library built once, so a per-module override must travel in here, not in module.cpp.
    unsigned long compiled_version;
    PyObject* module = nullptr;        // the initialised module (one per process)
    int64_t interpreter = -1;          // the interpreter that first loaded it
};

PyObject* module_create(module_entry& e, PyObject* spec) noexcept;
int module_exec(module_entry& e, PyObject* module) noexcept;

// The module dict of `module`: the globals of its functions.
inline PyObject* globals_of(PyObject* module) { return PyModule_GetDict(module); }

// Binds `value` under `name` in the module namespace.
inline void bind(PyObject* module, const char* name, PyObject* value) {
    check(PyDict_SetItemString(PyModule_GetDict(module), name, value));
}

// Looks `key` up in `globals` at call time: absent is NameError, as for a Python global.
ref global(PyObject* globals, const name& key);

}  // namespace pk

// The modules call into the interpreter without a lock of their own: where the headers know of
// free-threaded builds (3.13), they say that the GIL must stay enabled while they are loaded.
#ifdef Py_mod_gil
#define PK_MOD_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define PK_MOD_GIL_SLOT
#endif

// Defines PyInit_<name> and the module definition with the create and exec slots.
#define PK_MODULE(NAME, SHORT, BODY)                                                                       \
    static pk::module_entry pk_entry_##NAME{SHORT, BODY, PK_COMPILED_PY_VERSION_HEX};                      \
    static PyObject* pk_create_##NAME(PyObject* spec, PyModuleDef*) {                                      \
        return pk::module_create(pk_entry_##NAME, spec);                                                   \
    }                                                                                                      \
    static int pk_exec_##NAME(PyObject* m) { return pk::module_exec(pk_entry_##NAME, m); }                  \
    static PyModuleDef_Slot pk_slots_##NAME[] = {                                                           \
        {Py_mod_create, reinterpret_cast<void*>(pk_create_##NAME)},                                        \
        {Py_mod_exec, reinterpret_cast<void*>(pk_exec_##NAME)},                                            \
        PK_MOD_GIL_SLOT                                                                                    \
        {0, nullptr}};                                                                                     \
    static PyModuleDef pk_def_##NAME = {PyModuleDef_HEAD_INIT, "parleykit." SHORT, nullptr, 0, nullptr,    \
                                        pk_slots_##NAME, nullptr, nullptr, nullptr};                       \
    extern "C" PyMODINIT_FUNC PyInit_##NAME() { return PyModuleDef_Init(&pk_def_##NAME); }

namespace pk {
// `import name` in the module body: binds the top-level module under its own name.
void import_module(PyObject* module, const char* name);
// `from source import a, b, ...` in the module body.
void import_from_into(PyObject* module, const char* source, std::initializer_list<const char*> names);
}  // namespace pk
