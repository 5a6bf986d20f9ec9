// What the function families of tavik.utils.dicts share.
#pragma once

#include "core/abc.hpp"
#include "core/function.hpp"
#include "core/names.hpp"
#include "core/ref.hpp"

#include <initializer_list>

namespace tavik::dicts {

// The functions, one family per file.
extern const FunctionSpec recursive_update_spec;      // merging.cpp
extern const FunctionSpec recursive_setdefault_spec;  // merging.cpp
extern const FunctionSpec recursive_cast_spec;        // merging.cpp
extern const FunctionSpec set_dict_by_key_path_spec;  // paths.cpp
extern const FunctionSpec create_extended_dict_spec;  // unique.cpp
extern const FunctionSpec generate_unique_key_name_spec;
extern const FunctionSpec enforce_max_key_value_length_spec;  // limits.cpp
extern const FunctionSpec load_dict_from_json_string_spec;    // loaders.cpp
extern const FunctionSpec load_dict_from_kv_string_spec;
extern const FunctionSpec load_dict_from_yaml_spec;
extern const FunctionSpec load_dict_from_list_spec;

// Module-level names, looked up at each use.
extern Name n_Mapping;
extern Name n_MutableSequence;
extern Name n_logger;
extern Name n_sys;

// Taken once while the module initialises.
extern PyObject* builtin_open;
// Out of line: the full lookup and test, which hold a reference.
int is_a_looked_up(Function* self, PyObject* obj, const Name& cls);
// isinstance(obj, <module attribute `cls`>), the name read at this moment.
[[gnu::always_inline]] inline int is_a(Function* self, PyObject* obj, const Name& cls) {
    // A kept answer needs no reference to the class: it runs no code.
    if (PyObject* c = peek(self, cls)) {
        int r = kept_isinstance(obj, c);
        if (r != kNotKept) return r;
    }
    return is_a_looked_up(self, obj, cls);
}

// obj[key] = value
inline int set_item(PyObject* obj, PyObject* key, PyObject* value) {
    return PyDict_CheckExact(obj) ? PyDict_SetItem(obj, key, value) : PyObject_SetItem(obj, key, value);
}

// `logger.debug` of the module attribute `logger`, read before the message is
// composed, as the call expression evaluates.
Ref logger_debug(Function* self);

// `a + b`. Two exact strings concatenate directly; anything else (a str
// subclass from a user __str__) goes through the operator.
inline Ref concat(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return Ref::steal(PyUnicode_Concat(a, b));
    return Ref::steal(PyNumber_Add(a, b));
}

// `a + b + c + ...`, left to right. Exact strings are joined in one
// allocation; otherwise each `+` runs in turn, as the expression does.
Ref concat(std::initializer_list<PyObject*> parts);

}  // namespace tavik::dicts
