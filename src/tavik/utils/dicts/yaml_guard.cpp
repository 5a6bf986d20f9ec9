#include "dicts/yaml_guard.hpp"

#include "core/abc.hpp"
#include "core/watch.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
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

// `name` (an exact str) names one of kModules.
bool is_loader_module(PyObject* name) {
    for (const char* module : kModules) {
        if (PyUnicode_CompareWithASCIIString(name, module) == 0) return true;
    }
    return false;
}

// Off: the native way is never taken. Armed: watched since import, the
// copies not taken yet. Taking: being taken (a finalizer run by a collection
// meanwhile that loads YAML goes the original way). Kept: everything below
// holds its import-time state.
enum class State { Off, Armed, Taking, Kept };
State state = State::Off;
PyObject* safe_load_ = nullptr;
PyObject* nan_ = nullptr;
PyObject* hashable_ = nullptr;      // collections.abc.Hashable, as the constructor reaches it
std::vector<PyObject*> modules_;    // the modules whose attributes the constructor reads

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
std::vector<const KeptFunction*> closures_;  // those of functions_ with cells

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

// Whether `f` is PyYAML's own function bound under `key` in the namespace of
// `owner` (a class's qualified name, or nullptr for a module): the module it
// names is a loader module whose file its code comes from, and its qualified
// name, its code's and its code's name are what that place gives it. A
// function put there from elsewhere (an application's, or another
// function's code assigned to it before the import) fails.
bool pyyaml_own(PyObject* f, PyObject* key, PyObject* owner) {
    auto* fn = reinterpret_cast<PyFunctionObject*>(f);
    auto* code = reinterpret_cast<PyCodeObject*>(fn->func_code);
    PyObject* module = fn->func_module;
    if (!module || !PyUnicode_CheckExact(module) || !PyUnicode_CheckExact(key) || !is_loader_module(module)) {
        return false;
    }
    PyObject* loaded = PyImport_GetModule(module);
    if (!loaded) {
        PyErr_Clear();
        return false;
    }
    Ref m = Ref::steal(loaded);
    PyObject* file = PyModule_CheckExact(m.get()) ? PyDict_GetItemString(PyModule_GetDict(m.get()), "__file__") : nullptr;
    Ref qualname = owner ? Ref::steal(PyUnicode_FromFormat("%U.%U", owner, key)) : Ref::borrow(key);
    if (!qualname) {
        PyErr_Clear();
        return false;
    }
    auto same = [](PyObject* a, PyObject* b) {
        return a && b && PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) && PyUnicode_Compare(a, b) == 0;
    };
    return same(file, code->co_filename) && same(fn->func_qualname, qualname.get()) &&
           same(code->co_qualname, fn->func_qualname) && same(code->co_name, fn->func_name);
}

// A function met in two namespaces (a module re-exports another's) is kept
// twice until keep_yaml drops the repeats: a search per function would cost
// more than the sort.
bool keep_function(PyObject* f, PyObject* key, PyObject* owner) {
    if (!pyyaml_own(f, key, owner)) return false;
    KeptFunction kept;
    kept.take(f);
    functions_.push_back(kept);
    return true;
}

// The function behind a namespace value, if any: plain, class or static
// method, property accessors; each PyYAML's own.
bool keep_callable(PyObject* key, PyObject* value, PyObject* owner) {
    if (PyFunction_Check(value)) return keep_function(value, key, owner);
    const char* inner[] = {"__func__", "fget", "fset", "fdel"};
    bool wrapper = Py_IS_TYPE(value, &PyClassMethod_Type) || Py_IS_TYPE(value, &PyStaticMethod_Type);
    bool property = Py_IS_TYPE(value, &PyProperty_Type);
    if (!wrapper && !property) return true;
    for (std::size_t i = wrapper ? 0 : 1; i < (wrapper ? 1 : 4); ++i) {
        Ref f = Ref::steal(PyObject_GetAttrString(value, inner[i]));
        if (!f) return false;
        if (PyFunction_Check(f.get()) && !keep_function(f.get(), key, owner)) return false;
    }
    return true;
}

