#include "core/function.hpp"

#include "core/names.hpp"
#include "core/watch.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tavik {

namespace {

// ---- "Did you mean" for an unexpected keyword, as the interpreter words it --

constexpr std::size_t kMoveCost = 2;
constexpr std::size_t kCaseCost = 1;
constexpr std::size_t kMaxStringSize = 40;

std::size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a = static_cast<char>(a + ('a' - 'A'));
    if ('A' <= b && b <= 'Z') b = static_cast<char>(b + ('a' - 'A'));
    return a == b ? kCaseCost : kMoveCost;
}

std::size_t levenshtein(const char* a, std::size_t a_size, const char* b, std::size_t b_size,
                        std::size_t max_cost) {
    while (a_size && b_size && a[0] == b[0]) { ++a; ++b; --a_size; --b_size; }
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) { --a_size; --b_size; }
    if (a_size == 0 || b_size == 0) return (a_size + b_size) * kMoveCost;
    if (a_size > kMaxStringSize || b_size > kMaxStringSize) return max_cost + 1;
    if (b_size < a_size) { std::swap(a, b); std::swap(a_size, b_size); }
    if ((b_size - a_size) * kMoveCost > max_cost) return max_cost + 1;
    std::size_t buffer[kMaxStringSize];
    std::size_t tmp = kMoveCost;
    for (std::size_t i = 0; i < a_size; ++i) { buffer[i] = tmp; tmp += kMoveCost; }
    std::size_t result = 0;
    for (std::size_t bi = 0; bi < b_size; ++bi) {
        char code = b[bi];
        std::size_t distance = result = bi * kMoveCost;
        std::size_t minimum = SIZE_MAX;
        for (std::size_t i = 0; i < a_size; ++i) {
            std::size_t substitute = distance + substitution_cost(code, a[i]);
            distance = buffer[i];
            std::size_t insert_delete = std::min(result, distance) + kMoveCost;
            result = std::min(insert_delete, substitute);
            buffer[i] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

// Borrowed candidate closest to `name`, or nullptr (also on error).
PyObject* suggestion(Function* f, PyObject* name) {
    Py_ssize_t name_size;
    const char* name_str = PyUnicode_AsUTF8AndSize(name, &name_size);
    if (!name_str) { PyErr_Clear(); return nullptr; }
    PyObject* best = nullptr;
    Py_ssize_t best_distance = PY_SSIZE_T_MAX;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(f->names); ++i) {
        if (i == f->varargs || i == f->varkw) continue;
        PyObject* item = PyTuple_GET_ITEM(f->names, i);
        if (PyUnicode_Compare(name, item) == 0) continue;
        Py_ssize_t item_size;
        const char* item_str = PyUnicode_AsUTF8AndSize(item, &item_size);
        Py_ssize_t max_distance = (name_size + item_size + 3) * static_cast<Py_ssize_t>(kMoveCost) / 6;
        max_distance = std::min(max_distance, best_distance - 1);
        if (max_distance < 0) continue;
        auto d = static_cast<Py_ssize_t>(levenshtein(name_str, static_cast<std::size_t>(name_size), item_str,
                                                     static_cast<std::size_t>(item_size),
                                                     static_cast<std::size_t>(max_distance)));
        if (d > max_distance) continue;
        if (!best || d < best_distance) { best = item; best_distance = d; }
    }
    return best;
}

// ---- binding errors ----------------------------------------------------------

void unexpected_keyword(Function* f, PyObject* name) {
    if (PyObject* hint = suggestion(f, name)) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     f->qualname, name, hint);
    } else {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, name);
    }
}

void too_many_positional(Function* f, Py_ssize_t given, PyObject* const* slots) {
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(f->names); ++i) {
        if (i >= f->npos && i != f->varargs && i != f->varkw && slots[i]) ++kwonly_given;
    }
    Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    bool plural;
    Ref sig;
    if (defcount) {
        plural = true;
        sig = Ref::steal(PyUnicode_FromFormat("from %zd to %zd", f->npos - defcount, f->npos));
    } else {
        plural = f->npos != 1;
        sig = Ref::steal(PyUnicode_FromFormat("%zd", f->npos));
    }
    if (!sig) return;
    Ref kwonly_sig;
    if (kwonly_given) {
        kwonly_sig = Ref::steal(PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                                     given != 1 ? "s" : "", kwonly_given,
                                                     kwonly_given != 1 ? "s" : ""));
    } else {
        kwonly_sig = Ref::steal(PyUnicode_FromString(""));
    }
    if (!kwonly_sig) return;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", f->qualname,
                 sig.get(), plural ? "s" : "", given, kwonly_sig.get(),
                 given == 1 && !kwonly_given ? "was" : "were");
}

