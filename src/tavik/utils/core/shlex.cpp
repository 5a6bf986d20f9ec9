#include "core/shlex.hpp"

#include "core/names.hpp"
#include "core/watch.hpp"

#include <array>
#include <initializer_list>
#include <vector>

namespace tavik {

namespace {

Name n_split{"split"};
Name n_collections{"collections"};

// ---- the splitter --------------------------------------------------------
//
// shlex in POSIX mode with whitespace_split and no comment characters: runs of
// ' \t\r\n' separate words; '...' takes everything literally; "..." takes
// everything but a backslash escaping '"' or '\'; outside quotes a backslash
// takes the next character literally. Quotes are removed, and an empty
// quoted word ('' or "") is a word.

bool blank(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

template <class Char>
Ref split_chars(const Char* s, Py_ssize_t n, int kind) {
    enum State { Space, Word, Single, Double, Escape };
    Ref words = Ref::steal(PyList_New(0));
    if (!words) return {};
    std::vector<Char> word;
    Py_ssize_t i = 0;
    for (;;) {  // one word per round
        word.clear();
        bool quoted = false;
        State state = Space;
        State escaped_in = Word;
        bool end = false;
        for (;;) {
            if (i >= n) {
                if (state == Single || state == Double) {
                    PyErr_SetString(PyExc_ValueError, "No closing quotation");
                    return {};
                }
                if (state == Escape) {
                    PyErr_SetString(PyExc_ValueError, "No escaped character");
                    return {};
                }
                end = true;
                break;
            }
            Char c = s[i++];
            if (state == Space) {
                if (blank(c)) continue;
                if (c == '\\') {
                    escaped_in = Word;
                    state = Escape;
                } else if (c == '\'') {
                    state = Single;
                } else if (c == '"') {
                    state = Double;
                } else {
                    word.push_back(c);
                    state = Word;
                }
            } else if (state == Word) {
                if (blank(c)) {
                    if (!word.empty() || quoted) break;
                    state = Space;
                } else if (c == '\'') {
                    state = Single;
                } else if (c == '"') {
                    state = Double;
                } else if (c == '\\') {
                    escaped_in = Word;
                    state = Escape;
                } else {
                    word.push_back(c);
                }
            } else if (state == Single) {
                quoted = true;
                if (c == '\'') state = Word;
                else word.push_back(c);
            } else if (state == Double) {
                quoted = true;
                if (c == '"') {
                    state = Word;
                } else if (c == '\\') {
                    escaped_in = Double;
                    state = Escape;
                } else {
                    word.push_back(c);
                }
            } else {  // Escape
                // Inside double quotes only the quote and the backslash are escaped.
                if (escaped_in == Double && c != '\\' && c != '"') word.push_back('\\');
                word.push_back(c);
                state = escaped_in;
            }
        }
        if (!word.empty() || quoted) {
            Ref w = Ref::steal(PyUnicode_FromKindAndData(kind, word.data(), static_cast<Py_ssize_t>(word.size())));
            if (!w || PyList_Append(words.get(), w.get()) < 0) return {};
        }
        if (end) return words;
    }
}

// ---- the originals -----------------------------------------------------------
//
// See shlex.hpp for what each guard stands for.

PyObject* module_ = nullptr;
PyObject* class_ = nullptr;
PyObject* property_ = nullptr;  // punctuation_chars
PyObject* collections_ = nullptr;
PyObject* spec_ = nullptr;       // collections.__spec__
PyObject* spec_dict_ = nullptr;  // its __dict__
bool changed = false;
bool usable = false;

// split, the methods its default mode runs and the property's getter, then
// the import system's _handle_fromlist.
std::array<KeptFunction, 8> functions;
Entries entries;

PyObject* builtins_of(PyObject* function) {
    return reinterpret_cast<PyFunctionObject*>(function)->func_builtins;
}

PyObject* class_attr(const char* name) {
    return PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(class_)->tp_dict, name);
}

// Each name absent from `globals` and present in `builtins`; 0 when not so.
int remember_builtins(PyObject* globals, PyObject* builtins, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        int r = entries.add(globals, name);
        if (r > 0) r = entries.add(builtins, name);
        if (r <= 0) return r;
        if (PyDict_GetItemString(globals, name) || !PyDict_GetItemString(builtins, name)) return 0;
    }
    return 1;
}

// `from collections import deque` as the interpreter runs it: the module in
// sys.modules, its __spec__._initializing, its __path__ (a package: the
// import system's _handle_fromlist is called), then its deque.
int remember_import(PyObject* sys_modules) {
    PyObject* found;
    if (PyDict_GetItemStringRef(sys_modules, "importlib._bootstrap", &found) < 0) return -1;
    Ref bootstrap = Ref::steal(found);
    if (!bootstrap) return 0;
    if (!PyModule_CheckExact(bootstrap.get()) || !PyModule_CheckExact(collections_)) return 0;
    PyObject* bootstrap_dict = PyModule_GetDict(bootstrap.get());
    PyObject* handle = PyDict_GetItemString(bootstrap_dict, "_handle_fromlist");
    if (!functions[7].take(handle)) return 0;
    int r = entries.add(bootstrap_dict, "_handle_fromlist");
    // What it reads on the way: the names and their builtins.
    if (r > 0) r = remember_builtins(bootstrap_dict, builtins_of(handle), {"isinstance", "hasattr", "str"});
    PyObject* collections_dict = PyModule_GetDict(collections_);
    for (const char* name : {"deque", "__spec__", "__path__"}) {
        if (r > 0) r = entries.add(collections_dict, name);
    }
    if (r <= 0) return r;
    spec_ = PyDict_GetItemString(collections_dict, "__spec__");
    if (!spec_ || !PyDict_GetItemString(collections_dict, "__path__")) return 0;
    Py_INCREF(spec_);
    spec_dict_ = PyObject_GenericGetDict(spec_, nullptr);
    if (!spec_dict_) return -1;
    PyObject* initializing = PyDict_GetItemString(spec_dict_, "_initializing");
    if (initializing && initializing != Py_False) return 0;
    r = entries.add(spec_dict_, "_initializing");
    if (r <= 0) return r;
    return watch_type(reinterpret_cast<PyObject*>(Py_TYPE(spec_)), &changed) ? 1 : 0;
}

int remember(PyObject* module, PyObject* split) {
    if (!functions[0].take(split)) return 0;
    const char* methods[] = {"__init__", "__iter__", "__next__", "get_token", "read_token"};
    for (std::size_t i = 0; i < 5; ++i) {
        if (!functions[i + 1].take(class_attr(methods[i]))) return 0;
    }
    PyObject* prop = class_attr("punctuation_chars");
    if (!prop || !Py_IS_TYPE(prop, &PyProperty_Type)) return 0;
    Ref fget = Ref::steal(PyObject_GetAttrString(prop, "fget"));
    if (!fget) return -1;
    if (!functions[6].take(fget.get())) return 0;
    property_ = Py_NewRef(prop);
    // Every function reads the same globals and builtins.
    PyObject* globals = PyModule_GetDict(module);
    PyObject* builtins = builtins_of(split);
    for (std::size_t i = 0; i < 7; ++i) {
        if (PyFunction_GET_GLOBALS(functions[i].function) != globals ||
            builtins_of(functions[i].function) != builtins) {
            return 0;
        }
    }
    int r = 1;
    for (const char* name : {"shlex", "split", "StringIO", "sys"}) {
        if (r > 0) r = entries.add(globals, name);
    }
    if (r > 0) r = remember_builtins(globals, builtins, {"ValueError", "list", "dict", "isinstance", "str",
                                                         "StopIteration", "print", "repr", "__import__"});
    if (r > 0) r = remember_import(PyImport_GetModuleDict());
    if (r <= 0) return r;
    return watch_type(class_, &changed) ? 1 : 0;
}

// Everything that changes without a watcher noticing: code and defaults of
// the functions, the property's getter, the module the import finds, the
// classes of the two modules and the own dict of collections.__spec__.
bool functions_unchanged() {
    for (const KeptFunction& f : functions) {
        if (!f.unchanged()) return false;
    }
    Ref fget = Ref::steal(PyObject_GetAttrString(property_, "fget"));
    if (fget.get() != functions[6].function) {
        PyErr_Clear();
        return false;
    }
    PyObject* found;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), n_collections.get(), &found) < 0) {
        PyErr_Clear();
        return false;
    }
    Py_XDECREF(found);
    if (found != collections_ || !PyModule_CheckExact(collections_)) return false;
    Ref dict = Ref::steal(PyObject_GenericGetDict(spec_, nullptr));
    PyErr_Clear();
    return dict.get() == spec_dict_;
}

