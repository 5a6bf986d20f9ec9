// tavik.utils.parser: the module body, binding every attribute in order and
// building the two classes as their class statements would.
#include "core/module.hpp"
#include "parser/parser.hpp"

#include <initializer_list>
#include <utility>
#include <vector>

namespace tavik::parser {

Name n_sys{"sys"};

PyObject* builtin_super = nullptr;
bool assertions_enabled = true;

namespace {

Name n___all__{"__all__"};
Name n___dict__{"__dict__"};
Name n___name__{"__name__"};
Name n___module__{"__module__"};
Name n___qualname__{"__qualname__"};
Name n___orig_bases__{"__orig_bases__"};
Name n___mro_entries__{"__mro_entries__"};
Name n___prepare__{"__prepare__"};
Name n_ArgumentParser{"ArgumentParser"};
Name n_RawTextHelpFormatter{"RawTextHelpFormatter"};

PyObject* namespace_of(PyObject* module) { return PyModule_GetDict(module); }

// The names `from source import *` takes: __all__, else the public keys of
// __dict__.
Ref star_names(PyObject* source, bool& public_only) {
    PyObject* all;
    int found = PyObject_GetOptionalAttr(source, n___all__.get(), &all);
    if (found < 0) return {};
    public_only = found == 0;
    if (found) return Ref::steal(all);
    PyObject* dict;
    found = PyObject_GetOptionalAttr(source, n___dict__.get(), &dict);
    if (found < 0) return {};
    if (!found) {
        PyErr_SetString(PyExc_ImportError, "from-import-* object has no __dict__ and no __all__");
        return {};
    }
    Ref owned = Ref::steal(dict);
    return Ref::steal(PyMapping_Keys(owned.get()));
}

void not_a_name(PyObject* source, PyObject* name, bool public_only) {
    Ref module_name = Ref::steal(PyObject_GetAttr(source, n___name__.get()));
    if (!module_name) return;
    if (!PyUnicode_Check(module_name.get())) {
        PyErr_Format(PyExc_TypeError, "module __name__ must be a string, not %.100s",
                     Py_TYPE(module_name.get())->tp_name);
        return;
    }
    PyErr_Format(PyExc_TypeError, "%s in %U.%s must be str, not %.100s", public_only ? "Key" : "Item",
                 module_name.get(), public_only ? "__dict__" : "__all__", Py_TYPE(name)->tp_name);
}

// `from source import *`: every name is read first, then all are bound in
// order.
int import_star(PyObject* module, const char* source_name) {
    Ref fromlist = Ref::steal(Py_BuildValue("(s)", "*"));
    Ref source = fromlist ? import_module(source_name, namespace_of(module), fromlist.get()) : Ref();
    if (!source) return -1;
    bool public_only = false;
    Ref names = star_names(source.get(), public_only);
    Ref iter = names ? Ref::steal(PyObject_GetIter(names.get())) : Ref();
    if (!iter) return -1;
    // (name, value) pairs, out of reach of the code that reading and binding
    // them may run (a module's attribute hook, a name's __hash__).
    std::vector<std::pair<Ref, Ref>> found;
    while (Ref name = Ref::steal(PyIter_Next(iter.get()))) {
        if (!PyUnicode_Check(name.get())) {
            not_a_name(source.get(), name.get(), public_only);
            return -1;
        }
        if (public_only && PyUnicode_GET_LENGTH(name.get()) > 0 && PyUnicode_READ_CHAR(name.get(), 0) == '_') continue;
        Ref value = Ref::steal(PyObject_GetAttr(source.get(), name.get()));
        if (!value) return -1;
        found.emplace_back(std::move(name), std::move(value));
    }
    if (PyErr_Occurred()) return -1;
    for (const auto& [name, value] : found) {
        if (PyDict_SetItem(namespace_of(module), name.get(), value.get()) < 0) return -1;
    }
    return 0;
}

// ---- class statements ----------------------------------------------------

// The bases after __mro_entries__ of those that are not classes.
Ref resolve_bases(PyObject* bases) {
    Py_ssize_t n = PyTuple_GET_SIZE(bases);
    Ref resolved;  // a list once some base was replaced
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        PyObject* entries_of = nullptr;
        if (!PyType_Check(base) && PyObject_GetOptionalAttr(base, n___mro_entries__.get(), &entries_of) < 0) {
            return {};
        }
        if (!entries_of) {
            if (resolved && PyList_Append(resolved.get(), base) < 0) return {};
            continue;
        }
        Ref method = Ref::steal(entries_of);
        Ref entries = call(method.get(), bases);
        if (!entries) return {};
        if (!PyTuple_Check(entries.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            return {};
        }
        if (!resolved) {
            resolved = Ref::steal(PyTuple_GetSlice(bases, 0, i));
            resolved = resolved ? Ref::steal(PySequence_List(resolved.get())) : Ref();
            if (!resolved) return {};
        }
        if (PyList_Extend(resolved.get(), entries.get()) < 0) return {};
    }
    if (!resolved) return Ref::borrow(bases);
    return Ref::steal(PyList_AsTuple(resolved.get()));
}

// The most derived metaclass of the bases.
PyObject* metaclass_of(PyObject* bases) {
    Py_ssize_t n = PyTuple_GET_SIZE(bases);
    auto* winner = n ? Py_TYPE(PyTuple_GET_ITEM(bases, 0)) : &PyType_Type;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of "
                        "the metaclasses of all its bases");
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(winner);
}

// meta.__prepare__(name, bases), or a new dict.
Ref prepare(PyObject* meta, PyObject* name, PyObject* bases) {
    PyObject* method;
    int found = PyObject_GetOptionalAttr(meta, n___prepare__.get(), &method);
    if (found < 0) return {};
    if (!found) return Ref::steal(PyDict_New());
    Ref owned = Ref::steal(method);
    Ref ns = call(method, name, bases);
    if (ns && !PyMapping_Check(ns.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                     reinterpret_cast<PyTypeObject*>(meta)->tp_name, Py_TYPE(ns.get())->tp_name);
        return {};
    }
    return ns;
}

struct Method {
    const char* name;
    PyObject* function;
};

// class <name>(<base>): <methods>, at module level.
Ref build_class(PyObject* module, const char* class_name, const Name& base_name,
                std::initializer_list<Method> methods) {
    Ref base = module_global(module, base_name);
    Ref orig_bases = base ? Ref::steal(PyTuple_Pack(1, base.get())) : Ref();
    Ref bases = orig_bases ? resolve_bases(orig_bases.get()) : Ref();
    PyObject* meta = bases ? metaclass_of(bases.get()) : nullptr;
    Ref name = meta ? Ref::steal(PyUnicode_FromString(class_name)) : Ref();
    Ref ns = name ? prepare(meta, name.get(), bases.get()) : Ref();
    Ref module_name = ns ? module_global(module, n___name__) : Ref();
    if (!module_name || PyObject_SetItem(ns.get(), n___module__.get(), module_name.get()) < 0 ||
        PyObject_SetItem(ns.get(), n___qualname__.get(), name.get()) < 0) {
        return {};
    }
    for (const Method& m : methods) {
        if (PyMapping_SetItemString(ns.get(), m.name, m.function) < 0) return {};
    }
    if (bases.get() != orig_bases.get() &&
        PyObject_SetItem(ns.get(), n___orig_bases__.get(), orig_bases.get()) < 0) {
        return {};
    }
    return call(meta, name.get(), bases.get(), ns.get());
}

Ref method(PyObject* module, const FunctionSpec& spec, PyObject* defaults = nullptr) {
    return make_function(spec, module, defaults);
}

int build_parser_class(PyObject* module) {
    Ref defaults = Ref::steal(PyTuple_Pack(2, Py_None, Py_None));
    Ref parse_args = defaults ? method(module, parse_args_spec, defaults.get()) : Ref();
    if (!parse_args) return -1;
    return bind(module, "ArgsPropagationParser",
                build_class(module, "ArgsPropagationParser", n_ArgumentParser,
                            {{parse_args_spec.name, parse_args.get()}}));
}

int build_formatter_class(PyObject* module) {
    Ref init = method(module, init_spec);
    Ref usage = init ? method(module, format_usage_spec) : Ref();
    Ref invocation = usage ? method(module, format_action_invocation_spec) : Ref();
    if (!invocation) return -1;
    Ref cls = build_class(module, "Tavik_HelpFormatter", n_RawTextHelpFormatter,
                          {{init_spec.name, init.get()},
                           {format_usage_spec.name, usage.get()},
                           {format_action_invocation_spec.name, invocation.get()}});
    if (!cls) return -1;
    // The __class__ cell of zero-argument super() in __init__.
    Py_XSETREF(reinterpret_cast<Function*>(init.get())->extra, Py_NewRef(cls.get()));
    return bind(module, "Tavik_HelpFormatter", std::move(cls));
}

// ---- the body --------------------------------------------------------------

int retain_builtins() {
    Ref debug = builtin("__debug__");
    int enabled = debug ? PyObject_IsTrue(debug.get()) : -1;
    if (enabled < 0) return -1;
    assertions_enabled = enabled != 0;
    return 0;
}

int body(PyObject* module) {
    if (retain_builtins() < 0 || register_module(module, "tavik.utils.parser") < 0) return -1;
    Ref super = builtin("super");
    if (!super) return -1;
    Py_XSETREF(builtin_super, super.release());
    if (import_as(module, "sys") < 0 || import_names(module, "gettext", {{"gettext", "gettext"}}) < 0 ||
        import_as(module, "re") < 0 || import_star(module, "argparse") < 0) {
        return -1;
    }
    if (build_parser_class(module) < 0) return -1;
    return build_formatter_class(module);
}

}  // namespace

}  // namespace tavik::parser

TAVIK_MODULE(parser, "tavik.utils.parser", tavik::parser::body)