// A module's or class's namespace: watched, and its functions kept now (no
// watcher sees a function given new code or defaults).
bool arm_namespace(PyObject* dict, PyObject* owner) {
    if (!arm_dict(dict)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!keep_callable(key, value, owner)) return false;
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
    for (const KeptFunction& k : functions_) {
        if (!k.cells.empty()) closures_.push_back(&k);
    }
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

// A class that says it was defined in one of the loader modules.
bool pyyaml_class(PyObject* type) {
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    if (!PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE)) return false;
    PyObject* module = PyDict_GetItemWithError(t->tp_dict, n___module__.get());
    if (!module || !PyUnicode_CheckExact(module)) {
        PyErr_Clear();
        return false;
    }
    return is_loader_module(module);
}

// `own`: a class of PyYAML's, whose functions must be its own (above); the
// others (collections.abc.Hashable, metaclasses) are only watched.
bool arm_class(PyObject* type, bool own = true) {
    for (const Class& c : classes_) {
        if (c.type == type) return true;
    }
    // A metaclass answers attribute lookups and isinstance its own way: it
    // is kept as well.
    PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(type));
    if (meta != reinterpret_cast<PyObject*>(&PyType_Type) && !arm_class(meta, pyyaml_class(meta))) return false;
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type);
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) return true;  // static types never change
    PyObject* owner = own ? reinterpret_cast<PyHeapTypeObject*>(t)->ht_qualname : nullptr;
    if (!watch_type(type, &classes_changed)) return false;
    if (own ? !arm_namespace(t->tp_dict, owner) : !arm_dict(t->tp_dict)) return false;
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

// ---- what PyYAML itself defines ---------------------------------------------------
//
// What the reader implements is PyYAML's safe loading as PyYAML ships it, so
// the pieces must be PyYAML's own at import, not merely unchanged since: an
// application may have registered a constructor or resolver, or edited a
// table, before importing this module. The tables and data below are PyYAML
// 6.0's (their texts, as its source gives them); any other content, or a
// class of SafeLoader's that holds one of them in another place, leaves the
// native way off.

// SafeLoader's method resolution order: module and class.
constexpr std::pair<const char*, const char*> kLoaderMro[] = {
    {"yaml.loader", "SafeLoader"},       {"yaml.reader", "Reader"},           {"yaml.scanner", "Scanner"},
    {"yaml.parser", "Parser"},           {"yaml.composer", "Composer"},       {"yaml.constructor", "SafeConstructor"},
    {"yaml.constructor", "BaseConstructor"}, {"yaml.resolver", "Resolver"}, {"yaml.resolver", "BaseResolver"}};

// SafeConstructor.yaml_constructors: tag (nullptr: the None key) and method.
constexpr std::pair<const char*, const char*> kConstructors[] = {
    {"tag:yaml.org,2002:null", "construct_yaml_null"},   {"tag:yaml.org,2002:bool", "construct_yaml_bool"},
    {"tag:yaml.org,2002:int", "construct_yaml_int"},     {"tag:yaml.org,2002:float", "construct_yaml_float"},
    {"tag:yaml.org,2002:binary", "construct_yaml_binary"}, {"tag:yaml.org,2002:timestamp", "construct_yaml_timestamp"},
    {"tag:yaml.org,2002:omap", "construct_yaml_omap"},   {"tag:yaml.org,2002:pairs", "construct_yaml_pairs"},
    {"tag:yaml.org,2002:set", "construct_yaml_set"},     {"tag:yaml.org,2002:str", "construct_yaml_str"},
    {"tag:yaml.org,2002:seq", "construct_yaml_seq"},     {"tag:yaml.org,2002:map", "construct_yaml_map"},
    {nullptr, "construct_undefined"}};

