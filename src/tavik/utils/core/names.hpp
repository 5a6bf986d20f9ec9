// Name lookup, imports, calls and unpacking, as module code needs them.
//
// Kept answers here: the value a module-level name had at its last lookup
// (Name::cached(), borrowed from the namespace that holds it), and a
// function's keyword-only default as last read from its __kwdefaults__
// (function.hpp). Each event that can make one false, and what sees it:
// - The globals or the builtins (or the __kwdefaults__ dict) gain, lose or
//   rebind a key, are cleared or updated: dict watchers bump the epoch
//   (watch.hpp), and the answer is read afresh.
// - A lookup that compares the name with a key that is not an exact str
//   (whose __eq__ may answer differently each time, with no change to the
//   dict): such a namespace is not pure, and nothing read from it is kept.
// - Code run by the lookup itself (such a key's __eq__) changing a
//   namespace: the epoch is compared before and after; not kept.
// - Another namespace: the cache names the globals it was read from, and a
//   function's globals and builtins are fixed when it is made; a new
//   __kwdefaults__ dict is compared by identity and is not watched.
// - No dict watcher slot: nothing is kept.
// Module attributes read through get_attr() below are not kept: each read
// looks again.
#pragma once

#include "core/function.hpp"
#include "core/ref.hpp"
#include "core/watch.hpp"

#include <array>

