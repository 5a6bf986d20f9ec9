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
int is_a_looked_up(Function* self, PyObject* obj, const Name& cls, bool& fresh);
// isinstance(obj, <module attribute `cls`>), the name read at this moment;
// `fresh` as for isinstance().
[[gnu::always_inline]] inline int is_a(Function* self, PyObject* obj, const Name& cls, bool& fresh) {
    // A kept answer needs no reference to the class: no code runs meanwhile.
    if (PyObject* c = peek(self, cls)) {
        int r = kept_isinstance(obj, c, &fresh);
        if (r != kNotKept) return r;
    }
    return is_a_looked_up(self, obj, cls, fresh);
}
inline int is_a(Function* self, PyObject* obj, const Name& cls) {
    bool fresh = false;
    return is_a(self, obj, cls, fresh);
}

// The tests of one value in a row, `isinstance(v, Mapping)`, then
// `isinstance(v, MutableSequence)`, with nothing but the lookups of those
// names run in between: the ABC registry token is then read once. A loop may
// carry `fresh` (see isinstance()) across its entries, clearing it whenever a
// step between two tests may run Python code.
class Kinds {
public:
    Kinds(Function* self, PyObject* obj) : Kinds(self, obj, own_) {}
    Kinds(Function* self, PyObject* obj, bool& fresh) : self_(self), obj_(obj), fresh_(&fresh) {}
    Kinds(const Kinds&) = delete;
    [[gnu::always_inline]] int is_a(const Name& cls) { return dicts::is_a(self_, obj_, cls, *fresh_); }

private:
    Function* self_;
    PyObject* obj_;
    bool own_ = false;
    bool* fresh_;
};

// obj[key] = value
inline int set_item(PyObject* obj, PyObject* key, PyObject* value) {
    return PyDict_CheckExact(obj) ? PyDict_SetItem(obj, key, value) : PyObject_SetItem(obj, key, value);
}

// Whether `a[k] = v` or `a.setdefault(k, v)` runs no Python code but for
// the release of a value it replaces: `a` an exact dict that no watcher is
// told of, `k` an exact str, and every key of `a` an exact str, so that no
// comparison reaches user code. The keys are walked once per call and the
// finding kept in `keys` (-1: not walked; 1: all exact str; 0: not known,
// set whenever code may have run since). A walk is skipped when `a` dwarfs
// the `stores` to come.
bool walk_keys(PyObject* a, Py_ssize_t stores, int& keys);
inline bool quiet_store(PyObject* a, PyObject* k, Py_ssize_t stores, int& keys) {
    if (keys > 0 && PyUnicode_CheckExact(k) && !(reinterpret_cast<PyDictObject*>(a)->_ma_watcher_tag & 0xFF)) {
        return true;  // `a` was walked, and is the same exact dict
    }
    return PyUnicode_CheckExact(k) && walk_keys(a, stores, keys);
}

// a[k] = v, keeping `fresh` (see Kinds) when quiet_store() holds and no
// value was replaced.
int store(PyObject* a, PyObject* k, PyObject* v, Py_ssize_t stores, bool& fresh, int& keys);

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
