#include "core/module.hpp"

#include "core/names.hpp"

namespace tavik {

namespace {

// Copies a spec attribute to the module; a missing attribute is skipped.
int copy_spec(PyObject* spec, PyObject* module, const char* from, const char* to, bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None) return 0;
    return PyObject_SetAttrString(module, to, value.get());
}

}  // namespace

PyObject* ModuleHost::create(PyObject* spec) {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (interpreter_ == -1) {
        interpreter_ = current;
    } else if (interpreter_ != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (module_) return Py_NewRef(module_);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (copy_spec(spec, module.get(), "loader", "__loader__", true) < 0 ||
        copy_spec(spec, module.get(), "origin", "__file__", true) < 0 ||
        copy_spec(spec, module.get(), "parent", "__package__", true) < 0 ||
        copy_spec(spec, module.get(), "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

int ModuleHost::exec(PyObject* module) {
    if (module_) {
        if (module_ == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", short_name_);
        return -1;
    }
    module_ = Py_NewRef(module);
    if (run(module) < 0) {
        // A later import starts afresh with a new module object.
        Py_CLEAR(module_);
        return -1;
    }
    return 0;
}

int ModuleHost::run(PyObject* module) {
    if (intern_names() < 0) return -1;
    if (bind(module, "__builtins__", Ref::steal(PyImport_ImportModule("builtins"))) < 0) return -1;
    int major = static_cast<int>((Py_Version >> 24) & 0xff);
    int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        if (PyErr_WarnFormat(nullptr, 1, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                             PY_MAJOR_VERSION, PY_MINOR_VERSION, full_name_, "does not match", major, minor) < 0) {
            return -1;
        }
    }
    return body_(module);
}

Ref module_global(PyObject* module, const Name& name) {
    return lookup(PyModule_GetDict(module), PyEval_GetBuiltins(), name.get());
}

int import_as(PyObject* module, const char* name) {
    return bind(module, name, import_module(name, PyModule_GetDict(module)));
}

int import_names(PyObject* module, const char* source,
                 std::initializer_list<std::pair<const char*, const char*>> names) {
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromlist) return -1;
    Py_ssize_t i = 0;
    for (const auto& [name, alias] : names) {
        PyObject* s = PyUnicode_FromString(name);
        if (!s) return -1;
        PyTuple_SET_ITEM(fromlist.get(), i++, s);
    }
    Ref from = import_module(source, PyModule_GetDict(module), fromlist.get());
    if (!from) return -1;
    for (const auto& [name, alias] : names) {
        if (bind(module, alias, import_from(from.get(), name)) < 0) return -1;
    }
    return 0;
}

int register_module(PyObject* module, const char* full_name) {
    PyObject* modules = PyImport_GetModuleDict();
    Ref key = Ref::steal(PyUnicode_FromString(full_name));
    if (!key) return -1;
    int has = PyMapping_HasKeyWithError(modules, key.get());
    if (has < 0) return -1;
    return has ? 0 : PyObject_SetItem(modules, key.get(), module);
}

}  // namespace tavik
