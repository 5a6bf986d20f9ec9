#include "dicts/yaml_guard.hpp"

#include "core/watch.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

namespace tavik::dicts {

namespace {

// The modules whose code safe_load runs.
constexpr const char* kModules[] = {"yaml",         "yaml.error",    "yaml.tokens",   "yaml.events",
                                    "yaml.nodes",   "yaml.reader",   "yaml.scanner",  "yaml.parser",
                                    "yaml.composer", "yaml.constructor", "yaml.resolver", "yaml.loader"};

Name n___module__{"__module__"};

// Off: the native way is never taken. Armed: watched since import, the
// copies not taken yet. Taking: being taken (a finalizer run by a collection
// meanwhile that loads YAML goes the original way). Kept: everything below
// holds its import-time state.
enum class State { Off, Armed, Taking, Kept };
State state = State::Off;
PyObject* safe_load_ = nullptr;
PyObject* nan_ = nullptr;

// ---- dicts: watched, compared with a copy when the epoch moves --------------

std::uint64_t epoch = 1;
std::uint64_t verified_epoch = 0;
std::uint64_t armed_epoch = 0;
int dict_watcher = -1;

// Runs inside the dict operation: no failure, no Python code.
int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++epoch;
    return 0;
}

struct DictCopy {
    PyObject* dict;
    PyObject* copy;  // taken with the rest (take_all)
};
std::vector<DictCopy> dicts_;

// Entries of other namespaces (the builtins the code names, what the
// constructor reads of datetime, types and collections): see watch.hpp.
Entries entries;
// The builtins as they were at import: the names the kept code reads are
// known only once its functions are, and are kept with these values.
PyObject* builtins_at_import = nullptr;

// A copy that only this file reaches: untracked, so that no Python code can
// find it through gc (get_objects, get_referrers) and edit it. It holds
// references only, no cycle through it, and nothing is ever stored into it.
PyObject* private_copy(PyObject* dict) {
    PyObject* copy = PyDict_Copy(dict);
    if (copy) PyObject_GC_UnTrack(copy);
    return copy;
}

bool watch_dict(PyObject* dict) {
    if (dict_watcher < 0) {
        dict_watcher = PyDict_AddWatcher(on_dict_change);
        if (dict_watcher < 0) return false;
    }
    return PyDict_Watch(dict_watcher, dict) == 0;
}

bool arm_dict(PyObject* dict) {
    if (!PyDict_CheckExact(dict)) return false;
    for (const DictCopy& d : dicts_) {
        if (d.dict == dict) return true;
    }
    if (!watch_dict(dict)) return false;
    dicts_.push_back({Py_NewRef(dict), nullptr});
    return true;
}

// A key of another type than these (the tables key their default by None)
// could run code when a lookup meets it.
bool plain_keys(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key) && key != Py_None && !PyLong_CheckExact(key)) return false;
    }
    return true;
}

bool same_dict(const DictCopy& d) {
    if (PyDict_GET_SIZE(d.dict) != PyDict_GET_SIZE(d.copy) || !plain_keys(d.dict)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d.copy, &pos, &key, &value)) {
        // Keys are the copy's own objects: the lookup finds them by identity
        // first, and str keys compare without Python code.
        PyObject* now;
        if (PyDict_GetItemRef(d.dict, key, &now) < 0) {
            PyErr_Clear();
            return false;
        }
        Py_XDECREF(now);
        if (now != value) return false;
    }
    return true;
}

// ---- functions ------------------------------------------------------------------

std::vector<KeptFunction> functions_;

// co_names of every kept function, repeats included until take_all sorts
// them out: one vector is cheaper than a set.
std::vector<PyObject*> names_;

void collect_names(PyObject* code) {
    PyCodeObject* co = reinterpret_cast<PyCodeObject*>(code);
    PyObject* names = co->co_names;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) names_.push_back(PyTuple_GET_ITEM(names, i));
    PyObject* consts = co->co_consts;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) {
        PyObject* c = PyTuple_GET_ITEM(consts, i);
        if (PyCode_Check(c)) collect_names(c);
    }
}

// A function met in two namespaces (a module re-exports another's) is kept
// twice until keep_yaml drops the repeats: a search per function would cost
// more than the sort.
void keep_function(PyObject* f) {
    KeptFunction kept;
    kept.take(f);
    functions_.push_back(kept);
}

// The function behind a namespace value, if any: plain, class or static
// method, property accessors.
bool keep_callable(PyObject* value) {
    if (PyFunction_Check(value)) {
        keep_function(value);
        return true;
    }
    const char* inner[] = {"__func__", "fget", "fset", "fdel"};
    bool wrapper = Py_IS_TYPE(value, &PyClassMethod_Type) || Py_IS_TYPE(value, &PyStaticMethod_Type);
    bool property = Py_IS_TYPE(value, &PyProperty_Type);
    if (!wrapper && !property) return true;
    for (std::size_t i = wrapper ? 0 : 1; i < (wrapper ? 1 : 4); ++i) {
        Ref f = Ref::steal(PyObject_GetAttrString(value, inner[i]));
        if (!f) return false;
        if (PyFunction_Check(f.get())) keep_function(f.get());
    }
    return true;
}

