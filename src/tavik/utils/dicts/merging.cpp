// recursive_update, recursive_setdefault, recursive_cast.
#include "dicts/dicts.hpp"

namespace tavik::dicts {

namespace {

Name n_recursive_update{"recursive_update"};
Name n_recursive_setdefault{"recursive_setdefault"};
Name n_recursive_cast{"recursive_cast"};
Name n_LIST_EXTEND_PATTERN{"LIST_EXTEND_PATTERN"};
Name n_list_extend{"list_extend"};
Name n_get{"get"};
Name n_setdefault{"setdefault"};
Name n_match{"match"};
Name n_groups{"groups"};
Name n_extend{"extend"};

// `a.get(key, <make_default()>)`: the attribute is read before the default
// is made, as the expression evaluates.
template <class MakeDefault>
Ref get_or(PyObject* a, PyObject* key, MakeDefault make_default) {
    if (PyDict_CheckExact(a)) {
        Ref deflt = make_default();
        if (!deflt) return {};
        PyObject* value;
        if (PyDict_GetItemRef(a, key, &value) < 0) return {};
        return value ? Ref::steal(value) : deflt;
    }
    Ref get = Ref::steal(PyObject_GetAttr(a, n_get.get()));
    if (!get) return {};
    Ref deflt = make_default();
    if (!deflt) return {};
    return call(get.get(), key, deflt.get());
}

Ref new_dict() { return Ref::steal(PyDict_New()); }

// `a.setdefault(key, value)`
Ref setdefault(PyObject* a, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(a)) {
        PyObject* result;
        if (PyDict_SetDefaultRef(a, key, value, &result) < 0) return {};
        return Ref::steal(result);
    }
    return call_method(a, n_setdefault, key, value);
}

// The list-extension marker: a[name] gains v's elements when k names it.
// Returns 1 when handled, 0 when k is no marker, -1 on error.
int extend_marked(Function* self, PyObject* a, PyObject* k, PyObject* v) {
    Ref pattern = lookup(self, n_LIST_EXTEND_PATTERN);
    if (!pattern) return -1;
    Ref match = call_method(pattern.get(), n_match, k);
    if (!match) return -1;
    int matched = PyObject_IsTrue(match.get());
    if (matched <= 0) return matched;
    Ref groups = call_method(match.get(), n_groups);
    if (!groups) return -1;
    Ref key = Ref::steal(PySequence_GetItem(groups.get(), 0));
    Ref empty = key ? Ref::steal(PyList_New(0)) : Ref();
    if (!empty) return -1;
    Ref current = setdefault(a, key.get(), empty.get());
    if (!current) return -1;
    int is_seq = is_a(self, current.get(), n_MutableSequence);
    if (is_seq < 0) return -1;
    if (!is_seq) return set_item(a, key.get(), v) < 0 ? -1 : 1;
    Ref target = Ref::steal(PyObject_GetItem(a, key.get()));
    if (!target) return -1;
    Ref r = call_method(target.get(), n_extend, v);
    return r ? 1 : -1;
}

// One source entry of recursive_update.
int update_entry(Function* self, PyObject* a, PyObject* k, PyObject* v, PyObject* list_extend) {
    int is_map = is_a(self, v, n_Mapping);
    if (is_map < 0) return -1;
    if (is_map) {
        // The default, a.get, then the recursive call by its module-level
        // name, looked up when its step comes.
        // A fresh container of v's own class, made for every such entry.
        Ref current = get_or(a, k, [v] {
            return PyDict_CheckExact(v) ? new_dict()
                                        : Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(Py_TYPE(v))));
        });
        Ref fn = current ? lookup(self, n_recursive_update) : Ref();
        if (!fn) return -1;
        static KwNames kwnames{n_list_extend};
        if (!kwnames.get()) return -1;
        PyObject* args[] = {current.get(), v, list_extend};
        Ref merged = call_function(fn.get(), args, 2, kwnames.get());
        if (!merged) return -1;
        return set_item(a, k, merged.get());
    }
    int is_seq = is_a(self, v, n_MutableSequence);
    if (is_seq < 0) return -1;
    if (is_seq) {
        int extend = PyObject_IsTrue(list_extend);
        if (extend < 0) return -1;
        if (extend && PyUnicode_Check(k)) {
            int handled = extend_marked(self, a, k, v);
            if (handled != 0) return handled < 0 ? -1 : 0;
        }
    }
    return set_item(a, k, v);
}