// Resolver's implicit resolvers, in the order they are added: tag, pattern,
// its flags, and the first characters it is filed under ("" among them for
// null: the empty scalar).
struct StockResolver {
    const char* tag;
    const char* pattern;
    int flags;
    std::initializer_list<const char*> firsts;
};
const StockResolver kResolvers[] = {
    {"tag:yaml.org,2002:bool",
     "^(?:yes|Yes|YES|no|No|NO\n                    |true|True|TRUE|false|False|FALSE\n"
     "                    |on|On|ON|off|Off|OFF)$",
     96, {"y", "Y", "n", "N", "t", "T", "f", "F", "o", "O"}},
    {"tag:yaml.org,2002:float",
     "^(?:[-+]?(?:[0-9][0-9_]*)\\.[0-9_]*(?:[eE][-+][0-9]+)?\n                    |\\.[0-9][0-9_]*(?:[eE][-+][0-9]+)?\n"
     "                    |[-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\\.[0-9_]*\n                    |[-+]?\\.(?:inf|Inf|INF)\n"
     "                    |\\.(?:nan|NaN|NAN))$",
     96, {"-", "+", "0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "."}},
    {"tag:yaml.org,2002:int",
     "^(?:[-+]?0b[0-1_]+\n                    |[-+]?0[0-7_]+\n                    |[-+]?(?:0|[1-9][0-9_]*)\n"
     "                    |[-+]?0x[0-9a-fA-F_]+\n                    |[-+]?[1-9][0-9_]*(?::[0-5]?[0-9])+)$",
     96, {"-", "+", "0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}},
    {"tag:yaml.org,2002:merge", "^(?:<<)$", 32, {"<"}},
    {"tag:yaml.org,2002:null", "^(?: ~\n                    |null|Null|NULL\n                    | )$", 96,
     {"~", "n", "N", ""}},
    {"tag:yaml.org,2002:timestamp",
     "^(?:[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]\n                    |[0-9][0-9][0-9][0-9] -[0-9][0-9]? -[0-9][0-9]?\n"
     "                     (?:[Tt]|[ \\t]+)[0-9][0-9]?\n                     :[0-9][0-9] :[0-9][0-9] (?:\\.[0-9]*)?\n"
     "                     (?:[ \\t]*(?:Z|[-+][0-9][0-9]?(?::[0-9][0-9])?))?)$",
     96, {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}},
    {"tag:yaml.org,2002:value", "^(?:=)$", 32, {"="}},
    {"tag:yaml.org,2002:yaml", "^(?:!|&|\\*)$", 32, {"!", "&", "*"}}};

constexpr const char* kTimestampPattern =
    "^(?P<year>[0-9][0-9][0-9][0-9])\n                -(?P<month>[0-9][0-9]?)\n                -(?P<day>[0-9][0-9]?)\n"
    "                (?:(?:[Tt]|[ \\t]+)\n                (?P<hour>[0-9][0-9]?)\n                :(?P<minute>[0-9][0-9])\n"
    "                :(?P<second>[0-9][0-9])\n                (?:\\.(?P<fraction>[0-9]*))?\n"
    "                (?:[ \\t]*(?P<tz>Z|(?P<tz_sign>[-+])(?P<tz_hour>[0-9][0-9]?)\n"
    "                (?::(?P<tz_minute>[0-9][0-9]))?))?)?$";
// Reader.NON_PRINTABLE, as UTF-8.
constexpr const char* kNonPrintable = "[^\t\n\r -~\u0085\u00a0-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]";

// Small str -> str (or int, or bool) tables: key, and the value as text.
using Pairs = std::initializer_list<std::pair<const char*, const char*>>;
const Pairs kEscapeReplacements = {{"0", "\0"}, {"a", "\x07"}, {"b", "\x08"}, {"t", "\x09"}, {"\t", "\x09"},
                                   {"n", "\x0A"}, {"v", "\x0B"}, {"f", "\x0C"}, {"r", "\x0D"}, {"e", "\x1B"},
                                   {" ", "\x20"}, {"\"", "\""}, {"\\", "\\"}, {"/", "/"}, {"N", "\u0085"},
                                   {"_", "\u00a0"}, {"L", "\u2028"}, {"P", "\u2029"}};
const Pairs kEscapeCodes = {{"x", "2"}, {"u", "4"}, {"U", "8"}};
const Pairs kDefaultTags = {{"!", "!"}, {"!!", "tag:yaml.org,2002:"}};
const Pairs kBoolValues = {{"yes", "True"}, {"no", "False"}, {"true", "True"},
                           {"false", "False"}, {"on", "True"}, {"off", "False"}};
const Pairs kDefaultNodeTags = {{"DEFAULT_SCALAR_TAG", "tag:yaml.org,2002:str"},
                                {"DEFAULT_SEQUENCE_TAG", "tag:yaml.org,2002:seq"},
                                {"DEFAULT_MAPPING_TAG", "tag:yaml.org,2002:map"}};

bool is_text(PyObject* o, const char* text, std::size_t n) {
    if (!PyUnicode_CheckExact(o)) return false;
    Ref want = Ref::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(n), nullptr));
    if (!want) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Compare(o, want.get()) == 0;
}
bool is_text(PyObject* o, const char* text) { return is_text(o, text, std::strlen(text)); }

// What a stock table's values are.
enum class Values { Str, Int, Bool };

// `value` as the stock table gives it in `text`.
bool is_value(PyObject* value, const char* text, Values kind) {
    switch (kind) {
        case Values::Bool: return value == (std::strcmp(text, "True") == 0 ? Py_True : Py_False);
        case Values::Int: {
            if (!PyLong_CheckExact(value)) return false;
            int overflow = 0;
            long n = PyLong_AsLongAndOverflow(value, &overflow);
            long want = 0;
            std::from_chars(text, text + std::strlen(text), want);
            return !overflow && n == want;
        }
        default:
            // "\0" is one character, not an empty text.
            return is_text(value, text, text[0] ? std::strlen(text) : 1);
    }
}

// `dict` holds exactly these pairs: str keys, values of the kind given.
bool is_table(PyObject* dict, const Pairs& pairs, Values kind) {
    if (!dict || !PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(pairs.size()) ||
        !exact_str_keys(dict)) {
        return false;
    }
    for (const auto& [key, text] : pairs) {
        Ref k = Ref::steal(PyUnicode_FromString(key));
        // The keys are exact str: the lookup runs no code.
        PyObject* value = k ? PyDict_GetItemWithError(dict, k.get()) : nullptr;
        if (!value || !is_value(value, text, kind)) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// An exact re.Pattern of this text and flags.
bool is_pattern(PyObject* pattern, const char* text, long flags) {
    if (!pattern || std::strcmp(Py_TYPE(pattern)->tp_name, "re.Pattern") != 0 ||
        !PyType_HasFeature(Py_TYPE(pattern), Py_TPFLAGS_IMMUTABLETYPE)) {
        return false;
    }
    Ref source = Ref::steal(PyObject_GetAttrString(pattern, "pattern"));
    Ref f = source ? Ref::steal(PyObject_GetAttrString(pattern, "flags")) : Ref();
    bool ok = f && PyLong_CheckExact(f.get()) && PyLong_AsLong(f.get()) == flags && is_text(source.get(), text);
    PyErr_Clear();
    return ok;
}

// What SafeLoader finds under `name`: the entry of the class `owner` of its
// method resolution order, no class before it holding one.
PyObject* found_in(PyObject* loader, PyObject* owner, const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(loader), key.get());
    PyObject* own = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(owner)->tp_dict, key.get());
    PyErr_Clear();
    return found && found == own ? found : nullptr;
}

bool stock_resolvers(PyObject* table) {
    if (!table || !PyDict_CheckExact(table) || !exact_str_keys(table)) return false;
    // The lists the add_* calls build, first character by first character.
    std::vector<std::pair<std::string, std::vector<const StockResolver*>>> lists;
    for (const StockResolver& r : kResolvers) {
        for (const char* first : r.firsts) {
            auto it = std::find_if(lists.begin(), lists.end(), [&](const auto& l) { return l.first == first; });
            if (it == lists.end()) it = lists.insert(lists.end(), {first, {}});
            it->second.push_back(&r);
        }
    }
    if (PyDict_GET_SIZE(table) != static_cast<Py_ssize_t>(lists.size())) return false;
    for (const auto& [first, want] : lists) {
        PyObject* list = PyDict_GetItemString(table, first.c_str());
        if (!list || !PyList_CheckExact(list) || PyList_GET_SIZE(list) != static_cast<Py_ssize_t>(want.size())) {
            return false;
        }
        for (std::size_t i = 0; i < want.size(); ++i) {
            PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
            if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 2 ||
                !is_text(PyTuple_GET_ITEM(item, 0), want[i]->tag) ||
                !is_pattern(PyTuple_GET_ITEM(item, 1), want[i]->pattern, want[i]->flags)) {
                return false;
            }
        }
    }
    return true;
}

bool stock_constructors(PyObject* table, PyObject* safe_constructor) {
    if (!table || !PyDict_CheckExact(table)) return false;
    constexpr auto n = static_cast<Py_ssize_t>(std::size(kConstructors));
    if (PyDict_GET_SIZE(table) != n) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(table, &pos, &key, &value)) {
        if (key != Py_None && !PyUnicode_CheckExact(key)) return false;
    }
    PyObject* methods = reinterpret_cast<PyTypeObject*>(safe_constructor)->tp_dict;
    for (const auto& [tag, method] : kConstructors) {
        Ref k = tag ? Ref::steal(PyUnicode_FromString(tag)) : Ref::borrow(Py_None);
        PyObject* found = k ? PyDict_GetItemWithError(table, k.get()) : nullptr;
        PyObject* own = PyDict_GetItemString(methods, method);
        if (!found || found != own) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// The tables and data the reader implements, as SafeLoader finds them, and
// its method resolution order: PyYAML's own.
bool stock(PyObject* loader) {
    PyObject* mro = reinterpret_cast<PyTypeObject*>(loader)->tp_mro;
    constexpr auto n = static_cast<Py_ssize_t>(std::size(kLoaderMro));
    if (!mro || PyTuple_GET_SIZE(mro) != n + 1 ||
        PyTuple_GET_ITEM(mro, n) != reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
        return false;
    }
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* cls[n];
    for (Py_ssize_t i = 0; i < n; ++i) {
        cls[i] = PyTuple_GET_ITEM(mro, i);
        PyObject* module = PyDict_GetItemString(modules, kLoaderMro[i].first);
        PyObject* bound = module && PyModule_CheckExact(module)
                              ? PyDict_GetItemString(PyModule_GetDict(module), kLoaderMro[i].second)
                              : nullptr;
        if (bound != cls[i] || !pyyaml_class(cls[i])) return false;
    }
    PyObject *reader = cls[1], *scanner = cls[2], *parser = cls[3], *safe = cls[5], *base = cls[6],
             *resolver = cls[7], *base_resolver = cls[8];
    PyObject* multi = found_in(loader, base, "yaml_multi_constructors");
    PyObject* paths = found_in(loader, base_resolver, "yaml_path_resolvers");
    PyObject* inf = found_in(loader, safe, "inf_value");
    PyObject* nan = found_in(loader, safe, "nan_value");
    bool ok = stock_constructors(found_in(loader, safe, "yaml_constructors"), safe) && multi &&
              PyDict_CheckExact(multi) && PyDict_GET_SIZE(multi) == 0 && paths && PyDict_CheckExact(paths) &&
              PyDict_GET_SIZE(paths) == 0 && stock_resolvers(found_in(loader, resolver, "yaml_implicit_resolvers")) &&
              is_table(found_in(loader, safe, "bool_values"), kBoolValues, Values::Bool) &&
              is_table(found_in(loader, scanner, "ESCAPE_REPLACEMENTS"), kEscapeReplacements, Values::Str) &&
              is_table(found_in(loader, scanner, "ESCAPE_CODES"), kEscapeCodes, Values::Int) &&
              is_table(found_in(loader, parser, "DEFAULT_TAGS"), kDefaultTags, Values::Str) && inf &&
              PyFloat_CheckExact(inf) &&
              std::isinf(PyFloat_AS_DOUBLE(inf)) && PyFloat_AS_DOUBLE(inf) > 0 && nan && PyFloat_CheckExact(nan) &&
              std::isnan(PyFloat_AS_DOUBLE(nan)) &&
              is_pattern(found_in(loader, safe, "timestamp_regexp"), kTimestampPattern, 96) &&
              is_pattern(found_in(loader, reader, "NON_PRINTABLE"), kNonPrintable, 32);
    for (const auto& [name, tag] : kDefaultNodeTags) {
        PyObject* value = found_in(loader, base_resolver, name);
        ok = ok && value && is_text(value, tag);
    }
    return ok;
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
        if (!arm_namespace(dict, nullptr)) return false;
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
                              "yaml_path_resolvers", "bool_values", "ESCAPE_REPLACEMENTS", "ESCAPE_CODES",
                              "DEFAULT_TAGS"}) {
        Ref t = attr(loader.get(), table);
        if (!t || !arm_dict(t.get())) return false;
    }
    if (!stock(loader.get())) return false;
    Ref resolvers = attr(loader.get(), "yaml_implicit_resolvers");
    if (!resolvers || !keep_resolver_lists(resolvers.get())) return false;
    // What the constructor reaches through other modules.
    Ref types = Ref::steal(PyImport_ImportModule("types"));
    Ref collections = types ? Ref::steal(PyImport_ImportModule("collections")) : Ref();
    Ref abc = collections ? Ref::steal(PyImport_ImportModule("collections.abc")) : Ref();
    Ref datetime = abc ? Ref::steal(PyImport_ImportModule("datetime")) : Ref();
    if (!datetime || !keep_entry(types.get(), "GeneratorType") || !keep_entry(collections.get(), "abc")) return false;
    // The constructor reads these modules' attributes: its names for them are
    // the modules themselves, and each stays a plain module (a subclass could
    // answer attribute reads with code).
    Ref timestamp = attr(loader.get(), "construct_yaml_timestamp");
    if (!timestamp || !PyFunction_Check(timestamp.get())) return false;
    PyObject* constructor_globals = PyFunction_GET_GLOBALS(timestamp.get());
    const std::pair<const char*, PyObject*> reached[] = {
        {"collections", collections.get()}, {"datetime", datetime.get()}, {"types", types.get()}};
    for (const auto& [name, module] : reached) {
        if (PyDict_GetItemString(constructor_globals, name) != module) return false;
    }
    for (PyObject* module : {collections.get(), abc.get(), datetime.get(), types.get()}) {
        if (!PyModule_CheckExact(module)) return false;
        modules_.push_back(Py_NewRef(module));
    }
    if (watch_collector() < 0) return false;
    for (const char* name : {"date", "datetime", "timedelta", "timezone"}) {
        if (!keep_entry(datetime.get(), name)) return false;
    }
    Ref hashable = attr(abc.get(), "Hashable");
    if (!hashable || !keep_entry(abc.get(), "Hashable") || !arm_class(hashable.get(), false)) return false;
    hashable_ = hashable.release();
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
    if (!all_same_code(functions_)) return false;
    for (const KeptFunction* f : closures_) {
        if (!f->same_cells()) return false;
    }
    return true;
}