// A module's or class's namespace: watched, and its functions kept now (no
// watcher sees a function given new code or defaults).
bool arm_namespace(PyObject* dict) {
    if (!arm_dict(dict)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!keep_callable(value)) return false;
    }
    return true;
}

void drop_repeated_functions() {
    std::sort(functions_.begin(), functions_.end(),
              [](const KeptFunction& a, const KeptFunction& b) { return std::less<>{}(a.function, b.function); });
    std::size_t kept = 0;
    for (KeptFunction& k : functions_) {
        if (kept && functions_[kept - 1].function == k.function) {
            k.forget();
        } else {
            functions_[kept++] = k;
        }
    }
    functions_.resize(kept);
}

// ---- classes, lists -------------------------------------------------------------

struct Class {
    PyObject* type;
    PyObject* mro;
};
std::vector<Class> classes_;
bool classes_changed = false;

struct ListCopy {
    PyObject* list;
    PyObject* copy;  // tuple
};
std::vector<ListCopy> lists_;

bool arm_class(PyObject* type) {
    for (const Class& c : classes_) {
        if (c.type == type) return true;
    }
    // A metaclass answers attribute lookups and isinstance its own way: it
    // is kept as well.
    PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(type));
    if (meta != reinterpret_cast<PyObject*>(&PyType_Type) && !arm_class(meta)) return false;
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type);
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) return true;  // static types never change
    if (!watch_type(type, &classes_changed) || !arm_namespace(t->tp_dict)) return false;
    classes_.push_back({Py_NewRef(type), Py_NewRef(t->tp_mro)});
    return true;
}

bool keep_resolver_lists(PyObject* table) {
    if (!PyDict_CheckExact(table)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(table, &pos, &key, &value)) {
        if (!PyList_CheckExact(value)) return false;
        PyObject* copy = PyList_AsTuple(value);
        if (!copy) return false;
        lists_.push_back({Py_NewRef(value), copy});
    }
    return true;
}

Ref attr(PyObject* obj, const char* name) {
    return Ref::steal(PyObject_GetAttrString(obj, name));
}

bool keep_entry(PyObject* module, const char* name) {
    return entries.add(PyModule_GetDict(module), name) > 0;
}

// At import: watches every namespace, class and table that safe_load's code
// reads, and takes what no watcher sees (the functions, method resolution
// orders, the resolver lists, entries of other modules, the builtins).
bool arm_all(PyObject* yaml) {
    PyObject* modules = PyImport_GetModuleDict();
    for (const char* name : kModules) {
        PyObject* found;
        if (PyDict_GetItemStringRef(modules, name, &found) <= 0) return false;
        Ref m = Ref::steal(found);
        if (!PyModule_CheckExact(m.get())) return false;
        PyObject* dict = PyModule_GetDict(m.get());
        if (!arm_namespace(dict)) return false;
        // Every class the module defines (tokens, events, nodes, errors, the
        // loader's parts).
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            // A class defined in Python names its module in its own
            // namespace; static types are defined elsewhere.
            if (!PyType_Check(value) || !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(value), Py_TPFLAGS_HEAPTYPE)) {
                continue;
            }
            PyObject* module_name;
            if (PyDict_GetItemRef(reinterpret_cast<PyTypeObject*>(value)->tp_dict, n___module__.get(), &module_name) < 0) {
                return false;
            }
            Ref owner = Ref::steal(module_name);
            if (owner && PyUnicode_Check(owner.get()) && PyUnicode_CompareWithASCIIString(owner.get(), name) == 0 &&
                !arm_class(value)) {
                return false;
            }
        }
    }
    Ref safe_load = attr(yaml, "safe_load");
    Ref loader = safe_load ? attr(yaml, "SafeLoader") : Ref();
    if (!safe_load || !loader || !PyFunction_Check(safe_load.get()) || !PyType_Check(loader.get())) return false;
    PyObject* mro = reinterpret_cast<PyTypeObject*>(loader.get())->tp_mro;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        if (!arm_class(PyTuple_GET_ITEM(mro, i))) return false;
    }
    // The class-level tables, as SafeLoader finds them; each is a dict that
    // the add_* class methods may change in place.
    for (const char* table : {"yaml_constructors", "yaml_multi_constructors", "yaml_implicit_resolvers",
                              "yaml_path_resolvers", "bool_values"}) {
        Ref t = attr(loader.get(), table);
        if (!t || !arm_dict(t.get())) return false;
    }
    Ref resolvers = attr(loader.get(), "yaml_implicit_resolvers");
    if (!resolvers || !keep_resolver_lists(resolvers.get())) return false;
    // What the constructor reaches through other modules.
    Ref types = Ref::steal(PyImport_ImportModule("types"));
    Ref collections = types ? Ref::steal(PyImport_ImportModule("collections")) : Ref();
    Ref abc = collections ? Ref::steal(PyImport_ImportModule("collections.abc")) : Ref();
    Ref datetime = abc ? Ref::steal(PyImport_ImportModule("datetime")) : Ref();
    if (!datetime || !keep_entry(types.get(), "GeneratorType") || !keep_entry(collections.get(), "abc")) return false;
    for (const char* name : {"date", "datetime", "timedelta", "timezone"}) {
        if (!keep_entry(datetime.get(), name)) return false;
    }
    Ref hashable = attr(abc.get(), "Hashable");
    if (!hashable || !keep_entry(abc.get(), "Hashable") || !arm_class(hashable.get())) return false;
    // The builtins, watched from now on (watch.hpp) and copied as they are.
    Ref builtins_module = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins_module) return false;
    PyObject* builtins = PyModule_GetDict(builtins_module.get());
    if (!watch_namespace(builtins) || !is_kept(builtins)) return false;
    builtins_at_import = private_copy(builtins);
    if (!builtins_at_import) return false;
    Ref nan = attr(loader.get(), "nan_value");
    if (!nan || !PyFloat_CheckExact(nan.get())) return false;
    nan_ = nan.release();
    safe_load_ = safe_load.release();
    return true;
}