PyObject* recursive_update(Function* self, PyObject* const* args) {
    PyObject *a = args[0], *b = args[1], *list_extend = args[2];
    int ok = is_a(self, a, n_Mapping);
    if (ok > 0) ok = is_a(self, b, n_Mapping);
    if (ok < 0) return nullptr;
    if (!ok) return Py_NewRef(b);
    Items items;
    if (!items.start(b)) return nullptr;
    Ref k, v;
    int more;
    while ((more = items.next(k, v)) > 0) {
        if (update_entry(self, a, k.get(), v.get(), list_extend) < 0) return nullptr;
    }
    return more < 0 ? nullptr : Py_NewRef(a);
}

PyObject* recursive_setdefault(Function* self, PyObject* const* args) {
    PyObject *a = args[0], *b = args[1];
    Items items;
    if (!items.start(b)) return nullptr;
    Ref k, v;
    int more;
    while ((more = items.next(k, v)) > 0) {
        int nested = is_a(self, v.get(), n_Mapping);
        if (nested > 0) {
            Ref held = get_or(a, k.get(), new_dict);
            nested = held ? is_a(self, held.get(), n_Mapping) : -1;
        }
        if (nested < 0) return nullptr;
        if (nested) {
            // a.get(k, {}) a second time, then the recursive call by name.
            Ref current = get_or(a, k.get(), new_dict);
            Ref fn = current ? lookup(self, n_recursive_setdefault) : Ref();
            if (!fn) return nullptr;
            PyObject* call_args[] = {current.get(), v.get()};
            Ref merged = call_function(fn.get(), call_args, 2);
            if (!merged || set_item(a, k.get(), merged.get()) < 0) return nullptr;
        } else if (!setdefault(a, k.get(), v.get())) {
            return nullptr;
        }
    }
    return more < 0 ? nullptr : Py_NewRef(a);
}

PyObject* recursive_cast(Function* self, PyObject* const* args) {
    PyObject* type_ = args[1];
    Ref d = call(type_, args[0]);
    if (!d) return nullptr;
    Items items;
    if (!items.start(d.get())) return nullptr;
    Ref k, v;
    int more;
    while ((more = items.next(k, v)) > 0) {
        int nested = is_a(self, v.get(), n_Mapping);
        if (nested < 0) return nullptr;
        if (!nested) continue;
        // d.get(k, {}), then the recursive call by name.
        Ref current = get_or(d.get(), k.get(), new_dict);
        Ref fn = current ? lookup(self, n_recursive_cast) : Ref();
        if (!fn) return nullptr;
        PyObject* call_args[] = {current.get(), type_};
        Ref cast = call_function(fn.get(), call_args, 2);
        if (!cast || set_item(d.get(), k.get(), cast.get()) < 0) return nullptr;
    }
    return more < 0 ? nullptr : d.release();
}

}  // namespace

const FunctionSpec recursive_update_spec = {
    "recursive_update",
    nullptr,
    "recursive_update\n\n    Recursively updates on nested dictionary a with dictionary b.\n    ",
    {{"a"}, {"b"}, {"list_extend", ParamKind::KeywordOnly}},
    recursive_update,
};

const FunctionSpec recursive_setdefault_spec = {
    "recursive_setdefault",
    nullptr,
    "recursive_setdefault\n\n    Recursively calls setdefault on nested dictionary a with dictionary b.\n    ",
    {{"a"}, {"b"}},
    recursive_setdefault,
};

const FunctionSpec recursive_cast_spec = {
    "recursive_cast",
    nullptr,
    "recursive_cast\n\n    Recursively cast a nested dictionary to the provided class type\n    ",
    {{"d"}, {"type_"}},
    recursive_cast,
};

}  // namespace tavik::dicts
