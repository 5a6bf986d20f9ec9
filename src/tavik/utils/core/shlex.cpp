#include "core/shlex.hpp"

#include "core/names.hpp"
#include "core/watch.hpp"

#include <array>
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

PyObject* module_ = nullptr;
PyObject* split_ = nullptr;
PyObject* class_ = nullptr;
bool class_changed = false;
bool usable = false;

// Functions that split runs, with their code and defaults as imported.
struct Original {
    PyObject* function;
    PyObject* code;
    PyObject* defaults;
};
std::array<Original, 7> functions{};

// A namespace entry split relies on, and what it held.
struct Entry {
    PyObject* dict;
    PyObject* key;
    PyObject* value;
};
std::array<Entry, 12> entries{};
std::size_t entry_count = 0;
std::uint64_t verified_epoch = 0;

PyObject* collections_ = nullptr;

int remember_entry(PyObject* dict, const char* name) {
    if (entry_count == entries.size()) return 0;
    PyObject* key = PyUnicode_InternFromString(name);
    if (!key) return -1;
    PyObject* value;
    if (PyDict_GetItemRef(dict, key, &value) <= 0) {
        Py_DECREF(key);
        return PyErr_Occurred() ? -1 : 1;  // missing: never native
    }
    entries[entry_count++] = {Py_NewRef(dict), key, value};
    return 0;
}

int remember_function(std::size_t i, PyObject* function) {
    if (!function || !PyFunction_Check(function)) return 1;
    functions[i] = {Py_NewRef(function), Py_NewRef(PyFunction_GET_CODE(function)),
                    Py_XNewRef(PyFunction_GET_DEFAULTS(function))};
    return 0;
}

int remember_method(std::size_t i, const char* name) {
    PyObject* attr = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(class_)->tp_dict, name);
    if (attr && Py_IS_TYPE(attr, &PyProperty_Type)) {
        Ref fget = Ref::steal(PyObject_GetAttrString(attr, "fget"));
        if (!fget) return -1;
        return remember_function(i, fget.get());
    }
    return remember_function(i, attr);
}

// Everything that changes without a watcher noticing: code and defaults of
// the functions, the property's getter, and the module import statement
// finds for `from collections import deque`.
bool functions_unchanged() {
    for (const Original& o : functions) {
        PyObject* f = o.function;
        if (PyFunction_GET_CODE(f) != o.code || PyFunction_GET_DEFAULTS(f) != o.defaults ||
            PyFunction_GET_KW_DEFAULTS(f) != nullptr) {
            return false;
        }
    }
    PyObject* prop = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(class_)->tp_dict, "punctuation_chars");
    if (!prop || !Py_IS_TYPE(prop, &PyProperty_Type)) return false;
    Ref fget = Ref::steal(PyObject_GetAttrString(prop, "fget"));
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
    return found == collections_;
}

bool entries_unchanged() {
    for (std::size_t i = 0; i < entry_count; ++i) {
        const Entry& e = entries[i];
        PyObject* now;
        if (PyDict_GetItemRef(e.dict, e.key, &now) < 0) {
            PyErr_Clear();
            return false;
        }
        Py_XDECREF(now);
        if (now != e.value) return false;
    }
    return true;
}

bool original(PyObject* module) {
    if (!usable || module != module_ || class_changed) return false;
    if (verified_epoch != namespace_epoch) {
        if (!entries_unchanged()) return false;
        verified_epoch = namespace_epoch;
    }
    return functions_unchanged();
}

}  // namespace

int keep_shlex(PyObject* module) {
    if (module_) return 0;
    // Whatever is missing here leaves the native path off; the module's own
    // import then reports nothing.
    Ref klass = Ref::steal(PyObject_GetAttrString(module, "shlex"));
    Ref split = klass ? Ref::steal(PyObject_GetAttrString(module, "split")) : Ref();
    Ref collections = split ? Ref::steal(PyImport_ImportModule("collections")) : Ref();
    Ref builtins = collections ? Ref::steal(PyImport_ImportModule("builtins")) : Ref();
    if (!builtins) return -1;
    module_ = Py_NewRef(module);
    if (!PyType_Check(klass.get())) return 0;
    class_ = klass.release();
    split_ = split.release();
    collections_ = collections.release();
    int r = remember_function(0, split_);
    const char* methods[] = {"__init__", "__iter__", "__next__", "get_token", "read_token", "punctuation_chars"};
    for (std::size_t i = 0; r == 0 && i < 6; ++i) r = remember_method(i + 1, methods[i]);
    PyObject* module_dict = PyModule_GetDict(module);
    PyObject* builtins_dict = PyModule_GetDict(builtins.get());
    PyObject* collections_dict = PyModule_GetDict(collections_);
    for (const char* name : {"shlex", "split", "StringIO"}) {
        if (r == 0) r = remember_entry(module_dict, name);
    }
    for (const char* name : {"isinstance", "str", "list", "ValueError", "StopIteration", "__import__"}) {
        if (r == 0) r = remember_entry(builtins_dict, name);
    }
    if (r == 0) r = remember_entry(collections_dict, "deque");
    if (r < 0) return -1;
    if (r > 0) return 0;
    usable = watch_namespace(module_dict) && watch_namespace(builtins_dict) && watch_namespace(collections_dict) &&
             watch_type(class_, &class_changed);
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
    if (PyUnicode_CheckExact(text) && original(module)) return split_shell_words(text);
    Ref split = get_attr(module, n_split);
    return split ? call(split.get(), text) : Ref();
}

}  // namespace tavik