// The rest, once: the copies of the watched dicts and the builtins the kept
// functions name. They stand for the state at import only while no watcher
// has heard of a change since.
bool unchanged_since_import() {
    return epoch == armed_epoch && !classes_changed;
}

bool take_all() {
    if (!unchanged_since_import()) return false;
    for (DictCopy& d : dicts_) {
        d.copy = private_copy(d.dict);
        if (!d.copy) return false;
    }
    for (const KeptFunction& k : functions_) collect_names(k.code);
    std::sort(names_.begin(), names_.end());
    names_.erase(std::unique(names_.begin(), names_.end()), names_.end());
    Ref builtins_module = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins_module) return false;
    PyObject* builtins = PyModule_GetDict(builtins_module.get());
    for (PyObject* name : names_) {
        PyObject* value;
        int has = PyDict_GetItemRef(builtins_at_import, name, &value);
        if (has < 0) return false;
        Ref was = Ref::steal(value);
        if (has && entries.add(builtins, name, was.get()) <= 0) return false;
    }
    names_ = {};
    // Allocation above may have run a collection, and a finalizer Python
    // code: anything it changed was heard.
    return unchanged_since_import();
}

bool functions_unchanged() {
    for (const KeptFunction& k : functions_) {
        if (!k.unchanged()) return false;
    }
    return true;
}

// `__bases__` assigned leaves the namespaces alone: each class's method
// resolution order is the tuple it had.
// A tuple rebuilt with the same classes (the bases assigned back) is kept in
// its place.
bool bases_unchanged() {
    for (Class& c : classes_) {
        PyObject* mro = reinterpret_cast<PyTypeObject*>(c.type)->tp_mro;
        if (mro == c.mro) continue;
        Py_ssize_t n = PyTuple_GET_SIZE(c.mro);
        if (!mro || PyTuple_GET_SIZE(mro) != n) return false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (PyTuple_GET_ITEM(mro, i) != PyTuple_GET_ITEM(c.mro, i)) return false;
        }
        Py_SETREF(c.mro, Py_NewRef(mro));
    }
    return true;
}

bool lists_unchanged() {
    for (const ListCopy& l : lists_) {
        Py_ssize_t n = PyTuple_GET_SIZE(l.copy);
        if (PyList_GET_SIZE(l.list) != n) return false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (PyList_GET_ITEM(l.list, i) != PyTuple_GET_ITEM(l.copy, i)) return false;
        }
    }
    return true;
}

bool namespaces_unchanged() {
    for (const DictCopy& d : dicts_) {
        if (!same_dict(d)) return false;
    }
    return true;
}

void take() {
    state = State::Taking;
    bool ok = take_all();
    PyErr_Clear();
    verified_epoch = epoch;
    state = ok ? State::Kept : State::Off;
}

}  // namespace

int keep_yaml(PyObject* yaml) {
    if (state != State::Off || safe_load_) return 0;
    // Before the first watch: a change heard while arming (a finalizer run by
    // a collection) counts as one since import.
    armed_epoch = epoch;
    if (!arm_all(yaml)) {
        // Nothing found missing here is the import's business.
        PyErr_Clear();
        return 0;
    }
    drop_repeated_functions();
    state = State::Armed;
    return 0;
}

bool yaml_is_original(PyObject* safe_load) {
    if (state == State::Off || state == State::Taking || safe_load != safe_load_ || python_is_observed()) {
        return false;
    }
    if (state == State::Armed) {
        take();
        if (state == State::Off) return false;
    }
    if (!functions_unchanged() || !lists_unchanged() || !bases_unchanged() || !entries.unchanged()) return false;
    if (classes_changed || verified_epoch != epoch) {
        if (!namespaces_unchanged()) return false;
        classes_changed = false;
        verified_epoch = epoch;
    }
    return true;
}

PyObject* yaml_nan() {
    return nan_;
}

}  // namespace tavik::dicts
