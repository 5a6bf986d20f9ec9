// set_dict_by_key_path
#include "dicts/dicts.hpp"

#include <algorithm>

namespace tavik::dicts {

namespace {

Name n_setdefault{"setdefault"};
Name n_get{"get"};
Name n_append{"append"};
Name n_format{"format"};

// keys[-1], evaluated afresh at each use.
Ref last_key(PyObject* keys) {
    if ((PyList_CheckExact(keys) || PyTuple_CheckExact(keys)) && PySequence_Fast_GET_SIZE(keys) > 0) {
        return Ref::borrow(PySequence_Fast_ITEMS(keys)[PySequence_Fast_GET_SIZE(keys) - 1]);
    }
    Ref index = Ref::steal(PyLong_FromLong(-1));
    return index ? Ref::steal(PyObject_GetItem(keys, index.get())) : Ref();
}

// One step of the walk: level = level.setdefault(k, {}).
bool step(Ref& level, PyObject* k) {
    Ref fresh = Ref::steal(PyDict_New());
    if (!fresh) return false;
    if (PyDict_CheckExact(level.get())) {
        PyObject* next;
        if (PyDict_SetDefaultRef(level.get(), k, fresh.get(), &next) < 0) return false;
        level = Ref::steal(next);
        return true;
    }
    level = call_method(level.get(), n_setdefault, k, fresh.get());
    return static_cast<bool>(level);
}

// The level that holds the last key, made where missing.
Ref walk(PyObject* d, PyObject* keys) {
    Ref level = Ref::borrow(d);
    auto each = [&](PyObject* k) { return step(level, k) ? 0 : -1; };
    // keys[:-1] of a tuple is its first items: nothing can change them.
    if (PyTuple_CheckExact(keys)) {
        Ref held = Ref::borrow(keys);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keys) - 1; ++i) {
            if (each(PyTuple_GET_ITEM(keys, i)) < 0) return {};
        }
        return level;
    }
    // Any other path is sliced, and the slice walked as `for k in` walks it:
    // user code run by a step may reach that list and change it.
    Ref path = PyList_CheckExact(keys)
                   ? Ref::steal(PyList_GetSlice(keys, 0, std::max<Py_ssize_t>(PyList_GET_SIZE(keys) - 1, 0)))
                   : slice_to(keys, -1);
    if (!path || for_each(path.get(), each) < 0) return {};
    return level;
}

int store(PyObject* level, PyObject* keys, PyObject* value) {
    Ref key = last_key(keys);
    return key ? PyObject_SetItem(level, key.get(), value) : -1;
}

// existing = level.get(keys[-1], None), then append or refuse.
int append(PyObject* level, PyObject* keys, PyObject* val) {
    Ref get = Ref::steal(PyObject_GetAttr(level, n_get.get()));
    Ref key = get ? last_key(keys) : Ref();
    Ref existing = key ? call(get.get(), key.get(), Py_None) : Ref();
    if (!existing) return -1;
    if (existing.get() == Py_None) {
        Ref fresh = Ref::steal(PyList_New(1));
        if (!fresh) return -1;
        PyList_SET_ITEM(fresh.get(), 0, Py_NewRef(val));
        return store(level, keys, fresh.get());
    }
    if (PyList_CheckExact(existing.get())) return PyList_Append(existing.get(), val);
    if (PyList_Check(existing.get())) return call_method(existing.get(), n_append, val) ? 0 : -1;
    Ref text = Ref::steal(PyUnicode_FromString("expected list for element given by key {}. Got {}"));
    Ref message = text ? call_method(text.get(), n_format, keys, reinterpret_cast<PyObject*>(Py_TYPE(existing.get())))
                       : Ref();
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return -1;
}

PyObject* set_dict_by_key_path(Function*, PyObject* const* args) {
    PyObject *d = args[0], *keys = args[1], *val = args[2], *append_list = args[3];
    int any = PyObject_IsTrue(keys);
    if (any < 0) return nullptr;
    if (!any) Py_RETURN_NONE;
    Ref level = walk(d, keys);
    if (!level) return nullptr;
    int mode = PyObject_IsTrue(append_list);
    if (mode < 0) return nullptr;
    int status = mode ? append(level.get(), keys, val) : store(level.get(), keys, val);
    return status < 0 ? nullptr : Py_NewRef(val);
}

}  // namespace

const FunctionSpec set_dict_by_key_path_spec = {
    "set_dict_by_key_path",
    nullptr,
    "set_dict_by_key_path\n\n"
    "    Utility function which sets an element in a nested dictionary by indexing\n"
    "    the nested dictionary with a list of keys, creating any keys which don't\n"
    "    exist\n\n"
    "    Example\n"
    "    -------\n"
    "        >>> d = {}\n"
    "        >>> set_dict_by_key_path(d, ['a', 'b', 'c'], 1)\n"
    "        >>> d\n"
    "        {'a': {'b': {'c': 1}}}\n"
    "        >>> set_dict_by_key_path(d, ['a', 'b', 'd'], 0)\n"
    "        {'a': {'b': {'c': 1, 'd': 0}}}\n"
    "        >>> \n\n"
    "    Arguments\n"
    "    ---------\n"
    "        d (dictionary): a dictionary\n"
    "        keys (list of strings): a list of keys\n"
    "        val (any): value to set\n"
    "        append_list (bool, optional): if element specified by a key is a list,\n"
    "            append the value to it. If the element specified by the key doesnt\n"
    "            exist, insert an empty list and append the value to it. If the\n"
    "            existing element is not a list than raise a ValueError\n\n"
    "    Returns\n"
    "    -------\n"
    "        the value which was set, or None if no value was set\n"
    "    ",
    {{"d"}, {"keys"}, {"val"}, {"append_list", ParamKind::KeywordOnly}},
    set_dict_by_key_path,
};

}  // namespace tavik::dicts