void missing_arguments(Function* f, Py_ssize_t start, Py_ssize_t end, PyObject* const* slots,
                       const char* kind) {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return;
    for (Py_ssize_t i = start; i < end; ++i) {
        if (slots[i]) continue;
        Ref r = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(f->names, i)));
        if (!r || PyList_Append(names.get(), r.get()) < 0) return;
    }
    Py_ssize_t n = PyList_GET_SIZE(names.get());
    Ref text;
    if (n == 1) {
        text = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else if (n == 2) {
        text = Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                               PyList_GET_ITEM(names.get(), 1)));
    } else {
        Ref tail = Ref::steal(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names.get(), n - 2),
                                                   PyList_GET_ITEM(names.get(), n - 1)));
        if (!tail || PyList_SetSlice(names.get(), n - 2, n, nullptr) < 0) return;
        Ref comma = Ref::steal(PyUnicode_FromString(", "));
        if (!comma) return;
        Ref head = Ref::steal(PyUnicode_Join(comma.get(), names.get()));
        if (!head) return;
        text = Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
    }
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", f->qualname, static_cast<int>(n),
                 kind, n == 1 ? "" : "s", text.get());
}

Py_ssize_t find_keyword(Function* f, PyObject* key) {
    Py_ssize_t n = PyTuple_GET_SIZE(f->names);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(f->names, i) == key && i != f->varargs && i != f->varkw) return i;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i == f->varargs || i == f->varkw) continue;
        int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->names, i), key, Py_EQ);
        if (eq < 0) return -2;
        if (eq) return i;
    }
    return -1;
}

// ---- the call ------------------------------------------------------------

PyObject* bind_and_run(Function* f, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t nkw, PyObject* kwnames);
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<Function*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    // Deep recursion through native code ends in RecursionError, never in a
    // native stack overflow.
    if (Py_EnterRecursiveCall("")) return nullptr;
    PyObject* result = bind_and_run(f, args, nargs, nkw, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

// kwdefaults[name] for a keyword-only parameter. The names are the
// interned parameter names, so a small dict is scanned for the identical
// key (no other key can equal it); anything else asks the dict.
int kwdefault(PyObject* kwdefaults, PyObject* name, PyObject** value) {
    if (PyDict_GET_SIZE(kwdefaults) <= 4) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(kwdefaults, &pos, &k, &v)) {
            if (k == name) {
                *value = Py_NewRef(v);
                return 1;
            }
        }
    }
    return PyDict_GetItemRef(kwdefaults, name, value);
}

PyObject* bind_in_full(Function* f, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t nkw, PyObject* kwnames);

