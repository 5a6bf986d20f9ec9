// The answers of isinstance(x, Mapping / MutableSequence) for built-in types.
#include "dicts/dicts.hpp"

#include <array>

namespace tavik::dicts {

namespace {

// The exact types whose answers are kept; their classes cannot change.
std::array<PyTypeObject*, 9> builtin_types() {
    return {&PyUnicode_Type, &PyLong_Type, &PyFloat_Type, &PyBool_Type, Py_TYPE(Py_None),
            &PyBytes_Type,   &PyTuple_Type, &PyList_Type, &PyDict_Type};
}

// Plain pointers: these live as long as the process, and must not be
// released by static destructors after the interpreter is gone.
struct Answers {
    PyObject* token;          // abc.get_cache_token() the answers belong to
    signed char known[2][9];  // -1 unknown, else the answer
};

Answers answers;
PyObject* get_cache_token;

int type_index(PyTypeObject* type) {
    auto types = builtin_types();
    for (std::size_t i = 0; i < types.size(); ++i) {
        if (types[i] == type) return static_cast<int>(i);
    }
    return -1;
}

// Drops every kept answer when the registry has changed since they were taken.
int refresh() {
    if (!get_cache_token) {
        Ref abc = Ref::steal(PyImport_ImportModule("abc"));
        if (!abc) return -1;
        get_cache_token = PyObject_GetAttrString(abc.get(), "get_cache_token");
        if (!get_cache_token) return -1;
    }
    Ref token = Ref::steal(PyObject_CallNoArgs(get_cache_token));
    if (!token) return -1;
    if (answers.token) {
        int same = PyObject_RichCompareBool(token.get(), answers.token, Py_EQ);
        if (same < 0) return -1;
        if (same) return 0;
    }
    Py_XSETREF(answers.token, token.release());
    for (auto& row : answers.known) {
        for (auto& a : row) a = -1;
    }
    return 0;
}

}  // namespace

int isinstance(PyObject* obj, PyObject* cls) {
    int row = cls == abc_Mapping ? 0 : cls == abc_MutableSequence ? 1 : -1;
    if (row < 0) return PyObject_IsInstance(obj, cls);
    // Registrations cannot be undone: these stay true whatever happens.
    if ((row == 0 && PyDict_CheckExact(obj)) || (row == 1 && PyList_CheckExact(obj))) return 1;
    int column = type_index(Py_TYPE(obj));
    if (column < 0) return PyObject_IsInstance(obj, cls);
    if (refresh() < 0) return -1;
    signed char& known = answers.known[row][column];
    if (known < 0) {
        int r = PyObject_IsInstance(obj, cls);
        if (r < 0) return -1;
        known = static_cast<signed char>(r);
    }
    return known;
}

}  // namespace tavik::dicts
