#include "core/names.hpp"

namespace tavik {

namespace {
Name* first_name = nullptr;
Name n_items{"items"};
}  // namespace

Name::Name(const char* text) : text_(text), next_(first_name) { first_name = this; }

int intern_names() {
    for (Name* n = first_name; n; n = n->next_) {
        if (!n->obj_) {
            n->obj_ = PyUnicode_InternFromString(n->text_);
            if (!n->obj_) return -1;
        }
    }
    return 0;
}

Ref lookup(PyObject* globals, PyObject* builtins, PyObject* name) {
    PyObject* value;
    if (PyDict_GetItemRef(globals, name, &value) != 0) return Ref::steal(value);
    if (PyDict_GetItemRef(builtins, name, &value) != 0) return Ref::steal(value);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref lookup_and_keep(Function* f, const Name& name) {
    std::uint64_t epoch = namespace_epoch;
    Ref value = lookup(f->globals, f->builtins, name.get());
    // Kept only when no key comparison run by the lookup changed a namespace
    // meanwhile, and both namespaces report every later change.
    if (value && epoch == namespace_epoch && is_kept(f->globals) && is_kept(f->builtins)) {
        name.cached() = {f->globals, value.get(), epoch};
    }
    return value;
}

Ref call_global(Function* self, const Name& name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref fn = lookup(self, name);
    return fn ? call_function(fn.get(), args, nargs, kwnames) : Ref();
}

Ref call_function(PyObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (is_function(fn)) {
        auto* callee = reinterpret_cast<Function*>(fn);
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        bool exact = callee->varargs < 0 && callee->varkw < 0 && nargs <= callee->npos &&
                     PyTuple_GET_SIZE(callee->names) == nargs + nkw;
        for (Py_ssize_t i = 0; exact && i < nkw; ++i) {
            exact = PyTuple_GET_ITEM(kwnames, i) == PyTuple_GET_ITEM(callee->names, nargs + i);
        }
        if (exact) {
            if (Py_EnterRecursiveCall("")) return {};
            Ref r = Ref::steal(callee->spec->impl(callee, args));
            Py_LeaveRecursiveCall();
            return r;
        }
    }
    return Ref::steal(PyObject_Vectorcall(fn, args, static_cast<size_t>(nargs), kwnames));
}

Ref builtin(const char* name) {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return {};
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return {};
    PyObject* value;
    if (PyDict_GetItemRef(PyModule_GetDict(builtins.get()), key.get(), &value) != 0) return Ref::steal(value);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
    return {};
}

Ref import_module(const char* name, PyObject* globals, PyObject* fromlist) {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return {};
    return Ref::steal(PyImport_ImportModuleLevelObject(key.get(), globals, nullptr, fromlist, 0));
}

Ref import_from(PyObject* module, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return {};
    // A submodule imported under that name may not be bound on its parent yet.
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (module_name) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), key.get()));
        if (!full) return {};
        PyObject* found = PyImport_GetModule(full.get());
        if (!found && PyErr_Occurred()) return {};
        if (found) return Ref::steal(found);
    } else {
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", key.get());
    return {};
}

int bind(PyObject* module, const char* name, Ref value) {
    if (!value) return -1;
    return PyObject_SetAttrString(module, name, value.get());
}

void raise_too_many_values(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

void raise_need_more_values(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}

Ref slice_to(PyObject* obj, Py_ssize_t stop) {
    // Subscription by mapping or by index; a sequence that takes only
    // indexes fails at the slice with the interpreter's own text.
    PyMappingMethods* mapping = Py_TYPE(obj)->tp_as_mapping;
    PySequenceMethods* sequence = Py_TYPE(obj)->tp_as_sequence;
    if (!(mapping && mapping->mp_subscript) && !(sequence && sequence->sq_item)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(obj)->tp_name);
        return {};
    }
    Ref end = Ref::steal(PyLong_FromSsize_t(stop));
    Ref slice = end ? Ref::steal(PySlice_New(nullptr, end.get(), nullptr)) : Ref();
    return slice ? Ref::steal(PyObject_GetItem(obj, slice.get())) : Ref();
}

bool unpack(PyObject* obj, Ref* out, Py_ssize_t n) {
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
        if (size != n) {
            if (size > n) raise_too_many_values(n);
            else raise_need_more_values(size);
            return false;
        }
        PyObject** items = PySequence_Fast_ITEMS(obj);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(items[i]);
        return true;
    }
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = Ref::steal(PyIter_Next(iter.get()));
        if (!out[i]) {
            if (!PyErr_Occurred()) raise_need_more_values(i);
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iter.get()));
    if (extra) {
        raise_too_many_values(n);
        return false;
    }
    return !PyErr_Occurred();
}

namespace {

// The values taken so far are dropped last first, then the iterator, as the
// interpreter drops them when unpacking fails (their finalizers may look).
bool unpack_failed(Ref* out, Py_ssize_t taken) {
    while (taken > 0) out[--taken] = Ref();
    return false;
}

}  // namespace

bool unpack_as_python(PyObject* obj, Ref* out, Py_ssize_t n) {
    if ((PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) && PySequence_Fast_GET_SIZE(obj) == n) {
        PyObject** items = PySequence_Fast_ITEMS(obj);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(items[i]);
        return true;
    }
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(obj)->tp_iter && !PySequence_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = Ref::steal(PyIter_Next(iter.get()));
        if (!out[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
            }
            return unpack_failed(out, i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iter.get()));
    if (!extra) return PyErr_Occurred() ? unpack_failed(out, n) : true;
    extra = Ref();  // dropped before the error is set
    // The sizes are read after the iteration, as the interpreter does.
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyDict_CheckExact(obj)) {
        Py_ssize_t size = PyDict_CheckExact(obj) ? PyDict_GET_SIZE(obj) : Py_SIZE(obj);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd, got %zd)", n, size);
    } else {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    }
    return unpack_failed(out, n);
}

bool Items::start(PyObject* obj) {
    if (PyDict_CheckExact(obj)) {
        dict_ = Ref::borrow(obj);
        used_ = left_ = PyDict_GET_SIZE(obj);
        return true;
    }
    Ref items = call_method(obj, n_items);
    if (!items) return false;
    iter_ = Ref::steal(PyObject_GetIter(items.get()));
    return static_cast<bool>(iter_);
}

int Items::changed(const char* message) {
    PyErr_SetString(PyExc_RuntimeError, message);
    return -1;
}

int Items::next_item(Ref& key, Ref& value) {
    Ref item = Ref::steal(PyIter_Next(iter_.get()));
    if (!item) return PyErr_Occurred() ? -1 : 0;
    Ref kv[2];
    if (!unpack_as_python(item.get(), kv, 2)) return -1;
    key = std::move(kv[0]);
    value = std::move(kv[1]);
    return 1;
}

}  // namespace tavik