// The calls that name no keyword: no binding beyond filling in defaults.
PyObject* bind_and_run(Function* f, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t nkw,
                        PyObject* kwnames) {
    if (nkw != 0 || f->varargs >= 0 || f->varkw >= 0) return bind_in_full(f, args, nargs, nkw, kwnames);
    if (f->nkwonly == 0) {
        // Every parameter given by position.
        if (nargs == f->npos) return f->spec->impl(f, args);
        // The trailing parameters left to their defaults.
        Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
        if (nargs < f->npos && nargs >= f->npos - defcount) {
            PyObject* slots[kMaxParams];
            Ref defaults = Ref::borrow(f->defaults);  // may be replaced while the call runs
            for (Py_ssize_t i = 0; i < f->npos; ++i) {
                slots[i] = i < nargs ? args[i] : PyTuple_GET_ITEM(defaults.get(), defcount - f->npos + i);
            }
            return f->spec->impl(f, slots);
        }
    } else if (nargs == f->npos && f->nkwonly == 1 && f->kwdefaults) {
        // The keyword-only parameter left to its default.
        PyObject* slots[kMaxParams];
        for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
        PyObject* value;
        if (f->kwdefault_epoch == namespace_epoch && f->kwdefault_kept_from == f->kwdefaults) {
            value = Py_NewRef(f->kwdefault_kept);
        } else {
            std::uint64_t epoch = namespace_epoch;
            PyObject* kwdefaults = f->kwdefaults;
            if (kwdefault(kwdefaults, PyTuple_GET_ITEM(f->names, nargs), &value) < 0) return nullptr;
            if (value && epoch == namespace_epoch && f->kwdefaults == kwdefaults && is_kept(kwdefaults)) {
                f->kwdefault_kept = value;
                f->kwdefault_kept_from = kwdefaults;
                f->kwdefault_epoch = epoch;
            }
        }
        if (value) {
            Ref held = Ref::steal(value);  // the dict may change while the call runs
            slots[nargs] = value;
            return f->spec->impl(f, slots);
        }
        // A missing default is reported by the full binding.
    }
    return bind_in_full(f, args, nargs, nkw, kwnames);
}

__attribute__((noinline)) PyObject* bind_in_full(Function* f, PyObject* const* args, Py_ssize_t nargs,
                                                 Py_ssize_t nkw, PyObject* kwnames) {
    PyObject* slots[kMaxParams] = {};
    Ref held[kMaxParams];  // defaults and packed *args/**kwargs, alive for the call
    Py_ssize_t ncopy = std::min(nargs, f->npos);
    for (Py_ssize_t i = 0; i < ncopy; ++i) slots[i] = args[i];
    if (f->varkw >= 0) {
        held[f->varkw] = Ref::steal(PyDict_New());
        if (!held[f->varkw]) return nullptr;
        slots[f->varkw] = held[f->varkw].get();
    }
    if (f->varargs >= 0) {
        held[f->varargs] = Ref::steal(PyTuple_New(nargs - ncopy));
        if (!held[f->varargs]) return nullptr;
        for (Py_ssize_t i = ncopy; i < nargs; ++i) {
            PyTuple_SET_ITEM(held[f->varargs].get(), i - ncopy, Py_NewRef(args[i]));
        }
        slots[f->varargs] = held[f->varargs].get();
    }
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        PyObject* value = args[nargs + j];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
            return nullptr;
        }
        Py_ssize_t i = find_keyword(f, key);
        if (i == -2) return nullptr;
        if (i < 0) {
            if (f->varkw >= 0) {
                if (PyDict_SetItem(slots[f->varkw], key, value) < 0) return nullptr;
                continue;
            }
            unexpected_keyword(f, key);
            return nullptr;
        }
        if (slots[i]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
            return nullptr;
        }
        slots[i] = value;
    }
    if (nargs > f->npos && f->varargs < 0) {
        too_many_positional(f, nargs, slots);
        return nullptr;
    }
    if (nargs < f->npos) {
        Ref defaults = Ref::borrow(f->defaults);
        Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
        Py_ssize_t m = f->npos - defcount;
        for (Py_ssize_t i = nargs; i < m; ++i) {
            if (!slots[i]) {
                missing_arguments(f, 0, m, slots, "positional");
                return nullptr;
            }
        }
        for (Py_ssize_t i = std::max(nargs - m, Py_ssize_t{0}); i < defcount; ++i) {
            if (!slots[m + i]) {
                held[m + i] = Ref::borrow(PyTuple_GET_ITEM(defaults.get(), i));
                slots[m + i] = held[m + i].get();
            }
        }
    }
    if (f->nkwonly) {
        Ref kwdefaults = Ref::borrow(f->kwdefaults);
        bool missing = false;
        Py_ssize_t first = f->npos + (f->varargs >= 0 ? 1 : 0);
        for (Py_ssize_t i = first; i < first + f->nkwonly; ++i) {
            if (slots[i]) continue;
            if (kwdefaults) {
                PyObject* value;
                if (PyDict_GetItemRef(kwdefaults.get(), PyTuple_GET_ITEM(f->names, i), &value) < 0) return nullptr;
                if (value) {
                    held[i] = Ref::steal(value);
                    slots[i] = value;
                    continue;
                }
            }
            missing = true;
        }
        if (missing) {
            missing_arguments(f, first, first + f->nkwonly, slots, "keyword-only");
            return nullptr;
        }
    }
    return f->spec->impl(f, slots);
}

