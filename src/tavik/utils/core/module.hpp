// Creation and execution of a module that lives once per process: the create
// slot hands out the one module object, the exec slot runs the body once.
#pragma once

#include "core/ref.hpp"

#include <cstdint>
#include <initializer_list>
#include <utility>

namespace tavik {

class ModuleHost {
public:
    using Body = int (*)(PyObject* module);
    constexpr ModuleHost(const char* short_name, const char* full_name, Body body)
        : short_name_(short_name), full_name_(full_name), body_(body) {}

    PyObject* create(PyObject* spec);
    int exec(PyObject* module);

private:
    int run(PyObject* module);

    const char* short_name_;
    const char* full_name_;
    Body body_;
    std::int64_t interpreter_ = -1;
    PyObject* module_ = nullptr;  // the one module object, once executed
};

// Stores the module in sys.modules under `full_name` unless an entry exists.
int register_module(PyObject* module, const char* full_name);

// The statements of a module body, acting on the module's namespace.
// A module-level name at this moment (namespace, then builtins).
Ref module_global(PyObject* module, const Name& name);
// `import name`
int import_as(PyObject* module, const char* name);
// `from source import name as alias, ...`
int import_names(PyObject* module, const char* source,
                 std::initializer_list<std::pair<const char*, const char*>> names);

}  // namespace tavik

// Defines the init function of a module whose body is `body`.
#define TAVIK_MODULE(short_name, full_name, body)                                   \
    namespace {                                                                     \
    tavik::ModuleHost module_host{#short_name, full_name, body};                    \
    PyObject* module_create(PyObject* spec, PyModuleDef*) {                         \
        return module_host.create(spec);                                            \
    }                                                                               \
    int module_exec(PyObject* module) { return module_host.exec(module); }          \
    PyModuleDef_Slot module_slots[] = {                                             \
        {Py_mod_create, reinterpret_cast<void*>(module_create)},                    \
        {Py_mod_exec, reinterpret_cast<void*>(module_exec)},                        \
        {0, nullptr},                                                               \
    };                                                                              \
    PyModuleDef module_def = {PyModuleDef_HEAD_INIT, #short_name, nullptr, 0,       \
                              nullptr, module_slots, nullptr, nullptr, nullptr};    \
    }                                                                               \
    PyMODINIT_FUNC PyInit_##short_name() { return PyModuleDef_Init(&module_def); }