bool original(PyObject* module) {
    return usable && module == module_ && PyModule_CheckExact(module) && !changed && entries.unchanged() &&
           functions_unchanged();
}

}  // namespace

int keep_shlex(PyObject* module) {
    if (module_) return 0;
    if (watch_collector() < 0) return -1;
    // Whatever is missing here leaves the native path off; the module's own
    // import then reports nothing.
    Ref klass = Ref::steal(PyObject_GetAttrString(module, "shlex"));
    Ref split = klass ? Ref::steal(PyObject_GetAttrString(module, "split")) : Ref();
    Ref collections = split ? Ref::steal(PyImport_ImportModule("collections")) : Ref();
    if (!collections) return -1;
    module_ = Py_NewRef(module);
    if (!PyType_Check(klass.get()) || !PyModule_CheckExact(module)) return 0;
    class_ = klass.release();
    collections_ = collections.release();
    int r = remember(module, split.get());
    if (r < 0) return -1;
    usable = r > 0;
    return 0;
}

Ref split_shell_words(PyObject* text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return split_chars(PyUnicode_1BYTE_DATA(text), n, PyUnicode_1BYTE_KIND);
        case PyUnicode_2BYTE_KIND: return split_chars(PyUnicode_2BYTE_DATA(text), n, PyUnicode_2BYTE_KIND);
        default: return split_chars(PyUnicode_4BYTE_DATA(text), n, PyUnicode_4BYTE_KIND);
    }
}

Ref shlex_split(PyObject* module, PyObject* text) {
    if (PyUnicode_CheckExact(text) && original(module) && stand_in_unseen()) {
        return split_shell_words(text);
    }
    Ref split = get_attr(module, n_split);
    return split ? call(split.get(), text) : Ref();
}

}  // namespace tavik