namespace tavik {

// A module-level name at the moment of use: the module's namespace, then the
// builtins; NameError "name '%U' is not defined" otherwise.
Ref lookup(PyObject* globals, PyObject* builtins, PyObject* name);
// The same for a function's own module, answered from the name's cache while
// neither namespace has changed since it was filled.
Ref lookup_and_keep(Function* f, const Name& name);
inline Ref lookup(Function* f, const Name& name) {
    const Name::Cached& c = name.cached();
    if (c.epoch == namespace_epoch && c.globals == f->globals) return Ref::borrow(c.value);
    return lookup_and_keep(f, name);
}
// The name's value while its cache holds, borrowed from the namespace, else
// nullptr. Good only until Python code next runs.
inline PyObject* peek(Function* f, const Name& name) {
    const Name::Cached& c = name.cached();
    return c.epoch == namespace_epoch && c.globals == f->globals ? c.value : nullptr;
}

// getattr(obj, name). On an exact module the answer is its namespace's entry
// when there is one: the module type defines no attribute whose name does not
// begin with "_", and its getattr finds such a name in the namespace first.
inline Ref get_attr(PyObject* obj, const Name& name) {
    PyObject* n = name.get();
    if (PyModule_CheckExact(obj) && PyUnicode_READ_CHAR(n, 0) != '_') {
        PyObject* value;
        int found = PyDict_GetItemRef(PyModule_GetDict(obj), n, &value);
        if (found > 0) return Ref::steal(value);
        if (found < 0) return {};
    }
    return Ref::steal(PyObject_GetAttr(obj, n));
}

// <module-level name `global`>.<attr>, the name looked up now.
inline Ref global_attr(Function* f, const Name& global, const Name& attr) {
    Ref obj = lookup(f, global);
    return obj ? get_attr(obj.get(), attr) : Ref();
}

// Calls `fn` (args as for vectorcall). When it is a native function whose
// parameters the arguments fill exactly, its implementation runs directly,
// skipping argument binding.
Ref call_function(PyObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames = nullptr);
// The same for the module-level name `name`, looked up now.
Ref call_global(Function* self, const Name& name, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames = nullptr);

// A builtin taken once (e.g. `open`), NameError when missing.
Ref builtin(const char* name);

// `import name` (absolute); with a fromlist the leaf module is returned.
Ref import_module(const char* name, PyObject* globals, PyObject* fromlist = nullptr);
// The name of a from-import: the attribute, else sys.modules["<module>.<name>"],
// else ImportError "cannot import name %S".
Ref import_from(PyObject* module, const char* name);
// Binds `value` in the module namespace (new reference taken over).
int bind(PyObject* module, const char* name, Ref value);

// Unpacks `obj` into exactly n values, with the module's unpacking texts.
bool unpack(PyObject* obj, Ref* out, Py_ssize_t n);
// `a, b = obj` in Python code: the same steps and the interpreter's own texts.
bool unpack_as_python(PyObject* obj, Ref* out, Py_ssize_t n);
void raise_too_many_values(Py_ssize_t expected);
void raise_need_more_values(Py_ssize_t found);

// Runs `body` as inside an `except` block for `exc`: sys.exception() is
// `exc`, and exceptions raised meanwhile get it as their context. Like a
// generator's frame, it stacks its own entry on the thread's handled-exception
// state and takes it off afterwards, so the entries below are never written.
template <class Body>
auto while_handling(PyObject* exc, Body body) {
    PyThreadState* ts = PyThreadState_Get();
    _PyErr_StackItem item{Py_NewRef(exc), ts->exc_info};
    ts->exc_info = &item;
    auto result = body();
    ts->exc_info = item.previous_item;
    Py_XDECREF(item.exc_value);
    return result;
}

// The keyword names of a vectorcall, made on first use and kept.
class KwNames {
public:
    explicit constexpr KwNames(const Name& first) : first_(&first) {}
    constexpr KwNames(const Name& first, const Name& second) : first_(&first), second_(&second) {}
    PyObject* get() {
        if (!tuple_) {
            tuple_ = second_ ? PyTuple_Pack(2, first_->get(), second_->get()) : PyTuple_Pack(1, first_->get());
        }
        return tuple_;
    }

private:
    const Name* first_;
    const Name* second_ = nullptr;
    PyObject* tuple_ = nullptr;
};

// obj[:stop]; an object without subscription is "unsliceable".
Ref slice_to(PyObject* obj, Py_ssize_t stop);

template <class... A>
Ref call(PyObject* callable, A... args) {
    std::array<PyObject*, sizeof...(A) + 1> a{nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, a.data() + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
}

template <class... A>
Ref call_method(PyObject* self, const Name& name, A... args) {
    std::array<PyObject*, sizeof...(A) + 1> a{self, args...};
    return Ref::steal(PyObject_VectorcallMethod(name.get(), a.data(), (sizeof...(A) + 1), nullptr));
}

// `for v in seq: each(v)`; an exact list is indexed the way its iterator
// does, re-reading the size at every step.
template <class Each>
int for_each(PyObject* seq, Each each) {
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            Ref v = Ref::borrow(PyList_GET_ITEM(seq, i));
            if (each(v.get()) < 0) return -1;
        }
        return 0;
    }
    Ref iter = Ref::steal(PyObject_GetIter(seq));
    if (!iter) return -1;
    while (Ref v = Ref::steal(PyIter_Next(iter.get()))) {
        if (each(v.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Iterates `for k, v in obj.items()`. An exact dict is walked in place, with
// the same size checks as the dict's own iterator.
class Items {
public:
    bool start(PyObject* obj);
    // 1: an item in key/value; 0: the end; -1: an error.
    int next(Ref& key, Ref& value) {
        if (!dict_) return next_item(key, value);
        PyObject* d = dict_.get();
        if (used_ != PyDict_GET_SIZE(d)) return changed("dictionary changed size during iteration");
        PyObject *k, *v;
        if (!PyDict_Next(d, &pos_, &k, &v)) return 0;
        if (left_ == 0) return changed("dictionary keys changed during iteration");
        --left_;
        // Both are held before the previous pair is released: its last
        // reference may go here, and its __del__ may take k or v out of d.
        Ref new_key = Ref::borrow(k);
        Ref new_value = Ref::borrow(v);
        key = std::move(new_key);
        value = std::move(new_value);
        return 1;
    }

private:
    int next_item(Ref& key, Ref& value);
    static int changed(const char* message);
    Ref dict_;
    Ref iter_;
    Py_ssize_t pos_ = 0;
    Py_ssize_t used_ = 0;
    Py_ssize_t left_ = 0;
};

}  // namespace tavik