// ---- the type ------------------------------------------------------------

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Function*>(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<Function*>(self);
    Py_VISIT(f->base.m_module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->annotate);
    Py_VISIT(f->type_params);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->dict);
    Py_VISIT(f->extra);
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<Function*>(self);
    Py_CLEAR(f->base.m_module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->annotate);
    Py_CLEAR(f->type_params);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->extra);
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<Function*>(self);
    PyObject_GC_UnTrack(self);
    if (f->base.m_weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->names);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_TYPE(self)->tp_free(self);  // a static type: no reference to drop
}

int set_str(PyObject** field, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*field, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Function*>(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) { return set_str(&reinterpret_cast<Function*>(self)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Function*>(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_str(&reinterpret_cast<Function*>(self)->qualname, v, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = reinterpret_cast<Function*>(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(self)->defaults, Py_XNewRef(v));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* d = reinterpret_cast<Function*>(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(self)->kwdefaults, Py_XNewRef(v));
    return 0;
}

// __annotations__ as a Python function has them: made by __annotate__(1)
// when one is set and none are stored, else an empty dict kept from then on.
PyObject* annotations_of(Function* f) {
    if (!f->annotations) {
        if (f->annotate && f->annotate != Py_None) {
            Ref one = Ref::steal(PyLong_FromLong(1));
            Ref made = one ? call(f->annotate, one.get()) : Ref();
            if (!made) return nullptr;
            if (!PyDict_Check(made.get())) {
                PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'",
                             Py_TYPE(made.get())->tp_name);
                return nullptr;
            }
            // The call may have stored annotations meanwhile; the last word wins, as in Python.
            Py_XSETREF(f->annotations, made.release());
        } else {
            f->annotations = PyDict_New();
            if (!f->annotations) return nullptr;
        }
    }
    return Py_NewRef(f->annotations);
}
PyObject* get_annotations(PyObject* self, void*) { return annotations_of(reinterpret_cast<Function*>(self)); }
int set_annotations(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    auto* f = reinterpret_cast<Function*>(self);
    Py_XSETREF(f->annotations, Py_XNewRef(v));
    Py_CLEAR(f->annotate);
    return 0;
}

PyObject* get_annotate(PyObject* self, void*) {
    PyObject* a = reinterpret_cast<Function*>(self)->annotate;
    return Py_NewRef(a ? a : Py_None);
}
int set_annotate(PyObject* self, PyObject* v, void*) {
    auto* f = reinterpret_cast<Function*>(self);
    if (!v) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (v == Py_None) {
        Py_XSETREF(f->annotate, Py_NewRef(v));
        return 0;
    }
    if (!PyCallable_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    Py_XSETREF(f->annotate, Py_NewRef(v));
    Py_CLEAR(f->annotations);
    return 0;
}

PyObject* get_type_params(PyObject* self, void*) {
    PyObject* t = reinterpret_cast<Function*>(self)->type_params;
    return t ? Py_NewRef(t) : PyTuple_New(0);
}
int set_type_params(PyObject* self, PyObject* v, void*) {
    if (!v || !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(self)->type_params, Py_NewRef(v));
    return 0;
}

Name n_inspect{"inspect"};
Name n_Parameter{"Parameter"};
Name n_Signature{"Signature"};
Name n_empty{"empty"};
Name n_default{"default"};
Name n_annotation{"annotation"};
Name n_return_annotation{"return_annotation"};
Name n_return{"return"};
Name n___name__{"__name__"};
Name n_kinds[] = {Name{"POSITIONAL_OR_KEYWORD"}, Name{"KEYWORD_ONLY"}, Name{"VAR_POSITIONAL"},
                  Name{"VAR_KEYWORD"}};

// inspect.signature() reads __signature__ first; building it from the live
// __defaults__, __kwdefaults__ and __annotations__ keeps it truthful.
PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<Function*>(self);
    Ref inspect = Ref::steal(PyImport_Import(n_inspect.get()));
    if (!inspect) return nullptr;
    Ref parameter = Ref::steal(PyObject_GetAttr(inspect.get(), n_Parameter.get()));
    Ref signature = parameter ? Ref::steal(PyObject_GetAttr(inspect.get(), n_Signature.get())) : Ref();
    Ref empty = signature ? Ref::steal(PyObject_GetAttr(parameter.get(), n_empty.get())) : Ref();
    Ref params = empty ? Ref::steal(PyList_New(0)) : Ref();
    if (!params) return nullptr;
    // Taken once: inspect's constructors run Python code, which may assign
    // new ones to the function.
    Ref defaults = Ref::borrow(f->defaults);
    Ref kwdefaults = Ref::borrow(f->kwdefaults);
    Ref annotations = Ref::steal(annotations_of(f));
    if (!annotations) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(f->names);
    Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(f->names, i);
        ParamKind kind = f->spec->params[static_cast<std::size_t>(i)].kind;
        Ref kind_obj = Ref::steal(PyObject_GetAttr(parameter.get(), n_kinds[static_cast<int>(kind)].get()));
        if (!kind_obj) return nullptr;
        Ref deflt = empty;
        if (kind == ParamKind::Positional && i >= f->npos - defcount) {
            deflt = Ref::borrow(PyTuple_GET_ITEM(defaults.get(), i - (f->npos - defcount)));
        } else if (kind == ParamKind::KeywordOnly && kwdefaults) {
            PyObject* v;
            if (PyDict_GetItemRef(kwdefaults.get(), name, &v) < 0) return nullptr;
            if (v) deflt = Ref::steal(v);
        }
        Ref ann = empty;
        if (annotations) {
            PyObject* v;
            if (PyDict_GetItemRef(annotations.get(), name, &v) < 0) return nullptr;
            if (v) ann = Ref::steal(v);
        }
        PyObject* call_args[] = {name, kind_obj.get(), deflt.get(), ann.get()};
        Ref kwnames = Ref::steal(PyTuple_Pack(2, n_default.get(), n_annotation.get()));
        if (!kwnames) return nullptr;
        Ref p = Ref::steal(PyObject_Vectorcall(parameter.get(), call_args, 2, kwnames.get()));
        if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
    }
    Ref ret = empty;
    if (annotations) {
        PyObject* v;
        if (PyDict_GetItemRef(annotations.get(), n_return.get(), &v) < 0) return nullptr;
        if (v) ret = Ref::steal(v);
    }
    Ref kwnames = Ref::steal(PyTuple_Pack(1, n_return_annotation.get()));
    if (!kwnames) return nullptr;
    PyObject* call_args[] = {params.get(), ret.get()};
    return PyObject_Vectorcall(signature.get(), call_args, 1, kwnames.get());
}

// Pickled and copied by reference, as functions are: by qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The read-only ones are members, as a Python function's are, so that
// writing them fails in the same words.
PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(PyCFunctionObject, m_module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(Function, doc), 0, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__builtins__", Py_T_OBJECT_EX, offsetof(Function, builtins), Py_READONLY, nullptr},
    {"__closure__", Py_T_OBJECT_EX, offsetof(Function, closure), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The C entry point of the method table. Every call of the interpreter goes
// through the vectorcall slot; only C code that takes the raw pointer out of
// a built-in function would come here, and `m_self` (null, as for a plain
// function) cannot tell it which function it is.
PyObject* raw_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_SystemError, "a native function is called through its object, not its C entry point");
    return nullptr;
}

// Static, because a type made from a spec may not derive from the built-in
// function type (it is not an acceptable base for classes); PyType_Ready
// takes it as a base of a static type. Made once per process, as the
// modules are.
PyTypeObject function_type = {PyVarObject_HEAD_INIT(&PyType_Type, 0)};

}  // namespace

PyTypeObject* FunctionType = nullptr;

int function_type_ready() {
    if (FunctionType) return 0;
    PyTypeObject* t = &function_type;
    t->tp_name = "native_function";
    t->tp_basicsize = sizeof(Function);
    t->tp_base = &PyCFunction_Type;
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                  Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t->tp_vectorcall_offset = offsetof(PyCFunctionObject, vectorcall);
    t->tp_dictoffset = offsetof(Function, dict);
    t->tp_dealloc = function_dealloc;
    t->tp_repr = function_repr;
    // Built-in functions compare and hash by what they wrap; functions by
    // identity, as objects do.
    t->tp_hash = PyBaseObject_Type.tp_hash;
    t->tp_richcompare = PyBaseObject_Type.tp_richcompare;
    t->tp_call = PyVectorcall_Call;
    t->tp_traverse = function_traverse;
    t->tp_clear = function_clear;
    t->tp_members = function_members;
    t->tp_methods = function_methods;
    t->tp_getset = function_getset;
    t->tp_descr_get = function_descr_get;
    if (PyType_Ready(t) < 0) return -1;
    FunctionType = t;
    return 0;
}

Ref make_function(const FunctionSpec& spec, PyObject* module, PyObject* defaults, PyObject* kwdefaults,
                  const char* module_name) {
    if (function_type_ready() < 0) return {};
    PyObject* globals = PyModule_GetDict(module);
    if (!globals) return {};
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return {};
    auto count = static_cast<Py_ssize_t>(spec.params.size());
    if (count > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for a native function");
        return {};
    }
    Ref names = Ref::steal(PyTuple_New(count));
    if (!names) return {};
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(Function, FunctionType)));
    if (!self) return {};
    auto* f = reinterpret_cast<Function*>(self.get());
    f->def = {spec.qualname ? spec.qualname : spec.name,
              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(raw_entry)), METH_FASTCALL | METH_KEYWORDS,
              nullptr};
    f->base.m_ml = &f->def;
    f->base.m_self = f->base.m_module = f->base.m_weakreflist = nullptr;
    f->base.vectorcall = function_vectorcall;
    f->spec = &spec;
    f->npos = f->nkwonly = 0;
    f->varargs = f->varkw = -1;
    f->names = names.release();
    f->name = f->qualname = nullptr;
    f->doc = f->defaults = f->kwdefaults = f->annotations = f->annotate = f->type_params = nullptr;
    f->closure = Py_None;  // immortal: never counted
    f->globals = Py_NewRef(globals);
    f->builtins = Py_NewRef(PyModule_GetDict(builtins.get()));
    // The names this function looks up are kept only while both report changes.
    watch_namespace(f->globals);
    watch_namespace(f->builtins);
    f->dict = f->extra = nullptr;
    f->kwdefault_kept = f->kwdefault_kept_from = nullptr;
    f->kwdefault_epoch = 0;
    PyObject_GC_Track(self.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Param& p = spec.params[static_cast<std::size_t>(i)];
        PyObject* name = PyUnicode_InternFromString(p.name);
        if (!name) return {};
        PyTuple_SET_ITEM(f->names, i, name);
        switch (p.kind) {
            case ParamKind::Positional: ++f->npos; break;
            case ParamKind::KeywordOnly: ++f->nkwonly; break;
            case ParamKind::VarPositional: f->varargs = i; break;
            case ParamKind::VarKeyword: f->varkw = i; break;
        }
    }
    f->name = PyUnicode_InternFromString(spec.name);
    f->qualname = PyUnicode_FromString(spec.qualname ? spec.qualname : spec.name);
    if (!f->name || !f->qualname) return {};
    if (module_name) {
        f->base.m_module = PyUnicode_FromString(module_name);
        if (!f->base.m_module) return {};
    } else {
        if (PyDict_GetItemRef(globals, n___name__.get(), &f->base.m_module) < 0) return {};
        if (!f->base.m_module) f->base.m_module = Py_NewRef(Py_None);
    }
    f->doc = spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
    if (!f->doc) return {};
    f->defaults = Py_XNewRef(defaults);
    f->kwdefaults = Py_XNewRef(kwdefaults);
    // The dict made for this function; one assigned later is read afresh.
    if (kwdefaults) watch_namespace(kwdefaults);
    f->annotations = PyDict_New();
    if (!f->annotations) return {};
    for (const auto& [key, value] : spec.annotations) {
        Ref v = Ref::steal(PyUnicode_FromString(value));
        if (!v || PyDict_SetItemString(f->annotations, key, v.get()) < 0) return {};
    }
    return self;
}

}  // namespace tavik