// `__bases__` assigned leaves the namespaces alone: each class's method
// resolution order is the tuple it had.
// A tuple rebuilt with the same classes (the bases assigned back) is kept in
// its place.
bool bases_unchanged() {
    std::uintptr_t differ = 0;
    for (const Class& c : classes_) {
        differ |= reinterpret_cast<std::uintptr_t>(reinterpret_cast<PyTypeObject*>(c.type)->tp_mro) ^
                  reinterpret_cast<std::uintptr_t>(c.mro);
    }
    if (!differ) return true;
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

bool modules_plain() {
    for (PyObject* module : modules_) {
        if (!PyModule_CheckExact(module)) return false;
    }
    return true;
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
    if (state == State::Off || state == State::Taking || safe_load != safe_load_ || !stand_in_unseen() ||
        !modules_plain()) {
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

PyObject* yaml_hashable() {
    return hashable_;
}

namespace {
PyTypeObject* hashable_wanted = nullptr;  // a key type whose answer was not kept
}  // namespace

bool yaml_key_hashable(PyObject* key) {
    if (kept_isinstance(key, hashable_) == 1) return true;
    if (kept_answers_refreshed() && kept_isinstance(key, hashable_) == 1) return true;
    hashable_wanted = Py_TYPE(key);
    return false;
}

void yaml_keep_answers_left(bool loaded) {
    // Only the column types are ever kept: static types, so the pointer
    // stands for no other. After a failed load its error stands, untouched.
    if (loaded && hashable_wanted) keep_answer_found(hashable_wanted, hashable_);
    hashable_wanted = nullptr;
}

}  // namespace tavik::dicts
